"""The README and the Windows guide followed step by step: their Windows console sessions under
Wine (each command run, the program's own output compared line for line, other programs' quoted
lines found in what they print), and the README's Linux quick start with the package built, then
installed, configured, enabled and used in a container booting a real systemd."""

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
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cups"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "systemd"))
import lab as bench  # noqa: E402

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
README = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
DEVELOPING = open(os.path.join(ROOT, "DEVELOPING.md"), encoding="utf-8").read()
GUIDE = open(os.path.join(ROOT, "docs", "windows.md"), encoding="utf-8").read()
PROGRAM_FOLDER = "C:\\Ferrolink"
# Where Wine differs from Windows: its services run in C:\windows, not in C:\Windows\System32.
WINE_PATHS = [("C:\\Windows\\System32\\Ferrolink.log", "C:\\windows\\Ferrolink.log")]
# The commands of ```bat blocks that Wine cannot show, and why; the others there are run.
NOT_UNDER_WINE = {
    "certutil": "Wine's certutil prints no hash",
    "type ferrolink-": "the release files are not in the Wine prefix",
    "powershell": "Wine has no PowerShell",
    "netstat": "Wine's netstat lists no sockets",
    "tasklist": "Wine's tasklist lists no processes",
    "taskkill": "needs a process id from netstat",
    "start ": "a BACKGROUND relay is run by the console tests",
    "copy ": "the upgrade's new executable is the one installed",
    "cd /d %USERPROFILE%": "the release files are not in the Wine prefix",
    "sc failure": "Wine's sc has no failure actions",
}
# The release zip that the docs unpack, as the windows preset's package target makes it.
ZIP_FOLDER = os.path.join(os.path.dirname(bench.WINDOWS_EXE), "packages")


def windows_steps(text):
    """The ```console and ```bat blocks in the order of the text: ("console", folder of the
    prompt, command, expected output lines) for each prompt, ("bat", None, command, []) for each
    line of a bat block."""
    steps = []
    for kind, block in re.findall(r"```(console|bat)\n(.*?)```", text, re.S):
        for line in block.splitlines():
            prompt = re.match(r"(C:\\[^>]*)> (.*)", line)
            if kind == "bat":
                steps.append(("bat", None, line, []))
            elif prompt:
                steps.append(("console", prompt.group(1), prompt.group(2), []))
            elif steps:
                steps[-1][3].append(line)
    return steps


def shell_blocks(text=README):
    return [block for block in re.findall(r"```(?:sh|bash)\n(.*?)```", text, re.S)]


def linux_steps():
    """The Linux quick start's commands, in order."""
    section = README[README.index("## Linux quick start"):README.index("## For developers")]
    return [line for block in re.findall(r"```sh\n(.*?)```", section, re.S) for line in block.splitlines()]


def readme_package():
    """The package the quick start installs, its file name expanded as bash expands it here."""
    line = [step for step in linux_steps() if step.startswith("sudo apt install ./")][0]
    named = subprocess.run(["bash", "-c", "echo " + line.split("./", 1)[1]], capture_output=True, text=True)
    return named.stdout.strip()


def in_order(expected, lines):
    """Whether the expected lines appear in the output lines in the same order."""
    at = 0
    for want in expected:
        while at < len(lines) and lines[at].rstrip() != want.rstrip():
            at += 1
        if at == len(lines):
            return False
        at += 1
    return True


