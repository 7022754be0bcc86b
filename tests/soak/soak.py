#!/usr/bin/env python3
"""Soak test of the relay: many jobs of random sizes and behaviours against one running relay.

  tests/soak/soak.py --platform host --jobs 500          short form (CI)
  tests/soak/soak.py --platform host --jobs 10000        long form
  tests/soak/soak.py --platform wine --jobs 200          under Wine
  tests/soak/soak.py --platform cups --jobs 2000         into queues of a private cupsd

Clients: normal jobs of 0 bytes to 4 MiB (log-uniform sizes) sent in random chunks with random
pauses, one in a hundred stalling halfway for 2.5 s, a few sent by CUPS's socket backend; clients that reset the connection mid-job
(SO_LINGER 0); clients that connect and close at once; and bursts of several clients connecting at
the same moment that send and close without waiting for the relay (under Wine they wait; refused
connections are retried by the client). Every job starts with a 16-byte identifier so the printed
jobs can be matched to what was sent, whatever order the relay accepted them in.

Checks: each normal job arrives exactly once, byte for byte (a digest per job); a reset job
arrives once, as an empty job or a prefix of what was sent, under Wine, and not at all on Linux; a connect-and-close gives an empty
job; no other job appears; the relay process is the one started (no restarts), logs no error and
still serves a final job.

The CUPS form prints through the relay's CUPS spooler into a cupsd of its own that keeps at most
10 jobs, with a slow printer (0.05 s a job), so that the scheduler keeps refusing jobs with "Too
many active jobs" and the relay must wait them out; meanwhile the scheduler is restarted twice
and stopped for 10 s in the middle of the traffic. There a connection
that brings no data prints nothing and leaves nothing queued (no empty job at all), a reset job
prints nothing, and at the end `lpstat -W not-completed`
must list no job. Prints one summary line and exits 1 on any mismatch."""

import argparse
import math
import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups"))
import lab as bench  # noqa: E402
import cupslab  # noqa: E402

MAX_SIZE = 4 * 1024 * 1024
SOCKET_BACKEND = "/usr/lib/cups/backend/socket"


def job_size(rng):
    """0 to 4 MiB, log-uniform, with the edges drawn now and then."""
    roll = rng.random()
    if roll < 0.02:
        return MAX_SIZE
    if roll < 0.04:
        return 16
    return 16 + int(math.exp(rng.uniform(0, math.log(MAX_SIZE - 16))))


class Plan:
    """One client's behaviour and data, decided in advance from the seed."""

    def __init__(self, index, rng):
        self.index = index
        roll = rng.random()
        self.kind = "normal" if roll < 0.8 else ("reset" if roll < 0.9 else "empty")
        size = job_size(rng) if self.kind != "empty" else 0
        self.body = rng.randbytes(max(0, size - 16)) if size else b""
        self.chunk = rng.choice([1, 7, 512, 1024, 1500, 4096, 65536, 1 << 20])
        if self.chunk < 512 and size > 100_000:
            self.chunk = 4096  # keep tiny chunks to small jobs so the run stays short
        self.pause = rng.choice([0, 0, 0, 0.001, 0.01])
        self.cut = size
        if self.kind == "reset":  # a third of them before the first byte
            self.cut = 0 if rng.random() < 0.33 else rng.randrange(1, size + 1)
        self.wait = True  # for the relay to close the connection; burst clients do not
        # Now and then a client stalls halfway for longer than a spooler may hold bytes back.
        self.stall = 2.5 if self.kind == "normal" and size > 1 and rng.random() < 0.01 else 0
        # Some normal jobs come from CUPS's own socket backend, as a print server sends them.
        self.backend = self.kind == "normal" and not self.stall and rng.random() < 0.03
        self.attempts = []  # the data of every attempt; the last one completed
        self.failed = 0  # attempts that ended in an error at the client: maybe never accepted

    def data(self, attempt):
        """An attempt's data: a 16-byte identifier of plan and attempt, then the body."""
        if not self.body and self.kind == "empty":
            return b""
        return b"SOAK%07d.%04d" % (self.index, attempt) + self.body


