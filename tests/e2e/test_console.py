"""The console relay end to end: the real program, real sockets on 127.0.0.1, jobs compared byte
for byte, the log and the registry read back. Runs against the host build and under Wine."""

import os
import random
import re
import signal
import socket
import unittest

import lab as bench


class ConsoleRelayTests(bench.LabTests):
    # Exit status of a relay that cannot bind: 0 on Windows, the service's stop code 4 on Linux.
    bind_failure_status = 0
    # Windows's AbortPrinter drops the job; Wine's does nothing, so there the job still prints.
    aborted_job_printed = True

    def line(self, text):
        return text.encode() + self.lab.log_end

    def log_lines(self, *lines):
        return b"".join(self.line(text) for text in ("KVFerrolink 1.0", "Ferrolink starting...") + lines)

    def test_usage_and_fresh_log(self):
        name = self.lab.exe_name.encode()
        end = self.lab.line_end
        usage = (name + b' INSTALL "Printer Name" [port]' + end + name + b" REMOVE [port]" + end +
                 name + b' STANDALONE "Printer Name" [port]' + end + name +
                 b' BACKGROUND "Printer Name" [port]' + end + b"If port is unspecified, 9100 is assumed." + end)
        # A relay's port that decides to 0 would be one the system picks and reports nowhere.
        for args in ([], ["INSTALLX", "HP"], ["-install", "HP"], ["STANDALONE"], ["REMOVE", "9101", "x"],
                     ["STANDALONE", "HP", "65536"], ["BACKGROUND", "HP", "131072"]):
            cwd = self.lab.workdir()
            with open(os.path.join(cwd, "Ferrolink.log"), "wb") as old:
                old.write(b"old run\r\n")
            status, out, err, log = self.lab.run(args, cwd=cwd)
            self.assertEqual(1, status, args)
            self.assertEqual(b"", out)
            self.assertEqual(usage, err, args)
            self.assertEqual(self.log_lines(), log, args)
        self.assertIsNone(self.lab.reg_value(bench.VENDOR_KEY % 0, "Printer"))

    def test_jobs_arrive_byte_for_byte_one_per_connection(self):
        printer = self.lab.add_printer("Office Printer")
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "Office Printer", str(port)])
        relay.wait_listening(port)
        rng = random.Random(7)
        jobs = [bytes(range(256)) * 3, b"", bytes(1024), rng.randbytes(300_000), b"\x1b%-12345X@PJL\r\n"]
        for index, job in enumerate(jobs):
            bench.send_job(port, job, chunk=[None, None, None, 777, 1][index])
            self.assertEqual(jobs[: index + 1], self.lab.wait_jobs(printer, index + 1))
        self.assertEqual(self.log_lines(*["Accept print job for Office Printer from 127.0.0.1"] * len(jobs)),
                         relay.log())
        key = bench.VENDOR_KEY % port
        self.assertEqual((bench.REG_SZ, b"Routes all traffic from port 910x to a local printer\0"),
                         self.lab.reg_value(key, "Description"))
        self.assertEqual((bench.REG_SZ, b"Office Printer\0"), self.lab.reg_value(key, "Printer"))
        self.assertEqual((bench.REG_DWORD, port.to_bytes(4, "little")), self.lab.reg_value(key, "Port"))
        self.assertIsNone(self.lab.reg_value(bench.SERVICE_KEY % port, "Printer"))

    def test_printer_change_in_key_applies_from_next_connection(self):
        first = self.lab.add_printer("First")
        second = self.lab.add_printer("Second")
        port = bench.free_port()
        relay = self.lab.start(["standalone", "First", str(port)])
        relay.wait_listening(port)
        bench.send_job(port, b"to first")
        self.lab.wait_jobs(first, 1)
        self.lab.set_reg_value(bench.VENDOR_KEY % port, "Printer", bench.REG_SZ, b"Second\0")
        bench.send_job(port, b"to second")
        self.assertEqual([b"to second"], self.lab.wait_jobs(second, 1))
        self.assertEqual([b"to first"], self.lab.jobs(first))
        # Deleted to stop the relay: no printer gets the job, not the one named before.
        self.lab.delete_reg_value(bench.VENDOR_KEY % port, "Printer")
        bench.send_job(port, b"to nobody")
        bench.wait_for(lambda: b"Error opening print job." in relay.log(), 30, "the error line")
        self.assertEqual(([b"to first"], [b"to second"]), (self.lab.jobs(first), self.lab.jobs(second)))
        self.assertTrue(relay.log().endswith(self.line("Accept print job for  from 127.0.0.1") +
                                             self.line("Error opening print job.")))

    def test_unknown_printer_is_logged_and_the_relay_goes_on(self):
        printer = self.lab.add_printer("Real")
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "Nobody", str(port)])
        relay.wait_listening(port)
        bench.send_job(port, b"lost")
        bench.wait_for(lambda: b"Error opening print job." in relay.log(), 30, "the error line")
        self.lab.set_reg_value(bench.VENDOR_KEY % port, "Printer", bench.REG_SZ, b"Real\0")
        bench.send_job(port, b"kept")
        self.assertEqual([b"kept"], self.lab.wait_jobs(printer, 1))
        self.assertEqual(self.log_lines("Accept print job for Nobody from 127.0.0.1", "Error opening print job.",
                                        "Accept print job for Real from 127.0.0.1"), relay.log())

    def test_ipv6_clients_and_a_silent_client_reset_when_the_key_asks(self):
        printer = self.lab.add_printer("Dual")
        port = bench.free_port()
        key = bench.VENDOR_KEY % port
        self.lab.set_reg_value(key, "IPv6", bench.REG_DWORD, (1).to_bytes(4, "little"))
        self.lab.set_reg_value(key, "IdleTimeout", bench.REG_DWORD, (2).to_bytes(4, "little"))
        # Linux listens on both families always and takes its time-out from its conf.
        relay = self.lab.start(["STANDALONE", "Dual", str(port)], extra_env={"FERROLINK_IDLE_TIMEOUT": "2"})
        relay.wait_listening(port)
        with socket.create_connection(("::1", port)) as client:
            client.sendall(b"over IPv6")
        self.lab.wait_jobs(printer, 1)
        bench.send_job(port, b"over IPv4")
        self.lab.wait_jobs(printer, 2)
        with socket.create_connection(("127.0.0.1", port)) as silent:
            silent.sendall(b"then silent")
            silent.settimeout(30)
            with self.assertRaises(ConnectionResetError):
                silent.recv(1)
        bench.send_job(port, b"slow, under the time-out", chunk=5, pause=0.5)
        aborted = [b"then silent"] if self.aborted_job_printed else []
        expected = [b"over IPv6", b"over IPv4"] + aborted + [b"slow, under the time-out"]
        self.assertEqual(expected, self.lab.wait_jobs(printer, len(expected)))
        accept = "Accept print job for Dual from "
        self.assertEqual(self.log_lines(accept + "::1", accept + "127.0.0.1", accept + "127.0.0.1",
                                        "No data from 127.0.0.1 for 2 s: the connection is reset, its job is not "
                                        "printed.", accept + "127.0.0.1"), relay.log())

    def test_background_relays_detached_from_the_console(self):
        printer = self.lab.add_printer("Back")
        port = bench.free_port()
        relay = self.lab.start(["BACKGROUND", "Back", str(port)])
        relay.wait_listening(port)
        data = random.Random(3).randbytes(50_000)
        bench.send_job(port, data)
        self.assertEqual([data], self.lab.wait_jobs(printer, 1))

    def test_port_taken_logs_the_bind_error_and_exits_with_the_platform_status(self):
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            status, out, err, log = self.lab.run(["STANDALONE", "HP", str(port)])
        self.assertEqual(self.bind_failure_status, status)
        self.assertEqual(self.log_lines("Error: couldn't bind: 10048"), log)

    def test_relay_that_cannot_hold_its_port_leaves_the_configuration_alone(self):
        lab_printer = self.lab.add_printer("Lab")
        other = self.lab.add_printer("Other")
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "Lab", str(port)])
        relay.wait_listening(port)
        for mode in ("STANDALONE", "BACKGROUND"):
            status, _, _, log = self.lab.run([mode, "Other", str(port)])
            self.assertEqual((self.bind_failure_status, self.log_lines("Error: couldn't bind: 10048")), (status, log),
                             mode)
            self.assertEqual((bench.REG_SZ, b"Lab\0"), self.lab.reg_value(bench.VENDOR_KEY % port, "Printer"))
        bench.send_job(port, b"still for Lab")
        bench.wait_for(lambda: self.lab.jobs(lab_printer) or self.lab.jobs(other), 30, "the job")
        self.assertEqual(([b"still for Lab"], []), (self.lab.jobs(lab_printer), self.lab.jobs(other)))

    def test_printer_names_beyond_the_ansi_code_page_reach_their_own_printer(self):
        decoy = self.lab.add_printer("Lab")
        decoy_jobs = len(self.lab.jobs(decoy))
        # Rows: program (None: the product), name, the name's bytes in the log (None: refused).
        rows = [(None, "Łab", "Łab".encode()), (None, "Принтер", "Принтер".encode())]
        if self.lab.kind == "wine":
            # Without the manifest the code page is Windows-1252: a name it cannot hold fails every
            # job and never reaches the look-alike "Lab"; a name it holds still works.
            rows += [(bench.ANSI_EXE, "Łab", None), (bench.ANSI_EXE, "Принтер", None),
                     (bench.ANSI_EXE, "Café", "Café".encode("cp1252"))]
        # Each name given on the command line, and stored in the key by a Unicode tool meanwhile.
        for (exe, name, shown), by_key in [(row, by_key) for by_key in (False, True) for row in rows]:
            printer = self.lab.add_printer(name)
            before = len(self.lab.jobs(printer))
            port = bench.free_port()
            relay = self.lab.start(["STANDALONE", "Lab" if by_key else name, str(port)], exe=exe)
            relay.wait_listening(port)
            if by_key:
                self.lab.set_reg_text(bench.VENDOR_KEY % port, "Printer", name)
            bench.send_job(port, name.encode())
            if shown is None:
                bench.wait_for(lambda: b"Error opening" in relay.log() or self.lab.jobs(decoy)[decoy_jobs:], 30, "the job")
                self.assertEqual(self.log_lines("Accept print job for  from 127.0.0.1", "Error opening print job."),
                                 relay.log(), name)
                self.assertEqual([], self.lab.jobs(printer)[before:] + self.lab.jobs(decoy)[decoy_jobs:], name)
                relay.stop()
                continue
            bench.wait_for(lambda: len(self.lab.jobs(printer)) > before or self.lab.jobs(decoy)[decoy_jobs:], 30,
                           "the job of %s: %r" % (name, relay.log()))
            self.assertEqual(self.log_lines() + b"Accept print job for " + shown + b" from 127.0.0.1" + self.lab.log_end,
                             relay.log(), name)
            self.assertEqual(([name.encode()], []), (self.lab.jobs(printer)[before:], self.lab.jobs(decoy)[decoy_jobs:]), name)
            relay.stop()
        if self.lab.kind == "wine":
            # "Łab" stored as a list (REG_MULTI_SZ) is checked like the other text types.
            port = bench.free_port()
            relay = self.lab.start(["STANDALONE", "Lab", str(port)], exe=bench.ANSI_EXE)
            relay.wait_listening(port)
            data = ",".join("%02x" % b for b in "Łab".encode("utf-16-le") + bytes(4))
            self.lab.import_reg('[HKEY_LOCAL_MACHINE\\%s]\n"Printer"=hex(7):%s\n' % (bench.VENDOR_KEY % port, data),
                                unicode=True)
            bench.send_job(port, b"list")
            bench.wait_for(lambda: b"Error opening" in relay.log() or self.lab.jobs(decoy)[decoy_jobs:], 30, "the job")
            self.assertEqual([], self.lab.jobs(decoy)[decoy_jobs:])
            relay.stop()

    def test_two_runs_for_one_port_started_at_once(self):
        # The run that serves is the one whose printer the key names, whichever wins.
        if self.lab.kind != "host":
            self.skipTest("without address reuse, the second bind already fails under Wine")
        printers = {name: self.lab.add_printer(name) for name in ("RaceA", "RaceB")}
        cwd = self.lab.workdir()
        for trial in range(20):
            port = bench.free_port()
            relays = [self.lab.start(["STANDALONE", name, str(port)], cwd=cwd) for name in printers]
            bench.wait_for(lambda: bench.listening(port) and sum(r.process.poll() is None for r in relays) == 1,
                           30, "one run left")
            winner = [name for name, r in zip(printers, relays) if r.process.poll() is None][0]
            # The winner writes its configuration just after it listens, before its first accept.
            key = bench.VENDOR_KEY % port
            bench.wait_for(lambda: self.lab.reg_value(key, "Printer") is not None, 30, "the winner's key")
            self.assertEqual((bench.REG_SZ, winner.encode() + b"\0"),
                             self.lab.reg_value(bench.VENDOR_KEY % port, "Printer"), trial)
            before = {name: len(self.lab.jobs(path)) for name, path in printers.items()}
            bench.send_job(port, b"trial %d" % trial)
            self.lab.wait_jobs(printers[winner], before[winner] + 1)
            loser = [name for name in printers if name != winner][0]
            self.assertEqual(before[loser], len(self.lab.jobs(printers[loser])), trial)
            for relay in relays:
                relay.stop()

    def test_configuration_that_cannot_be_written_ends_the_run(self):
        if self.lab.kind != "host":
            self.skipTest("Wine's registry is always writable here")
        lab_printer = self.lab.add_printer("Lab")
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "Lab", str(port)])
        relay.wait_listening(port)
        relay.stop()
        # A value that cannot be replaced, as in a read-only or full state folder (root ignores modes).
        description = self.lab._value_path(bench.VENDOR_KEY % port, "Description")
        os.unlink(description)
        os.mkdir(description)
        self.lab.add_printer("labtwo")
        status, out, _, log = self.lab.run(["STANDALONE", "labtwo", str(port)], timeout=30)
        # The host build's exit status tells a service manager why it did not serve.
        self.assertEqual((7, b""), (status, out))
        self.assertRegex(log.decode(), r"\nError: couldn't write configuration: \d+\n$")
        self.assertFalse(bench.listening(port))
        self.assertEqual((bench.REG_SZ, b"Lab\0"), self.lab.reg_value(bench.VENDOR_KEY % port, "Printer"))
        self.assertEqual([], self.lab.jobs(lab_printer))

    def test_advertising_turned_on_where_the_system_offers_no_dns_sd(self):
        # Wine's dnsapi.dll lacks the DNS-SD calls, as Windows before 1903 does: said once, and the
        # relay serves as before, also after listening starts again.
        if self.lab.kind != "wine":
            self.skipTest("the host build's DNS-SD is Avahi: the systemd container test covers it")
        printer = self.lab.add_printer("Adv")
        port = bench.free_port()
        key = bench.VENDOR_KEY % port
        self.lab.set_reg_value(key, "Advertise", bench.REG_DWORD, (1).to_bytes(4, "little"))
        self.lab.set_reg_text(key, "AdvertiseName", "Front desk")
        relay = self.lab.start(["STANDALONE", "Adv", str(port)])
        relay.wait_listening(port)
        for job in (b"first", b"second"):
            bench.send_job(port, job)
        self.assertEqual([b"first", b"second"], self.lab.wait_jobs(printer, 2))
        self.assertEqual(self.log_lines("No DNS-SD on this system: not advertised",
                                        *["Accept print job for Adv from 127.0.0.1"] * 2), relay.log())
        # The console mode writes neither value.
        self.assertEqual((bench.REG_DWORD, (1).to_bytes(4, "little")), self.lab.reg_value(key, "Advertise"))

    def test_port_rule_wraps_to_16_bits(self):
        # 70000 listens on 4464; 9100 stays free.
        port = 70000 % 65536
        if bench.listening(port):
            self.skipTest("port 4464 is in use on this machine")
        relay = self.lab.start(["STANDALONE", "HP", "70000"])
        relay.wait_listening(port)
        self.assertEqual((bench.REG_DWORD, (4464).to_bytes(4, "little")),
                         self.lab.reg_value(bench.VENDOR_KEY % 4464, "Port"))


