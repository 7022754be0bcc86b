#!/usr/bin/env python3
"""Ferrolink start-up benchmark: many instances enabled at once under a real systemd.

  bench/start [--instances 250] [--first-port 9100] [--drop-in FILE]

Builds the .deb, boots the systemd container of tests/systemd with its own cupsd and one raw
queue, installs the package, writes one conf per port, then runs `systemctl enable --now` of
every instance and waits until each service is active (Type=notify: active means the relay sent
READY=1) and its port listens. It prints the wall time, then where it went: the enable itself
(links and the manager's reload), and per instance the socket's ExecStartPre, the service's
ExecStartPre (ferrolink-start --read-conf) and the relay's own start (from systemd's fork of the
main process, its sandbox set up, ferrolink-start exec'ing the relay, up to READY=1), from
systemd's own timestamps, and the same for one instance restarted alone; then one job to each instance, until every
job is printed. --drop-in installs FILE as a drop-in of ferrolink@.service first, to time a
variant of the unit's settings."""

import argparse
import json
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "systemd"))
import container  # noqa: E402
import lab as bench  # noqa: E402
import test_systemd  # noqa: E402

STAMPS = ("InactiveExitTimestampMonotonic", "ExecMainStartTimestampMonotonic", "ActiveEnterTimestampMonotonic")


def stamps(box, units, properties):
    """{unit: {property: microseconds}} from one systemctl show of all units."""
    out = box.run("systemctl show -p Id,%s %s" % (",".join(properties), " ".join(units)), timeout=300).stdout
    found, current = {}, {}
    for line in out.splitlines() + [""]:
        if not line.strip():
            if current:
                found[current.pop("Id")] = current
            current = {}
            continue
        key, value = line.split("=", 1)
        current[key] = value if key == "Id" else int(value or 0)
    return found


def spread(values):
    """Median, largest and sum of durations in microseconds, in words."""
    return "median %.1f ms, largest %.1f ms, sum %.2f s" % (statistics.median(values) / 1000,
                                                           max(values) / 1000, sum(values) / 1e6)


# Prints the CPU time of the machine (busy and idle, all cores) and, inside the container, of each
# command's processes: their own time and their reaped children's, in clock ticks.
CPU = (b"import collections, json, os\n"
       b"own, reaped = collections.Counter(), collections.Counter()\n"
       b"for pid in filter(str.isdigit, os.listdir('/proc')):\n"
       b"    try: text = open('/proc/%s/stat' % pid).read()\n"
       b"    except OSError: continue\n"
       b"    name, fields = text[text.index('(') + 1:text.rindex(')')], text[text.rindex(')') + 2:].split()\n"
       b"    name = 'systemd (PID 1)' if pid == '1' else name\n"
       b"    own[name] += int(fields[11]) + int(fields[12]); reaped[name] += int(fields[13]) + int(fields[14])\n"
       b"line = open('/proc/stat').readline().split()[1:]\n"
       b"print(json.dumps({'busy': sum(map(int, line)) - int(line[3]) - int(line[4]), 'all': sum(map(int, line)),"
       b" 'own': own, 'reaped': reaped}))\n")


def cpu(box):
    """The CPU counters of CPU, read inside the container."""
    return json.loads(box.run("/usr/bin/python3 /srv/cpu.py").stdout)


def cpu_spent(before, after):
    """Where the CPU time between two readings went, in words: the machine's, then the top commands'."""
    tick = os.sysconf("SC_CLK_TCK")
    lines = ["  CPU: %.1f s busy of %.1f s on all cores" % ((after["busy"] - before["busy"]) / tick,
                                                          (after["all"] - before["all"]) / tick)]
    spent = {}
    for kind in ("own", "reaped"):
        for name, ticks in after[kind].items():
            grown = ticks - before[kind].get(name, 0)
            if grown > 0:
                spent["%s (%s)" % (name, "itself" if kind == "own" else "its exited children")] = grown
    for name, ticks in sorted(spent.items(), key=lambda item: -item[1])[:8]:
        lines.append("    %-48s %.2f s" % (name, ticks / tick))
    return "\n".join(lines)


