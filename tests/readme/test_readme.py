"""The README as a user guide, followed step by step: its Windows console sessions under Wine
(each command run, the program's own output compared line for line), and its Linux steps with the
package built, then installed, enabled, used and removed in a container booting a real systemd."""

import glob
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "systemd"))
import lab as bench  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
README = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()


def windows_sessions():
    """Each ```console block: a list of (folder of the prompt, command, expected output lines)."""
    steps = []
    for block in re.findall(r"```console\n(.*?)```", README, re.S):
        for line in block.splitlines():
            prompt = re.match(r"(C:\\[^>]*)> (.*)", line)
            if prompt:
                steps.append((prompt.group(1), prompt.group(2), []))
            elif steps:
                steps[-1][2].append(line)
    return steps


def shell_blocks():
    return [block for block in re.findall(r"```(?:sh|bash)\n(.*?)```", README, re.S)]


def linux_steps():
    """The Linux section's commands and drop-ins, in order: ("sh", line) or ("ini", text)."""
    section = README[README.index("## Using it on Linux"):README.index("## Building")]
    steps = []
    for kind, block in re.findall(r"```(sh|ini)\n(.*?)```", section, re.S):
        steps += [(kind, line) for line in block.splitlines()] if kind == "sh" else [(kind, block)]
    return steps


class ReadmeWindowsTest(unittest.TestCase):
    def test_windows_sessions_as_written(self):
        steps = windows_sessions()
        self.assertGreaterEqual(len(steps), 4)
        lab = bench.WineLab(persistent_server=True)
        try:
            folder = os.path.join(lab.root, "Ferrolink")
            os.makedirs(folder)
            shutil.copy(bench.WINDOWS_EXE, folder)
            printer = lab.add_printer("Office Printer")
            for prompt, command, expected in steps:
                # Every run resets the log of its folder: the README runs them all from the program's.
                self.assertEqual("C:\\Ferrolink", prompt, command)
                words = shlex.split(command.replace("\\", "\\\\"))
                if words[0] == "ferrolink":
                    words = ["wine", os.path.join(folder, "ferrolink.exe")] + words[1:]
                else:
                    words = ["wine"] + words
                status, out, err = lab.wine(words, check=False, cwd=folder)
                self.assertEqual(0, status, (command, err[-300:]))
                if command.startswith("ferrolink"):
                    self.assertEqual(expected, out.decode().splitlines(), command)
                if "INSTALL" in command:
                    # What a new user does next: print through it.
                    bench.wait_for(lambda: bench.listening(9101), 30, "the service on 9101")
                    bench.send_job(9101, b"from the README")
                    self.assertEqual([b"from the README"], lab.wait_jobs(printer, 1))
        finally:
            lab.wine(["wine", "sc", "delete", "KVFerrolink_9101"], check=False)
            lab.close()


def demo_lock_holders(demo):
    """The processes with the demo folder open (the lock that keeps one demo at a time)."""
    holders = []
    for link in glob.glob("/proc/[0-9]*/fd/*"):
        try:
            if os.readlink(link) == demo:
                holders.append(link.split("/")[2])
        except OSError:
            pass  # a process that ended meanwhile
    return holders


