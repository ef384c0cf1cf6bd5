"""A real SMTP server (aiosmtpd on a free 127.0.0.1 port) for the window's send tests.

Every message that arrives is parsed with Python's email package; what the tests check is
written to OUT/NNN.json (envelope, decoded subject, raw subject bytes, text part, attachment
names) and each attachment's decoded bytes to OUT/NNN-K.bin. The server stops when its
stdin closes or after --lifetime seconds, whichever comes first.

usage: send_smtp_server.py OUT [--reject N] [--reject-text TEXT] [--delay SECONDS]
  --reject N     answer the N-th DATA (1-based, across the session) with 550
  --reject-text  the whole reply line for that DATA (Python escapes such as \x00 allowed)
  --delay S      wait S seconds before answering each DATA (a slow server)
  --tls-cert C --tls-key K   offer STARTTLS with this certificate
  --implicit     TLS from the first byte instead of STARTTLS
  --login USER --password-file F   accept AUTH PLAIN/LOGIN for this user and the file's secret
  --size N       advertise and enforce a SIZE limit of N bytes
  --drop-after N close the connection right after accepting the N-th message
  --close-mail N answer the N-th MAIL FROM (across the session) with 421 and close
  --smtputf8     offer SMTPUTF8 (addresses in UTF-8, RFC 6531)
  --refuse-rcpt A  answer RCPT TO for address A with 550
  --extensions   offer PIPELINING and CHUNKING (BDAT, RFC 3030); the commands each client wrote
                 are kept in OUT/commands.txt, one line each (BDAT with its size)
The chosen port is written to OUT/port once the server listens.
"""
import argparse
import asyncio
import email
import email.header
import email.policy
import email.utils
import json
import os
import random
import socket
import ssl
import sys
import threading
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def free_port():
    """A free port the window's four-digit port field can hold."""
    rnd = random.Random()
    for _ in range(200):
        port = rnd.randint(2000, 9999)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port below 10000")


def raw_header(content, name):
    """The header's value, unfolded (a folded header continues on lines that start blank)."""
    head = content.split(b"\r\n\r\n", 1)[0]
    prefix = name.encode("ascii") + b": "
    value = None
    for line in head.split(b"\r\n"):
        if value is not None:
            if line[:1] in (b" ", b"\t"):
                value += line
                continue
            break
        if line.startswith(prefix):
            value = line[len(prefix):]
    return value


def decoded_subject(raw):
    parts = []
    for data, charset in email.header.decode_header(raw.decode("latin-1")):
        if isinstance(data, str):
            parts.append(data)
        else:
            parts.append(data.decode(charset or "latin-1"))
    return "".join(parts)


class Recorder:
    def __init__(self, out, reject, delay, reject_text="550 Mailbox unavailable for this test"):
        self.out, self.reject, self.delay = out, reject, delay
        self.reject_text = reject_text
        self.count = 0
        self.drop_after = 0
        self.close_mail = 0
        self.mails = 0
        self.refuse_rcpt = None

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address == self.refuse_rcpt:
            return "550 No such user here"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        self.mails += 1
        if self.mails == self.close_mail:
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 Service not available, closing transmission channel"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        n = self.count
        if self.delay:
            await asyncio.sleep(self.delay)
        content = envelope.content
        msg = email.message_from_bytes(content, policy=email.policy.compat32)
        # The same bytes as a modern reader sees them (the default policy decodes
        # encoded words and RFC 2231 names by itself).
        modern = email.message_from_bytes(content, policy=email.policy.default)
        parts = msg.get_payload() if msg.is_multipart() else [msg]
        text = parts[0]
        raw_subject = raw_header(content, "Subject") or b""
        record = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": list(envelope.rcpt_tos),
            "mail_options": list(envelope.mail_options),
            "subject_raw_hex": raw_subject.hex(),
            "to": (raw_header(content, "To") or b"").decode("latin-1"),
            "subject": decoded_subject(raw_subject),
            "multipart": msg.is_multipart(),
            "content_type": msg.get_content_type(),
            "text_charset": text.get_content_charset(),
            "text_encoding": text.get("Content-Transfer-Encoding", ""),
            "text_hex": (text.get_payload(decode=True) or b"").hex(),
            "subject_koi8": raw_subject.decode("koi8-r"),
            "text_koi8": (text.get_payload(decode=True) or b"").decode("koi8-r"),
            "max_line": max(len(l) for l in content.split(b"\r\n")),
            "size": len(content),
            "x_priority": msg.get("X-Priority", ""),
            "message_id": msg.get("Message-Id", ""),
            "attachments": [],
            "modern": {
                "subject": str(modern["Subject"]),
                "from": str(modern["From"]),
                "to": str(modern["To"]),
                "cc": str(modern["CC"] or ""),
                # The addresses as a reader parses them out of the decoded headers (UTF-8
                # addresses included, RFC 6532).
                "from_addresses": [a for _, a in email.utils.getaddresses([str(modern["From"] or "")])],
                "to_addresses": [a for _, a in email.utils.getaddresses([str(modern["To"] or "")])],
                "to_names": [n for n, _ in email.utils.getaddresses([str(modern["To"] or "")])],
                "text_charset": (next(modern.iter_parts()) if modern.is_multipart()
                                 else modern).get_content_charset(),
                "names": [p.get_filename() or "" for p in list(modern.iter_parts())[1:]],
            },
            "compat32": {
                "from": decoded_subject(raw_header(content, "From") or b""),
                "to": decoded_subject(raw_header(content, "To") or b""),
                "names": [p.get_filename() or "" for p in parts[1:]],
            },
        }
        for k, part in enumerate(parts[1:], 1):
            name = part.get_filename() or ""
            name = name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
            with open(os.path.join(self.out, "%03d-%d.bin" % (n, k)), "wb") as f:
                f.write(part.get_payload(decode=True) or b"")
            record["attachments"].append({"name": name,
                                          "encoding": part.get("Content-Transfer-Encoding", "")})
        tmp = os.path.join(self.out, "%03d.tmp" % n)
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        os.replace(tmp, os.path.join(self.out, "%03d.json" % n))
        if n == self.reject:
            return self.reject_text
        if n == self.drop_after:
            # The reply goes out first: the connection drops after the message was taken.
            asyncio.get_running_loop().call_soon(server.transport.close)
        return "250 OK queued"


