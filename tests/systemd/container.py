"""A real systemd in a container, for the tests of the Linux package: the machine's own root under
an overlay (writes go to a scratch folder, the machine stays untouched), booted with
systemd-nspawn on a private network, commands run inside with nsenter, its own cupsd with a raw
queue whose backend writes each job to a file. Powered off and unmounted by close()."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab as bench  # noqa: E402

REPO = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# Where the checkout's files appear inside: the machine's own paths may lie where the container's
# boot mounts or empties folders (/tmp), so they are copied to a folder of the container's own.
CHECKOUT = "/srv/ferrolink-checkout"
BACKEND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups", "tofile")
SENDER = ('import socket, sys\n'
          'timeout = float(sys.argv[2]) if len(sys.argv) > 2 and sys.argv[2] else None\n'
          'host = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"\n'
          'with socket.create_connection((host, int(sys.argv[1])), timeout) as s:\n'
          '    s.sendall(sys.stdin.buffer.read())\n')
# Sends the first half of a job, lets waiting clients connect and send theirs whole, runs a command
# (a restart), sends the second half and closes; each job's bytes are its index repeated.
MID_JOB = ('import socket, subprocess, sys, threading\n'
           'port, size, waiting, command = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]\n'
           'def job(i): return bytes([i]) * size\n'
           'first = socket.create_connection(("127.0.0.1", port))\n'
           'first.sendall(job(0)[:size // 2])\n'
           'def send(i):\n'
           '    with socket.create_connection(("127.0.0.1", port)) as s: s.sendall(job(i)[:size // 8])\n'
           'threads = [threading.Thread(target=send, args=(i,), daemon=True) for i in range(1, waiting + 1)]\n'
           'for t in threads: t.start()\n'
           'subprocess.run(command, shell=True, check=True)\n'
           'first.sendall(job(0)[size // 2:])\n'
           'first.close()\n'
           'for t in threads: t.join()\n')


class Container:
    def __init__(self, files=()):
        """Boots the container; files are paths of the checkout, copied under CHECKOUT inside."""
        for tool in ("systemd-nspawn", "nsenter"):
            if shutil.which(tool) is None:
                raise AssertionError("%s is missing: the systemd tests need it (scripts/install-deps)" % tool)
        os.makedirs(bench.SCRATCH, exist_ok=True)
        self.scratch = tempfile.mkdtemp(prefix="systemd-", dir=bench.SCRATCH)
        self.root = os.path.join(self.scratch, "root")
        self.nspawn = None
        self.pid = None
        for folder in ("upper", "work", "root"):
            os.makedirs(os.path.join(self.scratch, folder))
        mounted = subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                                  "lowerdir=/,upperdir=%s/upper,workdir=%s/work" % (self.scratch, self.scratch),
                                  self.root], capture_output=True, text=True)
        if mounted.returncode != 0:
            shutil.rmtree(self.scratch, ignore_errors=True)
            raise AssertionError("cannot mount an overlay of / for the container (root and overlayfs needed, "
                                 "scratch not on an overlay): " + mounted.stderr.strip())
        try:
            if shutil.which("sudo") is None:
                self.put("/usr/local/bin/sudo", b'#!/bin/sh\nexec "$@"\n', 0o755)  # we are root already
            self._boot()
            for path in files:
                self.put(self.inside(path), bench.read_file(path))
            # This machine's policy-rc.d forbids maintainer scripts to start or restart services;
            # a machine an administrator runs has none.
            self.run("rm -f /usr/sbin/policy-rc.d")
        except BaseException:
            self.close()
            raise

    def _boot(self):
        self.console = open(os.path.join(self.scratch, "console.log"), "wb")
        # The container's systemd gets the unified cgroup hierarchy and the bpf() call even on a
        # machine booted with hybrid cgroups: IPAddressAllow=/IPAddressDeny= need both.
        self.nspawn = subprocess.Popen(["systemd-nspawn", "-D", self.root, "--register=no", "--keep-unit",
                                        "--private-network", "--system-call-filter=bpf", "-b"],
                                       env=dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1"),
                                       stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        deadline = time.monotonic() + 120
        while self.pid is None and time.monotonic() < deadline and self.nspawn.poll() is None:
            children = bench.read_file("/proc/%d/task/%d/children" % (self.nspawn.pid, self.nspawn.pid)).split()
            if children and bench.read_file("/proc/%s/comm" % children[0].decode()).strip() == b"systemd":
                self.pid = int(children[0])
            time.sleep(0.1)
        if self.pid is None:
            raise AssertionError("systemd-nspawn could not boot the container: %s"
                                 % bench.read_file(self.console.name)[-2000:].decode(errors="replace"))
        # Its manager answers only once it has set itself up; then wait for the boot to finish.
        state = ""
        while state not in ("running", "degraded") and time.monotonic() < deadline:
            done = self.run("systemctl is-system-running --wait", check=False, timeout=180)
            state = done.stdout.strip() or done.stderr.strip()
            time.sleep(0.1 if state not in ("running", "degraded") else 0)
        if state not in ("running", "degraded"):
            raise AssertionError("the container's systemd did not come up: " + state)

    def inside(self, path):
        """Where a file of the checkout is inside the container."""
        return os.path.join(CHECKOUT, os.path.relpath(os.path.realpath(path), REPO))

    def host_path(self, path):
        """Where a path of the container is on the machine (the overlay's mount)."""
        return os.path.join(self.root, path.lstrip("/"))

    def put(self, path, data, mode=0o644):
        target = self.host_path(path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, mode)

    def run(self, command, check=True, timeout=120, input=None, cwd="/"):
        """Runs a shell command inside as root; returns the completed process (text output)."""
        done = subprocess.run(["nsenter", "-t", str(self.pid), "-a", "sh", "-c", 'cd "$0" && ' + command, cwd],
                              input=input, capture_output=True, timeout=timeout)
        done.stdout, done.stderr = (done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace"))
        if check and done.returncode != 0:
            raise AssertionError("in the container, %r failed (%d): %s%s"
                                 % (command, done.returncode, done.stdout[-1000:], done.stderr[-1000:]))
        return done

    def add_queue(self, name):
        """A raw queue of the container's cupsd whose jobs land as files; returns its folder inside."""
        folder = "/var/spool/ferrolink-test/" + name
        self.put("/usr/lib/cups/backend/tofile", bench.read_file(BACKEND), 0o700)  # runs as root
        os.makedirs(self.host_path(folder), exist_ok=True)
        self.run("lpadmin -p %s -E -v tofile:%s" % (name, folder))
        return folder

    def jobs(self, folder):
        """(data, title) of each job of a queue's folder, in job order."""
        path = self.host_path(folder)
        names = sorted((n for n in os.listdir(path) if n.endswith(".prn")), key=lambda n: int(n[4:-4]))
        return [(bench.read_file(os.path.join(path, n)),
                 bench.read_file(os.path.join(path, n[:-4] + ".title")).decode().strip()) for n in names]

    def wait_jobs(self, folder, count, timeout=60):
        bench.wait_for(lambda: len(self.jobs(folder)) >= count, timeout, "%d CUPS jobs in the container" % count)
        return self.jobs(folder)

    def job_owners(self, queue):
        """The user of every job CUPS has kept for the queue."""
        out = self.run("lpstat -W all -o %s" % queue).stdout
        return [line.split()[1] for line in out.splitlines() if line.strip()]

    def send_job(self, port, data, timeout=None, check=True, host="127.0.0.1"):
        """Connects to the port on the container's 127.0.0.1 (or host), sends the data and closes;
        returns the sender's exit status (not 0 when the connection failed within the time-out)."""
        return self.run("/usr/bin/python3 -c '%s' %d '%s' %s" % (SENDER, port, timeout or "", host), input=data,
                        check=check).returncode

    def send_mid_job(self, port, size, waiting, command):
        """Runs MID_JOB inside: a job of size bytes cut by the command, with waiting clients of
        size // 8 bytes each."""
        self.put("/srv/mid_job.py", MID_JOB.encode())
        self.run("/usr/bin/python3 /srv/mid_job.py %d %d %d '%s'" % (port, size, waiting, command), timeout=180)

    def ip_filter_missing(self, unit, port):
        """Says in plain words why a client that the unit's IPAddressDeny= should refuse got through:
        the drop-in not taken, the relay not on the filtered socket, or no filtering at all here."""
        deny = self.run("systemctl show -P IPAddressDeny " + unit).stdout.strip()
        if not deny:
            return "a client got through: %s has no IPAddressDeny= (the drop-in was not taken)" % unit
        # A unit of its own, denied everything, tells whether this systemd filters at all.
        probe = self.run("systemd-run --quiet --wait --pipe -p IPAddressDeny=any /usr/bin/python3 -c '%s' %d 3"
                         % (SENDER, port), input=b"", check=False)
        if probe.returncode != 0:
            return ("a client got through %s (IPAddressDeny=%s), though this systemd filters a unit of its own: "
                    "the relay does not serve the filtered socket" % (unit, deny))
        hierarchy = self.run("stat -fc %T /sys/fs/cgroup", check=False).stdout.strip()
        return ("a client that IPAddressDeny= should refuse got through: the container's systemd cannot "
                "filter IP addresses. That needs BPF: the unified cgroup hierarchy (here: %s), and the bpf() "
                "system call allowed to systemd-nspawn (--system-call-filter=bpf, by every container this one "
                "runs in); without it systemd starts the unit unfiltered and logs nothing above debug level."
                % (hierarchy or "unknown"))

    def listening(self, port):
        return self.run("ss -ltnH 'sport = :%d'" % port).stdout.strip() != ""

    def state(self, unit):
        """systemd's ActiveState of the unit (active, failed, ...)."""
        return self.run("systemctl show -P ActiveState " + unit).stdout.strip()

    def main_pid(self, unit):
        return int(self.run("systemctl show -P MainPID " + unit).stdout.strip() or 0)

    def exposure(self, unit):
        """The overall exposure systemd-analyze security gives the unit."""
        out = self.run("systemd-analyze security --no-pager " + unit).stdout
        return float(re.search(r"Overall exposure level for \S+: ([0-9.]+)", out).group(1))

    def close(self):
        """Powers the container off, waits for nspawn, unmounts the overlay and removes the scratch."""
        if self.nspawn is not None and self.nspawn.poll() is None:
            if self.pid is not None:
                subprocess.run(["nsenter", "-t", str(self.pid), "-a", "systemctl", "poweroff"],
                               capture_output=True, timeout=60)
            try:
                self.nspawn.wait(60)
            except subprocess.TimeoutExpired:
                if self.pid is not None:
                    os.kill(self.pid, signal.SIGRTMIN + 4)
                try:
                    self.nspawn.wait(30)
                except subprocess.TimeoutExpired:
                    self.nspawn.kill()
                    self.nspawn.wait()
        if getattr(self, "console", None):
            self.console.close()
        if os.path.ismount(self.root):
            if subprocess.run(["umount", self.root], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", self.root], capture_output=True)
        shutil.rmtree(self.scratch, ignore_errors=True)
