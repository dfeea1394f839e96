"""Packing's and the release's own readers and checks, on files of their own."""
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import common, packing, release, signing  # noqa: E402
from trackertools.common import Failure, Refusal  # noqa: E402


def tiny_program(tail=b""):
    """The tiny program signing tries its key on: headers of a 64-bit console program with
    no sections, then what a linker may add."""
    with tempfile.TemporaryDirectory() as folder:
        signing.make_tiny_program(f"{folder}/tiny.exe", tail)
        with open(f"{folder}/tiny.exe", "rb") as file:
            return file.read()


def signed(program):
    """The program as signing leaves it: padded to 8 bytes, a certificate table after it,
    the header's entry naming the table, another check sum."""
    padded = program + bytes(-len(program) % 8)
    table = struct.pack("<IHH", 16, 0x200, 2) + b"signatur"
    data = bytearray(padded + table)
    struct.pack_into("<II", data, 88 + 112 + 32, len(padded), len(table))
    struct.pack_into("<I", data, 88 + 64, 0x5678)
    return bytes(data)


class Placeholders(unittest.TestCase):
    cases = [("apn.carrier.example", True), ("updates.tracker.example", True), ("fw.example.com", True),
             ("example.org", True), ("iot.test", True), ("FW.EXAMPLE.NET.", True), ("localhost", True), ("", True),
             ("iot.example-carrier.net", False), ("fw.example-fleet.org", False), ("examples.com", False),
             ("example.com.au", False)]

    def test_names(self):
        for name, placeholder in self.cases:
            with self.subTest(name):
                self.assertEqual(common.is_placeholder_name(name), placeholder)


class Programs(unittest.TestCase):
    def unsigned(self, data):
        with tempfile.NamedTemporaryFile() as file:
            file.write(data)
            file.flush()
            packing.unsigned_form(file.name)
            with open(file.name, "rb") as again:
                return again.read()

    def test_signature_taken_off(self):
        # (case, program, its signed copy): each pair the same once the signature is off.
        for case, tail in (("no tail", b""), ("a tail of no multiple of 8", b"tail"), ("a tail of 8", b"8 bytes!")):
            with self.subTest(case):
                program = tiny_program(tail)
                self.assertEqual(self.unsigned(program), self.unsigned(signed(program)))
                self.assertNotEqual(self.unsigned(program), self.unsigned(tiny_program(tail + b"x")))

    def test_not_a_program(self):
        for case, data in (("empty", b""), ("no MZ", b"ZM" + bytes(100)),
                           ("header beyond the file", b"MZ" + bytes(58) + struct.pack("<I", 8000))):
            with self.subTest(case), self.assertRaises(Failure):
                self.unsigned(data)

    def test_first_difference(self):
        # (case, files of one folder, files of the other, the difference told)
        cases = [("the same", {"a": b"1", "bin/b": b"2"}, {"a": b"1", "bin/b": b"2"}, None),
                 ("one file differs", {"a": b"1", "bin/b": b"2"}, {"a": b"1", "bin/b": b"3"}, "bin/b differs"),
                 ("a file in one only", {"a": b"1"}, {"a": b"1", "c": b""}, "c is in one only"),
                 ("the first by name", {"b": b"1", "c": b"1"}, {"b": b"2", "c": b"2"}, "b differs")]
        for case, mine, theirs, told in cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as one, tempfile.TemporaryDirectory() as other:
                for folder, files in ((one, mine), (other, theirs)):
                    for name, data in files.items():
                        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
                        with open(os.path.join(folder, name), "wb") as file:
                            file.write(data)
                self.assertEqual(packing.first_difference(one, other), told)