class ChunkingSMTP(SMTP):
    """aiosmtpd with BDAT (RFC 3030). Pipelining needs nothing: commands are read and answered
    one after the other from the stream, however many arrive together."""

    def __init__(self, *args, commands_file=None, **kwargs):
        super().__init__(*args, **kwargs)
        self._chunks = bytearray()
        self._chunk_failed = False
        self._commands_file = commands_file

    def _note(self, line):
        with open(self._commands_file, "a", encoding="latin-1") as f:
            f.write(line + "\n")

    async def smtp_MAIL(self, arg):
        self._note("MAIL " + (arg or ""))
        self._chunks = bytearray()
        self._chunk_failed = False
        await super().smtp_MAIL(arg)

    async def smtp_RCPT(self, arg):
        self._note("RCPT " + (arg or ""))
        await super().smtp_RCPT(arg)

    async def smtp_DATA(self, arg):
        self._note("DATA")
        await super().smtp_DATA(arg)

    async def smtp_RSET(self, arg):
        self._note("RSET")
        self._chunks = bytearray()
        await super().smtp_RSET(arg)

    async def smtp_BDAT(self, arg):
        self._note("BDAT " + (arg or ""))
        words = (arg or "").split()
        if not words or not words[0].isdigit() or len(words) > 2 or words[1:] not in ([], ["LAST"]):
            await self.push("501 Syntax: BDAT size [LAST]")
            return
        # The chunk's bytes follow whatever the state: they are read before any reply.
        chunk = await self._reader.readexactly(int(words[0]))
        if not self.envelope.rcpt_tos or self._chunk_failed:
            self._chunk_failed = True
            await self.push("503 Error: need RCPT command")
            return
        self._chunks += chunk
        if len(words) == 1:
            await self.push("250 %d bytes received" % len(chunk))
            return
        self.envelope.content = bytes(self._chunks)
        self.envelope.original_content = self.envelope.content
        self._chunks = bytearray()
        status = await self._call_handler_hook("DATA")
        self._set_post_data_state()
        await self.push(status)


class ChunkingController(Controller):
    def __init__(self, *args, commands_file=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.commands_file = commands_file

    def factory(self):
        return ChunkingSMTP(self.handler, commands_file=self.commands_file, **self.SMTP_kwargs)


class ExtensionsRecorder(Recorder):
    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        return responses[:-1] + ["250-PIPELINING", "250-CHUNKING"] + responses[-1:]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--reject", type=int, default=0)
    ap.add_argument("--delay", type=float, default=0.0)
    ap.add_argument("--reject-text", default="550 Mailbox unavailable for this test")
    ap.add_argument("--lifetime", type=float, default=120.0)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    ap.add_argument("--implicit", action="store_true")
    ap.add_argument("--login")
    ap.add_argument("--password-file")
    ap.add_argument("--size", type=int, default=64 * 1024 * 1024)
    ap.add_argument("--drop-after", type=int, default=0)
    ap.add_argument("--close-mail", type=int, default=0)
    ap.add_argument("--smtputf8", action="store_true")
    ap.add_argument("--extensions", action="store_true")
    ap.add_argument("--refuse-rcpt")
    args = ap.parse_args()
    port = free_port()
    extra = {}
    if args.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        extra["ssl_context" if args.implicit else "tls_context"] = ctx
    if args.login:
        with open(args.password_file, "rb") as f:
            secret = f.read().strip()

        def authenticator(server, session, envelope, mechanism, data):
            ok = isinstance(data, LoginPassword) and data.login == args.login.encode() \
                and data.password == secret
            return AuthResult(success=ok, handled=False)

        # aiosmtpd counts only STARTTLS as TLS; with TLS from the first byte it is TLS too.
        extra.update(authenticator=authenticator, auth_required=True, auth_require_tls=not args.implicit)
    recorder = (ExtensionsRecorder if args.extensions else Recorder)(
        args.out, args.reject, args.delay, args.reject_text.encode("latin-1").decode("unicode_escape"))
    recorder.drop_after, recorder.close_mail = args.drop_after, args.close_mail
    recorder.refuse_rcpt = args.refuse_rcpt
    make = Controller
    if args.extensions:
        make = ChunkingController
        extra["commands_file"] = os.path.join(args.out, "commands.txt")
    controller = make(recorder, hostname="127.0.0.1",
                            port=port, decode_data=False, data_size_limit=args.size,
                            ready_timeout=10, enable_SMTPUTF8=args.smtputf8, **extra)
    controller.start()
    with open(os.path.join(args.out, "port.tmp"), "w") as f:
        f.write(str(port))
    os.replace(os.path.join(args.out, "port.tmp"), os.path.join(args.out, "port"))
    done = threading.Event()

    def wait_stdin():
        try:
            sys.stdin.read()
        finally:
            done.set()

    threading.Thread(target=wait_stdin, daemon=True).start()
    done.wait(args.lifetime)
    controller.stop()


if __name__ == "__main__":
    main()
