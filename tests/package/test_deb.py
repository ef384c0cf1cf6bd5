"""The Debian package built from this checkout: lintian and the software centre's validator find
nothing to report, it holds what it should where it should, and, unpacked into a throwaway root,
the program starts and loads its plugins from there.

Building the package is a whole compile, so this runs only when asked:
    SENDORIX_PACKAGE_TEST=1 ctest -L package        (in the build folder)
and skips when the packaging tools are missing (bash scripts/package.sh installs them)."""
import glob
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from package_support import (APP_ID, ROOT, appstream_problems, cmake_version, missing_tools)

SKIP = 77   # ctest's SKIP_RETURN_CODE for this test


def skip_reason():
    if os.environ.get("SENDORIX_PACKAGE_TEST") != "1":
        return ("builds the whole package; run it with SENDORIX_PACKAGE_TEST=1 ctest -L package")
    missing = missing_tools("dpkg-buildpackage", "dh", "lintian", "appstreamcli",
                            "dpkg-checkbuilddeps")
    if missing:
        return "packaging tools missing: %s (bash scripts/package.sh installs them)" % (
            ", ".join(missing))
    r = subprocess.run(["dpkg-checkbuilddeps"], cwd=ROOT, capture_output=True, text=True)
    if r.returncode != 0:
        return "build dependencies missing: " + r.stderr.strip()
    return None


