"""The Linux package as an administrator meets it: lintian and the manual page on the built .deb,
then its whole life under a real systemd in a container (install, enable, relay into the
container's cupsd, kill, reinstall, remove, purge), with the hardening rated by systemd itself."""

import glob
import os
import random
import re
import struct
import subprocess
import tempfile
import time
import unittest
import uuid as uuidlib

import container
import lab as bench

BUILD = os.path.dirname(os.path.realpath(bench.HOST_EXE))
ACCEPT = "Accept print job for office from 127.0.0.1"
# Asks systemd for a stop or restart of 9100 and returns once the relay is being stopped.
STOPPING = ("systemctl --no-block %s && for i in $(seq 300); do "
            "[ $(systemctl show -P ActiveState ferrolink@9100) = deactivating ] && break; sleep 0.1; done")


def build_package():
    """Builds the .deb as the README says and returns its path."""
    done = subprocess.run(["cmake", "--build", BUILD, "--target", "package"], capture_output=True, text=True)
    if done.returncode != 0:
        raise AssertionError("the package did not build: " + done.stdout[-2000:] + done.stderr[-2000:])
    return done.stdout.strip().splitlines()[-1]


def build_release(version):
    """Builds the .deb of the last tree of the git history at that version (once per build folder,
    from a copy of the tree) and returns its path."""
    folder = os.path.join(BUILD, "release-" + version)
    built = glob.glob(os.path.join(folder, "build", "packages", "*.deb"))
    if built:
        return built[0]
    # The newest commit that changed the count of that version line left it: its parent is the last.
    commits = subprocess.run(["git", "-C", container.REPO, "log", "--format=%H", "-S",
                              "project(Ferrolink VERSION %s " % version, "--", "CMakeLists.txt"],
                             capture_output=True, text=True, check=True).stdout.split()
    subprocess.run(["rm", "-rf", folder], check=True)
    os.makedirs(os.path.join(folder, "source"))
    subprocess.run("git -C '%s' archive %s^ | tar -x -C '%s/source'" % (container.REPO, commits[0], folder),
                   shell=True, check=True)
    for command in (["cmake", "-S", folder + "/source", "-B", folder + "/build", "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release"], ["cmake", "--build", folder + "/build", "--target", "package"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise AssertionError("the %s package did not build: %s%s" % (version, done.stdout[-2000:], done.stderr[-2000:]))
    return done.stdout.strip().splitlines()[-1]


class PackageTest(unittest.TestCase):
    def test_lintian_clean_with_manual_page_licence_and_recommends(self):
        deb = build_package()
        lintian = subprocess.run(["lintian", "--info", deb], capture_output=True, text=True)
        self.assertEqual([], [line for line in lintian.stdout.splitlines() if line[:2] in ("E:", "W:")])
        scratch = tempfile.mkdtemp(dir=bench.SCRATCH)
        try:
            subprocess.run(["dpkg-deb", "-x", deb, scratch], check=True)
            page = os.path.join(scratch, "usr/share/man/man8/ferrolink.8.gz")
            shown = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                                   env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8"))
            self.assertEqual(("", 0), (shown.stderr, shown.returncode))
            for line in ("Error opening print job.", "Couldn't print all data.", "IPAddressAllow=",
                         "FERROLINK_ROOT", "CUPS_SERVER", "/etc/ferrolink/port.conf", "Ferrolink 1.3.1",
                         "ferrolink@.socket", "EADDRINUSE", "journalctl -t ferrolink",
                         "systemctl reset-failed ferrolink@9100.service ferrolink@9100.socket",
                         "Waiting for CUPS:", "Get-Jobs", "ADVERTISE=yes", "DNSSD_NAME=Front desk",
                         "FERROLINK_ADVERTISE", "FERROLINK_DNSSD_NAME", "UDP port 5353"):
                self.assertIn(line, " ".join(shown.stdout.split()))  # a command may wrap
            # The DNS-SD lines of standard error, as the start script and the host layer print them.
            start = bench.read_file(os.path.join(container.REPO, "src", "linux", "systemd",
                                                 "ferrolink_start.cpp")).decode()
            refused = re.search(r'"%s(ADVERTISE=%s in %s [^"]*)"', start).group(1)
            dnssd = bench.read_file(os.path.join(container.REPO, "src", "linux", "avahi", "avahi_dnssd.cpp")).decode()
            outage = re.search(r'"(DNS-SD: %s: [^"]*)\\n"', dnssd).group(1)
            for line in ("ferrolink@9100: " + refused % ("on", "/etc/ferrolink/9100.conf"),
                         outage.replace("%s", "reason")):
                self.assertIn(line, " ".join(shown.stdout.split()))
            unit = bench.read_file(os.path.join(scratch, "usr/lib/systemd/system/ferrolink@.service")).decode()
            self.assertIn("Documentation=man:ferrolink(8)\n", unit)
            copyright = bench.read_file(os.path.join(scratch, "usr/share/doc/ferrolink/copyright")).decode()
            self.assertIn("Copyright (c) 2026 Korvanta Ferrolink developers", copyright)
            self.assertIn("MIT", copyright)
        finally:
            subprocess.run(["rm", "-rf", scratch])
        recommends = subprocess.run(["dpkg-deb", "-f", deb, "Recommends"], capture_output=True, text=True).stdout
        self.assertIn("cups-daemon", recommends)
        version = subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True).stdout.strip()
        self.assertEqual(0, subprocess.run(["dpkg", "--compare-versions", version, "gt", "1.0"]).returncode, version)


class SystemdLifecycleTest(unittest.TestCase):
    def test_install_relay_kill_reinstall_remove_under_systemd(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            folder = box.add_queue("office")
            # Without libnss-systemd: the jobs are "ferrolink"'s still.
            box.run("sed -i 's/ systemd//g' /etc/nsswitch.conf")
            box.run("dpkg -i " + box.inside(deb))
            self.assertEqual("", box.run("systemctl list-units --no-legend 'ferrolink@*'").stdout, "install starts")
            box.run("mkdir -p /etc/ferrolink && echo PRINTER=office > /etc/ferrolink/9100.conf"
                    " && cp /etc/ferrolink/9100.conf /etc/ferrolink/9101.conf")
            box.run("systemctl enable --now ferrolink@9100 && systemctl start ferrolink@9101")
            for _ in range(3):  # started means listening, and systemd knows the relay's port and queue
                box.run("systemctl stop ferrolink@9101.service ferrolink@9101.socket")
                self.assertFalse(box.listening(9101))
                box.run("systemctl start ferrolink@9101")
                self.assertEqual((True, "active", "Relaying port 9101 to queue office"),
                                 (box.listening(9101), box.state("ferrolink@9101"),
                                  box.run("systemctl show -P StatusText ferrolink@9101").stdout.strip()))
            for port in (9100, 9101):
                bench.wait_for(lambda: box.listening(port), 30, "the relay on %d" % port)
            self.assertLessEqual(box.exposure("ferrolink@9100.service"), 1.5)
            verify = box.run("systemd-analyze verify ferrolink@9100.service 2>&1")
            self.assertEqual("", verify.stdout, "the unit as systemd reads it")

            rng = random.Random(11)
            jobs = [bytes(range(256)) * 4, rng.randbytes(300_000), b"\x1b%-12345X@PJL\r\n\x00\xff"]
            for job in jobs:
                box.send_job(9100, job)
            self.assertEqual([(job, "Forwarded Job") for job in jobs], box.wait_jobs(folder, len(jobs)))
            self.assertEqual(["ferrolink"] * len(jobs), box.job_owners("office"))
            journal = box.run("journalctl -u ferrolink@9100 -o cat --no-pager").stdout.splitlines()
            self.assertEqual(len(jobs), journal.count(ACCEPT))
            tagged = box.run("journalctl -t ferrolink -o cat --no-pager").stdout.splitlines()
            self.assertEqual(len(jobs), tagged.count(ACCEPT), "journalctl -t ferrolink")
            log = bench.read_file(box.host_path("/var/log/private/ferrolink/9100/Ferrolink.log"))
            self.assertEqual(("KVFerrolink 1.0\nFerrolink starting...\n" + (ACCEPT + "\n") * len(jobs)).encode(),
                             log)

            # Killed, it is started again and serves.
            killed = box.main_pid("ferrolink@9100")
            box.run("kill -9 %d" % killed)
            bench.wait_for(lambda: box.main_pid("ferrolink@9100") not in (0, killed) and box.listening(9100), 30,
                           "systemd to restart the relay")
            box.send_job(9100, b"after the kill")
            self.assertEqual(b"after the kill", box.wait_jobs(folder, len(jobs) + 1)[-1][0])
            done = len(jobs) + 1

            # A restart in the middle of a 3 MB job, with ten clients waiting: every job whole.
            size = 3_000_000
            box.send_mid_job(9100, size, 10, STOPPING % "restart ferrolink@9100")
            printed = [data for data, _ in box.wait_jobs(folder, done + 11)[done:]]
            self.assertEqual(bytes([0]) * size, printed[0], "the job being received")
            self.assertEqual([bytes([i]) * (size // 8) for i in range(1, 11)], sorted(printed[1:]))
            done += 11

            # A stop for good first serves the clients queued behind the job being received, here
            # ten that sent their whole job and closed; the next start prints none again. The
            # restart above returns once the old relay served its queue: the stop waits for the new
            # relay (a stop while systemd still readies the process for it resets the queue).
            bench.wait_for(lambda: box.state("ferrolink@9100") == "active", 30, "the restarted relay")
            box.send_mid_job(9100, 80_000, 10, STOPPING % "stop ferrolink@9100.service ferrolink@9100.socket")
            printed = [data for data, _ in box.wait_jobs(folder, done + 11)[done:]]
            self.assertEqual([bytes([i]) * (80_000 if i == 0 else 10_000) for i in range(11)], sorted(printed))
            box.run("systemctl start ferrolink@9100")
            box.send_job(9100, b"after the stop")
            self.assertEqual(b"after the stop", box.wait_jobs(folder, done + 12)[-1][0])
            self.assertEqual(done + 12, len(box.jobs(folder)))
            done += 12

            # Rotated, the log goes on in a new file.
            logs = "/var/log/private/ferrolink/9100/"
            box.run("logrotate -f /etc/logrotate.d/ferrolink")
            box.send_job(9100, b"after the rotation")
            box.wait_jobs(folder, done + 1)
            done += 1
            self.assertEqual((ACCEPT + "\n").encode(), bench.read_file(box.host_path(logs + "Ferrolink.log")))
            self.assertTrue(os.path.exists(box.host_path(logs + "Ferrolink.log.1")))

            # Installing again restarts every running instance, enabled or not.
            before = {port: box.main_pid("ferrolink@%d" % port) for port in (9100, 9101)}
            # A relay that binds its port itself (as before 1.1) is moved into its socket.
            box.run("systemctl stop ferrolink@9101.socket")
            box.run("dpkg -i " + box.inside(deb))
            for port in (9100, 9101):
                self.assertNotIn(box.main_pid("ferrolink@%d" % port), (0, before[port]), port)
                bench.wait_for(lambda: box.listening(port), 30, "the reinstalled relay on %d" % port)
                self.assertEqual("active", box.state("ferrolink@%d.socket" % port))
            box.send_job(9101, b"after the reinstall")
            self.assertEqual(b"after the reinstall", box.wait_jobs(folder, done + 1)[-1][0])

            # Removing stops every instance and keeps their enablement, so that installing again
            # brings them back; purging forgets it and removes their files.
            box.run("apt-get remove -y ferrolink")
            self.assertEqual([False, False], [box.listening(port) for port in (9100, 9101)])
            self.assertEqual("", box.run("systemctl list-units --no-legend --state=active 'ferrolink@*'").stdout)
            box.run("dpkg -i " + box.inside(deb))
            self.assertEqual(("enabled", "active", True, False),
                             (box.run("systemctl is-enabled ferrolink@9100").stdout.strip(),
                              box.state("ferrolink@9100"), box.listening(9100), box.listening(9101)))
            held = "/var/lib/private/ferrolink/held/9199/"  # no relay serves 9199 to send them
            for name in ("1.job", "2.job", "3.part"):
                box.put(held + name, b"held")
            purged = box.run("apt-get purge -y ferrolink")
            self.assertIn("purging deletes 2 held jobs", purged.stdout + purged.stderr)  # apt shows dpkg's both
            self.assertEqual("", box.run("ls /etc/systemd/system/*.wants | grep ferrolink || true").stdout)
            self.assertEqual("", box.run("ls -d /etc/ferrolink /var/lib/ferrolink /var/log/ferrolink "
                                         "/var/lib/private/ferrolink 2>/dev/null || true").stdout)
        finally:
            box.close()


# Sends part of a job and then nothing; says how the relay ended the connection and after how long.
SILENT = ('import socket, time\n'
          's = socket.create_connection(("127.0.0.1", 9100))\n'
          's.sendall(b"then silent")\n'
          'start = time.monotonic()\n'
          'try:\n'
          '    print("end" if s.recv(1) == b"" else "data")\n'
          'except ConnectionResetError:\n'
          '    print("reset after %.1f s" % (time.monotonic() - start))\n')


class DualStackTest(unittest.TestCase):
    def test_both_families_on_one_socket_an_allow_list_of_one_and_a_silent_client_reset(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            folder = box.add_queue("office")
            box.run("dpkg -i " + box.inside(deb))
            box.run("mkdir -p /etc/ferrolink && printf 'PRINTER=office\\nIDLE_TIMEOUT=2\\n' > /etc/ferrolink/9100.conf"
                    " && systemctl start ferrolink@9100")
            bench.wait_for(lambda: box.listening(9100), 30, "the relay")
            box.send_job(9100, b"over IPv6", host="::1")
            box.send_job(9100, b"over IPv4")
            self.assertEqual([b"over IPv6", b"over IPv4"], [data for data, _ in box.wait_jobs(folder, 2)])
            said = box.run("/usr/bin/python3 -c '%s'" % SILENT).stdout.strip()
            self.assertRegex(said, r"^reset after [23]\.[0-9] s$")
            box.run("/usr/bin/python3 -c 'import socket, time\n"
                    "with socket.create_connection((\"::1\", 9100)) as s:\n"
                    "    for part in (b\"slow \", b\"but \", b\"whole\"): s.sendall(part); time.sleep(1.2)\n'")
            self.assertEqual([b"over IPv6", b"over IPv4", b"slow but whole"],
                             [data for data, _ in box.wait_jobs(folder, 3)])
            journal = box.run("journalctl -u ferrolink@9100 -o cat --no-pager").stdout.splitlines()
            accept = "Accept print job for office from "
            self.assertEqual([accept + "::1", accept + "127.0.0.1", accept + "127.0.0.1",
                              "No data from 127.0.0.1 for 2 s: the connection is reset, its job is not printed.",
                              accept + "::1"],
                             [line for line in journal if line.startswith(("Accept", "No data", "The connection"))])
            self.assertEqual(3, len(box.jobs(folder)), "the silent client's job is not printed")

            # A drop-in that admits ::1 alone refuses 127.0.0.1.
            box.put("/etc/systemd/system/ferrolink@9100.socket.d/allow.conf",
                    b"[Socket]\nIPAddressDeny=any\nIPAddressAllow=::1\n")
            box.run("systemctl daemon-reload && systemctl stop ferrolink@9100.service ferrolink@9100.socket"
                    " && systemctl start ferrolink@9100")
            bench.wait_for(lambda: box.listening(9100), 30, "the relay")
            box.send_job(9100, b"admitted", host="::1")
            self.assertEqual(b"admitted", box.wait_jobs(folder, 4)[-1][0])
            refused = box.send_job(9100, b"refused", timeout=3, check=False)
            self.assertNotEqual(0, refused, box.ip_filter_missing("ferrolink@9100.socket", 9100))
            time.sleep(1)
            self.assertEqual(4, len(box.jobs(folder)))

            # A drop-in that binds one IPv6 address serves it alone.
            box.put("/etc/systemd/system/ferrolink@9100.socket.d/allow.conf",
                    b"[Socket]\nListenStream=\nListenStream=[::1]:9100\n")
            box.run("systemctl daemon-reload && systemctl stop ferrolink@9100.service ferrolink@9100.socket"
                    " && systemctl start ferrolink@9100")
            bench.wait_for(lambda: box.listening(9100), 30, "the relay")
            box.send_job(9100, b"on ::1 alone", host="::1")
            self.assertEqual(b"on ::1 alone", box.wait_jobs(folder, 5)[-1][0])
            self.assertNotEqual(0, box.send_job(9100, b"refused", timeout=3, check=False))
        finally:
            box.close()


class MisconfiguredInstanceTest(unittest.TestCase):
    def test_an_instance_that_cannot_serve_ends_failed_with_its_reason_and_few_restarts(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            folder = box.add_queue("office")
            box.run("dpkg -i " + box.inside(deb))
            box.run("systemd-run --unit=holder python3 -c 'import socket, time; s = socket.socket(); "
                    "s.bind((\"0.0.0.0\", 9109)); s.listen(); time.sleep(10**6)'")
            bench.wait_for(lambda: box.listening(9109), 30, "the port's holder")
            not_a_port = "the instance name must be a port number from 1 to 65535"
            unset = "PRINTER is empty or not set in /etc/ferrolink/%s.conf"
            writable = "/etc/ferrolink/%s.conf may be written by others than root"
            rows = [  # instance, /etc/ferrolink/<instance>.conf (None: none), reason in the journal
                ("9102", "", unset % 9102),
                ("9103", "printer=office\n", "/etc/ferrolink/9103.conf line 1: unknown name printer"),
                ("9104", "# PRINTER=office\n", unset % 9104),
                ("9105", "export PRINTER=office\n", "9105.conf line 1: it is neither a line NAME=value"),
                ("9114", "PRINTER=office\nPRINTR=lab\n", "/etc/ferrolink/9114.conf line 2: unknown name PRINTR"),
                # Linked into a user's folder, which the sandbox would hide, owned by a user it
                # would show as 65534: refused, naming the real folder and owner.
                ("9115", None, "/home/someone may be written by others than root (owner 1000, mode 755)",
                 "mkdir -p /home/someone/conf && echo PRINTER=office > /home/someone/conf/9115.conf"
                 " && chown -R 1000:1000 /home/someone && chmod 755 /home/someone"
                 " && ln -s /home/someone/conf/9115.conf /etc/ferrolink/9115.conf"),
                # Linked through a user's folder to a file of root's: that user could point the
                # link at another of root's files, such as another instance's conf.
                ("9116", None, "/home/someone may be written by others than root (owner 1000, mode 755)",
                 "echo PRINTER=office > /etc/ferrolink/9116.target && mkdir -p /home/someone/conf"
                 " && ln -s /etc/ferrolink/9116.target /home/someone/conf/9116.conf"
                 " && chown -hR 1000:1000 /home/someone && ln -s /home/someone/conf/9116.conf /etc/ferrolink/9116.conf"),
                ("9106", None, "/etc/ferrolink/9106.conf is missing"),
                ("abc", "PRINTER=office\n", not_a_port),
                ("09107", "PRINTER=office\n", not_a_port),
                ("75636", "PRINTER=office\n", not_a_port),
                ("9109", "PRINTER=office\n", "Error: couldn't bind: 10048"),
                ("9111", "PRINTER=office\n", writable % 9111, "chmod g+w /etc/ferrolink/9111.conf"),
                ("9112", "PRINTER=office\n", writable % 9112, "chmod o+w /etc/ferrolink/9112.conf"),
                ("9113", "PRINTER=office\n", writable % 9113, "chown nobody /etc/ferrolink/9113.conf"),
            ]
            for instance, conf, reason, *then in rows:
                with self.subTest(instance):
                    if conf is not None:
                        box.put("/etc/ferrolink/%s.conf" % instance, conf.encode())
                    for command in then:
                        box.run(command)
                    unit = "ferrolink@%s.service" % instance
                    box.run("systemctl start %s" % unit, check=False)
                    bench.wait_for(lambda: box.state(unit) == "failed", 40, unit + " failed")
                    journal = box.run("journalctl -u %s -o cat --no-pager" % unit).stdout
                    self.assertIn(reason, journal, unit)
                    self.assertLessEqual(int(box.run("systemctl show -P NRestarts " + unit).stdout), 5, unit)
                    if instance.isdigit() and instance != "9109":  # 9109's holder listens there
                        bench.wait_for(lambda: not box.listening(int(instance)), 30,
                                       "the port of %s closed, no client queued for no relay" % unit)
            self.assertFalse(box.listening(9107) or box.listening(10100), "a name that is not a port holds none")
            # A socket its administrator narrowed to one address is the relay's port all the same.
            # A Latin-1 name leaves it serving, under the default name, with a line naming it.
            box.put("/etc/ferrolink/9110.conf", b"PRINTER=office\nADVERTISE=yes\nDNSSD_NAME=Caf\xe9\n")
            box.put("/etc/systemd/system/ferrolink@9110.socket.d/local.conf",
                    b"[Socket]\nListenStream=\nListenStream=127.0.0.1:9110\n")
            box.run("systemctl daemon-reload && systemctl start ferrolink@9110")
            box.send_job(9110, b"to a narrowed socket")
            self.assertEqual([(b"to a narrowed socket", "Forwarded Job")], box.wait_jobs(folder, 1))
            self.assertIn("/etc/ferrolink/9110.conf line 3: the value of DNSSD_NAME is not UTF-8",
                          box.run("journalctl -u ferrolink@9110 -o cat --no-pager").stdout)
        finally:
            box.close()


class RestartsAndDowngradeTest(unittest.TestCase):
    def test_restarts_and_a_downgrade_to_1_0_and_back_keep_the_port_in_its_socket(self):
        deb, old = build_package(), build_release("1.0")
        box = container.Container(files=[deb, old])
        try:
            folder = box.add_queue("office")
            box.put("/srv/send.py", container.SENDER.encode())
            box.run("dpkg -i %s && mkdir -p /etc/ferrolink && echo PRINTER=office > /etc/ferrolink/9100.conf"
                    " && systemctl enable --now ferrolink@9100" % box.inside(deb))

            def held_by_systemd():
                """Whether systemd (pid 1) holds the relay's listening socket: the relay took it."""
                return 'pid=1,' in box.run("ss -ltnpH 'sport = :9100'").stdout

            # Ten restarts within a minute, a client sending meanwhile each time: it stays up.
            box.run("for i in $(seq 10); do systemctl restart ferrolink@9100; "
                    "echo restart $i | python3 /srv/send.py 9100 & done; wait")
            self.assertEqual(("active", "active", True),
                             (box.state("ferrolink@9100"), box.state("ferrolink@9100.socket"), held_by_systemd()))
            self.assertEqual(sorted("restart %d\n" % i for i in range(1, 11)),
                             sorted(data.decode() for data, _ in box.wait_jobs(folder, 10)))

            # Down to 1.0, whose relay binds the port itself, and back: the socket holds it again.
            box.run("dpkg -i " + box.inside(old))
            bench.wait_for(lambda: box.listening(9100), 30, "the 1.0 relay")
            self.assertFalse(held_by_systemd(), "the 1.0 relay binds its port itself")
            box.send_job(9100, b"to 1.0")
            box.run("dpkg -i " + box.inside(deb))
            bench.wait_for(lambda: box.listening(9100), 30, "the relay upgraded again")
            self.assertEqual(("active", True), (box.state("ferrolink@9100.socket"), held_by_systemd()))
            relay = box.main_pid("ferrolink@9100")
            sockets = box.run("ss -ltnpH 'sport = :9100'").stdout
            self.assertIn("pid=%d," % relay, sockets, "the relay serves systemd's socket")
            self.assertEqual(1, sockets.count("LISTEN"), "one listening socket, shared")
            # A restart with clients queued loses none of them.
            box.send_mid_job(9100, 80_000, 5, STOPPING % "restart ferrolink@9100")
            printed = [data for data, _ in box.wait_jobs(folder, 17)[11:]]
            self.assertEqual([bytes([i]) * (80_000 if i == 0 else 10_000) for i in range(6)], sorted(printed))
            self.assertEqual(b"to 1.0", box.jobs(folder)[10][0])
        finally:
            box.close()


class RestartUnderLoadTest(unittest.TestCase):
    def test_a_restart_under_load_takes_seconds_and_the_next_clients_print_on_the_new_queue(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            office, labels = box.add_queue("office"), box.add_queue("labels")
            box.put(office + "/.delay", b"0.3")  # a slow printer, and CUPS keeps few jobs
            box.run("sed -i '/^MaxJobs/d' /etc/cups/cupsd.conf && echo 'MaxJobs 3' >> /etc/cups/cupsd.conf"
                    " && systemctl restart cups")
            box.run("dpkg -i %s && mkdir -p /etc/ferrolink && echo PRINTER=office > /etc/ferrolink/9100.conf"
                    " && systemctl start ferrolink@9100" % box.inside(deb))
            # Six clients send back to back, each its next job once the relay ended the last.
            box.put("/srv/load.py", b"import socket, threading\n"
                    b"def client():\n"
                    b"    while True:\n"
                    b"        try:\n"
                    b"            with socket.create_connection(('127.0.0.1', 9100)) as s:\n"
                    b"                s.sendall(b'load\\n'); s.shutdown(socket.SHUT_WR); s.recv(1)\n"
                    b"        except OSError: pass\n"
                    b"for _ in range(6): threading.Thread(target=client).start()\n")
            box.run("systemd-run --unit=load python3 /srv/load.py")
            bench.wait_for(lambda: box.run("systemctl show -P StatusText ferrolink@9100").stdout
                           .startswith("Waiting for CUPS"), 60, "CUPS to push back")
            box.put("/etc/ferrolink/9100.conf", b"PRINTER=labels\n")
            started = time.monotonic()
            box.run("systemctl restart ferrolink@9100", timeout=180)
            self.assertLess(time.monotonic() - started, 15, "the restart under load")
            for i in range(5):
                box.send_job(9100, b"after %d\n" % i)
            printed = lambda folder: [data for data, _ in box.jobs(folder)]
            bench.wait_for(lambda: all(b"after %d\n" % i in printed(labels) for i in range(5)), 120,
                           "the clients after the restart on the new queue")
            self.assertFalse([job for job in printed(office) if job.startswith(b"after")])
            box.run("systemctl stop load")
        finally:
            box.close()


class HeldJobsStopTest(unittest.TestCase):
    def test_a_stop_while_1500_held_jobs_are_sent_takes_seconds_and_each_prints_once(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            folder = box.add_queue("office")
            held = "/var/lib/private/ferrolink/held/9100/"
            box.run("dpkg -i %s && mkdir -p /etc/ferrolink && echo PRINTER=office > /etc/ferrolink/9100.conf"
                    " && systemctl start ferrolink@9100 && systemctl stop cups.socket cups" % box.inside(deb))
            # A job held while CUPS is away gives the file's header; 1,500 jobs are made of it,
            # each with a UUID of its own, as 1,500 clients would have left them.
            box.send_job(9100, b"seed")
            bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(box.host_path(held))), 30, "the held seed")
            box.run("systemctl stop ferrolink@9100")
            seed = [n for n in os.listdir(box.host_path(held)) if n.endswith(".job")][0]
            header = bench.read_file(box.host_path(held + seed))[:-len(b"seed")]
            start = 16 + 256 + 256 + 16  # the header's UUID, after its magic, queue, title and host
            length = start + 48 + 8  # the job's length, after the UUID, the version and a reserve
            for i in range(1500):
                uuid, data = str(uuidlib.uuid4()).encode(), b"held %d\n" % i
                made = header[:start] + uuid + header[start + len(uuid):]
                made = made[:length] + struct.pack("<Q", len(data)) + made[length + 8:]
                box.put(held + "%011d.%09d-%s.job" % (1, i, uuid.decode()), made + data)
            box.run("rm %s%s && chown -R ferrolink: %s && systemctl start cups" % (held, seed, held))
            box.run("systemctl start ferrolink@9100")
            bench.wait_for(lambda: len(box.jobs(folder)) >= 20, 120, "the held jobs going out")
            started = time.monotonic()
            box.run("systemctl stop ferrolink@9100", timeout=180)
            self.assertLess(time.monotonic() - started, 15, "the stop while held jobs are sent")
            box.run("systemctl start ferrolink@9100")
            bench.wait_for(lambda: len(box.jobs(folder)) >= 1500, 600, "every held job")
            self.assertEqual(sorted(b"held %d\n" % i for i in range(1500)), sorted(d for d, _ in box.jobs(folder)))
        finally:
            box.close()


class AdvertiseTest(unittest.TestCase):
    def browsed(self, box):
        """The _pdl-datastream._tcp services Avahi resolves: name -> (port, TXT strings)."""
        out = box.run("avahi-browse -rtp _pdl-datastream._tcp", check=False, timeout=60).stdout
        found = {}
        for line in out.splitlines():
            fields = line.split(";")
            if fields[0] == "=" and len(fields) >= 10:
                name = re.sub(r"\\(\d{3})", lambda m: chr(int(m.group(1))), fields[3])
                found[name] = (int(fields[8]), sorted(re.findall(r'"([^"]*)"', fields[9])))
        return found

    def test_advertised_while_it_listens_renamed_on_collision_back_after_avahi_restarts(self):
        deb = build_package()
        box = container.Container(files=[deb])
        try:
            folder = box.add_queue("office")
            box.run("dpkg -i " + box.inside(deb))
            # The system bus cannot look a dynamic user up: the package's system user reaches it.
            self.assertIn("ferrolink:", box.run("getent passwd ferrolink").stdout)
            box.run("systemctl start avahi-daemon")
            # Another service holds the name first: the relay takes the one Avahi offers.
            box.run("systemd-run --unit=squatter avahi-publish -s 'Front desk' _pdl-datastream._tcp 9999")
            bench.wait_for(lambda: "Front desk" in self.browsed(box), 30, "the other service")
            box.put("/etc/ferrolink/9100.conf", b"PRINTER=office\nADVERTISE=yes\nDNSSD_NAME=Front desk\n")
            box.put("/etc/ferrolink/9101.conf", b"PRINTER=office\n")
            box.run("systemctl start ferrolink@9100 ferrolink@9101")
            txt = sorted(["txtvers=1", "qtotal=1", "pdl=application/octet-stream", "ty=office", "product=(office)",
                          "usb_MFG=office", "usb_MDL=office"])
            bench.wait_for(lambda: "Front desk #2" in self.browsed(box), 30, "the relay's service")
            services = self.browsed(box)
            self.assertEqual((9100, txt), services["Front desk #2"])
            self.assertEqual(2, len(services), "the instance with advertising off announces nothing")
            journal = lambda unit: box.run("journalctl -u %s -o cat --no-pager" % unit).stdout
            self.assertIn('DNS-SD name taken, advertising "Front desk #2"', journal("ferrolink@9100"))
            self.assertNotIn("DNS-SD", journal("ferrolink@9101"))
            self.assertLessEqual(box.exposure("ferrolink@9100.service"), 1.5)

            # A CUPS queue made from the relay's dnssd:// address prints through it. lpinfo lists the
            # address only to other hosts: CUPS's dnssd backend skips a service of its own host, and
            # the container is one host. The address is the one it lists there.
            box.run("lpadmin -p found -E -v 'dnssd://Front%20desk%20%232._pdl-datastream._tcp.local/'")
            job = bytes(range(256)) * 40 + b"\x1b%-12345X@PJL\r\n"
            box.put("/srv/job.prn", job)
            box.run("lp -d found -o raw /srv/job.prn")
            self.assertEqual(job, box.wait_jobs(folder, 1)[0][0])

            # Avahi restarts: said once, and announced again.
            box.run("systemctl restart avahi-daemon")
            bench.wait_for(lambda: "Front desk #2" in self.browsed(box), 60, "the service after Avahi's restart")
            self.assertEqual(1, journal("ferrolink@9100").count("not advertised until Avahi runs"))
            # Stopped, it is gone.
            box.run("systemctl stop ferrolink@9100")
            bench.wait_for(lambda: "Front desk #2" not in self.browsed(box), 30, "the service withdrawn")
        finally:
            box.close()


if __name__ == "__main__":
    unittest.main()
