#!/usr/bin/env python3
"""Ferrolink benchmark: the relay side by side with reference loops and a peer, in one run.

  bench/run [--rounds 3] [--quick] [--no-wine] [--no-cups | --cups-only [--profile]]

Native rows: the host build of the relay; a bare loop with the same 1024-byte recv/write framing
into a file (the limit of that framing); p910nd writing to a file; a plain 1 MiB-buffer copy (the
machine's ceiling). Wine rows: ferrolink.exe, and a bare Windows loop (accept, OpenPrinterA,
StartDocPrinterA, recv 1024 / WritePrinter, ClosePrinter) printing to the same printer of the
same prefix. Each figure is the median of interleaved rounds. Writes results/bench-<time>.csv
and .png (gnuplot).

CUPS section (skipped with --no-cups; --cups-only runs it alone): one private cupsd, one raw queue
whose backend writes each job to a file; every figure runs until that backend has written the last
job. Throughput: one 128 MiB job through the host relay (CUPS spooler) against `lp -o raw` of the
same file. Job rate: 200 jobs of 4 KiB from sequential clients through the relay against socat
forking one `lp` per connection. Rounds interleave relay and reference; CPU seconds per MiB
(throughput) and CPU ms per job (rate) are split by process: client, relay or lp/socat, cupsd, and
the backends cupsd ran. --profile adds perf stat and strace -c of the sender (relay or lp) and of
cupsd for one large job each."""

import argparse
import csv
import os
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cups"))
import lab as bench  # noqa: E402
import cupslab  # noqa: E402

MIB = 1 << 20
TICKS = os.sysconf("SC_CLK_TCK")
PAYLOAD = os.urandom(MIB)


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid):
    status = dict(line.split(":", 1) for line in open("/proc/%d/status" % pid))
    return int(status["VmRSS"].split()[0]), int(status["VmHWM"].split()[0])


def send_and_wait(port, data_size, chunk=MIB):
    """One job on its own connection; returns the seconds from the client's close to the relay's
    close (the job complete at the printer)."""
    with socket.create_connection(("127.0.0.1", port)) as client:
        sent = 0
        view = memoryview(PAYLOAD)
        while sent < data_size:
            piece = min(chunk, data_size - sent)
            client.sendall(view[:piece])
            sent += piece
        closed = time.perf_counter()
        client.shutdown(socket.SHUT_WR)
        client.recv(1)
        return time.perf_counter() - closed


class Subject:
    def __init__(self, name, group, port, pid, clean_dir, stop):
        self.name, self.group, self.port, self.pid = name, group, port, pid
        self.clean_dir, self.stop = clean_dir, stop
        self.throughput, self.rate, self.latency, self.cpu = [], [], [], []
        self.memory = None

    def clean(self):
        for entry in os.listdir(self.clean_dir):
            if entry.startswith("job-"):
                os.unlink(os.path.join(self.clean_dir, entry))

    def measure(self, large, jobs):
        self.clean()
        cpu = cpu_seconds(self.pid)
        start = time.perf_counter()
        send_and_wait(self.port, large)
        elapsed = time.perf_counter() - start
        self.cpu.append((cpu_seconds(self.pid) - cpu) / (large / MIB))
        self.throughput.append(large / elapsed / 1e6)
        self.clean()
        latencies = []
        start = time.perf_counter()
        for _ in range(jobs):
            latencies.append(send_and_wait(self.port, 4096))
        self.rate.append(jobs / (time.perf_counter() - start))
        self.latency.append(statistics.median(latencies) * 1000)
        self.clean()

    def measure_memory(self, jobs):
        checkpoint = min(1000, jobs) - 1
        for done in range(jobs):
            send_and_wait(self.port, 4096)
            if done == checkpoint:
                after_1k = memory_kib(self.pid)[0]
            if done % 1000 == 999:
                self.clean()
        rss, peak = memory_kib(self.pid)
        self.memory = (after_1k, rss, peak)


