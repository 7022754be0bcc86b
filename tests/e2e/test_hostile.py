"""Hostile and odd input against the real relay: long and empty printer names, values stored by
other means, odd argument vectors, and a log file that is busy or cannot be deleted. Runs against
the host build and under Wine."""

import os
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
            # Names longer than 255 characters cannot be read back: the name stays empty.
            shown = name if length <= 255 else ""
            self.assertEqual([(ACCEPT % shown)[:255], "Error opening print job."], self.log_lines(relay), length)
            relay.stop()

    def test_printer_values_stored_by_other_means(self):
        printer = self.lab.add_printer("Real")
        relay, port = self.start("Real")
        key = bench.VENDOR_KEY % port
        cases = [
            (bench.REG_SZ, b"Real", ["Real"]),              # no terminating NUL
            (bench.REG_BINARY, b"Real\0", ["Real"]),        # another type holding the name
            (bench.REG_SZ, b"z" * 300, ["Real"]),           # larger than the buffer: the last name stays
            # Fills the buffer without a NUL: cut to 255 characters, or refused by a platform that
            # wants room for the NUL (Wine), which keeps the last name.
            (bench.REG_SZ, b"y" * 256, ["y" * 255, "Real"]),
        ]
        to_real = 0
        for kind, value, allowed in cases:
            self.lab.set_reg_value(key, "Printer", kind, value)
            before = len(self.log_lines(relay))
            bench.send_job(port, b"job")
            bench.wait_for(lambda: len(self.log_lines(relay)) > before, 30, "the accept line")
            self.assertIn(self.log_lines(relay)[before], [(ACCEPT % name)[:255] for name in allowed], value[:10])
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

    def test_busy_log_drops_lines_and_the_relay_goes_on(self):
        printer = self.lab.add_printer("Busy")
        relay, port = self.start("Busy")
        release = self.lab.hold_file(os.path.join(relay.cwd, "Ferrolink.log"))
        try:
            bench.send_job(port, b"while busy")
            self.assertEqual([b"while busy"], self.lab.wait_jobs(printer, 1))
        finally:
            release()
        bench.send_job(port, b"after")
        self.assertEqual([b"while busy", b"after"], self.lab.wait_jobs(printer, 2))
        bench.wait_for(lambda: len(self.log_lines(relay)) >= 1, 30, "the accept line")
        self.assertEqual([ACCEPT % "Busy"], self.log_lines(relay))

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


class HostHostileTest(HostileInputTests, unittest.TestCase):
    lab_class = bench.HostLab


class WineHostileTest(HostileInputTests, unittest.TestCase):
    lab_class = bench.WineLab


if __name__ == "__main__":
    unittest.main()