class HostConsoleTest(ConsoleRelayTests, unittest.TestCase):
    lab_class = bench.HostLab
    aborted_job_printed = False
    bind_failure_status = 4

    def test_a_stop_lets_the_job_being_received_finish(self):
        # Linux only: SIGTERM (systemctl stop) ends the relay after the job, with status 0.
        printer = self.lab.add_printer("Stop")
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "Stop", str(port)])
        relay.wait_listening(port)
        data = random.Random(5).randbytes(300_000)
        with socket.create_connection(("127.0.0.1", port)) as client:
            client.sendall(data[:100_000])
            bench.wait_for(lambda: b"Accept print job" in relay.log(), 30, "the accept line")
            relay.process.send_signal(signal.SIGTERM)
            client.sendall(data[100_000:])
        self.assertEqual(0, relay.process.wait(60))
        self.assertEqual([data], self.lab.wait_jobs(printer, 1))
        self.assertFalse(bench.listening(port))


class WineConsoleTest(ConsoleRelayTests, unittest.TestCase):
    lab_class = bench.WineLab

    def test_version_resource_as_explorer_reads_it(self):
        # Expected values come from the one version number of the CMake project.
        cmake = bench.read_file(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")).decode()
        version = re.search(r"project\(Ferrolink VERSION ([0-9.]+)", cmake).group(1)
        quad = ".".join((version.split(".") + ["0"] * 3)[:4])
        self.assertRegex(quad, r"^1\.[0-9]+\.[0-9]+\.0$")
        status, out, _ = self.lab.wine(["wine", bench.PROBE, "version", self.lab.windows_path(bench.WINDOWS_EXE)])
        self.assertEqual(["Fixed=" + quad, "ProductName=Ferrolink", "FileDescription=Ferrolink raw network print relay",
                          "CompanyName=Korvanta", "FileVersion=" + quad, "ProductVersion=" + version,
                          "OriginalFilename=ferrolink.exe",
                          "LegalCopyright=Copyright (c) 2026 Korvanta Ferrolink developers"],
                         out.decode().splitlines())
        self.assertIn(b'name="Korvanta.Ferrolink" version="%s"' % quad.encode(), bench.read_file(bench.WINDOWS_EXE))


if __name__ == "__main__":
    unittest.main()