class ReadmeDemoTest(unittest.TestCase):
    def test_demo_and_the_commands_it_suggests(self):
        port = bench.free_port()
        demo = os.path.join(ROOT, "demo")
        # A first run stopped hard while it makes its Wine prefix (a closed terminal, a killed
        # container): the runs below must not take what it left as a ready prefix.
        prefix_env = dict(os.environ, WINEPREFIX=os.path.join(demo, "prefix"))
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-k"], env=prefix_env, **quiet)
        shutil.rmtree(os.path.join(demo, "prefix"), ignore_errors=True)
        os.makedirs(bench.SCRATCH, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=bench.SCRATCH, prefix="demo-out-") as said:
            first = subprocess.Popen([os.path.join(ROOT, "scripts", "demo"), str(port)], cwd=ROOT,
                                     stdin=subprocess.DEVNULL, stdout=said, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
            bench.wait_for(lambda: b"Creating the Wine prefix" in bench.read_file(said.name), 300, "the prefix")
            time.sleep(3)
            os.killpg(first.pid, 9)
            first.wait()
            subprocess.run(["wineserver", "-k"], env=prefix_env, **quiet)
        # With its port taken the relay ends at once: the demo says so and suggests another port.
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", port))
            holder.listen(1)
            status, out, err = bench.run_captured([os.path.join(ROOT, "scripts", "demo"), str(port)], cwd=ROOT,
                                                  timeout=300)
        self.assertEqual(1, status)
        self.assertNotIn(b"listens on port", out)
        self.assertIn(b"Last line of %s/Ferrolink.log: Error: couldn't bind: 10048\n" % demo.encode(), err)
        self.assertIn(b"scripts/demo %d\n" % (port + 1), err)
        # The demo is over, though its wineserver lingers: nothing may hold the demo's lock now.
        self.assertEqual([], demo_lock_holders(demo))
        said = tempfile.NamedTemporaryFile(dir=bench.SCRATCH, prefix="demo-out-")
        process = subprocess.Popen([os.path.join(ROOT, "scripts", "demo"), str(port)], cwd=ROOT,
                                   stdin=subprocess.DEVNULL, stdout=said, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        try:
            bench.wait_for(lambda: bench.listening(port) or process.poll() is not None, 300, "the demo relay")
            self.assertIsNone(process.poll())
            # Under Wine the listening socket is the wineserver's: the demo must still recognise it
            # as the relay's and say so while it listens (it used to give up looking after 60 s).
            announcement = b"Ferrolink listens on port %d" % port
            bench.wait_for(lambda: announcement in bench.read_file(said.name), 30, "the demo's announcement")
            # A second demo in the same checkout refuses, and leaves the running one's log alone.
            status, out, err = bench.run_captured([os.path.join(ROOT, "scripts", "demo"), str(port + 1)], cwd=ROOT,
                                                  timeout=60)
            self.assertEqual(1, status, err)
            self.assertNotIn(b"listens on port", out)
            self.assertIn(b"Another scripts/demo runs in this checkout", err)
            self.assertNotIn(b"Error", bench.read_file(os.path.join(demo, "Ferrolink.log")))
            before = set(os.listdir(os.path.join(demo, "jobs")))
            block = [b for b in shell_blocks() if "/dev/tcp/127.0.0.1/9100" in b][0]
            for line in block.splitlines():
                command = line.split("#")[0].strip().replace("/9100", "/%d" % port)
                done = subprocess.run(["bash", "-c", command], cwd=ROOT, capture_output=True, timeout=60)
                self.assertEqual(0, done.returncode, command)
                if command.startswith("printf"):
                    bench.wait_for(lambda: len(set(os.listdir(os.path.join(demo, "jobs"))) - before) == 1, 30,
                                   "the demo job")
                if command.startswith("cat"):
                    self.assertIn(b"Accept print job for Demo Printer from 127.0.0.1\r\n", done.stdout)
            new = (set(os.listdir(os.path.join(demo, "jobs"))) - before).pop()
            self.assertEqual(b"Hello, printer\n", bench.read_file(os.path.join(demo, "jobs", new)))
        finally:
            os.killpg(process.pid, 15)
            process.wait()
            said.close()
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=os.path.join(demo, "prefix")),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class ReadmeLinuxTest(unittest.TestCase):
    def test_package_as_the_readme_builds_it(self):
        build = shell_blocks()[[i for i, b in enumerate(shell_blocks()) if "--target package" in b][0]]
        command = build.splitlines()[0]
        subprocess.run(command, shell=True, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        package = re.search(r"\./(build/host/packages/\S+\.deb)", build).group(1)
        path = os.path.join(ROOT, package)
        self.assertTrue(os.path.exists(path), package)
        scratch = tempfile.mkdtemp(dir=bench.SCRATCH)
        try:
            subprocess.run(["dpkg", "-x", path, scratch], check=True)
            for name in ("usr/bin/ferrolink", "usr/lib/systemd/system/ferrolink@.service",
                         "usr/lib/systemd/system/ferrolink@.socket", "etc/logrotate.d/ferrolink",
                         "usr/share/doc/ferrolink/README.md", "usr/share/doc/ferrolink/CHANGELOG.md"):
                self.assertTrue(os.path.exists(os.path.join(scratch, name)), name)
            control = os.path.join(scratch, "control")
            subprocess.run(["dpkg", "-e", path, control], check=True)
            self.assertIn(b"deb-systemd-invoke restart", bench.read_file(os.path.join(control, "postinst")))
            self.assertIn(b"deb-systemd-invoke stop", bench.read_file(os.path.join(control, "prerm")))
            unit = bench.read_file(os.path.join(scratch, "usr/lib/systemd/system/ferrolink@.service")).decode()
            self.assertIn("ExecStart=/usr/lib/ferrolink/ferrolink-start %i", unit)
            self.assertIn("EnvironmentFile=-/etc/ferrolink/%i.conf", unit)
            # The packaged program runs and prints its usage.
            done = subprocess.run([os.path.join(scratch, "usr/bin/ferrolink")], cwd=scratch, capture_output=True)
            self.assertEqual(1, done.returncode)
            self.assertIn(b"ferrolink INSTALL \"Printer Name\" [port]\n", done.stderr)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def test_linux_lines_in_a_systemd_container(self):
        import container
        steps = linux_steps()
        build = [line for kind, line in steps if "--target package" in line][0]
        subprocess.run(build, shell=True, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        package = re.search(r"\./(build/host/packages/\S+\.deb)", README).group(1)
        box = container.Container(files=[os.path.join(ROOT, package)])
        try:
            folder = box.add_queue("office")
            sent = 0
            for kind, step in steps:
                if step == build or "FERROLINK_SPOOLER=" in step:
                    continue  # built above; the foreground relay has its own test
                if kind == "ini":
                    # The drop-in as written keeps local clients; without localhost, they are refused.
                    dropin = "/etc/systemd/system/ferrolink@9100.socket.d/clients.conf"
                    restart = ("systemctl daemon-reload && systemctl stop ferrolink@9100.service ferrolink@9100.socket"
                               " && systemctl start ferrolink@9100")
                    self.assertIn("systemctl edit ferrolink@9100.socket", README)
                    self.assertIn(restart.split("&& ", 1)[1].replace("&& ", "&& sudo "), " ".join(README.split()))
                    for text, allowed in ((step, True), (step.replace("localhost ", ""), False)):
                        box.put(dropin, text.encode())
                        box.run(restart)
                        bench.wait_for(lambda: box.listening(9100), 30, "the relay with the drop-in")
                        if allowed:
                            box.send_job(9100, b"allowed client")
                            sent += 1
                        else:
                            if box.send_job(9100, b"refused client", timeout=3, check=False) == 0:
                                self.fail(box.ip_filter_missing("ferrolink@9100.socket", 9100))
                        self.assertEqual(sent, len(box.wait_jobs(folder, sent)), text)
                    box.run("rm %s && %s" % (dropin, restart))
                    continue
                done = box.run(step, cwd=container.CHECKOUT, input=b"y\n")  # what the reader answers to apt
                if "enable --now" in step:
                    bench.wait_for(lambda: box.listening(9100), 30, "the relay on 9100")
                    box.send_job(9100, b"from the README")
                    sent += 1
                    self.assertEqual((b"from the README", "Forwarded Job"), box.wait_jobs(folder, sent)[-1])
                    log = re.search(r"`(/var/log/ferrolink/9100/Ferrolink.log)`", README).group(1)
                    self.assertIn(b"Accept print job for office from 127.0.0.1\n", box.run("cat " + log).stdout.encode())
                if step.startswith("sudo journalctl"):
                    self.assertIn("Accept print job for office from 127.0.0.1", done.stdout)
                if step.startswith("systemctl status"):
                    self.assertIn("active (running)", done.stdout)
                if "disable --now" in step:
                    self.assertFalse(box.listening(9100))
                    self.assertNotEqual(0, box.run("systemctl is-enabled ferrolink@9100", check=False).returncode)
                if "apt remove" in step:
                    self.assertNotIn("install ok installed",
                                     box.run("dpkg-query -W -f='${Status}' ferrolink", check=False).stdout)
            self.assertEqual(["ferrolink"] * sent, box.job_owners("office"))
        finally:
            box.close()

    def test_foreground_relay_into_cups_as_written(self):
        import cupslab
        line = [b for b in shell_blocks() if "FERROLINK_SPOOLER=cups" in b][0].strip()
        scheduler = cupslab.Scheduler()
        scheduler.start()
        try:
            folder = scheduler.add_queue("office")
            port = bench.free_port()
            state = tempfile.mkdtemp(dir=bench.SCRATCH)
            command = line.replace("/var/lib/ferrolink", state).replace(" ferrolink ", " %s " % bench.HOST_EXE)
            command = command.replace(" 9100", " %d" % port)
            relay = subprocess.Popen(command, shell=True, cwd=state, env=scheduler.env(),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
            try:
                bench.wait_for(lambda: bench.listening(port), 30, "the relay")
                bench.send_job(port, b"through CUPS")
                self.assertEqual([(b"through CUPS", "Forwarded Job")], scheduler.wait_jobs(folder, 1))
            finally:
                os.killpg(relay.pid, 15)
                relay.wait()
                shutil.rmtree(state, ignore_errors=True)
        finally:
            scheduler.close()


if __name__ == "__main__":
    unittest.main()
