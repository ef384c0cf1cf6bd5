#!/usr/bin/python3
"""A local mail server for trying Sendorix without one of your own.

    try_server.py serve --inbox DIR [--port-range 2525-2599] [--port-file F]
                        [--parent-pid PID] [--lifetime SECONDS]
                        [--tls-cert F --tls-key F --login USER --password-file F]
        Listens on 127.0.0.1 only and saves every message it receives as DIR/NNNN.eml
        (exactly the bytes sent), printing one line per message. With a certificate it
        insists on STARTTLS and on a login as USER with the password kept in the file.

    try_server.py write-config --program-dir DIR --profile FILE --port N
                               --version 1.3 [--replace-settings] [--secure-user USER]
        Writes a server profile pointing at 127.0.0.1:N and, unless one exists already
        (or --replace-settings is given), the settings file DIR/Sendorix.cfg that makes the
        program start with that profile.

Needs the Debian python3-aiosmtpd (run it with /usr/bin/python3).
"""
import argparse
import asyncio
import email
import email.header
import email.policy
import os
import signal
import socket
import ssl
import sys
import tempfile

SETTINGS_NAME = "Sendorix.cfg"


# ---- serve ----

class SaveToFolder:
    """aiosmtpd handler: one .eml per message, numbered in arrival order."""

    def __init__(self, inbox):
        self.inbox = inbox
        existing = [n for n in os.listdir(inbox) if n.endswith(".eml") and n[:-4].isdigit()]
        self.count = max((int(n[:-4]) for n in existing), default=0)

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.inbox, "%04d.eml" % self.count)
        data = envelope.original_content or b""
        tmp = path + ".part"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)  # a reader never sees half a message
        try:
            msg = email.message_from_bytes(data, policy=email.policy.default)
            subject = str(msg.get("Subject", ""))
        except Exception:  # a damaged header must not stop the server
            subject = "?"
        print("Message %d from %s to %s: %r (%d bytes) -> %s"
              % (self.count, envelope.mail_from, ", ".join(envelope.rcpt_tos),
                 subject, len(data), path), flush=True)
        return "250 Message accepted for delivery"


def pick_port(first, last):
    """The first port of the range that is free on 127.0.0.1."""
    for port in range(first, last + 1):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise SystemExit("No free port between %d and %d on 127.0.0.1" % (first, last))


