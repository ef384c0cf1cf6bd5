"""Messages composed by the mail library, parsed by Python's email package."""
import email.header
import os
import re
import subprocess
import tempfile
import time
import unittest

from mail_e2e_support import (MAIL_TOOL, check_attachments, make_sample_files, parse,
                              run_tool)


def unstuff(raw):
    """The lines as a server stores them: a doubled leading dot undone."""
    lines = raw.split(b"\r\n")
    return b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in lines)


class ComposedMessages(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.path.exists(MAIL_TOOL), MAIL_TOOL)
        self.tmp = tempfile.TemporaryDirectory()
        self.paths = make_sample_files(self.tmp.name)
        self.out = os.path.join(self.tmp.name, "message.eml")

    def tearDown(self):
        self.tmp.cleanup()

    def build(self, *extra):
        r = run_tool("build", self.out, "--from", "me@example.org", "--user", "Иван",
                     "--to", "you@example.org", "--cc", "\"Copy, Two\" <cc@example.org>",
                     "--subject", "Файлы и отчёт", "--text", "Hello", "--text", ".dot line",
                     "--text", "Привет", *extra, *self.paths)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(self.out, "rb") as f:
            return f.read()

    def check_common(self, msg):
        self.assertEqual(msg.get_content_type(), "multipart/mixed")
        self.assertEqual(msg["To"], "you@example.org")
        self.assertIn("cc@example.org", msg["CC"])
        self.assertTrue(msg["Message-Id"].startswith("<VOK."))
        check_attachments(self, msg, self.paths)
        text = next(msg.iter_parts())
        self.assertEqual(text.get_content_type(), "text/plain")
        # base64 text carries its last line end inside the encoding.
        payload = text.get_payload(decode=True).removesuffix(b"\r\n")
        self.assertEqual(payload, "Hello\r\n.dot line\r\nПривет".encode())

    def test_eight_bit(self):
        raw = self.build()
        self.assertIn(b"\r\n..dot line\r\n", raw)
        msg = parse(unstuff(raw))
        self.check_common(msg)
        self.assertEqual(next(msg.iter_parts())["Content-Transfer-Encoding"], "8Bit")

    def test_base64(self):
        raw = self.build("--base64")
        msg = parse(raw)
        self.check_common(msg)
        self.assertEqual(str(msg["Subject"]), "Файлы и отчёт")
        # No line of the whole message is longer than 76 characters apart
        # from the headers, which are never folded.
        body = raw.split(b"\r\n\r\n", 1)[1]
        self.assertLessEqual(max(len(l) for l in body.split(b"\r\n")), 76)

    def test_single_part(self):
        self.paths = []
        raw = self.build()
        msg = parse(unstuff(raw))
        self.assertEqual(msg.get_content_type(), "text/plain")
        self.assertNotIn(b"_VOK_bound_", raw)
        self.assertEqual(msg.get_payload(decode=True), "Hello\r\n.dot line\r\nПривет\r\n".encode())


class HeaderWords(unittest.TestCase):
    """Subjects and names come back from a real parser exactly as typed."""

    def build(self, subject, *extra):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "m.eml")
            r = run_tool("build", out, "--from", "me@example.org", "--to", "you@example.org",
                         "--subject", subject, *extra)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            with open(out, "rb") as f:
                return f.read()

    def subject_words(self, raw):
        """The raw Subject header, unfolded, and its encoded words."""
        head = raw.split(b"\r\n\r\n", 1)[0].decode("ascii")
        line = re.search(r"^Subject: ([^\r\n]*(?:\r\n[ \t][^\r\n]*)*)", head, re.M).group(1)
        for folded in line.split("\r\n"):
            self.assertLessEqual(len(folded), 76)
        return line, re.findall(r"=\?[^?]+\?[BQ]\?[^?]*\?=", line.replace("\r\n", ""))

    def test_subjects(self):
        cjk = "日本語のテキスト"
        subjects = [
            "Literal =?UTF-8?B?SGk=?= text 1(3)",
            "=?iso-8859-1?q?caf=E9?= and =?x?b?eA==?=",
            "Re: " + cjk * 25,
            "Привет, мир! " * 12,
            "🎉" * 50 + " end",
            "a" + "€" * 60 + "=?x?q?y?=",
        ]
        for mode in ([], ["--base64"]):
            for subject in subjects:
                with self.subTest(mode=mode, subject=subject[:20]):
                    raw = self.build(subject, *mode)
                    self.assertEqual(str(parse(raw)["Subject"]), subject)
                    line, words = self.subject_words(raw)
                    self.assertTrue(words)
                    # No word ends in base64 padding when another word follows.
                    for word in words[:-1]:
                        self.assertFalse(word.endswith("=?="), word)
                    decoded = email.header.make_header(
                        email.header.decode_header(line.replace("\r\n", "")))
                    self.assertEqual(str(decoded), subject)

    def test_names_that_look_encoded(self):
        name = "=?UTF-8?B?SGk=?="
        raw = self.build("s", "--user", name, "--to", '"%s" <you@example.org>, x@example.org' % name)
        msg = parse(raw)
        self.assertEqual(msg["From"].addresses[0].display_name, name)
        self.assertEqual(msg["From"].addresses[0].addr_spec, "me@example.org")
        self.assertEqual([(a.display_name, a.addr_spec) for a in msg["To"].addresses],
                         [(name, "you@example.org"), ("", "x@example.org")])


class IdsAcrossProcesses(unittest.TestCase):
    def test_processes_started_together_never_share_an_id(self):
        """20 processes, released at the same wall-clock moment, build 10 messages each."""
        with tempfile.TemporaryDirectory() as tmp:
            sample = os.path.join(tmp, "a.bin")
            with open(sample, "wb") as f:
                f.write(b"x")
            start_at = str(int(time.time() * 1000) + 2000)
            procs = []
            for n in range(20):
                out = os.path.join(tmp, "out%02d.eml" % n)
                procs.append((out, subprocess.Popen(
                    [MAIL_TOOL, "build", out, "--from", "me@example.org", "--to", "you@example.org",
                     "--subject", "s", "--count", "10", "--start-at", start_at, sample])))
            ids, boundaries = [], []
            for out, p in procs:
                self.assertEqual(p.wait(timeout=120), 0)
                with open(out, "rb") as f:
                    raw = f.read()
                ids += re.findall(rb"^Message-Id: (.*)\r$", raw, re.M)
                boundaries += re.findall(rb'boundary="([^"]+)"', raw)
            self.assertEqual(len(ids), 200)
            self.assertEqual(len(set(ids)), 200)
            self.assertEqual(len(set(boundaries)), 200)
            for i in ids:
                self.assertRegex(i, rb"^<VOK\.\d{4}\.\d\d\.\d\d\.[a-t]{8}@[^>]+>$")


if __name__ == "__main__":
    unittest.main()