def dpkg_arch(variable):
    return subprocess.run(["dpkg-architecture", "-q" + variable], capture_output=True,
                          text=True, check=True).stdout.strip()


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=kw.pop("timeout", 600),
                          **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="sendorix-deb-")
        out = os.path.join(cls.tmp.name, "out")
        env = dict(os.environ, SENDORIX_SKIP_DEPS="1")
        r = run(["bash", os.path.join(ROOT, "scripts", "package.sh"), "--out", out,
                 "--no-checks"], env=env, timeout=3600)
        if r.returncode != 0:
            cls.tmp.cleanup()
            raise AssertionError("scripts/package.sh failed:\n" + r.stdout + r.stderr)
        cls.version = cmake_version()
        cls.arch = dpkg_arch("DEB_HOST_ARCH")
        cls.multiarch = dpkg_arch("DEB_HOST_MULTIARCH")
        cls.deb = os.path.join(out, "sendorix_%s_%s.deb" % (cls.version, cls.arch))
        cls.changes = os.path.join(out, "sendorix_%s_%s.changes" % (cls.version, cls.arch))
        # Every path in the package, "/usr/bin/sendorix" style, folders included.
        r = subprocess.run("dpkg-deb --fsys-tarfile '%s' | tar -t" % cls.deb, shell=True,
                           capture_output=True, text=True, check=True)
        cls.files = {p[1:].rstrip("/") for p in r.stdout.splitlines() if p != "./"}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def field(self, name):
        return run(["dpkg-deb", "-f", self.deb, name]).stdout.strip()

    def test_lintian_reports_no_errors_or_warnings(self):
        # The .changes names the program's package and its debug symbols package.
        r = run(["lintian", "--tag-display-limit", "0", "--fail-on", "error,warning",
                 self.changes], timeout=1200)
        problems = [line for line in r.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(problems, [], r.stdout + r.stderr)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)

    def test_installed_description_validates(self):
        root = os.path.join(self.tmp.name, "metainfo")
        os.makedirs(root, exist_ok=True)
        name = "usr/share/metainfo/%s.metainfo.xml" % APP_ID
        subprocess.run("dpkg-deb --fsys-tarfile '%s' | tar -x -C '%s' './%s'"
                       % (self.deb, root, name), shell=True, check=True)
        code, problems, output = appstream_problems(os.path.join(root, name))
        self.assertEqual(problems, [], output)
        self.assertEqual(code, 0, output)

    def test_version_and_dependencies(self):
        self.assertEqual(self.field("Package"), "sendorix")
        self.assertEqual(self.field("Version"), self.version)
        self.assertEqual(self.field("Architecture"), self.arch)
        depends = {d.split()[0] for d in self.field("Depends").split(", ")}
        recommends = self.field("Recommends")
        # Worked out from the links of the program and its plugins.
        for library in ("libc6", "libqt6widgets6", "libqt6sql6", "libqt6core5compat6",
                        "libssl3", "libqt6keychain1"):
            self.assertIn(library, depends)
        # Loaded at run time, which no link shows: the packages that hold those files here.
        loaded = ["/etc/mime.types", "/usr/share/qt6/translations/qtbase_ru.qm"]
        for plugin in ("sqldrivers/libqsqlite.so", "platforms/libqxcb.so"):
            loaded += glob.glob("/usr/lib/%s/qt6/plugins/%s" % (self.multiarch, plugin))
        self.assertEqual(len(loaded), 4, loaded)
        for path in loaded:
            owner = run(["dpkg", "-S", path]).stdout.split(":")[0]
            self.assertIn(owner, depends, path)
        self.assertIn("gnome-keyring", recommends)
        self.assertNotIn("gnome-keyring", depends)

    def test_files_are_in_their_places_and_nothing_else_is(self):
        plugins = "/usr/lib/%s/sendorix" % self.multiarch
        expected = {
            "/usr/bin/sendorix",
            plugins + "/libsendorix_simplemapi.so",
            plugins + "/libsendorix_banner.so",
            "/usr/share/applications/%s.desktop" % APP_ID,
            "/usr/share/metainfo/%s.metainfo.xml" % APP_ID,
            "/usr/share/icons/hicolor/scalable/apps/sendorix.svg",
            "/usr/share/man/man1/sendorix.1.gz",
            "/usr/share/man/ru/man1/sendorix.1.gz",
            "/usr/share/doc/sendorix/copyright",
            "/usr/share/doc/sendorix/changelog.gz",
            "/usr/share/lintian/overrides/sendorix",
        }
        expected |= {"/usr/share/icons/hicolor/%dx%d/apps/sendorix.png" % (s, s)
                     for s in (16, 22, 24, 32, 48, 64, 128, 256)}
        help_dir = os.path.join(ROOT, "help")
        expected |= {"/usr/share/sendorix/help/" + os.path.relpath(f, help_dir)
                     for f in glob.glob(help_dir + "/*.html") + glob.glob(help_dir + "/pictures/*.png")}
        regular = {f for f in self.files
                   if not any(other.startswith(f + "/") for other in self.files)}
        self.assertEqual(sorted(regular - expected), [], "files the package should not hold")
        self.assertEqual(sorted(expected - regular), [], "files the package lacks")

    def test_program_knows_the_install_places(self):
        with open(os.path.join(self.unpacked(), "usr", "bin", "sendorix"), "rb") as f:
            program = f.read()
        # Built in as Qt string literals (UTF-16): where the plugins, the manual and the program
        # itself are installed.
        for place in ("/usr/lib/%s/sendorix" % self.multiarch, "/usr/share/sendorix/help",
                      "/usr/bin"):
            self.assertTrue(place.encode("utf-16-le") + b"\0\0" in program, place)

    def unpacked(self):
        root = os.path.join(self.tmp.name, "root")
        if not os.path.isdir(root):
            subprocess.run(["dpkg", "-x", self.deb, root], check=True, timeout=300)
        return root

    def test_unpacked_program_starts_and_loads_its_plugins_beside_it(self):
        root = self.unpacked()
        program = os.path.join(root, "usr", "bin", "sendorix")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        r = run([program, "--version"], env=env, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("Sendorix 1.") and "(%s)" % self.version in r.stdout,
                        r.stdout)

        home = os.path.join(self.tmp.name, "home")
        os.makedirs(home, exist_ok=True)
        env.update(QT_QPA_PLATFORM="offscreen", HOME=home,
                   XDG_CONFIG_HOME=os.path.join(home, "config"),
                   SENDORIX_INSTANCE=os.path.join(self.tmp.name, "instance"))
        window = subprocess.Popen([program], env=env, cwd=home, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        banner = os.path.join(root, "usr", "lib", self.multiarch, "sendorix",
                              "libsendorix_banner.so")
        try:
            deadline = time.monotonic() + 120
            while True:
                self.assertIsNone(window.poll(), "the program ended")
                with open("/proc/%d/maps" % window.pid) as f:
                    mapped = {line.split()[-1] for line in f if "libsendorix_banner" in line}
                if mapped:
                    break
                self.assertLess(time.monotonic(), deadline, "the banner plugin was never loaded")
                time.sleep(0.2)
            self.assertEqual(mapped, {banner})
        finally:
            # Killed, not closed: the throwaway root gets no settings file.
            window.send_signal(signal.SIGKILL)
            window.wait(60)


if __name__ == "__main__":
    reason = skip_reason()
    if reason:
        print("SKIP: " + reason)
        sys.exit(SKIP)
    unittest.main()
