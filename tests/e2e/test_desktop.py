"""The program as a desktop sees it: its command line, a second start, and an installation."""
import configparser
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("SENDORIX_BUILD_DIR", os.path.join(ROOT, "build"))
PROGRAM = os.path.join(BUILD, "bin", "sendorix")
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
APP_ID = "org.sendorix.Sendorix"   # the desktop entry's and the software centre's name


def bare_env(**extra):
    """The environment without any display, plus what the case adds."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


class CommandLine(unittest.TestCase):
    def run_program(self, args, **env):
        return subprocess.run([PROGRAM] + args, env=bare_env(**env), capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)

    def test_help_and_version_print_and_exit_without_a_display(self):
        for args, expected in ((["--help"], "Usage: sendorix"), (["-h", "x"], "Usage: sendorix"),
                               (["--version"], "Sendorix 1.03 (1.3.")):
            r = self.run_program(args)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith(expected), r.stdout)
            self.assertEqual(r.stderr, "")

    def test_unknown_option_is_an_error(self):
        r = self.run_program(["--bogus"], QT_QPA_PLATFORM="offscreen")
        self.assertEqual(r.returncode, 2)
        self.assertIn("unknown option '--bogus'", r.stderr)
        self.assertIn("--help", r.stderr)


class SecondStart(unittest.TestCase):
    def test_second_start_hands_over_and_ends_while_the_first_runs(self):
        with tempfile.TemporaryDirectory() as tmp:
            name = os.path.join(tmp, "instance")   # a socket path of this test's own
            env = bare_env(QT_QPA_PLATFORM="offscreen", SENDORIX_INSTANCE=name,
                           XDG_CONFIG_HOME=os.path.join(tmp, "config"))
            first = subprocess.Popen([PROGRAM], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 120
                while not os.path.exists(name):
                    self.assertIsNone(first.poll(), "the first start ended")
                    self.assertLess(time.monotonic(), deadline, "the first start never listened")
                    time.sleep(0.1)
                sample = os.path.join(tmp, "sample.txt")
                with open(sample, "w") as f:
                    f.write("x")
                second = subprocess.run([PROGRAM, "sample.txt"], env=env, cwd=tmp, timeout=120,
                                        capture_output=True, text=True, stdin=subprocess.DEVNULL)
                self.assertEqual(second.returncode, 0, second.stderr)
                self.assertIsNone(first.poll(), "the running window must stay")
                # Ended by a signal, the window leaves no socket behind to trip the next start.
                first.send_signal(signal.SIGTERM)
                self.assertEqual(first.wait(60), -signal.SIGTERM)
                self.assertFalse(os.path.exists(name), "the socket outlived the program")
            finally:
                # Killed, not closed: nothing is written beside the program.
                if first.poll() is None:
                    first.send_signal(signal.SIGKILL)
                    first.wait(60)


class Install(unittest.TestCase):
    def test_install_into_a_prefix_puts_everything_in_its_place(self):
        with tempfile.TemporaryDirectory() as prefix:
            r = subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix],
                               capture_output=True, text=True, timeout=300)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

            program = os.path.join(prefix, "bin", "sendorix")
            self.assertTrue(os.access(program, os.X_OK))
            r = subprocess.run([program, "--version"], env=bare_env(), capture_output=True,
                               text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertTrue(r.stdout.startswith("Sendorix "), r.stdout)

            entry = os.path.join(prefix, "share", "applications", APP_ID + ".desktop")
            validator = shutil.which("desktop-file-validate")
            self.assertIsNotNone(validator, "desktop-file-utils is not installed")
            r = subprocess.run([validator, entry], capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            self.assertEqual(r.stdout + r.stderr, "")
            with open(entry, encoding="utf-8") as f:
                text = f.read()
            for line in ("Exec=sendorix %F", "Icon=sendorix", "Categories=Network;Email;",
                         "Name[ru]=", "Comment[ru]="):
                self.assertIn(line, text)
            # File managers offer it under "Open with" for files and folders: what the desktop's
            # own MIME lookup says once the entry is indexed (a package's trigger does that).
            gio, indexer = shutil.which("gio"), shutil.which("update-desktop-database")
            self.assertIsNotNone(gio, "libglib2.0-bin is not installed")
            subprocess.run([indexer, os.path.dirname(entry)], check=True, timeout=60)
            with tempfile.TemporaryDirectory() as home:
                env = dict(bare_env(), HOME=home, XDG_DATA_HOME=os.path.join(home, "share"),
                           XDG_CONFIG_HOME=os.path.join(home, "config"),
                           XDG_DATA_DIRS=os.path.join(prefix, "share") + ":/usr/share",
                           PATH=os.path.join(prefix, "bin") + ":/usr/bin:/bin")
                for mime in ("application/octet-stream", "inode/directory"):
                    r = subprocess.run([gio, "mime", mime], env=env, capture_output=True,
                                       text=True, timeout=60)
                    registered = r.stdout.split("Registered applications:")[-1].split("Recommended")[0]
                    self.assertIn(APP_ID + ".desktop", registered, mime + ": " + r.stdout + r.stderr)
            # The context menu action of file managers that read service menus.
            menu = configparser.ConfigParser(interpolation=None)
            menu.optionxform = str
            menu.read(os.path.join(prefix, "share", "kio", "servicemenus", "sendorix-send.desktop"),
                      encoding="utf-8")
            self.assertEqual(menu["Desktop Entry"]["X-KDE-ServiceTypes"], "KonqPopupMenu/Plugin")
            action = menu["Desktop Action " + menu["Desktop Entry"]["Actions"].strip(";")]
            self.assertEqual(action["Exec"], "sendorix %F")
            self.assertTrue(action["Name"] and action["Name[ru]"])

            icons = os.path.join(prefix, "share", "icons", "hicolor")
            self.assertTrue(os.path.isfile(os.path.join(icons, "scalable", "apps", "sendorix.svg")))
            for size in ICON_SIZES:
                png = os.path.join(icons, "%dx%d" % (size, size), "apps", "sendorix.png")
                self.assertEqual(png_size(png), (size, size), png)

            # The software centre's description, and the manual pages in both languages.
            share = os.path.join(prefix, "share")
            self.assertTrue(os.path.isfile(os.path.join(share, "metainfo",
                                                        APP_ID + ".metainfo.xml")))
            for page in (("man", "man1", "sendorix.1"), ("man", "ru", "man1", "sendorix.1")):
                self.assertTrue(os.path.isfile(os.path.join(share, *page)), page)


if __name__ == "__main__":
    unittest.main()
