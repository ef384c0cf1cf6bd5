"""A send job killed (SIGKILL) right after the server took a message's data and before the
program could hear so, then resumed: that message goes again under the same Message-Id, the
protocol says it was possibly delivered already, and no other message arrives twice."""
import email
import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import unittest

from aiosmtpd.controller import Controller

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("SENDORIX_BUILD_DIR", os.path.join(ROOT, "build"))
JOB_TOOL = os.path.join(BUILD, "tests", "job_tool")
# Set: the server's record and both protocols are copied there (a closing note's evidence).
EVIDENCE = os.environ.get("SENDORIX_EVIDENCE_DIR", "")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class KillingServer:
    """Keeps every message; at the kill_at-th it kills the sending process before it answers."""

    def __init__(self, kill_at):
        self.kill_at = kill_at
        self.received = []   # (subject, Message-Id) in order of arrival
        self.victim = None

    async def handle_DATA(self, server, session, envelope):
        m = email.message_from_bytes(envelope.content)
        self.received.append((str(m["Subject"]), str(m["Message-Id"])))
        if len(self.received) == self.kill_at and self.victim is not None:
            # The message is the server's now; the client dies before it can read the reply.
            os.kill(self.victim.pid, signal.SIGKILL)
            self.victim.wait(30)
            self.victim = None
        return "250 OK queued"


class CrashAndResume(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(JOB_TOOL), JOB_TOOL)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.server = KillingServer(kill_at=3)
        self.port = free_port()
        self.controller = Controller(self.server, hostname="127.0.0.1", port=self.port,
                                     decode_data=False, ready_timeout=10)
        self.controller.start()
        self.addCleanup(self.controller.stop)
        guard = threading.Timer(240, self.controller.stop)   # stops even if the test stalls
        guard.daemon = True
        guard.start()
        self.addCleanup(guard.cancel)

    def run_job(self, journal, files, *extra):
        proc = subprocess.Popen([JOB_TOOL, journal, str(self.port), *extra, *files],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.server.victim = proc if not extra else None
        out, err = proc.communicate(timeout=120)
        return proc.returncode, out.decode(), err.decode()

    def test_killed_after_the_data_the_message_goes_again_under_its_message_id(self):
        files = []
        for i in range(5):
            path = os.path.join(self.tmp.name, "f%d.txt" % (i + 1))
            with open(path, "w") as f:
                f.write("file %d\n" % (i + 1))
            files.append(path)
        journal = os.path.join(self.tmp.name, "Sendorix.job")

        rc, first, _ = self.run_job(journal, files)
        self.assertEqual(rc, -signal.SIGKILL, first)
        self.assertEqual(len(self.server.received), 3)
        killed_subject, killed_id = self.server.received[2]
        self.assertEqual(killed_subject, "Crash series 3(5)")
        # What the journal held at the kill: 1 and 2 delivered, 3 in flight with its id.
        with open(journal, encoding="utf-8") as f:
            entries = [json.loads(line) for line in f.read().splitlines()[1:]]
        self.assertEqual([(e["number"], e.get("in_flight", False)) for e in entries],
                         [(1, True), (1, False), (2, True), (2, False), (3, True)])
        self.assertEqual(entries[-1]["message_id"], killed_id)

        rc, second, err = self.run_job(journal, files, "--resume")
        self.assertEqual(rc, 0, second + err)
        self.assertIn("Message #3 was possibly delivered already (%s); it is sent again under the "
                      "same Message-Id" % killed_id, second)
        self.assertIn("Message #1 was delivered before", second)
        subjects = [s for s, _ in self.server.received]
        self.assertEqual(subjects, ["Crash series %d(5)" % n for n in (1, 2, 3, 3, 4, 5)])
        ids = [i for _, i in self.server.received]
        self.assertEqual(ids[3], killed_id, "the copy keeps the Message-Id")
        self.assertEqual(len(set(ids)), 5, "no other message twice, every other id its own")
        self.assertFalse(os.path.exists(journal), "a series all delivered leaves no journal")
        if EVIDENCE:
            with open(os.path.join(EVIDENCE, "kill-and-resume.txt"), "w", encoding="utf-8") as f:
                f.write("Server received (in order):\n")
                f.writelines("  %s  %s\n" % r for r in self.server.received)
                f.write("\nJournal at the kill:\n")
                f.writelines("  %s\n" % json.dumps(e) for e in entries)
                f.write("\nProtocol of the killed job:%s\n\nProtocol of the resumed job:%s\n" % (first, second))


if __name__ == "__main__":
    unittest.main()
