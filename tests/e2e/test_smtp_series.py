"""A series of messages sent over one connection to a real SMTP server
(aiosmtpd on a free loopback port), checked with Python's email package."""
import asyncio
import os
import socket
import tempfile
import threading
import unittest

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

from mail_e2e_support import MAIL_TOOL, check_attachments, make_sample_files, parse, run_tool


class Recorder:
    def __init__(self):
        self.envelopes = []
        self.sessions = set()
        self.helo = []

    async def handle_HELO(self, server, session, envelope, hostname):
        self.helo.append(hostname)
        session.host_name = hostname
        return "250 {}".format(server.hostname)

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        self.helo.append(hostname)
        session.host_name = hostname
        return responses

    async def handle_DATA(self, server, session, envelope):
        self.sessions.add(id(session))
        self.envelopes.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content))
        return "250 OK queued"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Series(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(MAIL_TOOL), MAIL_TOOL)
        self.tmp = tempfile.TemporaryDirectory()
        self.recorder = Recorder()
        self.port = free_port()
        self.controller = Controller(self.recorder, hostname="127.0.0.1", port=self.port,
                                     decode_data=False, data_size_limit=64 * 1024 * 1024,
                                     ready_timeout=10)
        self.controller.start()
        # Stops the server even if the test stalls.
        self.guard = threading.Timer(240, self.controller.stop)
        self.guard.daemon = True
        self.guard.start()

    def tearDown(self):
        self.guard.cancel()
        try:
            self.controller.stop()
        except Exception:
            pass
        self.tmp.cleanup()

    def test_series_over_one_connection(self):
        paths = make_sample_files(self.tmp.name)
        r = run_tool("send", "--host", "127.0.0.1", "--port", str(self.port),
                     "--from", "Sender@Example.org", "--user", "Sender",
                     "--to", "one@example.org, \"Two, Person\" <Two@Example.org>",
                     "--cc", "copy@example.org (the copy)",
                     "--bcc", "hidden@example.org",
                     "--subject", "Series", "--text", "Files attached.", "--per", "4",
                     *paths, timeout=180)
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 0, out + r.stderr.decode())
        self.assertTrue(out.strip().endswith("DONE"), out)

        groups = [paths[i:i + 4] for i in range(0, len(paths), 4)]
        self.assertEqual(len(groups), 3)
        self.assertEqual(len(self.recorder.envelopes), 3 * len(groups))
        self.assertEqual(len(self.recorder.sessions), 1, "one connection for the series")
        self.assertEqual(len(self.recorder.helo), 1)

        expected_rcpts = [["one@example.org", "two@example.org"], ["copy@example.org"],
                          ["hidden@example.org"]]
        for n, group in enumerate(groups):
            contents = set()
            for k in range(3):
                mail_from, rcpts, content = self.recorder.envelopes[3 * n + k]
                self.assertEqual(mail_from, "Sender@Example.org")
                self.assertEqual(rcpts, expected_rcpts[k])
                contents.add(content)
                msg = parse(content)
                self.assertEqual(str(msg["Subject"]), "Series %d(3)" % (n + 1))
                self.assertEqual(msg["From"].addresses[0].addr_spec, "Sender@Example.org")
                self.assertIn("one@example.org", msg["To"])
                self.assertIn("copy@example.org", msg["CC"])
                self.assertNotIn(b"hidden@example.org", content)
                check_attachments(self, msg, group)
            self.assertEqual(len(contents), 1, "the same message goes to every list")

    def test_failed_recipient_stops_the_message(self):
        class Refusing(Recorder):
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                if address.startswith("bad"):
                    return "550 no such user"
                envelope.rcpt_tos.append(address)
                return "250 OK"

        self.controller.stop()
        self.recorder = Refusing()
        self.controller = Controller(self.recorder, hostname="127.0.0.1", port=self.port,
                                     decode_data=False, ready_timeout=10)
        self.controller.start()
        path = os.path.join(self.tmp.name, "f.txt")
        with open(path, "wb") as f:
            f.write(b"data")
        r = run_tool("send", "--host", "127.0.0.1", "--port", str(self.port),
                     "--from", "me@example.org", "--to", "ok@example.org, bad@example.org",
                     "--cc", "cc@example.org", "--subject", "S", path)
        out = r.stdout.decode()
        self.assertEqual(r.returncode, 1, out)
        self.assertIn("SEND FAILED 550 no such user", out)
        self.assertEqual(self.recorder.envelopes, [])


