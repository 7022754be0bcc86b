#!/usr/bin/env python3
"""Ferrolink benchmark: the relay side by side with reference loops and a peer, in one run.

  bench/run [--rounds 3] [--quick]

Native rows: the host build of the relay; a bare loop with the same 1024-byte recv/write framing
into a file (the limit of that framing); p910nd writing to a file; a plain 1 MiB-buffer copy (the
machine's ceiling). Wine rows: ferrolink.exe, and a bare Windows loop (accept, OpenPrinterA,
StartDocPrinterA, recv 1024 / WritePrinter, ClosePrinter) printing to the same printer of the
same prefix. Each figure is the median of interleaved rounds. Writes results/bench-<time>.csv
and .png (gnuplot)."""

import argparse
import csv
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import lab as bench  # noqa: E402

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


def build(quick):
    subprocess.run([os.path.join(ROOT, "scripts", "install-deps")], check=True)
    if not shutil.which("p910nd") and not os.path.exists("/usr/sbin/p910nd"):
        # The peer is only needed here; it is not one of the project's own dependencies.
        subprocess.run(["apt-get", "install", "-y", "-q", "p910nd"], check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)
    os.makedirs("/var/lock/p910nd", exist_ok=True)  # p910nd keeps its lock file there
    for preset in ("host", "windows"):
        subprocess.run(["cmake", "--preset", preset], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        targets = ["ferrolink"] + (["ref_loop_host"] if preset == "host" else [])
        subprocess.run(["cmake", "--build", "--preset", preset, "--target"] + targets, cwd=ROOT,
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--no-wine", action="store_true")
    args = parser.parse_args()
    tools = build(args.quick)
    scratch = tempfile.mkdtemp(prefix="ferrolink-bench-")
    subjects = []
    try:
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
    finally:
        for s in subjects:
            s.stop()  # the Wine reference loop stops before the Wine lab that holds its prefix
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
