"""The Linux relay into CUPS queues: a real cupsd of the test's own, the host build with its CUPS
spooler, and CUPS clients (lp through a socket:// queue, the socket backend) on the sending side."""

import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import cupslab
import lab as bench


class CupsRelayTest(unittest.TestCase):
    def setUp(self):
        # Short time-outs: cupsd drops connections idle for longer, and aborts jobs whose document
        # has not arrived in time, as it does after 900 s by default.
        self.cups = cupslab.Scheduler("Timeout 5\nMultipleOperationTimeout 5\n")
        self.cups.start()
        self.host = bench.HostLab()
        self.office = self.cups.add_queue("office")

    def tearDown(self):
        self.host.close()
        self.cups.close()

    def start_relay(self, queue="office", port=None, extra_env=None):
        env_backup = self.host.env
        port = port or bench.free_port()

        def env():
            values = env_backup()
            values.update(self.cups.env(), FERROLINK_SPOOLER="cups")
            return values
        self.host.env = env
        relay = self.host.start(["STANDALONE", queue, str(port)], extra_env=extra_env)
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
        """Jobs that arrive while the scheduler is down are held and printed once it is back, in
        order, with no failure logged; standard error tells of the wait and of its end."""
        relay, port = self.start_relay()
        bench.send_job(port, b"before")
        self.cups.wait_jobs(self.office, 1)
        self.cups.stop()
        sent = [b"while stopped %d " % n * 5000 for n in range(3)]
        for job in sent:  # clients that do not wait: the later ones queue at the relay
            bench.send_job(port, job)
        bench.wait_for(lambda: "CUPS cannot take the job for office" in relay.stderr(), 30, "the wait line")
        time.sleep(3)
        self.cups.start()
        bench.send_job(port, b"after")
        self.assertEqual([b"before"] + sent + [b"after"], [d for d, _ in self.cups.wait_jobs(self.office, 5)])
        self.assertEqual(["Accept print job for office from 127.0.0.1"] * 5, self.log_lines(relay))
        self.assertIn("CUPS took the job for office", relay.stderr())
        self.assertEqual([], os.listdir(self.held(port)))
        self.assertIsNone(relay.process.poll())

    def held(self, port):
        """The relay's folder of held jobs, made when needed."""
        folder = os.path.join(self.host.root, "state", "held", str(port))
        os.makedirs(folder, exist_ok=True)
        return folder

    def test_temporary_refusals_are_waited_out(self):
        """Each row: a disturbance, then jobs from clients that wait for the relay to close; every
        job prints exactly once, whole and in order, and no failure is logged."""
        def too_many_jobs(port):
            self.cups.reconfigure("MaxJobs 2\nPreserveJobHistory No\n")
            with open(os.path.join(self.office, ".delay"), "w") as f:
                f.write("0.3\n")
            return lambda: self.assertIn("Too many active jobs", self.relay.stderr())

        def killed_while_holding(port):
            self.cups.stop()
            bench.send_job(port, b"held over a restart " * 1000)
            bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(self.held(port))), 30, "a held job")
            self.relay.process.kill()
            self.relay.process.wait()
            self.cups.start()
            self.relay, _ = self.start_relay(port=port)
            return None

        def search_refused(port):
            # The queue's policy asks for a password on Get-Jobs: the search before the resend of
            # a taken job's copy cannot tell, so the copy waits instead of printing again.
            self.cups.reconfigure("<Policy searchlocked>\n<Limit Get-Jobs>\nAuthType Basic\n"
                                  "Require user somebody\n</Limit>\n<Limit All>\nOrder deny,allow\n"
                                  "</Limit>\n</Policy>\n")
            self.cups.run("lpadmin", "-p", "office", "-o", "printer-op-policy=searchlocked")
            taken_before_the_kill(port)
            bench.wait_for(lambda: "search for the job before sending it again failed" in self.relay.stderr()
                           or len(self.cups.jobs(self.office)) > 1, 30, "the refused search")
            time.sleep(3)
            self.assertEqual(1, len(self.cups.jobs(self.office)), "printed twice")
            self.cups.run("lpadmin", "-p", "office", "-o", "printer-op-policy=default")
            return None

        def copy_undeletable(port):
            # The hold folder made read-only (immutable, as root ignores modes) while a job waits:
            # once CUPS takes it, its copy cannot be deleted, and the relay ends with status 8 and
            # the reason rather than serve on with a copy that would print again.
            self.cups.stop()
            bench.send_job(port, b"taken, not deleted " * 1000)
            bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(self.held(port))), 30, "a held job")
            subprocess.run(["chattr", "+i", self.held(port)], check=True)
            try:
                self.cups.start()
                self.relay.process.wait(60)
            finally:
                subprocess.run(["chattr", "-i", self.held(port)], check=True)
            self.assertEqual(8, self.relay.process.returncode)
            self.assertIn("copy of a job CUPS took", self.relay.stderr())
            # CUPS took the job before the relay ended; its backend may still be writing it.
            self.assertEqual(1, len(self.cups.wait_jobs(self.office, 1, 30)))
            self.relay, _ = self.start_relay(port=port)
            return None

        def copy_undeletable_without_history(port):
            # The same where CUPS keeps no job history: the restart cannot find the job in CUPS,
            # and only the copy's taken mark keeps it from printing a second time.
            self.cups.reconfigure("PreserveJobHistory No\n")
            return copy_undeletable(port)

        def folder_deleted(then_stop):
            # The hold folder deleted while a job waits: the relay still reads its open file and
            # writes the copy again, so that a stop leaves the job held.
            def disturb(port):
                self.cups.stop()
                bench.send_job(port, b"copy deleted " * 1000)
                bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(self.held(port))), 30,
                               "a held job")
                shutil.rmtree(self.held(port))
                if then_stop:
                    self.relay.stop()
                    self.assertEqual(0, self.relay.process.returncode)
                    self.relay, _ = self.start_relay(port=port)
                else:
                    time.sleep(2)
                self.cups.start()
                return None
            return disturb

        def taken_before_the_kill(port):
            # The scheduler took the job but the relay was killed before it deleted its copy:
            # the copy, put back, must not print a second time.
            self.cups.stop()
            bench.send_job(port, b"printed once " * 1000)
            bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(self.held(port))), 30, "a held job")
            name = [n for n in os.listdir(self.held(port)) if n.endswith(".job")][0]
            with open(os.path.join(self.held(port), name), "rb") as f:
                copy = f.read()
            self.cups.start()
            self.cups.wait_jobs(self.office, 1)
            bench.wait_for(lambda: not os.listdir(self.held(port)), 30, "the copy deleted")
            self.relay.process.kill()
            self.relay.process.wait()
            with open(os.path.join(self.held(port), name), "wb") as f:
                f.write(copy)
            self.relay, _ = self.start_relay(port=port)
            return None

        def hangs_up_as_a_job_begins(port):
            # A restarting scheduler accepts connections and closes them unanswered: no reason
            # to refuse the job, which waits for the real one.
            self.cups.stop()
            listener = socket.socket(socket.AF_UNIX)
            listener.bind(self.cups.socket)
            listener.listen()

            def hang_up():
                try:
                    while True:
                        listener.accept()[0].close()
                except OSError:
                    pass  # closed: the real scheduler is coming back
            threading.Thread(target=hang_up, daemon=True).start()
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(b"held through a hang-up " * 1000)
                client.shutdown(socket.SHUT_WR)
                bench.wait_for(lambda: "holds it" in self.relay.stderr() or "Error" in self.relay.log().decode(),
                               30, "a wait or a failure")
                listener.shutdown(socket.SHUT_RDWR)
                listener.close()
                os.remove(self.cups.socket)
                self.cups.start()
                self.assertEqual(b"", client.recv(1))
            return None

        def outage_answers_each_client_once_its_job_is_held(port):
            # The client hears done as soon as its job is whole on disk, not once CUPS has it; the
            # next client waits in the listen queue meanwhile.
            self.cups.stop()
            with socket.create_connection(("127.0.0.1", port)) as first:
                first.sendall(b"first in the outage " * 1000)
                first.shutdown(socket.SHUT_WR)
                first.settimeout(30)
                self.assertEqual(b"", first.recv(1))
            self.assertTrue(any(n.endswith(".job") for n in os.listdir(self.held(port))), "still held")
            with socket.create_connection(("127.0.0.1", port)) as second:
                second.sendall(b"second in the outage " * 1000)
                second.shutdown(socket.SHUT_WR)
                second.settimeout(2)
                self.assertRaises(socket.timeout, second.recv, 1)
                self.cups.start()
                second.settimeout(60)
                self.assertEqual(b"", second.recv(1))
            return None

        def killed_while_the_scheduler_hangs(port):
            # cupsd stopped dead once the job began: the relay's exchange at the client's close
            # blocks, the job is whole on disk before it, and a kill -9 meanwhile loses nothing.
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(b"held through a hang " * 1000)
                bench.wait_for(lambda: os.listdir(self.held(port)), 30, "the hold file")
                self.cups.process.send_signal(signal.SIGSTOP)
                try:
                    client.sendall(b"held through a hang " * 1000)
                    client.shutdown(socket.SHUT_WR)
                    client.settimeout(30)
                    self.assertEqual(b"", client.recv(1))
                    self.assertTrue(any(n.endswith(".job") for n in os.listdir(self.held(port))), "whole")
                    self.relay.process.kill()
                    self.relay.process.wait()
                finally:
                    self.cups.process.send_signal(signal.SIGCONT)
            self.relay, _ = self.start_relay(port=port)
            return None

        def hung_as_a_client_connects(port):
            # cupsd stopped dead before the client connects, the stall limit cut to 6 s: the job is
            # held at once, the wait is told, and its client, which sends again when it hears
            # nothing for 6 s, hears done in time and prints once.
            notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            self.addCleanup(notify.close)
            notify.bind(os.path.join(self.host.root, "notify-hung"))
            self.relay.stop()
            self.relay, _ = self.start_relay(port=port, extra_env={
                "FERROLINK_STALL_SECONDS": "6", "NOTIFY_SOCKET": notify.getsockname()})
            self.cups.process.send_signal(signal.SIGSTOP)
            try:
                for attempt in range(2):
                    with socket.create_connection(("127.0.0.1", port)) as client:
                        client.sendall(b"sent once in a hang " * 1000)
                        client.shutdown(socket.SHUT_WR)
                        client.settimeout(6)
                        try:
                            if client.recv(1) == b"":
                                break
                        except socket.timeout:
                            pass
                self.assertIn("CUPS cannot take the job for office now", self.relay.stderr())
                notify.setblocking(False)
                statuses = []
                while True:
                    try:
                        statuses += [line for line in notify.recv(4096).decode().splitlines() if "STATUS=" in line]
                    except BlockingIOError:
                        break
                self.assertTrue(statuses[-1].startswith("STATUS=Waiting for CUPS"), statuses)
            finally:
                self.cups.process.send_signal(signal.SIGCONT)
            return None

        def hold_folder_deleted_in_an_outage(port):
            # The copy cannot be marked whole as the job ends: the job goes on from its open file,
            # which is written again whole before its client hears done. A kill -9 then, and the
            # restart sends it once.
            self.cups.stop()
            folder = self.held(port)
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(b"copy lost " * 1000)
                bench.wait_for(lambda: os.listdir(folder), 30, "the hold file")
                shutil.rmtree(folder)
                client.sendall(b"copy lost " * 1000)
                client.shutdown(socket.SHUT_WR)
                client.settimeout(30)
                self.assertEqual(b"", client.recv(1), "its client hears done")
                self.assertTrue([name for name in os.listdir(folder) if name.endswith(".job")], "whole on disk")
                self.assertIn("Cannot mark the held job %s/" % folder, self.relay.stderr())
                self.relay.process.kill()
                self.relay.process.wait()
            self.cups.start()
            self.relay, _ = self.start_relay(port=port)
            return None

        rows = [
            ("scheduler hung as a client connects", hung_as_a_client_connects, 1, [b"sent once in a hang " * 1000],
             60),
            ("hold folder deleted in an outage", hold_folder_deleted_in_an_outage, 1, [b"copy lost " * 2000], 60),
            ("outage answers each client once its job is held", outage_answers_each_client_once_its_job_is_held,
             1, [b"first in the outage " * 1000, b"second in the outage " * 1000], 60),
            ("relay killed while the scheduler hangs", killed_while_the_scheduler_hangs, 1,
             [b"held through a hang " * 2000], 90),
            ("scheduler hangs up as a job begins", hangs_up_as_a_job_begins, 1,
             [b"held through a hang-up " * 1000], 30),
            ("relay killed while it holds a job", killed_while_holding, 2, [b"held over a restart " * 1000], 30),
            ("relay killed after the scheduler took its job", taken_before_the_kill, 2, [b"printed once " * 1000],
             30),
            ("search refused by the queue's policy", search_refused, 1, [b"printed once " * 1000], 60),
            ("hold folder read-only when the taken copy must go", copy_undeletable, 1,
             [b"taken, not deleted " * 1000], 30),
            ("hold folder deleted, then the scheduler back", folder_deleted(False), 1, [b"copy deleted " * 1000],
             30),
            ("hold folder deleted, then a stop", folder_deleted(True), 1, [b"copy deleted " * 1000], 30),
            ("restart after an undeletable taken copy, no job history", copy_undeletable_without_history, 1,
             [b"taken, not deleted " * 1000], 30),
            # Last: the scheduler keeps no history from here on, which the rows above need.
            ("too many active jobs", too_many_jobs, 12, [], 60),
        ]
        for name, disturb, count, before, timeout in rows:
            with self.subTest(name):
                for entry in os.listdir(self.office):
                    if entry.endswith((".prn", ".title")):
                        os.remove(os.path.join(self.office, entry))
                self.relay, port = self.start_relay()
                check = disturb(port)
                jobs = [b"%s, job %02d " % (name.encode(), n) * 300 for n in range(count)]
                for job in jobs:
                    with socket.create_connection(("127.0.0.1", port)) as client:
                        client.sendall(job)
                        client.shutdown(socket.SHUT_WR)
                        self.assertEqual(b"", client.recv(1))  # the relay closed: the job is taken
                printed = self.cups.wait_jobs(self.office, len(before) + count, timeout)
                self.assertEqual(before + jobs, [d for d, _ in printed])
                self.assertNotIn("Couldn't", self.relay.log().decode())
                self.assertNotIn("Error", self.relay.log().decode())
                if check:
                    check()
                time.sleep(1)
                self.assertEqual(len(before) + count, len(self.cups.jobs(self.office)), "printed twice")
                self.relay.stop()

    def test_held_jobs_go_to_their_own_queue(self):
        """A job held over a restart goes to the queue it was received for, whatever the relay
        serves now; one whose queue is gone is dropped, and the log file says so too."""
        other = self.cups.add_queue("other")
        for number, gone in enumerate((False, True)):
            relay, port = self.start_relay()
            self.cups.stop()
            bench.send_job(port, b"for office %d" % number)
            bench.wait_for(lambda: any(n.endswith(".job") for n in os.listdir(self.held(port))), 30, "a held job")
            relay.process.kill()
            relay.process.wait()
            self.cups.start()
            if gone:
                self.cups.run("lpadmin", "-x", "office")
            relay, _ = self.start_relay("other", port=port)
            if gone:
                bench.wait_for(lambda: not os.listdir(self.held(port)), 30, "the job dropped")
                self.assertIn("CUPS refused the job for office held by an earlier run: ", relay.log().decode())
            else:
                self.assertEqual([b"for office 0"], [d for d, _ in self.cups.wait_jobs(self.office, 1)])
            self.assertEqual([], self.cups.jobs(other))
            relay.stop()

    def test_a_scheduler_hung_before_the_start_holds_no_client_past_the_stall_limit(self):
        """With advertising on, the relay describes its queue before its first client: a cupsd
        stopped dead from the start bounds that look-up and the client's alike, so the client
        hears done within the 60 s stall limit, and its job prints once cupsd is back."""
        self.cups.process.send_signal(signal.SIGSTOP)
        try:
            relay, port = self.start_relay(extra_env={"FERROLINK_ADVERTISE": "1"})
            with socket.create_connection(("127.0.0.1", port)) as client:
                client.sendall(b"hung from the start " * 1000)
                client.shutdown(socket.SHUT_WR)
                client.settimeout(70)  # the stall limit, and a margin for a busy machine
                self.assertEqual(b"", client.recv(1))
        finally:
            self.cups.process.send_signal(signal.SIGCONT)
        self.assertEqual([b"hung from the start " * 1000], [d for d, _ in self.cups.wait_jobs(self.office, 1)])

    def test_unit_status_shows_a_wait_and_a_missing_queue(self):
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(notify.close)
        path = os.path.join(self.host.root, "notify")
        notify.bind(path)
        notify.settimeout(30)

        def statuses_until(text):
            seen = []
            while not any(text in line for line in seen):
                seen += [line for line in notify.recv(4096).decode().splitlines() if line.startswith("STATUS=")]
            return seen
        relay, port = self.start_relay(extra_env={"NOTIFY_SOCKET": path})
        relaying = "STATUS=Relaying port %d to queue office" % port
        self.assertEqual([relaying], statuses_until("Relaying"))
        self.cups.stop()
        bench.send_job(port, b"waits")
        waiting = statuses_until("Waiting for CUPS")[-1]
        self.assertTrue(waiting.startswith("STATUS=Waiting for CUPS: the scheduler"), waiting)
        self.assertTrue(waiting.endswith("; the next clients wait"), waiting)
        self.cups.start()
        self.assertEqual(relaying, statuses_until("Relaying")[-1])
        self.assertEqual([b"waits"], [d for d, _ in self.cups.wait_jobs(self.office, 1)])
        relay.stop()
        relay, port = self.start_relay("lab # office", extra_env={"NOTIFY_SOCKET": path})
        bench.send_job(port, b"dropped")
        self.assertEqual("STATUS=CUPS has no queue lab # office: every job is dropped",
                         statuses_until("no queue")[-1])

    def test_hold_folder_not_writable_is_reported(self):
        """Without a copy on disk the job still goes to CUPS as it arrives, and standard error says so."""
        relay, port = self.start_relay()
        blocker = os.path.join(self.host.root, "state", "held", str(port))
        os.makedirs(os.path.dirname(blocker), exist_ok=True)
        with open(blocker, "w") as f:
            f.write("a file where the folder would be\n")
        bench.send_job(port, b"not held " * 20000)
        self.assertEqual(b"not held " * 20000, self.cups.wait_jobs(self.office, 1)[0][0])
        self.assertIn("Cannot hold the job for office on disk", relay.stderr())
        self.assertEqual(["Accept print job for office from 127.0.0.1"], self.log_lines(relay))

    def test_permanent_refusals_stay_prompt(self):
        """Each row: a refusal that waiting cannot cure drops the job at once, logged, with the
        scheduler's reason on standard error; the relay then serves the next client."""
        def too_large():
            self.cups.reconfigure("MaxRequestSize 100k\n")
            self.cups.run("cupsaccept", "office")
            return "office"

        def not_authorised():
            self.cups.settings = self.cups.settings.replace("MaxRequestSize 100k\n", "")
            self.cups.reconfigure("<Policy strict>\n<Limit Print-Job Create-Job Send-Document>\nAuthType Basic\n"
                                  "Require user somebody\n</Limit>\n<Limit All>\nOrder deny,allow\n</Limit>\n"
                                  "</Policy>\n")
            self.cups.run("lpadmin", "-p", "office", "-o", "printer-op-policy=strict")
            return "office"
        rows = [
            ("unknown queue", lambda: "nosuchqueue", "Error opening print job.", "no such queue", True),
            ("rejecting queue", lambda: self.cups.run("cupsreject", "office") and "office",
             "Error opening print job.", "not accepting jobs", True),
            ("job too large", too_large, "Couldn't print all data.", "413", True),
            # A policy that asks for a password: the relay never prompts, the job is refused. CUPS
            # says so only once the whole job has arrived, after its client was told it was
            # delivered: the one refusal the client does not hear.
            ("client not authorised", not_authorised, "Couldn't print all data.", "Unauthorized", False),
        ]
        for name, setup, line, reason, reset in rows:
            with self.subTest(name):
                queue = setup()
                relay, port = self.start_relay(queue)
                # A job dropped before it was whole: the client hears that it failed.
                with socket.create_connection(("127.0.0.1", port)) as client:
                    try:
                        client.sendall(b"refused " * 40000)
                        client.shutdown(socket.SHUT_WR)
                        client.settimeout(30)
                        heard = client.recv(1)
                    except (ConnectionResetError, BrokenPipeError):
                        heard = None
                self.assertEqual(None if reset else b"", heard, "a reset" if reset else "an orderly end")
                bench.wait_for(lambda: len(self.log_lines(relay)) >= 2, 30, "two lines")
                self.assertEqual(["Accept print job for %s from 127.0.0.1" % queue, line], self.log_lines(relay))
                self.assertIn(reason, relay.stderr())
                self.assertEqual([], self.cups.jobs(self.office))
                self.assertEqual([], os.listdir(self.held(port)))
                relay.stop()

    def run_rows(self, rows):
        """Each row (name, job size, what happens mid-job, what repairs it afterwards, the outcomes
        allowed) runs against one relay: the client sends half its job, the disturbance strikes
        (given the client and the rest, it may send some itself and return what remains), the
        client sends the rest and closes. A marker job after each row shows when the relay is
        done with it. Outcomes: "whole" printed, "failed" (nothing printed, the failure logged),
        "nothing" (nothing printed, nothing logged), "prefix" (a beginning of the job printed)."""
        relay, port = self.start_relay()
        rng = random.Random(12)
        for number, (name, size, disturb, repair, allowed) in enumerate(rows):
            with self.subTest(name):
                lines_before, printed_before = len(self.log_lines(relay)), len(self.cups.jobs(self.office))
                data = rng.randbytes(size)
                with socket.create_connection(("127.0.0.1", port)) as client:
                    client.sendall(data[:size // 2])
                    time.sleep(0.5)
                    rest = disturb(client, data[size // 2:]) if disturb else None
                    client.sendall(data[size // 2:] if rest is None else rest)
                    if name.startswith("reset"):
                        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                time.sleep(1)
                if repair:
                    repair()
                marker = b"marker %d" % number
                bench.send_job(port, marker)
                bench.wait_for(lambda: marker in [d for d, _ in self.cups.jobs(self.office)], 60, "the marker")
                printed = [d for d, _ in self.cups.jobs(self.office)[printed_before:]]
                self.assertEqual(marker, printed.pop())
                lines = self.log_lines(relay)[lines_before:-1]
                accept = "Accept print job for office from 127.0.0.1"
                if printed == [data] and lines == [accept]:
                    outcome = "whole"
                elif not printed and lines == [accept, "Couldn't print all data."]:
                    outcome = "failed"
                elif not printed and lines == [accept]:
                    outcome = "nothing"
                elif len(printed) == 1 and data.startswith(printed[0]) and lines == [accept]:
                    outcome = "prefix"
                else:
                    outcome = "printed %r, logged %r" % ([len(d) for d in printed], lines)
                self.assertIn(outcome, allowed)
                self.assertEqual([], self.cups.wait_settled(10), "jobs left behind")
        self.assertIsNone(relay.process.poll())
        return relay

    def test_relay_killed_mid_job_leaves_no_job_behind(self):
        for size in (1000, 200_000):  # before and after its bytes started to reach the scheduler
            with self.subTest(size=size):
                relay, port = self.start_relay()
                with socket.create_connection(("127.0.0.1", port)) as client:
                    client.sendall(b"x" * size)
                    bench.wait_for(lambda: b"Accept" in relay.log(), 30, "the accept line")
                    time.sleep(1)
                    relay.process.kill()
                    relay.process.wait()
                    # Its whole job sent but not yet ended: the client must not take the relay's
                    # death for an orderly end.
                    self.assertRaises(ConnectionResetError, client.recv, 1)
                self.assertEqual([], self.cups.wait_settled(10), "the killed relay's job")
                relay, port = self.start_relay()
                bench.send_job(port, b"next")
                self.assertEqual([b"next"], [d for d, _ in self.cups.wait_jobs(self.office, 1)])
                relay.stop()
                for name in os.listdir(self.office):
                    os.remove(os.path.join(self.office, name))

    def test_connections_that_end_early_leave_no_job(self):
        relay = self.run_rows([
            ("empty connection", 0, None, None, {"nothing"}),
            ("reset before the first byte", 0, None, None, {"nothing"}),
            # A reset is not an end: nothing of the job prints, and standard error says why.
            ("reset mid-job", 200_000, None, None, {"nothing"}),
        ])
        self.assertIn("The connection from 127.0.0.1 broke off", relay.stderr())

    def test_scheduler_trouble_mid_job_ends_the_job_whole_or_logged(self):
        def strike(action, *args):
            """A disturbance that leaves the client's bytes alone."""
            return lambda client, rest: action(*args) and None

        def trickle(client, rest):
            for offset in range(0, 10240, 1024):  # five times cupsd's Timeout, 1 KiB at a time
                client.sendall(rest[offset:offset + 1024])
                time.sleep(2.5)
            return rest[10240:]

        def after_the_last_byte(action):
            """The whole job sent, then the disturbance strikes before the client closes."""
            return lambda client, rest: (client.sendall(rest), time.sleep(1), action(), b"")[-1]
        cups, either = self.cups.run, {"whole", "failed"}
        rows = []
        # A job is held until the scheduler takes it: restarts, outages and time-outs only delay it.
        for size, label in ((9_000, "small"), (400_000, "large")):
            rows += [
                ("scheduler restarted, " + label, size, strike(self.cups.restart), None, {"whole"}),
                ("scheduler stopped, " + label, size, strike(self.cups.stop), self.cups.start, {"whole"}),
                ("queue rejecting, " + label, size, strike(cups, "cupsreject", "office"),
                 lambda: cups("cupsaccept", "office"), either),
                ("queue disabled, " + label, size, strike(cups, "cupsdisable", "office"),
                 lambda: cups("cupsenable", "office"), either),
                ("queue deleted, " + label, size, strike(cups, "lpadmin", "-x", "office"),
                 lambda: self.cups.add_queue("office"), either),
                # Past cupsd's time-outs: a job that fits the relay's buffer does not exist there yet.
                ("idle past the timeout, " + label, size, strike(time.sleep, 7), None, {"whole"}),
            ]
        # A client that trickles for longer than the Timeout keeps its job alive.
        rows.append(("trickling past the timeout, large", 400_000, trickle, None, {"whole"}))
        # A job of whole 64 KiB chunks has nothing left to send at the close but the request's end.
        rows += [("scheduler restarted after the last byte, 128 KiB", 131_072,
                  after_the_last_byte(self.cups.restart), None, {"whole"}),
                 ("idle past the timeout after the last byte, 128 KiB", 131_072,
                  after_the_last_byte(lambda: time.sleep(7)), None, {"whole"})]
        self.run_rows(rows)

    def test_job_names_the_client_as_its_originating_host(self):
        relay, port = self.start_relay()
        # The relay's one socket takes both families; an IPv4 client is never named ::ffff:a.b.c.d.
        with socket.create_connection(("127.0.0.1", port), source_address=("127.0.0.7", 0)) as client:
            client.sendall(b"from elsewhere")
        self.assertEqual(b"from elsewhere", self.cups.wait_jobs(self.office, 1)[0][0])
        with socket.create_connection(("::1", port)) as client:
            client.sendall(b"over IPv6")
        self.assertEqual(b"over IPv6", self.cups.wait_jobs(self.office, 2)[1][0])
        self.assertEqual(["Accept print job for office from 127.0.0.7", "Accept print job for office from ::1"],
                         self.log_lines(relay))
        bench.wait_for(lambda: "::1" in self.cups.page_log(), 10, "the page log")
        self.assertEqual(["127.0.0.7", "::1"],
                         [f for f in self.cups.page_log().split() if f.startswith(("127.", "::"))])

    def test_burst_of_clients_that_do_not_wait(self):
        relay, port = self.start_relay()
        for burst in range(3):
            jobs = [(b"burst %d client %02d " % (burst, n)) * 200 for n in range(25)]
            clients = [subprocess.Popen(["bash", "-c", 'printf %%s "$1" > /dev/tcp/127.0.0.1/%d' % port, "-", job],
                                        stdin=subprocess.DEVNULL) for job in jobs]
            for client in clients:
                client.wait(30)
            printed = self.cups.wait_jobs(self.office, 25 * (burst + 1))
            self.assertEqual(sorted(jobs), sorted(d for d, _ in printed[25 * burst:]))


if __name__ == "__main__":
    unittest.main()