def connect(port, attempts=200):
    """Connects, retrying when the system refuses while the backlog is full."""
    for _ in range(attempts):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=300)
        except (ConnectionRefusedError, socket.timeout):
            time.sleep(0.05)
    raise RuntimeError("could not connect")


def send_by_backend(port, data):
    """Sends one job with CUPS's socket backend, which connects, sends the file, ends its side and
    waits for the relay to close."""
    with tempfile.NamedTemporaryFile(dir=bench.SCRATCH) as job:
        job.write(data)
        job.flush()
        env = dict(os.environ, DEVICE_URI="socket://127.0.0.1:%d" % port)
        done = subprocess.run([SOCKET_BACKEND, "1", "soak", "soak", "1", "", job.name], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("the socket backend failed (%d): %r" % (done.returncode, done.stderr[-300:]))


def send_once(port, plan, data):
    if plan.backend:
        return send_by_backend(port, data)
    client = connect(port)
    try:
        pauses = 0
        stall = plan.stall
        for offset in range(0, len(data), plan.chunk):
            if stall and offset >= len(data) // 2:
                time.sleep(stall)
                stall = 0
            client.sendall(data[offset: offset + plan.chunk])
            if plan.pause and pauses < 50:
                pauses += 1
                time.sleep(plan.pause)
        if plan.kind == "reset":
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            return
        if not plan.wait:
            return  # the system delivers the rest and the end of the data on its own
        # The relay closes the connection once the job is complete at the printer; a connection
        # the system dropped before the relay took it ends in a reset instead.
        client.shutdown(socket.SHUT_WR)
        if client.recv(1) != b"":
            raise RuntimeError("the relay sent data")
    finally:
        client.close()


def send(port, plan, start_together=None):
    """Sends the plan's job. A connection the system resets before the relay took it (its
    backlog was full) is the client's to retry, as a new attempt."""
    if start_together:
        start_together.wait()
    for attempt in range(20):
        data = plan.data(attempt)
        plan.attempts.append(data[: plan.cut])
        try:
            send_once(port, plan, data[: plan.cut])
            return
        except OSError:
            plan.failed += 1
            if plan.kind == "reset":
                return
            time.sleep(0.1)
    raise RuntimeError("job %d could not be sent" % plan.index)


def run_clients(port, plans, rng, workers, bursts_wait=False):
    """Sends every plan; now and then several clients connect at the same moment, which send and
    close without waiting for the relay unless bursts_wait."""
    pool = ThreadPoolExecutor(max_workers=workers)
    futures = []
    i = 0
    while i < len(plans):
        if rng.random() < 0.05 and i + 3 <= len(plans):
            for future in futures:
                future.result()
            futures = []
            group = plans[i: i + rng.randint(3, 6)]
            for plan in group:
                plan.wait = bursts_wait
            barrier = threading.Barrier(len(group))
            burst = [threading.Thread(target=send, args=(port, p, barrier)) for p in group]
            for t in burst:
                t.start()
            for t in burst:
                t.join()
            i += len(group)
        else:
            futures.append(pool.submit(send, port, plans[i]))
            i += 1
            if len(futures) >= workers:
                futures.pop(0).result()
    for future in futures:
        future.result()
    pool.shutdown()


def verify(jobs, plans, empty_prints=True, resets_print=True):
    """Matches printed jobs to attempts; returns (verified plans, mismatches, details).

    A completed normal attempt must arrive exactly once and whole; a reset attempt, or one the
    system reset, arrives at most once as a prefix of what was sent (or as an empty job). On
    Linux (resets_print false) a reset attempt prints nothing at all. Where a connection without
    data prints nothing (empty_prints false), no empty job may appear."""
    attempts = {}
    for plan in plans:
        for number, data in enumerate(plan.attempts):
            if data:
                attempts[data[:16]] = (plan, number)
    seen = set()
    empty = mismatches = 0
    details = []
    for job in jobs:
        if not job:
            empty += 1
            continue
        found = attempts.get(job[:16])
        if found is None and len(job) < 16:
            # Too short to carry the whole identifier: the part before a reset of some attempt.
            found = next(((p, n) for p, n in attempts.values() if (p.index, n) not in seen
                          and p.attempts[n].startswith(job)), None)
        if found is None or found in {(p.index, n) for p, n in [found]} & seen:
            mismatches += 1
            details.append("unexpected or repeated job of %d bytes" % len(job))
            continue
        plan, number = found
        seen.add((plan.index, number))
        sent = plan.attempts[number]
        last = number == len(plan.attempts) - 1
        exact = job == sent
        if plan.kind == "reset" and not resets_print:
            mismatches += 1
            details.append("job %d attempt %d was reset but printed %d bytes" % (plan.index, number, len(job)))
        elif not (exact or ((plan.kind == "reset" or not last) and sent.startswith(job))):
            mismatches += 1
            details.append("job %d attempt %d (%s) differs: %d bytes printed, %d sent"
                           % (plan.index, number, plan.kind, len(job), len(sent)))
    verified = 0
    for plan in plans:
        if plan.kind == "normal":
            final = (plan.index, len(plan.attempts) - 1)
            if final in seen:
                verified += 1
            else:
                mismatches += 1
                details.append("job %d of %d bytes never arrived" % (plan.index, len(plan.attempts[-1])))
        elif plan.kind == "empty":
            verified += 1
        elif plan.kind == "reset":
            verified += 1
    least_empty = sum(1 for p in plans if p.kind == "empty") if empty_prints else 0
    most_empty = least_empty + sum(len(p.attempts) for p in plans if p.kind != "empty") if empty_prints else 0
    if not least_empty <= empty <= most_empty:
        mismatches += 1
        details.append("%d empty jobs, expected %d to %d" % (empty, least_empty, most_empty))
    return verified, mismatches, details


def printed_count(printer):
    """Jobs the printer has written so far, counted without reading them."""
    return sum(1 for name in os.listdir(printer) if name.endswith(".prn"))


def wait_final(lab, printer, final, timeout=600):
    """Waits until the final job is the last one printed (the relay takes it after every other
    client has finished, and a queue prints in order); returns the jobs before it."""
    state = {"count": -1, "jobs": []}

    def arrived():
        count = printed_count(printer)
        if count != state["count"]:
            state["count"], state["jobs"] = count, lab.jobs(printer)
        return bool(state["jobs"]) and state["jobs"][-1] == final
    bench.wait_for(arrived, timeout, "the final job")
    return state["jobs"][:-1]


def make_lab(platform):
    if platform == "host":
        return bench.HostLab()
    if platform == "wine":
        return bench.WineLab()
    return cupslab.RelayLab(max_jobs=10)


DISTURBANCES = []


def disturb_scheduler(lab, printer, total, done):
    """Restarts the scheduler when a quarter and half of the jobs have printed, and stops it for
    10 s at three quarters; returns at once when done is set."""
    for share, outage in ((0.25, 0), (0.5, 0), (0.75, 10)):
        while printed_count(printer) < total * share:
            if done.wait(0.2):
                return
        lab.cups.stop()
        time.sleep(outage)
        lab.cups.start()
        DISTURBANCES.append("%s at %d printed" % ("stopped %d s" % outage if outage else "restarted",
                                                  printed_count(printer)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--platform", choices=["host", "wine", "cups"], default="host")
    parser.add_argument("--jobs", type=int, default=500)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--workers", type=int, default=4)
    args = parser.parse_args()

    rng = random.Random(args.seed)
    plans = [Plan(i, rng) for i in range(args.jobs)]
    cups = args.platform == "cups"
    lab = make_lab(args.platform)
    try:
        printer = lab.add_printer("Soak")
        if cups:
            with open(os.path.join(printer, ".delay"), "w") as f:
                f.write("0.05\n")
        port = bench.free_port()
        relay = lab.start(["STANDALONE", "Soak", str(port)])
        relay.wait_listening(port)
        started = time.monotonic()
        # Under Wine the listen queue is Windows' backlog of 2; beyond it Linux lets the client
        # believe it is connected and may drop the connection later, which a client that does
        # not wait would never learn.
        done = threading.Event()
        disturber = threading.Thread(target=disturb_scheduler, args=(
            lab, printer, sum(1 for p in plans if p.kind == "normal"), done)) if cups else None
        if disturber:
            disturber.start()
        try:
            run_clients(port, plans, rng, args.workers, bursts_wait=args.platform == "wine")
            if disturber:
                disturber.join(600)  # every disturbance happens, while jobs still print
        finally:
            done.set()
            if disturber:
                disturber.join()
        # A connection without data prints an empty job into a folder printer, nothing into CUPS.
        completed = sum(1 for p in plans if p.kind == "normal" or (p.kind == "empty" and not cups))
        bench.wait_for(lambda: printed_count(printer) >= completed, 600, "%d jobs" % completed)
        time.sleep(1)  # let any aborted attempt still in the relay end
        final = b"FINAL" + os.urandom(1000)
        bench.send_job(port, final)
        jobs = wait_final(lab, printer, final)
        elapsed = time.monotonic() - started
        left = []
        if cups:
            left = lab.cups.wait_settled()
        verified, mismatches, details = verify(jobs, plans, empty_prints=not cups, resets_print=args.platform == "wine")
        restarts = 0 if relay.process.poll() is None else 1
        log = relay.log()
        accepts = log.count(b"Accept print job for Soak from 127.0.0.1" + lab.log_end)
        # Every client is on 127.0.0.1: a line with another address is a connection that was
        # not a client's (one reset before it was accepted, handed out with no address).
        strangers = log.count(b"Accept print job") - accepts
        errors = log.count(b"Error opening print job." + lab.log_end) + log.count(b"Couldn't print all data." + lab.log_end)
        # Every printed job was accepted once. In CUPS, where connections without data print
        # nothing, every connection is accepted (the listen queue holds bursts), save perhaps
        # those that failed at the client.
        connections = sum(len(p.attempts) for p in plans) + 1
        least_accepts = connections - sum(p.failed for p in plans) if cups else len(jobs) + 1
        most_accepts = connections if cups else least_accepts
        if args.platform == "host":
            # A reset connection prints nothing on Linux, though it was accepted unless its reset
            # came first.
            most_accepts += sum(len(p.attempts) for p in plans if p.kind == "reset")
        total = sum(len(p.attempts[-1]) for p in plans)
        retried = sum(len(p.attempts) - 1 for p in plans)
        print("soak (%s, seed %d): jobs sent %d, jobs verified %d, bytes %d, mismatches %d, relay restarts %d, "
              "accept lines %d, error lines %d, jobs left %d "
              "(%d attempts retried after a system reset, %.1f s)"
              % (args.platform, args.seed, len(plans), verified, total, mismatches, restarts, accepts, errors,
                 len(left), retried, elapsed))
        print("  clients: %d normal, %d connect-and-close, %d reset before the first byte, %d reset mid-job; "
              "%d in bursts that did not wait; %d stalled halfway; %d sent by CUPS's socket backend" % (
                  sum(1 for p in plans if p.kind == "normal"), sum(1 for p in plans if p.kind == "empty"),
                  sum(1 for p in plans if p.kind == "reset" and p.cut == 0),
                  sum(1 for p in plans if p.kind == "reset" and p.cut > 0), sum(1 for p in plans if not p.wait),
                  sum(1 for p in plans if p.stall), sum(1 for p in plans if p.backend)))
        if cups:
            journal = relay.stderr()
            print("  scheduler %s; the relay waited %d times (%d for too many active jobs, %d for the scheduler out "
                  "of reach or lost) and said %d times that CUPS took the job" % (
                      ", ".join(DISTURBANCES) or "never disturbed", journal.count("CUPS cannot take the job"),
                      journal.count("now: Too many active jobs"), journal.count("now: the scheduler")
                      + journal.count("now: connection") + journal.count("now: no answer"),
                      journal.count("CUPS took the job")))
            ok_disturbed = len(DISTURBANCES) == 3
        for line in details[:20] + left[:20]:
            print("  " + line)
        ok = mismatches == 0 and verified == len(plans) and restarts == 0 and errors == 0 and not left
        ok = ok and (not cups or ok_disturbed)
        ok = ok and least_accepts <= accepts <= most_accepts and strangers == 0
        if strangers:
            print("  %d accept lines from an address other than 127.0.0.1" % strangers)
        if not least_accepts <= accepts <= most_accepts:
            print("  %d accept lines, expected %d to %d" % (accepts, least_accepts, most_accepts))
        return 0 if ok else 1
    finally:
        lab.close()


if __name__ == "__main__":
    sys.exit(main())
