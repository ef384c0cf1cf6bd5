"""Shared pieces of the mail end-to-end tests: the helper program, sample
files, and an independent check of a parsed message's attachments."""
import email
import email.policy
import os
import random
import subprocess

BUILD_DIR = os.environ.get("SENDORIX_BUILD_DIR", os.path.join(
    os.path.dirname(__file__), "..", "..", "build"))
MAIL_TOOL = os.path.join(BUILD_DIR, "tests", "mail_tool")


def run_tool(*args, timeout=120):
    return subprocess.run([MAIL_TOOL, *args], capture_output=True, timeout=timeout)


def make_sample_files(folder):
    """Files of 0 bytes to a few MiB, names with spaces, Cyrillic and quotes."""
    rnd = random.Random(20261208)
    specs = [
        ("empty file.bin", b""),
        ("one.bin", b"\x00"),
        ("two.bin", b"\xff\xfe"),
        ("three.txt", b"abc"),
        ("fifty seven.dat", bytes(range(57))),
        ("fifty eight.dat", bytes(range(58))),
        ("all bytes.bin", bytes(range(256)) * 9),
        ("Отчёт за 2026 год.pdf", bytes(rnd.getrandbits(8) for _ in range(70001))),
        ('odd "quoted" name.bin', b"quoted\r\n.\r\nnot the end\r\n"),
        ("big random.bin", rnd.randbytes(3 * 1024 * 1024 + 5)),
    ]
    paths = []
    for name, data in specs:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def parse(raw_bytes):
    return email.message_from_bytes(raw_bytes, policy=email.policy.default)


def filename_of(part):
    name = part.get_filename()
    # Raw 8-bit names arrive surrogate-escaped; they are UTF-8 bytes here.
    return name.encode("utf-8", "surrogateescape").decode("utf-8")


def check_attachments(test, msg, paths):
    """Every attachment decodes byte for byte to its file, in order."""
    parts = [p for p in msg.iter_parts()][1:]
    test.assertEqual(len(parts), len(paths))
    for part, path in zip(parts, paths):
        test.assertEqual(filename_of(part), os.path.basename(path))
        test.assertEqual(part["Content-Transfer-Encoding"], "base64")
        with open(path, "rb") as f:
            test.assertEqual(part.get_payload(decode=True), f.read(), path)
