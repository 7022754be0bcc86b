"""A CUPS scheduler of the test's own: cupsd started in a scratch folder with its own socket,
queues whose backend writes each job to a file, and stopped by its process id afterwards."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import lab as bench  # noqa: E402

CUPSD = shutil.which("cupsd") or "/usr/sbin/cupsd"
BACKEND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tofile")


def searchable_by_all(path):
    """True when any user may pass through every folder down to path."""
    path = os.path.realpath(path)
    while os.stat(path).st_mode & 0o001:
        if os.path.dirname(path) == path:
            return True
        path = os.path.dirname(path)
    return False


class Scheduler:
    def __init__(self, settings="", max_jobs=None, history=True):
        """settings: extra cupsd.conf lines, e.g. "Timeout 5\n"; max_jobs sets MaxJobs; history=False
        drops each job from the scheduler once it ends, so that only jobs still queued or printing
        count against MaxJobs."""
        self.settings = settings
        self.max_jobs, self.history = max_jobs, history
        os.makedirs(bench.SCRATCH, exist_ok=True)
        # cupsd runs the socket backend as lp, which must reach the backend and the job's file: a
        # checkout in root's own home (mode 0700) gets its scheduler in the system's temporary folder.
        if searchable_by_all(bench.SCRATCH):
            self.root = tempfile.mkdtemp(prefix="cups-", dir=bench.SCRATCH)
        else:
            self.root = tempfile.mkdtemp(prefix="ferrolink-cups-")
        os.chmod(self.root, 0o755)
        self.socket = os.path.join(self.root, "cups.sock")
        self.process = None
        self._configure()

    def _configure(self):
        for folder in ("spool", "spool/tmp", "cache", "state", "log", "bin", "ppd"):
            os.makedirs(os.path.join(self.root, folder), exist_ok=True)
        # The scheduler's programs: the system's, plus the test backend.
        for entry in os.listdir("/usr/lib/cups"):
            if entry != "backend":
                os.symlink(os.path.join("/usr/lib/cups", entry), os.path.join(self.root, "bin", entry))
        os.makedirs(os.path.join(self.root, "bin", "backend"))
        for entry in os.listdir("/usr/lib/cups/backend"):
            os.symlink(os.path.join("/usr/lib/cups/backend", entry), os.path.join(self.root, "bin", "backend", entry))
        shutil.copy(BACKEND, os.path.join(self.root, "bin", "backend", "tofile"))
        os.chmod(os.path.join(self.root, "bin", "backend", "tofile"), 0o700)  # runs as root
        self._write_conf()
        with open(os.path.join(self.root, "cups-files.conf"), "w") as f:
            r = self.root
            f.write("ServerRoot %s\nRequestRoot %s/spool\nTempDir %s/spool/tmp\nCacheDir %s/cache\n"
                    "StateDir %s/state\nServerBin %s/bin\nDataDir /usr/share/cups\nAccessLog %s/log/access_log\n"
                    "ErrorLog %s/log/error_log\nPageLog %s/log/page_log\nFileDevice Yes\n"
                    "Printcap %s/printcap\nSystemGroup root\n" % ((r,) * 10))

    def reconfigure(self, settings):
        """Adds cupsd.conf lines and restarts the scheduler with them."""
        self.settings += settings
        self._write_conf()
        self.restart()

    def _write_conf(self):
        with open(os.path.join(self.root, "cupsd.conf"), "w") as f:
            f.write("LogLevel warn\nListen %s\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n%s"
                    % (self.socket, self.settings))
            if self.max_jobs is not None:
                f.write("MaxJobs %d\n" % self.max_jobs)
            if not self.history:
                f.write("PreserveJobHistory No\nPreserveJobFiles No\n")

    def env(self):
        env = dict(os.environ)
        env["CUPS_SERVER"] = self.socket
        return env

    def start(self):
        self.process = subprocess.Popen([CUPSD, "-f", "-c", os.path.join(self.root, "cupsd.conf"),
                                         "-s", os.path.join(self.root, "cups-files.conf")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        bench.wait_for(lambda: self.lpstat() or self.process.poll() is not None, 30, "cupsd")
        if self.process.poll() is not None:
            raise AssertionError("cupsd ended: %s" % bench.read_file(os.path.join(self.root, "log", "error_log")))

    def lpstat(self):
        done = subprocess.run(["lpstat", "-r"], env=self.env(), stdin=subprocess.DEVNULL, capture_output=True)
        return b"is running" in done.stdout

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(30)

    def run(self, *command):
        return subprocess.run(list(command), env=self.env(), stdin=subprocess.DEVNULL, capture_output=True,
                              check=True, timeout=60)

    def relay_env(self, env):
        """A relay's environment that prints into this scheduler."""
        env = dict(env)
        env.update(CUPS_SERVER=self.socket, FERROLINK_SPOOLER="cups")
        return env

    def add_queue(self, name, device_uri=None, delay=None):
        """A raw queue; its jobs land as files in a folder of its own unless another device is given,
        each after delay seconds when given (a slow printer)."""
        folder = os.path.join(self.root, "jobs-" + name)
        os.makedirs(folder, exist_ok=True)
        if delay is not None:
            with open(os.path.join(folder, ".delay"), "w") as f:
                f.write("%g\n" % delay)
        self.run("lpadmin", "-p", name, "-E", "-v", device_uri or "tofile:" + folder)
        return folder

    def jobs(self, folder):
        names = sorted((n for n in os.listdir(folder) if n.endswith(".prn")), key=lambda n: int(n[4:-4]))
        return [(bench.read_file(os.path.join(folder, n)),
                 bench.read_file(os.path.join(folder, n[:-4] + ".title")).decode().strip()) for n in names]

    def wait_jobs(self, folder, count, timeout=60):
        bench.wait_for(lambda: len(self.jobs(folder)) >= count, timeout, "%d CUPS jobs" % count)
        return self.jobs(folder)

    def restart(self):
        self.stop()
        self.start()

    def not_completed(self):
        """The scheduler's jobs that are neither completed nor cancelled nor aborted."""
        return self.run("lpstat", "-W", "not-completed", "-o").stdout.decode().splitlines()

    def wait_settled(self, timeout=30):
        """Waits until every job has ended; returns the jobs still not completed after the time."""
        try:
            bench.wait_for(lambda: not self.not_completed(), timeout, "no job left")
        except AssertionError:
            pass
        return self.not_completed()

    def page_log(self):
        return bench.read_file(os.path.join(self.root, "log", "page_log")).decode()

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


class RelayLab(bench.HostLab):
    """The host lab with its printers as queues of a private scheduler: the same operations as
    the other labs (add_printer, start, jobs, wait_jobs, close), for tests written against them."""

    kind = "cups"

    def __init__(self, **scheduler_options):
        super().__init__()
        self.cups = Scheduler(**scheduler_options)
        self.cups.start()

    def env(self):
        return self.cups.relay_env(super().env())

    def add_printer(self, name):
        return self.cups.add_queue(name)

    def jobs(self, folder):
        return [data for data, _ in self.cups.jobs(folder)]

    def close(self):
        super().close()
        self.cups.close()
