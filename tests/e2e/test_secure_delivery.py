"""Sending over STARTTLS and TLS from the first byte, with authentication and the server's size
limit, through the mail library (mail_tool) against aiosmtpd; certificates made by openssl."""
import email
import email.policy
import os
import subprocess
import tempfile
import unittest

from mail_e2e_support import MAIL_TOOL, make_sample_files
from tls_support import (PASSWORD, TOKEN, USER, fingerprint, make_pki, start_server)


class SecureDelivery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs, cls.ca = make_pki(cls.tmp.name)
        cls.files = make_sample_files(os.path.join(cls.tmp.name))[:3]

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.servers = []

    def tearDown(self):
        for c in self.servers:
            c.stop()

    def server(self, **kw):
        controller, handler, port = start_server(**kw)
        self.servers.append(controller)
        return handler, port

    def send(self, port, *args, secret=None, files=None):
        cmd = [MAIL_TOOL, "send", "--host", "127.0.0.1", "--port", str(port), "--from",
               "me@example.org", "--to", "you@example.org", "--subject", "Secure", "--per", "1",
               "--trace", *args]
        if secret is not None:
            cmd.append("--password-stdin")
        cmd += files if files is not None else self.files
        r = subprocess.run(cmd, input=(secret or "") + "\n", capture_output=True, text=True,
                           timeout=120)
        out = r.stdout + r.stderr
        for s in (PASSWORD, TOKEN):
            self.assertNotIn(s, out, "a secret reached standard output")
        return r.returncode, out

    def check_series(self, handler):
        self.assertEqual(len(handler.messages), 3)
        for n, (mail_from, rcpts, content, _) in enumerate(handler.messages):
            msg = email.message_from_bytes(content, policy=email.policy.default)
            self.assertEqual(str(msg["Subject"]), "Secure %d(3)" % (n + 1))
            parts = list(msg.iter_parts())
            with open(self.files[n], "rb") as f:
                self.assertEqual(parts[1].get_payload(decode=True), f.read())

    def test_starttls_and_implicit_tls_with_each_login_method(self):
        cases = [("starttls", False, ["--auth", "auto"], PASSWORD, "PLAIN"),
                 ("starttls", False, ["--auth", "login"], PASSWORD, "LOGIN"),
                 ("tls", True, ["--auth", "oauth2"], TOKEN, "XOAUTH2"),
                 ("tls", True, ["--auth", "plain"], PASSWORD, "PLAIN")]
        for security, implicit, auth, secret, mechanism in cases:
            with self.subTest(security=security, mechanism=mechanism):
                handler, port = self.server(cert=self.certs["good"], implicit=implicit)
                code, out = self.send(port, "--security", security, "--cafile", self.ca,
                                      "--login", USER, *auth, secret=secret)
                self.assertEqual(code, 0, out)
                self.assertIn("CONNECTED TLS AUTH " + mechanism, out)
                self.assertEqual(handler.used_mechanisms, [mechanism])
                # The events see the AUTH command and its continuations masked.
                self.assertTrue(any(l.startswith("C: AUTH ") and l.endswith(" ****") or l == "C: AUTH LOGIN"
                                    for l in out.splitlines()), out)
                if mechanism == "LOGIN":
                    self.assertEqual(out.count("C: ****"), 2, out)
                self.check_series(handler)
                # SIZE is given with MAIL FROM when the server offers it.
                self.assertTrue(handler.messages[0][3][0].startswith("SIZE="), handler.messages[0][3])

    def test_refused_credentials_show_the_servers_text(self):
        for auth, secret in ((["--auth", "plain"], "wrong"), (["--auth", "oauth2"], "bad-token")):
            with self.subTest(auth=auth):
                handler, port = self.server(cert=self.certs["good"])
                code, out = self.send(port, "--security", "starttls", "--cafile", self.ca,
                                      "--login", USER, *auth, secret=secret)
                self.assertNotEqual(code, 0)
                self.assertIn("CONNECT FAILED 535 ", out)
                self.assertNotIn("wrong", out.replace("wrong.example", ""))
                self.assertNotIn("bad-token", out)
                self.assertEqual(handler.messages, [])

    def test_certificates_that_do_not_verify(self):
        cases = [("expired", "expired"), ("wrongname", "wrong name"), ("selfsigned", "unknown issuer")]
        for name, reason in cases:
            with self.subTest(name=name):
                handler, port = self.server(cert=self.certs[name])
                code, out = self.send(port, "--security", "starttls", "--cafile", self.ca,
                                      "--login", USER, secret=PASSWORD)
                self.assertNotEqual(code, 0)
                self.assertIn("CONNECT FAILED  The certificate of 127.0.0.1 is not trusted (%s)." % reason, out)
                cert_line = [l for l in out.splitlines() if l.startswith("CERT ")][0]
                got_reason, subject, issuer, fp = cert_line[5:].split("|")
                self.assertEqual(got_reason, reason)
                self.assertIn(name + ".test", subject)
                self.assertEqual(fp, fingerprint(self.certs[name][0]))
                # Nothing after the handshake: no AUTH, no MAIL.
                commands = [l for l in out.splitlines() if l.startswith("C: ")]
                self.assertEqual(commands[-1], "C: STARTTLS", out)
                self.assertEqual(handler.used_mechanisms, [])
                self.assertEqual(handler.messages, [])

    def test_a_pinned_certificate_is_accepted_and_only_that_one(self):
        pin = fingerprint(self.certs["selfsigned"][0])
        handler, port = self.server(cert=self.certs["selfsigned"], implicit=True)
        code, out = self.send(port, "--security", "tls", "--pin", pin, "--login", USER,
                              secret=PASSWORD)
        self.assertEqual(code, 0, out)
        self.check_series(handler)
        # Another untrusted certificate for the same server is refused again.
        handler, port = self.server(cert=self.certs["expired"], implicit=True)
        code, out = self.send(port, "--security", "tls", "--pin", pin)
        self.assertNotEqual(code, 0)
        self.assertIn("is not trusted (", out)
        self.assertNotIn(pin, out.split("CERT ", 1)[1])

    def test_no_starttls_offered_means_nothing_more_is_sent(self):
        handler, port = self.server(cert=None)
        code, out = self.send(port, "--security", "starttls", "--login", USER, secret=PASSWORD)
        self.assertNotEqual(code, 0)
        self.assertIn("The server does not offer STARTTLS.", out)
        commands = [l for l in out.splitlines() if l.startswith("C: ")]
        self.assertEqual(len(commands), 1, out)
        self.assertTrue(commands[0].startswith("C: EHLO "), out)
        self.assertEqual(handler.used_mechanisms, [])

    def test_a_message_larger_than_the_servers_limit_is_not_uploaded(self):
        handler, port = self.server(cert=self.certs["good"], size=500)
        code, out = self.send(port, "--security", "starttls", "--cafile", self.ca)
        self.assertNotEqual(code, 0)
        self.assertIn("the server accepts at most 500. TOO LARGE", out)
        self.assertNotIn("C: DATA", out)
        self.assertNotIn("C: MAIL FROM", out)
        self.assertEqual(handler.messages, [])

    def test_plain_profile_keeps_the_plain_dialogue(self):
        handler, port = self.server(cert=None, auth=False)
        code, out = self.send(port)
        self.assertEqual(code, 0, out)
        commands = [l for l in out.splitlines() if l.startswith("C: ")]
        self.assertTrue(commands[0].startswith("C: EHLO "), out)
        # aiosmtpd offers SIZE: the message's size goes with MAIL FROM, nothing else changes.
        self.assertRegex(commands[1], r"^C: MAIL FROM:<me@example\.org> SIZE=\d+$")
        self.assertFalse([c for c in commands if "STARTTLS" in c or "AUTH" in c], out)


if __name__ == "__main__":
    unittest.main()
