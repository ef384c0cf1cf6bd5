"""The files that describe a release to Debian and to software centres agree with the program
and with each other: one version, one id, texts in both languages, pictures that exist."""
import configparser
import os
import re
import subprocess
import unittest

from package_support import (APP_ID, BUILD, DESKTOP_DIR, METAINFO, PICTURES, ROOT, XML_LANG,
                             appstream_problems, by_language, changelog_entries, cmake_version,
                             control_field, metainfo, metainfo_releases, missing_tools, png_size)

PROGRAM = os.path.join(BUILD, "bin", "sendorix")
MAN_PAGES = (os.path.join(ROOT, "help", "sendorix.1"), os.path.join(ROOT, "help", "sendorix.ru.1"))


class Versions(unittest.TestCase):
    def test_cmake_version_heads_the_changelog_and_the_release_list(self):
        version = cmake_version()
        changelog = changelog_entries()
        releases = metainfo_releases(metainfo())
        self.assertEqual(changelog[0][0], version, "add a debian/changelog entry for " + version)
        self.assertEqual(releases[0][0], version, "add a <release> for " + version)
        # One release per changelog entry, same versions, same days, newest first.
        self.assertEqual(releases, changelog)
        self.assertEqual(releases, sorted(releases, key=lambda r: r[1], reverse=True))


class SoftwareCentre(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = metainfo()
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(os.path.join(DESKTOP_DIR, APP_ID + ".desktop"), encoding="utf-8")
        cls.entry = entry["Desktop Entry"]

    def test_validator_finds_no_errors_or_warnings(self):
        self.assertEqual(missing_tools("appstreamcli"), [], "appstream is not installed")
        code, problems, output = appstream_problems(METAINFO)
        self.assertEqual(problems, [], output)
        self.assertEqual(code, 0, output)

    def test_id_names_the_files_and_matches_the_desktop_entry(self):
        self.assertEqual(self.root.findtext("id"), APP_ID)
        # One desktop entry, named after the id, which the description launches.
        entries = sorted(f for f in os.listdir(DESKTOP_DIR) if f.endswith(".desktop"))
        self.assertEqual(entries, [APP_ID + ".desktop"])
        self.assertEqual(self.root.findtext("launchable[@type='desktop-id']"), entries[0])
        self.assertEqual(self.root.findtext("provides/binary"), self.entry["Exec"].split()[0])
        self.assertEqual(self.root.findtext("name"), self.entry["Name"])
        self.assertEqual([c.text for c in self.root.findall("categories/category")],
                         [c for c in self.entry["Categories"].split(";") if c])

    def test_web_address_is_the_same_everywhere(self):
        homepage = self.root.findtext("url[@type='homepage']")
        self.assertTrue(homepage.startswith("https://") and homepage.endswith("/"), homepage)
        self.assertEqual(control_field("Homepage"), homepage)
        self.assertEqual(control_field("Source", os.path.join(ROOT, "debian", "copyright")),
                         homepage)
        # The address the About page shows.
        with open(os.path.join(ROOT, "app", "MainForm.cpp"), encoding="utf-8") as f:
            self.assertIn('HomePage = QStringLiteral("%s")' % homepage, f.read())

    def test_every_text_is_in_english_and_russian(self):
        summary = by_language(self.root.findall("summary"))
        self.assertEqual(sorted(summary), ["", "ru"])
        description = self.root.find("description")
        for kind in ("p", "ul"):
            texts = by_language(description.findall(kind))
            self.assertEqual(sorted(texts), ["", "ru"], kind)
            self.assertEqual(len(texts[""]), len(texts["ru"]), kind)
        items = [len(ul.findall("li")) for ul in description.findall("ul")]
        self.assertEqual(len(set(items)), 1, "the lists differ in length: %s" % items)
        for shot in self.root.findall("screenshots/screenshot"):
            self.assertEqual(sorted(by_language(shot.findall("caption"))), ["", "ru"])
        for release in self.root.findall("releases/release"):
            self.assertEqual(sorted(by_language(release.findall("description/p"))), ["", "ru"])
        # Cyrillic where Russian is declared (on the text or on its list), none elsewhere.
        parent = {child: e for e in self.root.iter() for child in e}
        cyrillic = re.compile("[а-яё]", re.I)
        for element in self.root.iter():
            if element.tag not in ("p", "li", "summary", "caption"):
                continue
            declared = element.get(XML_LANG) or (element.tag == "li"
                                                 and parent[element].get(XML_LANG))
            text = "".join(element.itertext())
            self.assertEqual(bool(cyrillic.search(text)), declared == "ru", text)

    def test_screenshots_are_the_manuals_pictures_in_both_languages(self):
        homepage = self.root.findtext("url[@type='homepage']")
        shots = self.root.findall("screenshots/screenshot")
        self.assertGreaterEqual(len(shots), 1)
        self.assertEqual([s.get("type") for s in shots].count("default"), 1)
        for shot in shots:
            images = {i.get(XML_LANG, ""): i.text for i in shot.findall("image")}
            self.assertEqual(sorted(images), ["", "ru"])
            sizes = set()
            for language, url in images.items():
                # Published with the manual: <home page>help/pictures/<file in help/pictures>.
                self.assertTrue(url.startswith(homepage + "help/pictures/"), url)
                name = url[len(homepage + "help/pictures/"):]
                self.assertTrue(name.startswith((language or "en") + "-"), url)
                path = os.path.join(PICTURES, name)
                self.assertTrue(os.path.isfile(path), "%s is not in help/pictures" % name)
                sizes.add(png_size(path))
            self.assertEqual(len(sizes), 1, "the languages' pictures differ in size: %s" % images)


class ManualPages(unittest.TestCase):
    def render(self, page):
        self.assertEqual(missing_tools("man"), [], "man-db is not installed")
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
        return subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", page], env=env,
                              capture_output=True, text=True, timeout=60)

    def test_pages_render_without_warnings_and_name_every_option(self):
        r = subprocess.run([PROGRAM, "--help"], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        options = re.findall(r"^ +(?:(-\w), )? *(--[\w-]*)", r.stdout, re.M)
        self.assertGreaterEqual(len(options), 3, r.stdout)
        major, minor = cmake_version().split(".")[:2]
        for page in MAN_PAGES:
            r = self.render(page)
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertEqual(r.stderr, "", page)
            for short, long in options:
                shown = "%s, %s" % (short, long) if short else long
                # A line of its own, or (a short one) followed by its explanation.
                self.assertRegex(r.stdout, r"(?m)^ +%s( {2,}\S|$)" % re.escape(shown), page)
            with open(page, encoding="utf-8") as f:
                self.assertRegex(f.readline(), r'^\.TH SENDORIX 1 ".+" "Sendorix %s\.%s"'
                                 % (major, minor))


if __name__ == "__main__":
    unittest.main()
