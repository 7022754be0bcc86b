"""The service end to end under Wine's real service manager: install, relay, stop, remove."""

import os
import re
import shutil
import socket
import sys
import unittest

import lab as bench


class WineServiceTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = bench.WineLab(persistent_server=True)
        # The program runs from a folder of its own, as an administrator would copy it.
        cls.bin = os.path.join(cls.lab.root, "bin")
        os.makedirs(cls.bin)
        shutil.copy(bench.WINDOWS_EXE, cls.bin)
        cls.printer = cls.lab.add_printer("Office Printer")

    @classmethod
    def tearDownClass(cls):
        for port in cls.ports:
            cls.lab.wine(["wine", "sc", "stop", "KVFerrolink_%d" % port], check=False)
            cls.lab.wine(["wine", "sc", "delete", "KVFerrolink_%d" % port], check=False)
        cls.lab.close()

    ports = []

    def ferrolink(self, *args):
        """Runs ferrolink.exe by its full path from its folder; returns (status, stdout). INSTALL and
        REMOVE always exit 0, so another status is Wine's own failure: its message goes to the log."""
        status, out, err = self.lab.wine(["wine", os.path.join(self.bin, "ferrolink.exe")] + list(args),
                                         check=False, cwd=self.bin)
        if status != 0:
            sys.stderr.write("ferrolink.exe %s exited %d: %r %r\n" % (" ".join(args), status, out, err[-2000:]))
        return status, out

    def install(self, printer, port):
        self.ports.append(int(port) % 65536)
        return self.ferrolink("INSTALL", printer, str(port))

    def wait_state(self, port, state):
        bench.wait_for(lambda: self.lab.service_state("KVFerrolink_%d" % port) == state, 30,
                       "service %d %s" % (port, state))

    def log_lines(self):
        return self.lab.service_log().decode().split("\r\n")

    def test_install_relay_and_remove_a_running_service(self):
        port = bench.free_port()
        status, out = self.install("Office Printer", port)
        self.assertEqual(0, status)
        self.assertEqual(b"CreateService SUCCESS.\r\nService started.\r\n", out)
        key = bench.SERVICE_KEY % port
        self.assertEqual((bench.REG_SZ, b"Office Printer\0"), self.lab.reg_value(key, "Printer"))
        self.assertEqual((bench.REG_DWORD, port.to_bytes(4, "little")), self.lab.reg_value(key, "Port"))
        self.assertEqual((bench.REG_SZ, b"Routes all traffic from port 910x to a local printer\0"),
                         self.lab.reg_value(key, "Description"))
        image = self.lab.reg_value(key, "ImagePath")[1].rstrip(b"\0").decode()
        self.assertEqual('"%s" PRIVATE_SERVICE %d' % (self.lab.windows_path(os.path.join(self.bin, "ferrolink.exe")),
                                                      port), image)
        self.wait_state(port, "RUNNING")
        bench.wait_for(lambda: bench.listening(port), 30, "the service's listener")
        data = bytes(range(256)) * 100 + os.urandom(70_000)
        bench.send_job(port, data, chunk=4096)
        self.assertEqual(data, self.lab.wait_jobs(self.printer, 1)[-1])
        lines = self.log_lines()
        self.assertEqual(["KVFerrolink 1.0", "Ferrolink starting..."], lines[:2])
        # The service starts before its configuration is written, so its start line may not name the printer yet.
        self.assertRegex(lines[2], r"^(|Office Printer) on %d \(%d\)$" % (port, port))
        self.assertEqual("Accept print job for Office Printer from 127.0.0.1", lines[3])

        status, out = self.ferrolink("REMOVE", str(port))
        self.assertEqual(b"Server stopped.\r\nDeleteService SUCCESS\r\n", out)
        bench.wait_for(lambda: "Ferrolink exit" in self.log_lines(), 30, "the service's exit line")
        self.assertEqual(["Ferrolink stopped.", "Ferrolink exit", ""], self.log_lines()[-3:])
        bench.wait_for(lambda: not bench.listening(port), 30, "the port to be freed")
        bench.wait_for(lambda: self.lab.reg_value(key, "Printer") is None, 30, "the key to go")

    def test_services_of_several_ports_live_side_by_side(self):
        ports = [bench.free_port(), bench.free_port()]
        for port in ports:
            self.assertEqual(b"CreateService SUCCESS.\r\nService started.\r\n", self.install("Office Printer", port)[1])
        for port in ports:
            bench.wait_for(lambda: bench.listening(port), 30, "the listener of %d" % port)
        before = len(self.lab.jobs(self.printer))
        for port in ports:
            bench.send_job(port, b"via %d" % port)
            self.assertEqual(b"via %d" % port, self.lab.wait_jobs(self.printer, before + 1)[-1])
            before += 1
        for port in ports:
            self.assertEqual(b"Server stopped.\r\nDeleteService SUCCESS\r\n", self.ferrolink("REMOVE", str(port))[1])

    def test_stop_while_a_job_is_being_received(self):
        port = bench.free_port()
        self.install("Office Printer", port)
        bench.wait_for(lambda: bench.listening(port), 30, "the service's listener")
        before = len(self.lab.jobs(self.printer))
        with socket.create_connection(("127.0.0.1", port)) as client:
            client.sendall(b"half a job")
            bench.wait_for(lambda: "Accept print job for Office Printer from 127.0.0.1" in self.log_lines(), 30,
                           "the accept line")
            self.lab.wine(["wine", "sc", "stop", "KVFerrolink_%d" % port])
            self.wait_state(port, "STOPPED")
            client.settimeout(30)
            try:
                self.assertEqual(b"", client.recv(1))  # the connection ends with the process
            except ConnectionResetError:
                pass
        self.assertEqual(["Ferrolink stopped.", "Ferrolink exit", ""], self.log_lines()[-3:])
        # The unfinished job is dropped with the process, never printed in part.
        self.assertEqual(before, len(self.lab.jobs(self.printer)))
        self.assertEqual((0, b"DeleteService SUCCESS\r\n"), self.ferrolink("REMOVE", str(port)))

    def test_second_install_of_a_port_leaves_the_first_alone(self):
        port = bench.free_port()
        self.install("Office Printer", port)
        self.wait_state(port, "RUNNING")
        status, out = self.install("Other", port)
        self.assertEqual(0, status)
        self.assertEqual(b"Error: CreateService 1073\r\n", out)
        self.assertEqual((bench.REG_SZ, b"Office Printer\0"),
                         self.lab.reg_value(bench.SERVICE_KEY % port, "Printer"))
        self.assertEqual(b"Server stopped.\r\nDeleteService SUCCESS\r\n", self.ferrolink("REMOVE", str(port))[1])

    def test_remove_of_a_stopped_service_and_of_a_port_without_service(self):
        port = bench.free_port()
        self.install("Office Printer", port)
        self.wait_state(port, "RUNNING")
        self.lab.wine(["wine", "sc", "stop", "KVFerrolink_%d" % port])
        self.wait_state(port, "STOPPED")
        self.assertEqual((0, b"DeleteService SUCCESS\r\n"), self.ferrolink("REMOVE", str(port)))
        unused = bench.free_port()
        self.assertEqual((0, b"Error: OpenService (KVFerrolink_%d) 1060\r\n" % unused),
                         self.ferrolink("REMOVE", str(unused)))

    def test_port_edited_in_the_key_applies_at_the_next_start(self):
        port, edited = bench.free_port(), bench.free_port()
        self.install("Office Printer", port)
        self.wait_state(port, "RUNNING")
        self.lab.wine(["wine", "sc", "stop", "KVFerrolink_%d" % port])
        self.wait_state(port, "STOPPED")
        self.lab.set_reg_value(bench.SERVICE_KEY % port, "Port", bench.REG_DWORD, edited.to_bytes(4, "little"))
        self.lab.wine(["wine", "sc", "start", "KVFerrolink_%d" % port])
        bench.wait_for(lambda: bench.listening(edited), 30, "the edited port")
        self.assertFalse(bench.listening(port))
        self.assertEqual("Office Printer on %d (%d)" % (edited, port), self.log_lines()[2])
        self.assertEqual(b"Server stopped.\r\nDeleteService SUCCESS\r\n", self.ferrolink("REMOVE", str(port))[1])

    def test_port_already_taken_stops_the_service(self):
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            status, out = self.install("Office Printer", port)
            self.assertEqual(b"CreateService SUCCESS.\r\nService started.\r\n", out)
            bench.wait_for(lambda: "Ferrolink exit" in self.log_lines(), 30, "the service to end")
        lines = self.log_lines()
        self.assertRegex(lines[2], r"^(|Office Printer) on %d \(%d\)$" % (port, port))
        self.assertEqual(["Error: couldn't bind: 10048", "Ferrolink exit", ""], lines[3:])
        self.wait_state(port, "STOPPED")
        self.assertEqual((0, b"DeleteService SUCCESS\r\n"), self.ferrolink("REMOVE", str(port)))

    def test_a_port_deciding_to_zero_never_acts_as_another_instance(self):
        self.ports.append(0)
        for argument in ("65536", "131072"):
            self.assertEqual((1, b""), self.install("Office Printer", argument), argument)
            self.assertIsNone(self.lab.service_state("KVFerrolink_0"), argument)
        # A service of port 0 left by an earlier build reads its own key, never the port 9100 one.
        own, other = bench.free_port(), bench.free_port()
        self.lab.set_reg_value(bench.SERVICE_KEY % 9100, "Port", bench.REG_DWORD, other.to_bytes(4, "little"))
        exe = self.lab.windows_path(os.path.join(self.bin, "ferrolink.exe"))
        self.lab.wine(["wine", "sc", "create", "KVFerrolink_0", "binpath=", '"%s" PRIVATE_SERVICE 0' % exe])
        self.lab.set_reg_value(bench.SERVICE_KEY % 0, "Port", bench.REG_DWORD, own.to_bytes(4, "little"))
        self.lab.set_reg_value(bench.SERVICE_KEY % 0, "Printer", bench.REG_SZ, b"Office Printer\0")
        self.lab.wine(["wine", "sc", "start", "KVFerrolink_0"])
        bench.wait_for(lambda: bench.listening(own) or bench.listening(other), 30, "the service's listener")
        self.assertEqual((True, False), (bench.listening(own), bench.listening(other)))
        self.assertEqual((0, b"Server stopped.\r\nDeleteService SUCCESS\r\n"), self.ferrolink("REMOVE", "65536"))

    def test_installed_by_a_relative_name_the_service_still_starts(self):
        port = bench.free_port()
        self.ports.append(port)
        status, out, _ = self.lab.wine(["wine", "cmd", "/c", "ferrolink.exe", "INSTALL", "Office Printer",
                                        str(port)], check=False, cwd=self.bin)
        self.assertEqual(b"CreateService SUCCESS.\r\nService started.\r\n", out)
        image = self.lab.reg_value(bench.SERVICE_KEY % port, "ImagePath")[1].rstrip(b"\0").decode()
        self.assertTrue(re.match(r'^"[A-Za-z]:\\.*\\ferrolink\.exe" PRIVATE_SERVICE %d$' % port, image), image)
        bench.wait_for(lambda: bench.listening(port), 30, "the service's listener")
        self.assertEqual(b"Server stopped.\r\nDeleteService SUCCESS\r\n", self.ferrolink("REMOVE", str(port))[1])


if __name__ == "__main__":
    unittest.main()