def waited(box, command, count):
    """Runs the shell loop command inside until it prints count; the seconds it took."""
    start = time.perf_counter()
    while int(box.run(command, timeout=300).stdout.strip() or 0) < count:
        time.sleep(0.05)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--instances", type=int, default=250)
    parser.add_argument("--first-port", type=int, default=9100)
    parser.add_argument("--drop-in", help="a drop-in for ferrolink@.service, to time a variant of the unit")
    args = parser.parse_args()
    deb = test_systemd.build_package()
    ports = range(args.first_port, args.first_port + args.instances)
    box = container.Container(files=[deb])
    try:
        folder = box.add_queue("office")
        box.run("dpkg -i " + box.inside(deb), timeout=300)
        if args.drop_in:
            box.put("/etc/systemd/system/ferrolink@.service.d/bench.conf", bench.read_file(args.drop_in))
            box.run("systemctl daemon-reload")
        box.run("mkdir -p /etc/ferrolink && for p in %s; do echo PRINTER=office > /etc/ferrolink/$p.conf; done"
                % " ".join(map(str, ports)))
        services = ["ferrolink@%d.service" % p for p in ports]
        sockets = ["ferrolink@%d.socket" % p for p in ports]
        load = open("/proc/loadavg").read().split()[:3]
        box.put("/srv/cpu.py", CPU)
        before = cpu(box)
        start = time.perf_counter()
        box.run("systemctl enable --now " + " ".join("ferrolink@%d" % p for p in ports), timeout=600)
        returned = time.perf_counter() - start
        active = "systemctl show -P ActiveState %s | grep -cx active" % " ".join(services)
        listening = "ss -ltnH | awk '{print $4}' | grep -c ':%s$'" % "$\\|:".join(map(str, ports))
        waited(box, active, args.instances)
        ready = time.perf_counter() - start
        spent = cpu_spent(before, cpu(box))
        waited(box, listening, args.instances)
        print("%d instances: systemctl enable --now returned after %.2f s; every service active (READY=1) after "
              "%.2f s, every port listening after %.2f s (load before: %s)"
              % (args.instances, returned, ready, time.perf_counter() - start, " ".join(load)))
        print(spent)
        service = stamps(box, services, STAMPS)
        socket = stamps(box, sockets, ("InactiveExitTimestampMonotonic", "ActiveEnterTimestampMonotonic"))
        first = min(s["InactiveExitTimestampMonotonic"] for s in socket.values())
        last = max(s["ActiveEnterTimestampMonotonic"] for s in service.values())
        print("from the first socket's start to the last READY=1: %.2f s (the rest: the enable's links and reload)"
              % ((last - first) / 1e6))
        print("  socket ExecStartPre (--check-name) to listening: %s"
              % spread([s["ActiveEnterTimestampMonotonic"] - s["InactiveExitTimestampMonotonic"]
                        for s in socket.values()]))
        print("  service ExecStartPre (--read-conf):             %s"
              % spread([s["ExecMainStartTimestampMonotonic"] - s["InactiveExitTimestampMonotonic"]
                        for s in service.values()]))
        print("  the relay's own start, exec to READY=1:          %s"
              % spread([s["ActiveEnterTimestampMonotonic"] - s["ExecMainStartTimestampMonotonic"]
                        for s in service.values()]))
        pss = box.run("for p in $(systemctl show -P MainPID %s); do awk '/^Pss:/{print $2}' /proc/$p/smaps_rollup;"
                      " done" % " ".join(services)).stdout.split()
        print("  memory: median PSS %d KiB per relay" % statistics.median(int(k) for k in pss))
        # One instance restarted alone, on a machine the others leave idle: its own cost.
        alone = services[0]
        box.run("systemctl restart " + alone)
        one = stamps(box, [alone], STAMPS)[alone]
        print("  one instance restarted alone: ExecStartPre %.1f ms, exec to READY=1 %.1f ms"
              % ((one[STAMPS[1]] - one[STAMPS[0]]) / 1000, (one[STAMPS[2]] - one[STAMPS[1]]) / 1000))
        start = time.perf_counter()
        box.put("/srv/each.py", b"import socket, sys\nfor port in sys.argv[1:]:\n"
                b"    with socket.create_connection(('127.0.0.1', int(port))) as s: s.sendall(b'job ' + port.encode())\n")
        box.run("/usr/bin/python3 /srv/each.py " + " ".join(map(str, ports)), timeout=600)
        box.wait_jobs(folder, args.instances, 600)
        print("one job to each: all printed after %.2f s" % (time.perf_counter() - start))
    finally:
        box.close()


if __name__ == "__main__":
    main()