def build(quick, cups_only=False):
    subprocess.run([os.path.join(ROOT, "scripts", "install-deps")], check=True)
    if cups_only:
        subprocess.run(["cmake", "--preset", "host"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", "--preset", "host", "-j2", "--target", "ferrolink"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        return None
    if not shutil.which("p910nd") and not os.path.exists("/usr/sbin/p910nd"):
        # The peer is only needed here; it is not one of the project's own dependencies.
        subprocess.run(["apt-get", "install", "-y", "-q", "p910nd"], check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)
    os.makedirs("/var/lock/p910nd", exist_ok=True)  # p910nd keeps its lock file there
    for preset in ("host", "windows"):
        subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        targets = ["ferrolink"] + (["ref_loop_host"] if preset == "host" else [])
        subprocess.run(["cmake", "--build", "--preset", preset, "-j2", "--target"] + targets, cwd=ROOT,
                       check=True, stdout=subprocess.DEVNULL)
    out = os.path.join(ROOT, "build", "bench")
    os.makedirs(out, exist_ok=True)
    subprocess.run(["g++", "-O2", "-o", os.path.join(out, "ref_loop"), os.path.join(HERE, "ref_loop.cpp")],
                   check=True)
    subprocess.run(["x86_64-w64-mingw32-g++", "-O2", "-static", "-I", os.path.join(ROOT, "src"), "-o",
                    os.path.join(out, "ref_loop_win.exe"), os.path.join(HERE, "ref_loop_win.cpp"), "-lwinspool",
                    "-lws2_32"], check=True)
    shutil.copy(os.path.join(ROOT, "build", "host", "ref_loop_host"), out)
    return out


def start_process(command, cwd, env=None):
    return subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def stopper(process):
    def stop():
        process.terminate()
        process.wait()
    return stop


def native_subjects(tools, scratch, subjects):
    host = bench.HostLab()
    printer = host.add_printer("Bench")
    port = bench.free_port()
    relay = host.start(["STANDALONE", "Bench", str(port)])
    relay.wait_listening(port)
    subjects.append(Subject("relay (host build)", "native", port, relay.pid, printer, host.close))
    # The same bare loop as on Windows, through the same host spooler as the relay.
    port = bench.free_port()
    process = start_process([os.path.join(tools, "ref_loop_host"), str(port), "Bench"], host.root, host.env())
    bench.wait_for(lambda: bench.listening(port), 10, "the host reference loop")
    subjects.insert(0, Subject("reference loop, host spooler", "native", port, process.pid, printer,
                               stopper(process)))
    for name, chunk in (("reference loop, 1024-byte framing", 1024), ("plain copy, 1 MiB buffer", MIB)):
        folder = tempfile.mkdtemp(dir=scratch)
        port = bench.free_port()
        process = start_process([os.path.join(tools, "ref_loop"), str(port), folder, str(chunk)], folder)
        bench.wait_for(lambda: bench.listening(port), 10, name)
        subjects.append(Subject(name, "native", port, process.pid, folder, stopper(process)))
    p910nd = shutil.which("p910nd") or "/usr/sbin/p910nd"
    for number in (0, 1, 2):
        if not bench.listening(9100 + number):
            folder = tempfile.mkdtemp(dir=scratch)
            device = os.path.join(folder, "device.prn")  # p910nd opens an existing device per job
            open(device, "wb").close()
            process = start_process([p910nd, "-d", "-f", device, str(number)], folder)
            bench.wait_for(lambda: bench.listening(9100 + number), 10, "p910nd")
            subjects.append(Subject("p910nd (8 KiB buffer)", "native", 9100 + number, process.pid, folder,
                                    stopper(process)))
            break


def wine_subjects(tools, subjects):
    wine = bench.WineLab()
    printer = wine.add_printer("Bench")
    port = bench.free_port()
    relay = wine.start(["STANDALONE", "Bench", str(port)])
    relay.wait_listening(port)
    relay_subject = Subject("ferrolink.exe (Wine)", "wine", port, relay.pid, printer, wine.close)
    subjects.append(relay_subject)
    port = bench.free_port()
    process = start_process(["wine", os.path.join(tools, "ref_loop_win.exe"), str(port), "Bench"], wine.root,
                            wine.env())
    bench.wait_for(lambda: bench.listening(port), 30, "the Windows reference loop")
    subjects.insert(len(subjects) - 1, Subject("reference loop (Wine)", "wine", port, process.pid, printer,
                                               stopper(process)))


def median(values):
    return statistics.median(values) if values else float("nan")


def report(subjects, results):
    stamp = time.strftime("%Y%m%d-%H%M%S")
    os.makedirs(results, exist_ok=True)
    header = ["subject", "group", "throughput MB/s", "4 KiB jobs/s", "close-to-complete ms", "CPU s/MiB",
              "RSS KiB after 1k jobs", "RSS KiB after 10k jobs", "peak RSS KiB"]
    rows = []
    for s in subjects:
        memory = s.memory or ("", "", "")
        rows.append([s.name, s.group, "%.1f" % median(s.throughput), "%.0f" % median(s.rate),
                     "%.3f" % median(s.latency), "%.4f" % median(s.cpu), *memory])
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(str(cell).rjust(widths[i]) if i > 1 else str(cell).ljust(widths[i])
                        for i, cell in enumerate(row)))
    by_name = {s.name: s for s in subjects}

    def ratio(a, b, field):
        if a in by_name and b in by_name:
            return median(getattr(by_name[a], field)) / median(getattr(by_name[b], field))
        return float("nan")
    print()
    # Ratios against the references; the "host spooler" rows isolate the relay's own cost from
    # the cost of the spooler it prints through.
    checks = [
        ("host relay / reference loop, throughput", ratio("relay (host build)", "reference loop, 1024-byte framing",
                                                          "throughput"), 0.95, True),
        ("host relay / reference loop on the host spooler, throughput",
         ratio("relay (host build)", "reference loop, host spooler", "throughput"), 0.95, True),
        ("host relay / reference loop on the host spooler, job rate",
         ratio("relay (host build)", "reference loop, host spooler", "rate"), 0.8, True),
        ("host relay / reference loop on the host spooler, close-to-complete",
         ratio("relay (host build)", "reference loop, host spooler", "latency"), 1.1, False),
        ("host relay / p910nd, 4 KiB job rate", ratio("relay (host build)", "p910nd (8 KiB buffer)", "rate"), 0.8, True),
        ("host relay / reference loop, close-to-complete", ratio("relay (host build)",
                                                                 "reference loop, 1024-byte framing", "latency"), 1.1, False),
        ("ferrolink.exe / Wine reference loop, throughput", ratio("ferrolink.exe (Wine)", "reference loop (Wine)",
                                                                  "throughput"), 0.9, True),
        ("ferrolink.exe / Wine reference loop, job rate", ratio("ferrolink.exe (Wine)", "reference loop (Wine)",
                                                                "rate"), 0.8, True),
        ("ferrolink.exe / Wine reference loop, close-to-complete", ratio("ferrolink.exe (Wine)",
                                                                         "reference loop (Wine)", "latency"), 1.1, False),
    ]
    for label, value, target, at_least in checks:
        met = value >= target if at_least else value <= target
        print("%-56s %6.2fx  (target %s %.2fx) %s" % (label, value, ">=" if at_least else "<=", target,
                                                      "met" if met else "MISSED"))
    path = os.path.join(results, "bench-%s.csv" % stamp)
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)
        for label, value, target, at_least in checks:
            writer.writerow(["ratio: " + label, "", "%.3f" % value, "target %.2f" % target])
    plot(rows, os.path.join(results, "bench-%s.png" % stamp))
    print("\nresults: %s" % path)


