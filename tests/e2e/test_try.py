"""The "Try it" command: the local server that keeps every message, and the script around it."""
import configparser
import email
import email.policy
import os
import signal
import smtplib
import subprocess
import sys
import tempfile
import threading
import unittest
from email.message import EmailMessage

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SERVER = os.path.join(ROOT, "scripts", "try_server.py")
TRY = os.path.join(ROOT, "scripts", "try.sh")
PYTHON = "/usr/bin/python3"


def read_line(stream, timeout=30):
    """One line from a child's stdout, or fail instead of hanging."""
    box = []
    t = threading.Thread(target=lambda: box.append(stream.readline()), daemon=True)
    t.start()
    t.join(timeout)
    if not box:
        raise AssertionError("no output within %s s" % timeout)
    return box[0]


def message(subject, to, attachment=None, cc=None):
    m = EmailMessage()
    m["From"] = "sender@example.test"
    m["To"] = to
    if cc:
        m["Cc"] = cc
    m["Subject"] = subject
    m.set_content("Текст письма\n")
    if attachment is not None:
        m.add_attachment(attachment, maintype="application", subtype="octet-stream",
                         filename="data.bin")
    return m


class ServerTest(unittest.TestCase):
    def start(self, inbox):
        proc = subprocess.Popen(
            [PYTHON, SERVER, "serve", "--inbox", inbox, "--lifetime", "60",
             "--parent-pid", str(os.getpid())],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self.stop, proc)
        first = read_line(proc.stdout)
        self.assertTrue(first.startswith("Listening on 127.0.0.1:"), first)
        port = int(first.split("127.0.0.1:")[1].split(",")[0])
        self.assertLessEqual(port, 9999)  # the program's port field holds four digits
        return proc, port

    @staticmethod
    def stop(proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        for s in (proc.stdout, proc.stderr):
            s.close()

    def test_every_message_is_saved_whole_and_announced(self):
        with tempfile.TemporaryDirectory() as inbox:
            proc, port = self.start(inbox)
            payload = bytes(range(256)) * 300
            first = message("Фото 1(2) <a.jpg>", "one@example.test", attachment=payload)
            second = message("Photos 2(2) <b.jpg>", "two@example.test", cc="three@example.test")
            with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
                s.helo("sendorix-test")  # HELO: the plain greeting, as the program says it to a server without EHLO
                s.send_message(first, "sender@example.test", ["one@example.test"])
                s.send_message(second, "sender@example.test",
                               ["two@example.test", "three@example.test"])
            lines = [read_line(proc.stdout), read_line(proc.stdout)]
            self.assertIn("Message 1 from sender@example.test to one@example.test", lines[0])
            self.assertIn("Фото 1(2) <a.jpg>", lines[0])
            self.assertIn("two@example.test, three@example.test", lines[1])

            self.assertEqual(sorted(os.listdir(inbox)), ["0001.eml", "0002.eml"])
            with open(os.path.join(inbox, "0001.eml"), "rb") as f:
                got = email.message_from_bytes(f.read(), policy=email.policy.default)
            self.assertEqual(str(got["Subject"]), "Фото 1(2) <a.jpg>")
            parts = [p for p in got.iter_attachments()]
            self.assertEqual(len(parts), 1)
            self.assertEqual(parts[0].get_content(), payload)
            with open(os.path.join(inbox, "0002.eml"), "rb") as f:
                got = email.message_from_bytes(f.read(), policy=email.policy.default)
            self.assertEqual(got["Cc"], "three@example.test")

            proc.terminate()
            self.assertEqual(proc.wait(15), 0)
            self.assertIn("Server stopped after 2 message(s)", proc.stdout.read())

    def test_a_restart_never_overwrites_earlier_messages(self):
        with tempfile.TemporaryDirectory() as inbox:
            with open(os.path.join(inbox, "0007.eml"), "wb") as f:
                f.write(b"earlier")
            proc, port = self.start(inbox)
            with smtplib.SMTP("127.0.0.1", port, timeout=30) as s:
                s.send_message(message("x", "a@example.test"))
            read_line(proc.stdout)
            self.assertEqual(sorted(os.listdir(inbox)), ["0007.eml", "0008.eml"])
            with open(os.path.join(inbox, "0007.eml"), "rb") as f:
                self.assertEqual(f.read(), b"earlier")


# A stand-in for the program: reads its settings file the way the program does, loads the
# profile it names, sends one message through that server and exits.
FAKE_PROGRAM = r"""#!/usr/bin/python3
import configparser, os, smtplib, sys
from email.message import EmailMessage
here = os.path.dirname(os.path.abspath(__file__))
cfg = configparser.ConfigParser(interpolation=None)
cfg.read(os.path.join(here, "Sendorix.cfg"), encoding="utf-8")
prof = configparser.ConfigParser(interpolation=None)
prof.read(cfg["Settings"]["SMTPServerConfig"], encoding="utf-8")
smtp = prof["SMTP"]
m = EmailMessage()
m["From"] = smtp["Account"]
m["To"] = cfg["EditTo"]["0"]
m["Subject"] = "from the program"
m.set_content("hello")
with smtplib.SMTP(smtp["Server"], int(smtp["Port"].strip()), timeout=30) as s:
    s.helo("fake")
    s.send_message(m)
sys.exit(3)
"""


class TryScriptTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.build = os.path.join(self.tmp.name, "build")
        self.bin = os.path.join(self.build, "bin")
        os.makedirs(self.bin)
        exe = os.path.join(self.bin, "sendorix")
        with open(exe, "w") as f:
            f.write(FAKE_PROGRAM)
        os.chmod(exe, 0o755)
        self.inbox = os.path.join(self.tmp.name, "inbox")

    def run_try(self, *args, display=":fake"):
        env = dict(os.environ, SENDORIX_BUILD_DIR=self.build, SENDORIX_SKIP_DEPS="1",
                   DISPLAY=display, WAYLAND_DISPLAY="")
        return subprocess.run(["bash", TRY, "--inbox", self.inbox, *args], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=90)

    def test_program_sends_through_the_local_server_which_stops_with_it(self):
        result = self.run_try()
        out = result.stdout
        self.assertEqual(result.returncode, 3, out)  # the program's own exit status
        self.assertIn("Messages sent to the local server land in: " + self.inbox, out)
        self.assertIn("Message 1 from try@sendorix.test to you@example.test", out)
        self.assertIn("Server stopped after 1 message(s)", out)
        self.assertEqual(os.listdir(self.inbox), ["0001.eml"])
        with open(os.path.join(self.inbox, "0001.eml"), "rb") as f:
            got = email.message_from_bytes(f.read(), policy=email.policy.default)
        self.assertEqual(str(got["Subject"]), "from the program")

        cfg = configparser.ConfigParser(interpolation=None)
        cfg.optionxform = str  # keep the key names' case as written
        cfg.read(os.path.join(self.bin, "Sendorix.cfg"), encoding="utf-8")
        self.assertEqual(cfg["Version"]["MajorVersion"], "1")
        self.assertEqual(cfg["Version"]["MinorVersion"], "3")  # no first-start question
        self.assertEqual(cfg["Settings"]["SenderMode"], "0")
        self.assertEqual(cfg["Settings"]["SMTPServerConfig"],
                         os.path.join(self.bin, "Try-local.smt"))
        self.assertEqual(cfg["Settings"]["cbJumpToProtocol"], "1")

    def test_an_existing_settings_file_is_kept_and_ctrl_c_stops_the_server(self):
        settings = os.path.join(self.bin, "Sendorix.cfg")
        mine = "[Settings]\r\nLanguage=1\r\nSMTPServerConfig=/home/me/work.smt\r\n".encode()
        with open(settings, "wb") as f:
            f.write(mine)
        env = dict(os.environ, SENDORIX_BUILD_DIR=self.build, SENDORIX_SKIP_DEPS="1",
                   DISPLAY="", WAYLAND_DISPLAY="")
        proc = subprocess.Popen(["bash", TRY, "--inbox", self.inbox], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            out = []
            while not out or "until you press Ctrl+C" not in out[-1]:
                line = read_line(proc.stdout)
                self.assertTrue(line, "".join(out))
                out.append(line)
            text = "".join(out)
            self.assertIn("Kept your settings file " + settings, text)
            self.assertIn("No display found", text)
            proc.send_signal(signal.SIGINT)
            rest, _ = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        self.assertEqual(proc.returncode, 130)
        self.assertIn("Server stopped after 0 message(s)", rest)
        with open(settings, "rb") as f:
            self.assertEqual(f.read(), mine)
        with open(os.path.join(self.bin, "Try-local.smt"), encoding="utf-8") as f:
            self.assertIn("Server=127.0.0.1\n", f.read())

    def test_replace_settings_keeps_a_copy_of_the_old_file(self):
        settings = os.path.join(self.bin, "Sendorix.cfg")
        mine = b"[Settings]\nLanguage=1\n"
        with open(settings, "wb") as f:
            f.write(mine)
        result = self.run_try("--replace-settings")
        self.assertEqual(result.returncode, 3, result.stdout)
        with open(settings + ".bak", "rb") as f:
            self.assertEqual(f.read(), mine)
        with open(settings, encoding="utf-8") as f:
            self.assertIn("SMTPServerConfig=" + os.path.join(self.bin, "Try-local.smt"), f.read())
        self.assertEqual(os.listdir(self.inbox), ["0001.eml"])

    def test_ports_that_do_not_fit_the_field_are_refused(self):
        result = subprocess.run(
            [PYTHON, SERVER, "write-config", "--program-dir", self.bin, "--profile",
             os.path.join(self.bin, "p.smt"), "--port", "25000", "--version", "1.3"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("between 1 and 9999", result.stdout)
        self.assertFalse(os.path.exists(os.path.join(self.bin, "Sendorix.cfg")))


if __name__ == "__main__":
    unittest.main()