class Results(unittest.TestCase):
    # QTest's XML log: the results as QTest's own lines show them, set-up and clean-up left out.
    cases = [
        ("passes and a failure", """<?xml version="1.0" encoding="UTF-8"?><TestCase name="WindowsPackageTest">
<TestFunction name="initTestCase"><Incident type="pass" file="" line="0" /></TestFunction>
<TestFunction name="portsAreListed"><Incident type="pass" file="" line="0" /></TestFunction>
<TestFunction name="updateRuns"><Incident type="pass" file="" line="0"><DataTag><![CDATA[good download]]></DataTag></Incident>
<Incident type="fail" file="a.cpp" line="9"><DataTag><![CDATA[German user]]></DataTag><Description>x</Description></Incident>
</TestFunction><TestFunction name="cleanupTestCase"><Incident type="pass" file="" line="0" /></TestFunction></TestCase>""",
         ["PASS   : WindowsPackageTest::portsAreListed()", "PASS   : WindowsPackageTest::updateRuns(good download)",
          "FAIL!  : WindowsPackageTest::updateRuns(German user)"]),
        ("set-up failed", """<TestCase name="WindowsPackageTest"><TestFunction name="initTestCase">
<Incident type="fail" file="a.cpp" line="1"><Description>no wine</Description></Incident></TestFunction></TestCase>""", []),
        ("cut short", """<TestCase name="WindowsPackageTest"><TestFunction name="portsAreListed">""", []),
    ]

    def test_results(self):
        for case, text, lines in self.cases:
            with self.subTest(case), tempfile.NamedTemporaryFile("w") as file:
                file.write(text)
                file.flush()
                self.assertEqual(packing.qtest_results(file.name), lines)
        self.assertEqual(packing.qtest_results("/nonexistent/check.xml"), [])


class ReleaseSettings(unittest.TestCase):
    names = ["TRACKER_ACCESS_POINT", "TRIAL_RELEASE", "SIGNING_PASSWORD_FILE"]

    def test_settings(self):
        # (case, arguments, environment, the settings, or the start of the refusal)
        cases = [("an argument over the environment", ["TRACKER_ACCESS_POINT=b"], {"TRACKER_ACCESS_POINT": "a"},
                  {"TRACKER_ACCESS_POINT": "b"}),
                 ("an empty value", ["TRACKER_ACCESS_POINT="], {}, {"TRACKER_ACCESS_POINT": ""}),
                 ("the password on the command line", ["SIGNING_PASSWORD=x"], {}, "SIGNING_PASSWORD is never given"),
                 ("not a setting", ["--access-point=x"], {}, "--access-point: give the settings as NAME=VALUE"),
                 ("no value", ["TRACKER_ACCESS_POINT"], {}, "TRACKER_ACCESS_POINT: give the settings"),
                 ("another variable of the caller's", ["PATH=/tmp"], {}, "PATH: give the settings"),
                 ("a trial neither 0 nor 1", ["TRIAL_RELEASE=yes"], {}, "TRIAL_RELEASE=yes: 1 for a trial")]
        for case, arguments, environ, expected in cases:
            with self.subTest(case):
                if isinstance(expected, dict):
                    self.assertEqual(release.parse_settings(arguments, environ, self.names), expected)
                else:
                    with self.assertRaises(Refusal) as refused:
                        release.parse_settings(arguments, environ, self.names)
                    self.assertTrue(refused.exception.lines[0].startswith(expected), refused.exception.lines[0])

    def test_only_logs_stay(self):
        """Of a release's working folder once the release is in place: its logs, and its mark."""
        with tempfile.TemporaryDirectory() as folder:
            work = f"{folder}/release.work"
            for name in ("source/scripts", "linux/app", "windows/project-qt6.8.2-shared", "windows/packages"):
                os.makedirs(f"{work}/{name}")
            for name in (release.MARK, "windows/check-qt6.8.2-shared.log", "windows/project-qt6.8.2-shared.log",
                         "windows/registerports.exe", "stray-file"):
                open(f"{work}/{name}", "w").close()
            release.ReleaseFolder(f"{folder}/release").keep_logs_only()
            self.assertEqual(sorted(os.listdir(work)), sorted(["logs", release.MARK]))
            self.assertEqual(sorted(os.listdir(f"{work}/logs")), ["check-qt6.8.2-shared.log", "project-qt6.8.2-shared.log"])


if __name__ == "__main__":
    unittest.main()