def plot(rows, path):
    if not shutil.which("gnuplot"):
        return
    data = path + ".dat"
    with open(data, "w") as f:
        for row in rows:
            f.write('"%s" %s %s\n' % (row[0], row[2], row[3]))
    script = """
set terminal pngcairo size 1200,600 noenhanced
set output '%s'
set multiplot layout 1,2
set style data histograms
set style fill solid 0.8
set boxwidth 0.8
set xtics rotate by -30
set grid ytics
set logscale y
set title 'Large-job throughput (MB/s)'
plot '%s' using 2:xtic(1) notitle lc rgb '#3060a0'
set title '4 KiB jobs per second'
plot '%s' using 3:xtic(1) notitle lc rgb '#a06030'
unset multiplot
""" % (path, data, data)
    subprocess.run(["gnuplot"], input=script.encode(), check=False, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    os.unlink(data)


# CUPS section: the relay's CUPS spooler beside the CUPS clients an admin would otherwise use.

def proc_times(pid):
    """(own, reaped children's) CPU seconds of a process."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS, (int(fields[13]) + int(fields[14])) / TICKS


def own_times():
    """(this process, its reaped children) CPU seconds: the clients, and lp run from here."""
    me, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime, children.ru_utime + children.ru_stime


class CpuMeter:
    """CPU seconds by process over one measurement: client (this script), the subject (relay, or
    socat with its forked children and their lp), lp run from here, cupsd, and the backends
    (cupsd's reaped children)."""

    def __init__(self, cupsd, subject=None):
        self.cupsd, self.subject = cupsd, subject
        self.start = self.sample()

    def sample(self):
        client, lp = own_times()
        cupsd, backends = proc_times(self.cupsd)
        subject = sum(proc_times(self.subject)) if self.subject else 0.0
        return {"client": client, "subject": subject + lp, "cupsd": cupsd, "backend": backends}

    def stop(self):
        time.sleep(0.3)  # cupsd reaps the last backend just after it wrote its file
        end = self.sample()
        return {k: end[k] - self.start[k] for k in end}


class CupsBench:
    """One private cupsd and one raw queue; the relay and the references print into it."""

    def __init__(self, scratch):
        self.lab = cupslab.RelayLab(history=False)
        self.cups = self.lab.cups
        self.folder = self.lab.add_printer("Bench")
        self.port = bench.free_port()
        self.relay = self.lab.start(["STANDALONE", "Bench", str(self.port)])
        self.relay.wait_listening(self.port)
        self.socat_port = bench.free_port()
        self.socat = start_process(["socat", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % self.socat_port,
                                    "EXEC:lp -d Bench -o raw"], scratch, self.cups.env())
        bench.wait_for(lambda: bench.listening(self.socat_port), 10, "socat")
        self.file = os.path.join(scratch, "large.bin")
        self.results = {}  # (test, subject) -> list of (seconds, cpu by process)
        self.lp_prefix, self.lp_output = [], subprocess.DEVNULL  # a tracer in front of lp, and its output

    def clean(self):
        for entry in os.listdir(self.folder):
            os.unlink(os.path.join(self.folder, entry))

    def wait_written(self, count, timeout=600):
        """Polls until the backend has written count jobs; the backend renames each file when done."""
        deadline = time.monotonic() + timeout
        while sum(1 for n in os.listdir(self.folder) if n.endswith(".prn")) < count:
            if time.monotonic() > deadline:
                raise AssertionError("the backend wrote fewer than %d jobs" % count)
            time.sleep(0.002)

    def record(self, test, subject, seconds, cpu, size):
        written = [os.path.getsize(os.path.join(self.folder, n)) for n in os.listdir(self.folder)
                   if n.endswith(".prn")]
        if sum(written) != size:
            raise AssertionError("%s %s: the backend wrote %d bytes of %d" % (test, subject, sum(written), size))
        self.results.setdefault((test, subject), []).append((seconds, cpu))
        self.clean()

    def large(self, subject, size):
        meter = CpuMeter(self.cups.process.pid, self.relay.pid if subject == "relay" else None)
        start = time.perf_counter()
        if subject == "relay":
            send_and_wait(self.port, size)
        else:
            subprocess.run(self.lp_prefix + ["lp", "-d", "Bench", "-o", "raw", self.file], env=self.cups.env(),
                           check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.lp_output)
        self.wait_written(1)
        self.record("large", subject, time.perf_counter() - start, meter.stop(), size)

    def rate(self, subject, jobs):
        port = self.port if subject == "relay" else self.socat_port
        meter = CpuMeter(self.cups.process.pid, self.relay.pid if subject == "relay" else self.socat.pid)
        start = time.perf_counter()
        for _ in range(jobs):
            send_and_wait(port, 4096)
        self.wait_written(jobs)
        self.record("rate", subject, time.perf_counter() - start, meter.stop(), jobs * 4096)

    def run(self, rounds, large, jobs):
        with open(self.file, "wb") as f:
            for _ in range(large // MIB):
                f.write(PAYLOAD)
        for round_number in range(rounds):
            for subject in ("relay", "lp"):
                self.large(subject, large)
            for subject in ("relay", "socat+lp"):
                self.rate(subject, jobs)
            print("CUPS round %d of %d done" % (round_number + 1, rounds), file=sys.stderr)

    def profile(self, large):
        """perf stat, then strace -c, of the sender (relay or lp) and of cupsd over one large job
        each; prints the lines that matter (CPU time, context switches, the busiest calls)."""
        kept = {key: list(values) for key, values in self.results.items()}
        tools = {"perf": ["perf", "stat", "-e", "task-clock,context-switches"], "strace": ["strace", "-c", "-f"]}
        for tool, command in tools.items():
            if not shutil.which(tool):
                print("(%s not installed)" % tool)
                continue
            for subject in ("relay", "lp"):
                outputs = {"cupsd": tempfile.TemporaryFile(), subject: tempfile.TemporaryFile()}
                tracers = [subprocess.Popen(command + ["-p", str(self.cups.process.pid)], stdin=subprocess.DEVNULL,
                                            stdout=outputs["cupsd"], stderr=outputs["cupsd"])]
                if subject == "relay":
                    tracers.append(subprocess.Popen(command + ["-p", str(self.relay.pid)], stdin=subprocess.DEVNULL,
                                                    stdout=outputs[subject], stderr=outputs[subject]))
                else:
                    self.lp_prefix = command + ["-o", "/dev/stderr"] if tool == "strace" else command
                    self.lp_output = outputs[subject]
                time.sleep(1)  # attached
                self.large(subject, large)
                self.lp_prefix = []
                for tracer in tracers:
                    tracer.send_signal(signal.SIGINT)
                    tracer.wait(60)
                for name, out in outputs.items():
                    out.seek(0)
                    print("--- %s: %s, one %d MiB job by %s ---" % (tool, name, large // MIB, subject))
                    print(summary(out.read().decode(errors="replace")))
                    out.close()
        self.results = kept  # profiled runs are slowed by the tracers

    def traced(self, command, subject, test, size):
        """Runs one measurement of test ('large' or 'rate') with the tracer command on the sender
        (relay, lp or socat with its children); returns the tracer's output."""
        out = tempfile.NamedTemporaryFile()
        kept = {key: list(values) for key, values in self.results.items()}
        tracer = None
        if subject == "lp":
            self.lp_prefix = command + ["-o", out.name]
        else:
            pid = self.relay.pid if subject == "relay" else self.socat.pid
            tracer = subprocess.Popen(command + ["-o", out.name, "-p", str(pid)], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(1)  # attached
        if test == "large":
            self.large(subject, size)
        else:
            self.rate(subject, size)
        self.lp_prefix = []
        if tracer:
            tracer.send_signal(signal.SIGINT)
            tracer.wait(60)
        self.results = kept  # traced runs are slowed by the tracer
        text = open(out.name, errors="replace").read()
        out.close()
        return text

    def calls(self, large, jobs):
        """System calls of the sender per MiB of one large job (relay and lp) and per 4 KiB job
        (relay; lp forked by socat does not print under strace), with the busiest calls; then the relay's syncs of one large job (strace -T)."""
        if not shutil.which("strace"):
            print("(strace not installed: no system call counts)")
            return []
        rows = []
        print("\nSystem calls of the sender (strace -c -f), per MiB of one %d MiB job and per 4 KiB job"
              % (large // MIB))
        for test, subject, per, unit in (("large", "relay", large / MIB, "MiB"), ("large", "lp", large / MIB, "MiB"),
                                         ("rate", "relay", jobs, "job")):
            text = self.traced(["strace", "-c", "-f"], subject, test, large if test == "large" else jobs)
            table = [line.split() for line in text.splitlines() if line[:1] == " " or line.startswith("100")]
            counted = [(int(f[3]), f[-1]) for f in table if len(f) >= 5 and f[3].isdigit()]
            total = sum(n for n, name in counted if name == "total")
            busiest = ", ".join("%s %.0f" % (name, n / per) for n, name in
                                sorted((c for c in counted if c[1] != "total"), reverse=True)[:4])
            print("  %-9s %-5s %9.1f calls per %s  (%s)" % (subject, test, total / per, unit, busiest))
            rows.append(["calls per %s: %s %s" % (unit, subject, test), "%.1f" % (total / per), busiest])
        text = self.traced(["strace", "-f", "-T", "-e", "trace=fdatasync,fsync,sync_file_range"], "relay", "large",
                           large)
        syncs = [(line.split("(")[0].split()[-1], float(line.rsplit("<", 1)[1].rstrip(">\n")))
                 for line in text.splitlines() if line.rstrip().endswith(">") and "(" in line]
        seal = next((seconds for name, seconds in syncs if name == "fdatasync"), float("nan"))
        ranges = [seconds for name, seconds in syncs if name == "sync_file_range"]
        print("relay's syncs over one %d MiB job: the seal's fdatasync %.1f ms; %d sync_file_range, %.1f ms in all; "
              "every fsync and fdatasync %.1f ms" % (large // MIB, seal * 1000, len(ranges), sum(ranges) * 1000,
                                                     sum(t for n, t in syncs if n != "sync_file_range") * 1000))
        rows.append(["seal's fdatasync ms", "%.1f" % (seal * 1000)])
        return rows

    def report(self, load):
        """Medians, ratios against the targets, and CPU by process; returns rows for the CSV."""
        rows = []
        print("\nCUPS, one private cupsd, one raw queue; time until its backend wrote the last job"
              " (load before: %s)" % load)
        header = ["test", "subject", "rounds", "median s", "figure", "client", "relay/lp/socat", "cupsd", "backend"]
        for (test, subject), values in self.results.items():
            seconds = median([v[0] for v in values])
            if test == "large":
                size = os.path.getsize(self.file) / MIB
                figure, unit, per = size / seconds, "MiB/s", size
            else:
                figure, unit, per = self.jobs / seconds, "jobs/s", self.jobs / 1000.0
            cpu = ["%.4f" % (median([v[1][k] for v in values]) / per) for k in ("client", "subject", "cupsd",
                                                                                 "backend")]
            rows.append([test, subject, len(values), "%.3f" % seconds, "%.1f %s" % (figure, unit)] + cpu)
        widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
        print("CPU columns: seconds per MiB for 'large', seconds per 1000 jobs for 'rate'")
        for row in [header] + rows:
            print("  ".join(str(c).ljust(widths[i]) for i, c in enumerate(row)))

        def figure(test, subject):
            seconds = median([v[0] for v in self.results.get((test, subject), [])])
            return 1.0 / seconds
        checks = [("CUPS: relay / lp -o raw, 128 MiB throughput", figure("large", "relay") / figure("large", "lp"),
                   0.95),
                  ("CUPS: relay / socat+lp, 4 KiB job rate", figure("rate", "relay") / figure("rate", "socat+lp"),
                   1.5)]
        for label, value, target in checks:
            print("%-56s %6.2fx  (target >= %.2fx) %s" % (label, value, target, "met" if value >= target else "MISSED"))
        rss, peak = memory_kib(self.relay.pid)
        print("relay memory after every run: RSS %d KiB, peak %d KiB" % (rss, peak))
        return [[header[0] + ": " + header[1]] + header[2:]] + [[r[0] + ": " + r[1]] + r[2:] for r in rows] + \
            [["ratio: " + label, "%.3f" % value, "target %.2f" % target] for label, value, target in checks]

    def close(self):
        stopper(self.socat)()
        self.lab.close()


def summary(text):
    """perf stat's CPU and switch lines, or strace -c's five busiest calls and its total."""
    lines = [line for line in text.splitlines() if line.strip()]
    if any("task-clock" in line for line in lines):
        return "\n".join(line for line in lines if "task-clock" in line or "context-switches" in line
                         or "elapsed" in line)
    calls = [line for line in lines if line[:1] == " " and line.split()[0].replace(".", "").isdigit()]
    return "\n".join([line for line in lines if line.startswith("% time")] + calls[:5] +
                     [line for line in lines if line.rstrip().endswith("total")])


def cups_section(scratch, rounds, quick, profile):
    load = open("/proc/loadavg").read().split()[:3]
    section = CupsBench(scratch)
    try:
        section.jobs = 200 // (10 if quick else 1)
        large = 128 * MIB // (16 if quick else 1)
        section.run(rounds, large, section.jobs)
        if profile:
            section.profile(large)
        rows = section.report(" ".join(load))
        rows += section.calls(large, section.jobs)
        print("load after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
        return rows
    finally:
        section.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--no-cups", action="store_true", help="skip the CUPS section")
    parser.add_argument("--cups-only", action="store_true", help="the CUPS section alone")
    parser.add_argument("--profile", action="store_true", help="perf stat and strace -c in the CUPS section")
    args = parser.parse_args()
    tools = build(args.quick, args.cups_only)
    scratch = tempfile.mkdtemp(prefix="ferrolink-bench-")
    subjects = []
    try:
        if args.cups_only:
            rows = cups_section(scratch, args.rounds, args.quick, args.profile)
            write_csv(os.path.join(ROOT, "results"), rows)
            return
        native_subjects(tools, scratch, subjects)
        if not args.no_wine:
            wine_subjects(tools, subjects)
        scale = 16 if args.quick else 1
        for round_number in range(args.rounds):
            for s in subjects:
                native = s.group == "native"
                s.measure((256 if native else 64) * MIB // scale, (2000 if native else 500) // scale)
            print("round %d of %d done" % (round_number + 1, args.rounds), file=sys.stderr)
        # The relays, and the Wine reference loop to tell Wine's own growth from the relay's.
        for s in subjects:
            if s.name.startswith(("relay", "ferrolink", "reference loop (Wine)")):
                s.measure_memory(10000 // scale)
        report(subjects, os.path.join(ROOT, "results"))
        if not args.no_cups:
            for s in subjects:
                s.stop()
            subjects = []
            write_csv(os.path.join(ROOT, "results"), cups_section(scratch, args.rounds, args.quick, args.profile))
    finally:
        for s in subjects:
            s.stop()  # the Wine reference loop stops before the Wine lab that holds its prefix
        shutil.rmtree(scratch, ignore_errors=True)


def write_csv(results, rows):
    os.makedirs(results, exist_ok=True)
    path = os.path.join(results, "bench-cups-%s.csv" % time.strftime("%Y%m%d-%H%M%S"))
    with open(path, "w", newline="") as f:
        csv.writer(f).writerows(rows)
    print("results: %s" % path)


if __name__ == "__main__":
    main()
