"""The pins reader and the apt sources reader, on files of their own."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import sources  # noqa: E402
from trackertools.common import Failure  # noqa: E402

A, B, C, D = ("a" * 64, "b" * 64, "c" * 64, "d" * 64)
PINS = f"""# Qt 6.8
{A}  qt6-base_6.8.2+dfsg-1.dsc
{B}  qt6-base_6.8.2+dfsg.orig.tar.xz

{C}  qtserialport-6.8.0.tar.gz
{D}  qt6-base_6.4.2+dfsg-10.dsc
"""


class DebianArchive(unittest.TestCase):
    # The forms the machines' sources files come in: (case, expected, {file: text}).
    cases = [
        ("a plain deb line", "http://a.example/debian", {"plain.list": "deb http://a.example/debian bookworm main\n"}),
        ("a deb line with one bracketed option", "http://b.example/debian",
         {"option.list": "deb [signed-by=/usr/share/keyrings/x.gpg] http://b.example/debian bookworm main\n"}),
        ("a deb line with two options separated by a space", "http://c.example/debian",
         {"options.list": "# deb http://old.example/debian bookworm main\ndeb-src http://src.example/debian bookworm main\n"
          "deb [arch=amd64 signed-by=/usr/share/keyrings/x.gpg] http://c.example/debian bookworm main contrib\n"}),
        ("another suite only", None,
         {"other-suite.list": "deb http://security.example/debian-security bookworm-security main\n"}),
        ("a .sources file that ends without a blank line, then another", "http://d.example/debian",
         {"a-unterminated.sources": "Types: deb\nURIs: https://other.example/repo\nSuites: nodistro\nComponents: main",
          "b-after.sources": "Types: deb\nURIs: http://d.example/debian\nSuites: bookworm bookworm-updates\nComponents: main\n"}),
        ("stanzas with several suites and several URIs", "http://e.example/debian",
         {"several.sources": "Types: deb-src deb\nURIs: http://e.example/debian http://f.example/debian\n"
          "Suites: bookworm-updates\n bookworm\nComponents: main\n\nTypes: deb\nURIs: http://g.example/debian\n"
          "Suites: bookworm\nEnabled: no\n"}),
        ("a disabled stanza", None,
         {"disabled.sources": "Types: deb\nURIs: http://h.example/debian\nSuites: bookworm\nEnabled: no\n"}),
        ("the first file that names it", "http://b.example/debian",
         {"other-suite.list": "deb http://security.example/debian-security bookworm-security main\n",
          "option.list": "deb [signed-by=/k.gpg] http://b.example/debian bookworm main\n",
          "plain.list": "deb http://a.example/debian bookworm main\n"}),
    ]

    def test_archive(self):
        for case, expected, files in self.cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as folder:
                paths = []
                for name, text in files.items():
                    paths.append(os.path.join(folder, name))
                    with open(paths[-1], "w") as file:
                        file.write(text)
                self.assertEqual(sources.debian_archive_in("bookworm", paths), expected)


class PinsFile(unittest.TestCase):
    def test_reading(self):
        pins = sources.Pins(PINS, "pins")
        # (case, call, expected: a value, or the start of the Failure's line)
        cases = [
            ("names of a line", lambda: pins.names("6.8"),
             (["qt6-base_6.8.2+dfsg-1.dsc", "qt6-base_6.8.2+dfsg.orig.tar.xz"], "qtserialport-6.8.0.tar.gz")),
            ("a line without its archive", lambda: pins.names("6.4"), "pins pins no qt6-base source package"),
            ("qt6-base's version", lambda: pins.qtbase_version("6.8"), "6.8.2+dfsg-1"),
            ("the key of pins as the cache names them", lambda: pins.key(["qtserialport-6.8.0.tar.gz"]),
             __import__("hashlib").sha256(f"{C}  qtserialport-6.8.0.tar.gz\n".encode()).hexdigest()[:16]),
            ("a key of a name not pinned", lambda: pins.key(["qtserialport-6.9.0.tar.gz"]), "pins pins no qtserialport"),
            ("a malformed line", lambda: sources.Pins(f"{A} qt6-base_x.dsc\n", "p"), "p: a line that is no SHA-256"),
            ("a name with a slash", lambda: sources.Pins(f"{A}  ../x.dsc\n", "p"), "p: a line that is no SHA-256"),
            ("a version that could name a folder", lambda: sources.Pins(f"{A}  qt6-base_6.8.x/.dsc\n{C}  qtserialport-6.8.0.tar.gz",
                                                                        "p").qtbase_version("6.8"), "p: a line that is no"),
        ]
        for case, call, expected in cases:
            with self.subTest(case):
                if isinstance(expected, str) and not expected[0].isdigit() and " " in expected:
                    with self.assertRaises(Failure) as raised:
                        call()
                    self.assertTrue(raised.exception.lines[0].startswith(expected), raised.exception.lines[0])
                else:
                    self.assertEqual(call(), expected)

    def test_problems(self):
        with tempfile.TemporaryDirectory() as folder:
            pins = sources.Pins(f"{__import__('hashlib').sha256(b'Qt').hexdigest()}  good.tar.gz\n{A}  bad.tar.gz\n{B}  gone.tar.gz\n"
                                f"{C}  link.tar.gz\n", "pins")
            for name in ("good.tar.gz", "bad.tar.gz"):
                with open(os.path.join(folder, name), "wb") as file:
                    file.write(b"Qt")
            os.symlink(os.path.join(folder, "good.tar.gz"), os.path.join(folder, "link.tar.gz"))
            lines = pins.problems(folder, ["good.tar.gz", "bad.tar.gz", "gone.tar.gz", "link.tar.gz", "other.tar.gz"], "F")
            self.assertEqual([line.split(" its SHA-256")[0] for line in lines], [
                "F/bad.tar.gz: not the pinned source:", "F/gone.tar.gz: missing (pinned in pins)",
                "F/link.tar.gz: missing (pinned in pins)", "F/other.tar.gz: is no pinned source"])


if __name__ == "__main__":
    unittest.main()
