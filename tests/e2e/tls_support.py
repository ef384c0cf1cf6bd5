"""Certificates made with the openssl command for the TLS tests, and aiosmtpd servers that speak
STARTTLS, TLS from the first byte, AUTH (PLAIN, LOGIN, XOAUTH2) and SIZE."""
import asyncio
import os
import socket
import ssl
import subprocess

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

USER = "alice@example.org"
PASSWORD = "s3cr3t-Pa55-word"
TOKEN = "ya29.token-for-tests"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def _key(name, cwd):
    return ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
            name + ".key"]


def make_pki(folder):
    """ca.pem, and server certificates: good (127.0.0.1 and localhost), expired, wrong name,
    self-signed (an issuer nobody trusts). Returns {name: (cert, key)} and the CA file."""
    _openssl("req", "-x509", *_key("ca", folder), "-out", "ca.pem", "-days", "2",
             "-subj", "/CN=Sendorix Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    certs = {}
    for name, san, days in (("good", "IP:127.0.0.1,DNS:localhost", "2"),
                            ("expired", "IP:127.0.0.1,DNS:localhost", "-1"),
                            ("wrongname", "DNS:wrong.example", "2")):
        _openssl("req", *_key(name, folder), "-out", name + ".csr", "-subj", "/CN=" + name + ".test",
                 cwd=folder)
        with open(os.path.join(folder, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\n" % san)
        _openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", name + ".pem", "-days", days, "-extfile", name + ".ext",
                 cwd=folder)
        certs[name] = (os.path.join(folder, name + ".pem"), os.path.join(folder, name + ".key"))
    _openssl("req", "-x509", *_key("selfsigned", folder), "-out", "selfsigned.pem", "-days", "2",
             "-subj", "/CN=selfsigned.test", "-addext", "subjectAltName=IP:127.0.0.1", cwd=folder)
    certs["selfsigned"] = (os.path.join(folder, "selfsigned.pem"),
                           os.path.join(folder, "selfsigned.key"))
    return certs, os.path.join(folder, "ca.pem")


def fingerprint(cert_file):
    out = subprocess.run(["openssl", "x509", "-in", cert_file, "-noout", "-fingerprint", "-sha256"],
                         check=True, capture_output=True, text=True).stdout
    return out.strip().split("=", 1)[1]


def server_context(cert):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(*cert)
    return ctx


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Recorder:
    """Keeps every message and every command line; checks PLAIN/LOGIN and an XOAUTH2 token."""

    def __init__(self):
        self.messages = []
        self.commands = []
        self.used_mechanisms = []

    async def handle_DATA(self, server, session, envelope):
        self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.content,
                              list(envelope.mail_options)))
        return "250 OK queued"

    async def auth_XOAUTH2(self, server, args):
        import base64
        raw = base64.b64decode(args[1]) if len(args) > 1 else b""
        fields = dict(p.split(b"=", 1) for p in raw.split(b"\x01") if b"=" in p)
        self.used_mechanisms.append("XOAUTH2")
        if fields.get(b"user") == USER.encode() and fields.get(b"auth") == b"Bearer " + TOKEN.encode():
            return AuthResult(success=True)
        # The provider's way: a 334 challenge with the reason, then 535 after the reply.
        await server.challenge_auth('{"status":"401"}')
        return AuthResult(success=False, handled=False,
                          message="535 5.7.8 Username and token not accepted")


def authenticator(server, session, envelope, mechanism, auth_data):
    server.event_handler.used_mechanisms.append(mechanism)
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == USER.encode() \
        and auth_data.password == PASSWORD.encode()
    return AuthResult(success=ok, handled=False)


def start_server(cert=None, implicit=False, offer_starttls=True, size=None, auth=True):
    handler = Recorder()
    port = free_port()
    kwargs = dict(hostname="127.0.0.1", port=port, decode_data=False, ready_timeout=10,
                  authenticator=authenticator if auth else None, auth_require_tls=False,
                  data_size_limit=size if size is not None else 33554432)
    if cert and implicit:
        kwargs["ssl_context"] = server_context(cert)
    elif cert and offer_starttls:
        kwargs["tls_context"] = server_context(cert)
    controller = Controller(handler, **kwargs)
    controller.start()
    return controller, handler, port