async def serve(args):
    from aiosmtpd.smtp import SMTP

    os.makedirs(args.inbox, exist_ok=True)
    handler = SaveToFolder(args.inbox)
    secure = {}
    if args.tls_cert:
        from aiosmtpd.smtp import AuthResult, LoginPassword
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        with open(args.password_file, "rb") as f:
            secret = f.read().strip()

        def authenticator(server, session, envelope, mechanism, data):
            ok = isinstance(data, LoginPassword) and data.login == args.login.encode() \
                and data.password == secret
            print("Login as %r %s" % (data.login.decode("utf-8", "replace") if isinstance(data, LoginPassword)
                                      else "?", "accepted" if ok else "refused"), flush=True)
            return AuthResult(success=ok, handled=False)

        secure = dict(tls_context=ctx, require_starttls=True, authenticator=authenticator,
                      auth_required=True, auth_require_tls=True)
    loop = asyncio.get_running_loop()
    first, _, last = args.port_range.partition("-")
    server = None
    for _attempt in range(20):  # another program may take the port between check and bind
        port = pick_port(int(first), int(last or first))
        try:
            server = await loop.create_server(
                lambda: SMTP(handler, hostname="sendorix-try", data_size_limit=200 * 1024 * 1024,
                             **secure),
                host="127.0.0.1", port=port)
            break
        except OSError:
            continue
    if server is None:
        raise SystemExit("Could not listen on 127.0.0.1")
    if args.port_file:
        with open(args.port_file + ".part", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".part", args.port_file)
    print("Listening on 127.0.0.1:%d, saving messages to %s" % (port, args.inbox), flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    deadline = loop.time() + args.lifetime if args.lifetime else None
    while not stop.is_set():
        if deadline is not None and loop.time() >= deadline:
            break
        if args.parent_pid and not pid_alive(args.parent_pid):
            break  # whoever started us is gone: do not linger
        try:
            await asyncio.wait_for(stop.wait(), timeout=0.5)
        except asyncio.TimeoutError:
            pass
    server.close()
    await server.wait_closed()
    print("Server stopped after %d message(s)" % (handler.count), flush=True)


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


# ---- write-config ----

def ini_text(sections):
    """The program's profile-file format: [Section], key=value, UTF-8."""
    out = []
    for name, keys in sections:
        out.append("[%s]" % name)
        for key, value in keys:
            value = str(value)
            if "\n" in value or "\r" in value:
                raise SystemExit("A line break cannot be stored: %r" % value)
            out.append("%s=%s" % (key, value))
    return "\n".join(out) + "\n"


def write_atomically(path, text):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".try-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def write_config(args):
    if not 1 <= args.port <= 9999:
        # The program's port field holds four digits.
        raise SystemExit("The port must be between 1 and 9999, not %d" % args.port)
    profile = os.path.abspath(args.profile)
    write_atomically(profile, ini_text([("SMTP", [
        ("Server", "127.0.0.1"),
        ("Port", args.port),
        ("Account", "try@sendorix.test"),
        ("Name", "Sendorix try"),
        ("Encoding", 0),
        ("Reply-To", ""),
    ] + ([("Security", 1), ("User", args.secure_user), ("Authentication", 0)] if args.secure_user else []))]))
    print("Server profile: %s" % profile)

    program_dir = os.path.abspath(args.program_dir)
    settings = os.path.join(program_dir, SETTINGS_NAME)
    if os.path.exists(settings) and not args.replace_settings:
        print("Kept your settings file %s; to use the local server, load the profile above "
              "with Load on the sender page (or run again with --replace-settings)." % settings)
        return
    major, _, minor = args.version.partition(".")
    text = ini_text([
        ("Version", [("MajorVersion", int(major)), ("MinorVersion", int(minor.split(".")[0]))]),
        ("Settings", [
            ("Language", 0),
            ("SenderMode", 0),
            ("SMTPServerConfig", profile),
            ("NNTPServerConfig", ""),
            ("FileDialogDir", ""),
            ("LoadConfigDialogDir", os.path.dirname(profile)),
            ("SaveConfigDialogDir", ""),
            ("SaveLogDialogDir", ""),
            ("cbJumpToProtocol", 1),
            ("cbUseMAPIAddresBook", 0),
        ]),
        ("EditTo", [("0", "you@example.test")]),
        ("EditSubject", [("0", "Sendorix try")]),
        ("EditHost", [("0", "127.0.0.1")]),
        ("EditName", [("0", "Sendorix try")]),
    ])
    if os.path.exists(settings):
        backup = settings + ".bak"
        with open(settings, "rb") as src:
            old = src.read()
        with open(backup, "wb") as dst:
            dst.write(old)
        print("Your old settings file is saved as %s" % backup)
    write_atomically(settings, text)
    print("Settings file: %s" % settings)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    s = sub.add_parser("serve")
    s.add_argument("--inbox", required=True)
    s.add_argument("--port-range", default="2525-2599")
    s.add_argument("--port-file")
    s.add_argument("--parent-pid", type=int, default=0)
    s.add_argument("--lifetime", type=float, default=0, help="stop after this many seconds")
    s.add_argument("--tls-cert")
    s.add_argument("--tls-key")
    s.add_argument("--login", default="try")
    s.add_argument("--password-file")
    w = sub.add_parser("write-config")
    w.add_argument("--program-dir", required=True)
    w.add_argument("--profile", required=True)
    w.add_argument("--port", type=int, required=True)
    w.add_argument("--version", required=True)
    w.add_argument("--replace-settings", action="store_true")
    w.add_argument("--secure-user", default="")
    args = parser.parse_args(argv)
    if args.command == "serve":
        asyncio.run(serve(args))
    else:
        write_config(args)


if __name__ == "__main__":
    main(sys.argv[1:])