class ScriptedServer:
    """A loopback SMTP server that takes every message and then answers the
    next command (the RSET after a message) as told, one behaviour per
    connection; it stops by itself when the client is quiet for 30 s."""

    def __init__(self, after_data, at_data_end=("250 OK",)):
        self.after_data = list(after_data)  # per connection: "421 ..." or "drop" or "250 OK"
        self.at_data_end = list(at_data_end)
        self.messages = []
        self.connections = 0
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(30)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        try:
            while True:
                conn, _ = self.sock.accept()
                with conn:
                    conn.settimeout(30)
                    self.session(conn, self.connections)
                self.connections += 1
        except OSError:
            pass

    def session(self, conn, number):
        with conn.makefile("rb") as f:
            self.talk(conn, f, number)

    def talk(self, conn, f, number):
        conn.sendall(b"220 127.0.0.1 ready\r\n")
        delivered = False
        while True:
            line = f.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"DATA":
                conn.sendall(b"354 go on\r\n")
                data = b""
                while not data.endswith(b"\r\n.\r\n"):
                    chunk = f.readline()
                    if not chunk:
                        return
                    data += chunk
                reply = self.at_data_end[min(number, len(self.at_data_end) - 1)]
                conn.sendall(reply.encode() + b"\r\n")
                if reply.startswith("250"):
                    self.messages.append(data)
                    delivered = True
                elif reply.startswith("421"):
                    return
            elif verb == b"RSET" and delivered:
                after = self.after_data[min(number, len(self.after_data) - 1)]
                if after == "drop":
                    return
                conn.sendall(after.encode() + b"\r\n")
                if after.startswith("421"):
                    return
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 OK\r\n")

    def close(self):
        # Shutting the listening socket down wakes the waiting accept.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.thread.join(timeout=40)


class ClosedAfterDelivery(unittest.TestCase):
    """A message the server took is sent, whatever happens to the connection after it."""

    def test_cases(self):
        cases = [
            # name, answers after the first message per connection, reply to
            # the end of data, messages, expected lines, exit code, messages taken
            ("421 after the only message", ["421 closing"], ["250 OK"], 1,
             ["CONNECTED", "SENT 1", "AFTER SENT 421 closing", "DONE"], 0, 1),
            ("dropped after the first of two", ["drop", "250 OK"], ["250 OK"], 2,
             ["CONNECTED", "SENT 1", "RECONNECTED", "SENT 2", "DONE"], 0, 2),
            ("421 after the first of two", ["421 closing", "250 OK"], ["250 OK"], 2,
             ["CONNECTED", "SENT 1", "AFTER SENT 421 closing", "RECONNECTED", "SENT 2", "DONE"], 0, 2),
            ("421 instead of taking it", ["250 OK"], ["421 closing"], 1,
             ["CONNECTED", "SEND FAILED 421 closing"], 1, 0),
        ]
        with tempfile.TemporaryDirectory() as tmp:
            paths = []
            for i in range(2):
                paths.append(os.path.join(tmp, "f%d.txt" % i))
                with open(paths[-1], "wb") as f:
                    f.write(b"data %d" % i)
            for name, after, at_end, count, expected, code, taken in cases:
                with self.subTest(name):
                    server = ScriptedServer(after, at_end)
                    try:
                        r = run_tool("send", "--host", "127.0.0.1", "--port", str(server.port),
                                     "--from", "me@example.org", "--to", "you@example.org",
                                     "--subject", "S", "--per", "1", *paths[:count])
                    finally:
                        server.close()
                    out = r.stdout.decode()
                    # What a lost connection says varies; a 421 is shown as given.
                    lines = [l for l in out.splitlines()
                             if not l.startswith("AFTER SENT ") or l in expected]
                    self.assertEqual(lines, expected, out)
                    self.assertEqual(r.returncode, code, out)
                    self.assertEqual(len(server.messages), taken)


if __name__ == "__main__":
    unittest.main()
