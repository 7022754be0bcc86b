"""The Linux relay into CUPS queues: a real cupsd of the test's own, the host build with its CUPS
spooler, and CUPS clients (lp through a socket:// queue, the socket backend) on the sending side."""

import os
import random
import subprocess
import tempfile
import unittest

import cupslab
import lab as bench


class CupsRelayTest(unittest.TestCase):
    def setUp(self):
        self.cups = cupslab.Scheduler()
        self.cups.start()
        self.host = bench.HostLab()
        self.office = self.cups.add_queue("office")

    def tearDown(self):
        self.host.close()
        self.cups.close()

    def start_relay(self, queue="office"):
        env_backup = self.host.env
        port = bench.free_port()

        def env():
            values = env_backup()
            values.update(self.cups.env(), FERROLINK_SPOOLER="cups")
            return values
        self.host.env = env
        relay = self.host.start(["STANDALONE", queue, str(port)])
        relay.wait_listening(port)
        return relay, port

    def log_lines(self, relay):
        return relay.log().decode().split(self.host.log_end.decode())[2:-1]

    def test_jobs_arrive_byte_exact_titled_and_in_order(self):
        relay, port = self.start_relay()
        rng = random.Random(5)
        jobs = [bytes(range(256)) * 4, rng.randbytes(3_000_000), b"\x1b%-12345X@PJL JOB\r\n", rng.randbytes(1024)]
        for job in jobs:
            bench.send_job(port, job, chunk=rng.choice([1000, 4096, 65536]))
        printed = self.cups.wait_jobs(self.office, len(jobs))
        self.assertEqual(jobs, [data for data, _ in printed])
        self.assertEqual(["Forwarded Job"] * len(jobs), [title for _, title in printed])
        self.assertEqual(["Accept print job for office from 127.0.0.1"] * len(jobs), self.log_lines(relay))

    def test_cups_clients_send_through_the_relay(self):
        relay, port = self.start_relay()
        # A CUPS queue on the sending side that forwards to the relay over socket://.
        self.cups.add_queue("sender", "socket://127.0.0.1:%d" % port)
        data = random.Random(9).randbytes(200_000)
        with tempfile.NamedTemporaryFile(dir=self.cups.root, delete=False) as f:
            f.write(data)
        self.cups.run("lp", "-d", "sender", "-o", "raw", f.name)
        self.assertEqual(data, self.cups.wait_jobs(self.office, 1)[0][0])
        # The socket backend on its own, as a peer host would run it.
        env = dict(os.environ, DEVICE_URI="socket://127.0.0.1:%d" % port)
        subprocess.run(["/usr/lib/cups/backend/socket", "1", "user", "title", "1", "", f.name], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, check=True, timeout=60)
        self.assertEqual([data, data], [d for d, _ in self.cups.wait_jobs(self.office, 2)])

    def test_unknown_queue_and_refusing_queue_are_errors(self):
        relay, port = self.start_relay("nosuchqueue")
        bench.send_job(port, b"lost")
        bench.wait_for(lambda: len(self.log_lines(relay)) >= 2, 30, "two lines")
        self.assertEqual(["Accept print job for nosuchqueue from 127.0.0.1", "Error opening print job."],
                         self.log_lines(relay))
        relay.stop()
        self.cups.run("cupsreject", "office")
        relay, port = self.start_relay()
        bench.send_job(port, b"refused")
        bench.wait_for(lambda: len(self.log_lines(relay)) >= 2, 30, "two lines")
        self.assertEqual("Error opening print job.", self.log_lines(relay)[1])
        self.cups.run("cupsaccept", "office")
        bench.send_job(port, b"accepted again")
        self.assertEqual(b"accepted again", self.cups.wait_jobs(self.office, 1)[0][0])

    def test_scheduler_stopped_mid_run(self):
        relay, port = self.start_relay()
        bench.send_job(port, b"before")
        self.cups.wait_jobs(self.office, 1)
        self.cups.stop()
        bench.send_job(port, b"while stopped")
        bench.wait_for(lambda: len(self.log_lines(relay)) >= 3, 60, "the error line")
        self.assertEqual("Error opening print job.", self.log_lines(relay)[2])
        self.cups.start()
        bench.send_job(port, b"after")
        self.assertEqual([b"before", b"after"], [d for d, _ in self.cups.wait_jobs(self.office, 2)])
        self.assertIsNone(relay.process.poll())


if __name__ == "__main__":
    unittest.main()