class ReadmeWindowsTest(unittest.TestCase):
    def follow(self, text):
        """Runs a document's console sessions under Wine as an administrator would type them."""
        steps = windows_steps(text)
        lab = bench.WineLab(persistent_server=True)
        relay = None
        try:
            folder = os.path.join(lab.root, "Ferrolink")
            if not [s for s in steps if s[0] == "console" and s[2].startswith("tar -xf ")]:
                os.makedirs(folder)  # a document that does not unpack it has it in place
                shutil.copy(bench.WINDOWS_EXE, folder)
            printers = {name: lab.add_printer(name) for name in ("Office Printer", "Label Printer")}
            printer, received = printers["Office Printer"], {}
            service_ports = set()
            advertising = False
            serving = [9101]  # the port of the service installed last

            def print_through_the_service():
                # What a new user does next: print through it, onto the printer it names now.
                bench.wait_for(lambda: bench.listening(serving[0]), 30, "the service on %d" % serving[0])
                bench.send_job(serving[0], b"from the docs")
                received[printer] = received.get(printer, 0) + 1
                self.assertEqual(b"from the docs", lab.wait_jobs(printer, received[printer])[-1])

            for kind, prompt, command, expected in steps:
                if kind == "bat":
                    if [why for start, why in NOT_UNDER_WINE.items() if command.startswith(start)]:
                        continue
                    if command.startswith("tar -xf "):
                        self.unpack(command, folder)  # an upgrade, over the program's folder
                        continue
                    for windows, wine in WINE_PATHS + [(PROGRAM_FOLDER, "Z:" + folder.replace("/", "\\"))]:
                        command = command.replace(windows, wine)
                    status, out, err = lab.wine(["wine", "cmd", "/c", command], check=False,
                                                cwd=folder if os.path.isdir(folder) and "rmdir " not in command else lab.root)
                    self.assertEqual(0, status, (command, err[-300:]))
                    if command.startswith("rmdir "):
                        self.assertFalse(os.path.exists(folder), command)
                    if command.startswith("sc start"):
                        print_through_the_service()
                        if advertising:  # Wine has no DNS-SD: the service says so, and serves on
                            self.assertIn(b"No DNS-SD on this system: not advertised\r\n", lab.service_log())
                    continue
                if command.startswith("cd /d "):
                    self.assertEqual(PROGRAM_FOLDER, command[6:])
                    continue
                if command.startswith("mkdir ") or command.startswith("tar -xf "):
                    self.unpack(command, folder)
                    continue
                # Every run resets the log of its folder: the docs run them all from the program's.
                self.assertEqual(PROGRAM_FOLDER, prompt, command)
                words = shlex.split(command.replace("\\", "\\\\"))
                if words[0] == "ferrolink":
                    words = ["wine", os.path.join(folder, "ferrolink.exe")] + words[1:]
                else:
                    words = ["wine"] + words
                if words[2].upper() == "STANDALONE":
                    # It runs until it is ended: start it, print through it, end it by its id.
                    relay = lab.start(words[2:], cwd=folder, exe=words[1])
                    port = int(words[4])
                    relay.wait_listening(port)
                    bench.send_job(port, b"from a console")
                    target = printers[words[3]]
                    received[target] = received.get(target, 0) + 1
                    self.assertEqual(b"from a console", lab.wait_jobs(target, received[target])[-1])
                    relay.stop()
                    relay = None
                    continue
                status, out, err = lab.wine(words, check=False, cwd=folder)
                self.assertEqual(0, status, (command, err[-300:]))
                said = out.decode().splitlines()
                if command.startswith("ferrolink"):
                    self.assertEqual(expected, said, command)
                else:
                    self.assertTrue(in_order(expected, said), (command, said))
                if " INSTALL " in command:
                    service_ports.add(int(words[-1]))
                    serving[0] = int(words[-1])
                    printer = printers[words[3]]
                if " REMOVE " in command and expected[-1:] == ["DeleteService SUCCESS"]:
                    # The service's key goes with it, its advertising values included.
                    key = "HKLM\\System\\CurrentControlSet\\Services\\KVFerrolink_" + words[-1]
                    self.assertNotEqual(0, lab.wine(["wine", "reg", "query", key], check=False)[0], key)
                if "/v Advertise " in command:
                    advertising = words[words.index("/d") + 1] != "0"
                if "/v Printer" in command:
                    printer = printers[words[words.index("/d") + 1]]
                if " INSTALL " in command or "/v Printer" in command:
                    print_through_the_service()
            return lab, service_ports
        finally:
            if relay is not None:
                relay.stop()
            for port in (9101, 9105):
                lab.wine(["wine", "sc", "delete", "KVFerrolink_%d" % port], check=False)
            lab.close()

    def unpack(self, command, folder):
        """The docs' unpacking, which Wine has no tar for: the real release zip, extracted into
        the folder the command names, as Windows's tar does."""
        words = command.split()
        if words[0] == "mkdir":
            self.assertEqual([PROGRAM_FOLDER], words[1:])
            os.makedirs(folder)
            return
        self.assertEqual(["-C", PROGRAM_FOLDER], words[3:], command)
        name = words[2].split("\\")[-1]
        zip_path = os.path.join(ZIP_FOLDER, name)
        self.assertTrue(os.path.exists(zip_path), "%s: build the windows preset's package target" % zip_path)
        self.assertTrue(os.path.isdir(folder), "tar -C needs the folder")
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(folder)

    def test_readme_windows_quick_start(self):
        _, ports = self.follow(README)
        self.assertEqual({9101}, ports)
        # The quick start's check: the line it quotes is in the services' log, at its place.
        check = README[README.index("**Check it.**"):]
        self.assertIn("`STATE : 4 RUNNING`", check)
        self.assertIn(WINE_PATHS[0][0], check)

    def test_guide_sessions_as_written(self):
        self.assertGreaterEqual(len([s for s in windows_steps(GUIDE) if s[0] == "console"]), 8)
        self.follow(GUIDE)

    def test_guide_tells_every_message(self):
        """The troubleshooting table quotes every console message and log line the program has."""
        sources = ""
        for path in glob.glob(os.path.join(ROOT, "src", "*", "*.cpp")):
            with open(path, encoding="utf-8") as source:
                sources += source.read()
        table = GUIDE[GUIDE.index("## Troubleshooting"):GUIDE.index("## The edge cases")]
        calls = (r'(?:ConsolePrint|LogLine|LogNameLine|LogSocketError|LogWideNameLine|FormatNameLine\([^,]+, [^,]+,|'
                 r'FormatBounded\([^,]+, [^,]+,)')
        messages = re.findall(calls + r'\s*\(?"([A-Z](?:[^"\\]|\\.)+)"', sources)
        self.assertGreater(len(messages), 15)
        self.assertIn('DNS-SD name taken, advertising \\"', messages)
        for message in messages:
            first = re.split(r"%[ds]", message.replace("\\n", "").replace('\\"', '"'))[0].strip()
            if first and not first.startswith("KVFerrolink_"):
                self.assertIn(first, table, message)


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
            block = [b for b in shell_blocks(DEVELOPING) if "/dev/tcp/127.0.0.1/9100" in b][0]
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
    def test_build_dependencies_are_the_ones_named(self):
        """The packages named are what the builds need: each one is installed here, and the
        source's line names every tool or library the CMake files use."""
        source = README[README.index("## Get the source"):README.index("## Windows quick start")]
        packages = re.search(r"sudo apt install (.*)\n", source).group(1).split()
        self.assertEqual(["git", "cmake", "ninja-build", "g++", "python3", "libcups2-dev", "libavahi-client-dev",
                          "dpkg-dev"], packages)
        self.assertIn("sudo apt install libgtest-dev", linux_steps())
        self.assertIn("sudo apt install mingw-w64\nscripts/release\n", README)
        for package in packages + ["libgtest-dev", "mingw-w64"]:
            shown = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True)
            self.assertIn("install ok installed", shown.stdout, package)
        # Every header the CMake files require comes from a package of the source's line.
        headers = []
        # Links are not followed (the demo's Wine prefix has drives that lead to the whole file
        # system), and the build and demo folders are not walked.
        for folder, subfolders, files in os.walk(ROOT):
            subfolders[:] = [name for name in subfolders if name not in ("build", "demo", ".git")]
            if "CMakeLists.txt" in files:
                text = bench.read_file(os.path.join(folder, "CMakeLists.txt")).decode()
                headers += re.findall(r"find_path\(\w+ (\S+) REQUIRED\)", text)
        self.assertGreaterEqual(len(headers), 2)
        for header in headers:
            owner = subprocess.run(["dpkg", "-S", "/usr/include/" + header], capture_output=True, text=True)
            package = owner.stdout.split(":")[0]
            self.assertIn(package, packages, header)
        self.assertIn("-DBUILD_TESTING=OFF", README)
        self.assertIn("cmake 3.25", README)
        self.assertIn('"major": 3, "minor": 25', open(os.path.join(ROOT, "CMakePresets.json")).read())

    def test_package_as_the_readme_builds_it(self):
        build = [step for step in linux_steps() if "--target package" in step][0]
        subprocess.run(build, shell=True, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        package = readme_package()
        path = os.path.join(ROOT, package)
        self.assertTrue(os.path.exists(path), package)
        scratch = tempfile.mkdtemp(dir=bench.SCRATCH)
        try:
            subprocess.run(["dpkg", "-x", path, scratch], check=True)
            for name in ("usr/bin/ferrolink", "usr/lib/systemd/system/ferrolink@.service",
                         "usr/lib/systemd/system/ferrolink@.socket", "etc/logrotate.d/ferrolink",
                         "usr/share/doc/ferrolink/README.md", "usr/share/doc/ferrolink/CHANGELOG.md"):
                self.assertTrue(os.path.exists(os.path.join(scratch, name)), name)
            # The packaged program runs and prints its usage.
            done = subprocess.run([os.path.join(scratch, "usr/bin/ferrolink")], cwd=scratch, capture_output=True)
            self.assertEqual(1, done.returncode)
            self.assertIn(b"ferrolink INSTALL \"Printer Name\" [port]\n", done.stderr)
            self.installed_relay_prints_into_cups(os.path.join(scratch, "usr/bin/ferrolink"))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def installed_relay_prints_into_cups(self, program):
        """The manual page's synopsis as written, with no setting: the packaged relay prints into
        the CUPS queue of that name, while the build tree's keeps the folder spooler."""
        import cupslab
        with open(os.path.join(ROOT, "packaging", "linux", "ferrolink.8"), encoding="utf-8") as manual:
            page = manual.read()
        example = "\nFERROLINK_ROOT=$HOME/ferrolink\\-try ferrolink STANDALONE office 9200\n"
        self.assertIn(example, page)
        scheduler = cupslab.Scheduler()
        scheduler.start()
        try:
            folder = scheduler.add_queue("office")
            port = bench.free_port()
            home = tempfile.mkdtemp(dir=bench.SCRATCH)
            env = {k: v for k, v in scheduler.env().items() if not k.startswith("FERROLINK_")}
            env["HOME"] = home
            # The example as written, on a free port: its log in the folder of its own.
            own = os.path.join(home, "ferrolink-try")
            os.makedirs(own)
            relay = subprocess.Popen([program, "STANDALONE", "office", str(port)], cwd=own,
                                     env=dict(env, FERROLINK_ROOT=own), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                bench.wait_for(lambda: bench.listening(port), 30, "the relay")
                bench.send_job(port, b"through CUPS")
                self.assertEqual([(b"through CUPS", "Forwarded Job")], scheduler.wait_jobs(folder, 1))
            finally:
                relay.terminate()
                relay.wait()
            self.assertTrue(os.path.isdir(os.path.join(own, "held", str(port))))
            self.assertIn("Accept print job for office", bench.read_file(os.path.join(own, "Ferrolink.log")).decode())
            # The build tree's relay, run the same way, prints into the folder printer of that name.
            printer = os.path.join(home, ".ferrolink", "printers", "office")
            os.makedirs(printer)
            relay = subprocess.Popen([bench.HOST_EXE, "STANDALONE", "office", str(port)], cwd=home, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                bench.wait_for(lambda: bench.listening(port), 30, "the build tree's relay")
                bench.send_job(port, b"into a folder")
                bench.wait_for(lambda: os.listdir(printer), 30, "the folder job")
            finally:
                relay.terminate()
                relay.wait()
            self.assertEqual(1, len(scheduler.wait_jobs(folder, 1)))
            shutil.rmtree(home, ignore_errors=True)
        finally:
            scheduler.close()

    def test_linux_quick_start_in_a_systemd_container(self):
        import container
        steps = linux_steps()
        build = [step for step in steps if "--target package" in step][0]
        subprocess.run(build, shell=True, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
        package = readme_package()
        box = container.Container(files=[os.path.join(ROOT, package)])
        try:
            folder = box.add_queue("office")
            ran = []
            for step in steps:
                if step == build or step == "sudo apt install libgtest-dev":
                    continue  # built above; the build dependencies have their own test
                if "/dev/tcp/" in step:
                    done = box.run("bash -c %s" % shlex.quote(step))
                    self.assertEqual((b"Hello, printer\n", "Forwarded Job"), box.wait_jobs(folder, 1)[-1])
                else:
                    done = box.run(step, cwd=container.CHECKOUT, input=b"y\n")  # what the reader answers to apt
                ran.append(step)
                if "enable --now" in step:
                    bench.wait_for(lambda: box.listening(9100), 30, "the relay on 9100")
                if step.startswith("systemctl status"):
                    self.assertIn("active (running)", done.stdout)
                    self.assertIn("Relaying port 9100 to queue office", done.stdout)
                if step.startswith("sudo journalctl"):
                    self.assertIn("Accept print job for office from 127.0.0.1", done.stdout)
                if step.startswith("lpstat"):
                    self.assertRegex(done.stdout, r"office-\d+ +ferrolink ")
            self.assertEqual(8, len(ran), ran)
            self.assertIn("`Accept print job for office from 127.0.0.1`", README)
            self.manual_page_drop_ins(box, folder)
            self.assertEqual(["ferrolink"] * 2, box.job_owners("office"))
        finally:
            box.close()

    def manual_page_drop_ins(self, box, folder):
        """The manual page's socket drop-ins, applied as it says: the client filter keeps local
        clients and, without localhost, refuses them; one address replaces every address."""
        with open(os.path.join(ROOT, "packaging", "linux", "ferrolink.8"), encoding="utf-8") as manual:
            page = manual.read()
        blocks = [b.replace("\\-", "-") for b in re.findall(r"\.nf\n(\[Socket\]\n.*?)\.fi", page, re.S)]
        clients = [b for b in blocks if "IPAddressAllow=" in b][0]
        address = [b for b in blocks if "ListenStream=" in b][0]
        dropin = "/etc/systemd/system/ferrolink@9100.socket.d/override.conf"
        restart = "systemctl stop ferrolink@9100.service ferrolink@9100.socket"
        self.assertIn("systemctl edit ferrolink@9100.socket", page.replace("\\-", "-"))
        self.assertIn(restart, " ".join(page.replace("\\-", "-").split()))
        restart = "systemctl daemon-reload && %s && systemctl start ferrolink@9100" % restart
        sent = 1
        for text, allowed in ((clients, True), (clients.replace("localhost ", ""), False)):
            box.put(dropin, text.encode())
            box.run(restart)
            bench.wait_for(lambda: box.listening(9100), 30, "the relay with the drop-in")
            if allowed:
                box.send_job(9100, b"allowed client")
                sent += 1
            elif box.send_job(9100, b"refused client", timeout=3, check=False) == 0:
                self.fail(box.ip_filter_missing("ferrolink@9100.socket", 9100))
            self.assertEqual(sent, len(box.wait_jobs(folder, sent)), text)
        # One address: the example's, moved to the container's loopback.
        box.put(dropin, re.sub(r"ListenStream=[0-9.]+:", "ListenStream=127.0.0.2:", address).encode())
        box.run(restart)
        bench.wait_for(lambda: box.listening(9100), 30, "the relay on one address")
        self.assertEqual(["127.0.0.2:9100"], [line.split()[3] for line in
                                              box.run("ss -ltnH 'sport = :9100'").stdout.splitlines()])
        box.run("rm %s && %s" % (dropin, restart))


if __name__ == "__main__":
    unittest.main()
