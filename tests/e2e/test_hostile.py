"""Hostile and odd input against the real relay: long and empty printer names, values stored by
other means, odd argument vectors, and a log file that is busy or cannot be deleted. Runs against
the host build and under Wine."""

import os
import threading
import unittest

import lab as bench

ACCEPT = "Accept print job for %s from 127.0.0.1"


class HostileInputTests(bench.LabTests):
    def log_lines(self, relay):
        return relay.log().decode(errors="replace").split(self.lab.log_end.decode())[2:-1]

    def start(self, printer, port=None):
        port = port or bench.free_port()
        relay = self.lab.start(["STANDALONE", printer, str(port)])
        relay.wait_listening(port)
        return relay, port

    def test_printer_names_of_every_length_through_the_command_line(self):
        for length in (0, 1, 213, 214, 255, 256, 1000):
            name = ("n%04d" % length * 300)[:length]
            relay, port = self.start(name)
            stored = self.lab.reg_value(bench.VENDOR_KEY % port, "Printer")
            self.assertEqual((bench.REG_SZ, name.encode() + b"\0"), stored, length)
            bench.send_job(port, b"x")
            bench.wait_for(lambda: len(self.log_lines(relay)) >= 2, 30, "two log lines")
            # Names longer than 255 characters cannot be read back: the name stays empty. A long
            # name is cut in the line, never the address.
            shown = name[:219] if length <= 255 else ""
            self.assertEqual([ACCEPT % shown, "Error opening print job."], self.log_lines(relay), length)
            relay.stop()

    def test_printer_values_stored_by_other_means(self):
        printer = self.lab.add_printer("Real")
        relay, port = self.start("Real")
        key = bench.VENDOR_KEY % port
        # Each case follows a job for "Real": a value that cannot be read whole, as text, is no
        # name, never the name read before.
        cases = [
            (bench.REG_SZ, b"Real", ["Real"]),              # no terminating NUL
            (bench.REG_BINARY, b"Real\0", [""]),            # another type holding the name
            (bench.REG_SZ, b"Real\0", ["Real"]),
            (bench.REG_SZ, b"z" * 300, [""]),               # larger than the buffer
            (bench.REG_SZ, b"Real\0", ["Real"]),
            (bench.REG_SZ, b"y" * 256, [""]),               # fills the buffer without a NUL
            (bench.REG_MULTI_SZ, b"Real\0Other\0\0", ["Real"]),
            (bench.REG_SZ, b"Real\r\nFerrolink stopped.\0", ["Real??Ferrolink stopped."]),  # no forged line
            (bench.REG_SZ, "Ł".encode() * 130 + b"\0", [""]),  # 260 bytes in UTF-8
        ]
        to_real = 0
        for kind, value, allowed in cases:
            self.lab.set_reg_value(key, "Printer", kind, value)
            before = len(self.log_lines(relay))
            if not bench.send_job(port, b"job"):
                self.assertEqual([""], allowed, "only a job that cannot be opened is reset (Linux)")
            bench.wait_for(lambda: len(self.log_lines(relay)) > before, 30, "the accept line")
            self.assertIn(self.log_lines(relay)[before], [ACCEPT % name for name in allowed], value[:10])
            to_real += self.log_lines(relay)[before] == ACCEPT % "Real"
        self.assertEqual(to_real, len(self.lab.wait_jobs(printer, to_real)))

    def test_odd_argument_vectors(self):
        for args in ([""], ["", ""], ["", "STANDALONE", "P"], ["REMOVE", "1", "2"], ["x" * 5000]):
            status, _, err, _ = self.lab.run(args)
            self.assertEqual(1, status, args[:2])
            self.assertIn(b"If port is unspecified, 9100 is assumed.", err)
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "", "0" * 5000 + str(port)])
        relay.wait_listening(port)
        bench.send_job(port, b"x")
        bench.wait_for(lambda: len(self.log_lines(relay)) >= 2, 30, "two log lines")
        self.assertEqual([ACCEPT % "", "Error opening print job."], self.log_lines(relay))

    def test_busy_log_keeps_its_lines_and_the_relay_goes_on(self):
        # Rows: how the log is held while a job arrives, from when, and whether its line is
        # written. A reader never stands in the way, not even of the run's fresh start (one that
        # lets the file be deleted must not take the run's lines with it when it lets go); a holder
        # that denies all writing (possible on Windows only) costs the lines written meanwhile; on
        # Linux a lock is only advisory and the line is written beside it.
        rows = [("reader", True, False, True), ("reader from the start", True, True, True),
                ("exclusive", False, False, self.lab.kind == "host")]
        for holder, reader, from_start, kept in rows:
            printer = self.lab.add_printer("Busy")
            before = len(self.lab.jobs(printer))
            cwd, port = self.lab.workdir(), bench.free_port()
            log = os.path.join(cwd, "Ferrolink.log")
            if from_start:
                with open(log, "wb") as f:
                    f.write(b"an earlier run" + self.lab.log_end)
                release = self.lab.hold_file(log, reader=reader)
            relay = self.lab.start(["STANDALONE", "Busy", str(port)], cwd=cwd)
            relay.wait_listening(port)
            if not from_start:
                release = self.lab.hold_file(log, reader=reader)
            try:
                bench.send_job(port, b"while busy")
                self.assertEqual([b"while busy"], self.lab.wait_jobs(printer, before + 1)[before:], holder)
            finally:
                release()
            bench.send_job(port, b"after")
            self.assertEqual([b"while busy", b"after"], self.lab.wait_jobs(printer, before + 2)[before:], holder)
            bench.wait_for(lambda: len(self.log_lines(relay)) >= 1 + kept, 30, "the accept lines")
            self.assertEqual([ACCEPT % "Busy"] * (1 + kept), self.log_lines(relay), holder)
            self.assertNotIn(b"an earlier run", relay.log(), holder)
            relay.stop()

    def test_two_relays_sharing_one_log_lose_no_line_in_a_burst(self):
        # Printers that do not exist: two lines per job and nothing spooled (under Wine two relays
        # in one prefix would share the spooler's file numbers).
        cwd = self.lab.workdir()
        jobs = 150 if self.lab.kind == "host" else 60
        relays = []
        for name in ("NoneA", "NoneB"):
            port = bench.free_port()
            relay = self.lab.start(["STANDALONE", name, str(port)], cwd=cwd)
            relay.wait_listening(port)
            relays.append((name, port))

        def burst(port):
            for _ in range(jobs):
                bench.send_job(port, b"")

        threads = [threading.Thread(target=burst, args=(port,)) for _, port in relays]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        path = os.path.join(cwd, "Ferrolink.log")

        def lines():
            return bench.read_file(path).decode(errors="replace").split(self.lab.log_end.decode())[:-1]
        bench.wait_for(lambda: lines().count("Error opening print job.") >= 2 * jobs, 60,
                       "every error line: %d" % lines().count("Error opening print job."))
        counts = [lines().count(ACCEPT % name) for name, _ in relays]
        self.assertEqual([jobs, jobs], counts)
        known = {"KVFerrolink 1.0", "Ferrolink starting...", "Error opening print job."}
        self.assertEqual([], [line for line in lines() if line not in known and not line.startswith("Accept")])

    def test_log_that_cannot_be_deleted_or_opened(self):
        printer = self.lab.add_printer("NoLog")
        cwd = self.lab.workdir()
        os.makedirs(os.path.join(cwd, "Ferrolink.log", "keep"))
        port = bench.free_port()
        relay = self.lab.start(["STANDALONE", "NoLog", str(port)], cwd=cwd)
        relay.wait_listening(port)
        for index in range(3):
            bench.send_job(port, b"job %d" % index)
        self.assertEqual([b"job 0", b"job 1", b"job 2"], self.lab.wait_jobs(printer, 3))
        self.assertTrue(os.path.isdir(os.path.join(cwd, "Ferrolink.log", "keep")))

    def test_root_setting_is_used_whole_or_refused(self):
        if self.lab.kind != "host":
            self.skipTest("FERROLINK_ROOT is a setting of the host build")
        for length, refused in ((511, False), (512, True), (4000, True)):
            root = os.path.join(self.lab.root, "r%d" % length)
            while len(root) < length:
                root = os.path.join(root, "d" * min(200, length - len(root) - 1))
            self.assertEqual(length, len(root))
            os.makedirs(os.path.join(root, "printers", "Deep"))
            port = bench.free_port()
            if refused:
                status, out, err, _ = self.lab.run(["STANDALONE", "Deep", str(port)],
                                                   timeout=15, extra_env={"FERROLINK_ROOT": root})
                self.assertEqual((1, b""), (status, out), length)
                self.assertIn(b"FERROLINK_ROOT", err)
                self.assertEqual(["printers"], os.listdir(root), "nothing may be made under a cut root")
                continue
            env = {"FERROLINK_ROOT": root}
            relay = self.lab.start(["STANDALONE", "Deep", str(port)], extra_env=env)
            relay.wait_listening(port)
            bench.send_job(port, b"deep")
            self.assertEqual([b"deep"], self.lab.wait_jobs(os.path.join(root, "printers", "Deep"), 1))
            relay.stop()


class HostHostileTest(HostileInputTests, unittest.TestCase):
    lab_class = bench.HostLab


class WineHostileTest(HostileInputTests, unittest.TestCase):
    lab_class = bench.WineLab


if __name__ == "__main__":
    unittest.main()
