"""What the package tests share: the repository's release files and the tools that check them."""
import datetime
import email.utils
import os
import re
import shutil
import struct
import subprocess
import xml.etree.ElementTree as ET

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("SENDORIX_BUILD_DIR", os.path.join(ROOT, "build"))
DESKTOP_DIR = os.path.join(ROOT, "resources", "desktop")
PICTURES = os.path.join(ROOT, "help", "pictures")
APP_ID = "org.sendorix.Sendorix"
METAINFO = os.path.join(DESKTOP_DIR, APP_ID + ".metainfo.xml")
XML_LANG = "{http://www.w3.org/XML/1998/namespace}lang"


def cmake_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"^project\(Sendorix VERSION ([0-9.]+)", f.read(), re.M).group(1)


def changelog_entries():
    """(version, date) of every entry of debian/changelog, newest first."""
    with open(os.path.join(ROOT, "debian", "changelog"), encoding="utf-8") as f:
        text = f.read()
    versions = re.findall(r"^sendorix \(([^)]+)\) \S+; urgency=\w+$", text, re.M)
    dates = [email.utils.parsedate_to_datetime(d).date()
             for d in re.findall(r"^ -- .+ <[^>]+>  (.+)$", text, re.M)]
    assert len(versions) == len(dates) and versions, "debian/changelog entries are malformed"
    return list(zip(versions, dates))


def control_field(name, path=os.path.join(ROOT, "debian", "control")):
    with open(path, encoding="utf-8") as f:
        m = re.search(r"^%s: *(.*)$" % re.escape(name), f.read(), re.M)
    return m.group(1).strip() if m else None


def metainfo():
    return ET.parse(METAINFO).getroot()


def metainfo_releases(root):
    """(version, date) of every release of the description, in the file's order."""
    return [(r.get("version"), datetime.date.fromisoformat(r.get("date")))
            for r in root.findall("releases/release")]


def by_language(elements):
    """{language: [texts]} of elements such as <summary> or <p>; English is ''."""
    found = {}
    for e in elements:
        found.setdefault(e.get(XML_LANG, ""), []).append("".join(e.itertext()).strip())
    return found


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


def appstream_problems(path):
    """The validator's verdict offline: (exit code, its errors and warnings, its whole output)."""
    r = subprocess.run(["appstreamcli", "validate", "--no-net", "--no-color", path],
                       capture_output=True, text=True, timeout=120)
    output = r.stdout + r.stderr
    problems = [line for line in output.splitlines() if re.match(r"^[EW]: ", line)]
    return r.returncode, problems, output


def missing_tools(*tools):
    return [t for t in tools if shutil.which(t) is None]
