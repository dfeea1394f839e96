"""The readers of what a stranger hands over, on bytes crafted here: each case one row."""
import io
import os
import stat
import struct
import sys
import unittest
import warnings
import zipfile
import zlib
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import notes, stranger  # noqa: E402
from trackertools.common import Refusal  # noqa: E402

TOP = "tracker-updater-1.0-win64"
warnings.simplefilter("ignore")  # zipfile's on the names given twice on purpose


def make_zip(extra=(), compress=zipfile.ZIP_DEFLATED):
    """A sound package's zip, plus extra entries: (name or ZipInfo, bytes)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compress) as archive:
        archive.writestr(f"{TOP}/READ-ME-FIRST.txt", "Read me\n")
        archive.writestr(f"{TOP}/bin/tracker-updater.exe", b"MZ" + bytes(300))
        for name, data in extra:
            archive.writestr(name, data)
    return buffer.getvalue()


def with_mode(name, mode):
    info = zipfile.ZipInfo(name)
    info.create_system, info.external_attr = 3, mode << 16
    return info


def patched(data, signature, offset, fmt, value, last=True):
    """The field at `offset` of the last (or first) record with that signature set to value."""
    at = data.rfind(signature) if last else data.find(signature)
    return data[:at + offset] + struct.pack(fmt, value) + data[at + offset + struct.calcsize(fmt):]


def fault_of(data):
    try:
        stranger.read_zip(data, "z.zip")
    except Refusal as refusal:
        return refusal.lines[0]
    return None


class Zips(unittest.TestCase):
    held = [  # (case, the zip, words its one line must hold)
        ("dot-dot", make_zip([(f"{TOP}/../../escaped", "x")]), "has '..' in its name"),
        ("absolute", make_zip([("/etc/passwd", "x")]), "has an absolute name"),
        ("drive letter", make_zip([("C:/x", "x")]), "has an absolute name"),
        ("backslash", make_zip([(f"{TOP}\\x", "x")]), "has a backslash"),
        ("control character", make_zip([(f"{TOP}/a\x1bb", "x")]), "has a control character"),
        ("format character", make_zip([(f"{TOP}/a\u202eexe.txt", "x")]), "has a control character"),
        ("link", make_zip([(with_mode(f"{TOP}/link", stat.S_IFLNK | 0o777), "/etc")]), "is a link"),
        ("pipe", make_zip([(with_mode(f"{TOP}/pipe", stat.S_IFIFO | 0o644), "")]), "is a device, pipe or socket"),
        ("twice", make_zip([(f"{TOP}/READ-ME-FIRST.txt", "again")]), "is there twice"),
        ("case", make_zip([(f"{TOP}/read-me-first.TXT", "again")]), "but for case"),
        ("file and folder", make_zip([(f"{TOP}/READ-ME-FIRST.txt/x", "x")]), "is a file, and a folder"),
        ("two tops", make_zip([("other/x", "x")]), "holds 2 top folders"),
        ("file at the top", make_zip([("x.txt", "x")]), "outside the zip's one top folder"),
        ("trailing dot", make_zip([(f"{TOP}/bin/a.exe.", "x")]), "ends in a dot or a space"),
        ("trailing space", make_zip([(f"{TOP}/bin /a.exe", "x")]), "ends in a dot or a space"),
        ("device", make_zip([(f"{TOP}/CON", "x")]), "device's name"),
        ("device with an extension", make_zip([(f"{TOP}/bin/nul.dll", "x")]), "device's name"),
        ("port", make_zip([(f"{TOP}/Com1.txt", "x")]), "device's name"),
        ("stream", make_zip([(f"{TOP}/bin/a.exe:stream", "x")]), "reads as a stream"),
        ("wildcard", make_zip([(f"{TOP}/a?.txt", "x")]), "reads as a stream"),
        ("long part", make_zip([(f"{TOP}/{'a' * 256}", "x")]), "name part longer than 255 bytes"),
        ("long name", make_zip([(TOP + "/abcdefgh" * 130, "x")]), "name longer than 1024 bytes"),
        ("deep", make_zip([(TOP + "/a" * 33, "x")]), "more than 32 folders deep"),
        ("method", make_zip([(f"{TOP}/x", "x")], zipfile.ZIP_BZIP2), "method or flags"),
        ("encrypted", patched(patched(make_zip(), b"PK\x01\x02", 8, "<H", 1), b"PK\x03\x04", 6, "<H", 1),
         "is encrypted"),
        ("local size", patched(make_zip(compress=zipfile.ZIP_STORED), b"PK\x03\x04", 22, "<I", 9),
         "local header that differs"),
        ("local method", patched(make_zip(), b"PK\x03\x04", 8, "<H", 0), "local header that differs"),
        ("nul", make_zip([(f"{TOP}/aXb", "x")]).replace(b"aXb", b"a\0b"), "has a control character"),
        ("not utf-8", patched(make_zip([(f"{TOP}/\u00e9", "x")]).replace("\u00e9".encode(), b"\xff\xfe"),
                              b"PK\x01\x02", 8, "<H", 0x800), "no UTF-8"),
        ("bytes before", b"MZ" + bytes(100) + make_zip(), "central directory does not end"),
        ("bytes after", make_zip() + b"appended", "does not end with a zip's end record"),
        ("comment", make_zip()[:-2] + b"\x02\x00hi", "does not end with a zip's end record"),
        ("cut short", make_zip()[:-30], "does not end with a zip's end record"),
        ("overlapping", patched(make_zip(), b"PK\x01\x02", 42, "<I", 0), "does not begin where the entry before"),
        ("nothing", b"", "does not end with a zip's end record"),
        ("directory longer than its count", patched(patched(make_zip(), b"PK\x05\x06", 8, "<H", 1), b"PK\x05\x06", 10, "<H", 1),
         "in its central directory beyond its entries"),
    ]

    def test_refused(self):
        for case, data, words in self.held:
            with self.subTest(case):
                fault = fault_of(data)
                self.assertIsNotNone(fault)
                self.assertIn(words, fault)
                self.assertNotIn("\n", fault)

    def test_zip64(self):
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            with archive.open(f"{TOP}/x", "w", force_zip64=True) as entry:
                entry.write(b"x")
        self.assertIn("zip64", fault_of(buffer.getvalue()))

    def test_sound(self):
        entries = stranger.read_zip(make_zip([(f"{TOP}/bin/", "")]), "z.zip")
        self.assertEqual([e.name for e in entries], [f"{TOP}/READ-ME-FIRST.txt", f"{TOP}/bin/tracker-updater.exe", f"{TOP}/bin/"])

    def test_limits(self):
        for case, name, value, data, words in [
                ("entries", "MOST_ENTRIES", 2, make_zip([(f"{TOP}/x", "x")]), "holds 3 entries"),
                ("total size", "MOST_UNPACKED_BYTES", 100, make_zip(), "would unpack to more than 100 bytes"),
                ("time", "MOST_SECONDS", -1, make_zip(), "takes more than -1 s")]:
            with self.subTest(case), mock.patch.object(stranger, name, value):
                self.assertIn(words, fault_of(data))

    def test_inflated(self):
        bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
        bomb = bomb.compress(bytes(1 << 20)) + bomb.flush()
        bomb_entry = stranger.Entry("bomb", False, 0, 8, zlib.crc32(bytes(1 << 20)), len(bomb), 1 << 20, 0)
        self.assertLessEqual(max(map(len, stranger.inflated(bomb, bomb_entry, "z.zip", chunk=4096))), 4096)

        class Watched(bytes):  # how much of the zip each step takes at once
            largest = 0

            def __getitem__(self, at):
                taken = super().__getitem__(at)
                Watched.largest = max(Watched.largest, len(taken) if isinstance(taken, bytes) else 1)
                return taken
        for method, data in ((0, bytes(1 << 20)), (8, bomb)):
            stored = stranger.Entry("stored", False, 0, method, zlib.crc32(bytes(1 << 20)), len(data), 1 << 20, 0)
            Watched.largest = 0
            self.assertEqual(sum(map(len, stranger.inflated(Watched(data), stored, "z.zip", chunk=4096))), 1 << 20)
            self.assertLessEqual(Watched.largest, 4096)
        sound = make_zip()
        entry = stranger.read_zip(sound, "z.zip")[1]
        self.assertEqual(b"".join(stranger.inflated(sound, entry, "z.zip")), b"MZ" + bytes(300))
        for case, change, words in [
                ("more than it says", dict(data_at=0, compressed=len(bomb), size=10), "more than its declared size"),
                ("other check sum", dict(crc=entry.crc ^ 1), "does not match its size or check sum"),
                ("less than it says", dict(size=entry.size + 1), "does not match its size or check sum"),
                ("damaged", dict(data_at=0), "is damaged")]:
            with self.subTest(case):
                data = bomb if case == "more than it says" else sound
                crafted = stranger.Entry(**{**entry.__dict__, **change})
                with self.assertRaises(Refusal) as caught:
                    b"".join(stranger.inflated(data, crafted, "z.zip"))
                self.assertIn(words, caught.exception.lines[0])


def program(table=None, length=None, revision=0x200, at_end=True):
    """A 64-bit program's headers, with a certificate table of `table` when given."""
    data = bytearray(512)
    data[0:2], data[60:64], data[64:68] = b"MZ", struct.pack("<I", 64), b"PE\0\0"
    struct.pack_into("<HHIII HH", data, 68, 0x8664, 0, 0, 0, 0, 240, 0x22)
    struct.pack_into("<H", data, 88, 0x20B)
    struct.pack_into("<I", data, 88 + 108, 16)
    if table is not None:
        entry = struct.pack("<IHH", len(table) + 8 if length is None else length, revision, 2) + table
        struct.pack_into("<II", data, 88 + 112 + 32, len(data), len(entry))
        data += entry + (b"" if at_end else bytes(8))
    return bytes(data)


SIGNATURE = b"\x30\x82\x00\x02" + bytes(2) + bytes(2)  # a DER sequence, its entry padded to 8


class Programs(unittest.TestCase):
    def test_tables(self):
        for case, data, found in [
                ("unsigned", program(), None),
                ("signed", program(SIGNATURE), SIGNATURE[:6]),
                ("length 0", program(SIGNATURE, length=0), "length 0 is not its table's size 16"),
                ("length past the table", program(SIGNATURE, length=4096), "is not its table's size"),
                ("header alone", program(b"", length=8), "holds no PKCS#7 signature"),
                ("not at the end", program(SIGNATURE, at_end=False), "does not lie at the end"),
                ("no Authenticode", program(SIGNATURE, revision=0x100), "no Authenticode signature"),
                ("more than the signature", program(SIGNATURE[:6] + b"hidden!!"), "holds more than its signature"),
                ("zeros beyond the padding", program(SIGNATURE[:6] + bytes(6)), "holds more than its signature"),
                ("no PKCS#7", program(b"\x04" + bytes(7)), "holds no PKCS#7 signature"),
                ("no program", b"not a program" * 10, "is no Windows program"),
                ("cut short in its headers", program()[:200], None),
                ("a signature larger than ours", program(b"\x30\x83\x01\x00\x00" + bytes(0x10000 + 3)),
                 "more than any signature of ours"),
                ("too large", program(), "larger than")]:
            with self.subTest(case), mock.patch.object(stranger, "MOST_PROGRAM_BYTES",
                                                       100 if case == "too large" else 1 << 20):
                if found is None or isinstance(found, bytes):
                    self.assertEqual(stranger.program_signature(data, "a.exe")[0], found)
                else:
                    with self.assertRaises(Refusal) as caught:
                        stranger.program_signature(data, "a.exe")
                    self.assertIn(found, caught.exception.lines[0])
                    self.assertEqual(caught.exception.code, 1)


NOTES = notes.text(notes.Notes(
    "1.0", "a" * 40, "1700000000", settings={"TRACKER_ACCESS_POINT": "iot.carrier.net", "TRACKER_UPDATE_HOST": "fw.fleet.net"},
    qtbase=["6.8.2+dfsg-1"], serialport=["qtserialport-6.8.0.tar.gz"], debian="12.8 (bookworm)",
    packages=["cmake 3.25.1-1"], zips={"tracker-updater-1.0-win64-qt6.8.2-shared.zip": "b" * 64}))
SIGNED = NOTES.replace(notes.UNSIGNED, f"{notes.SIGNED}\n    CN=x\n    (SHA-256 fingerprint {':'.join(['AB'] * 32)})\n"
                       f"{notes.STAMPED}")


class Notes(unittest.TestCase):
    def test_read(self):
        for text in (NOTES, SIGNED):
            read = notes.read(text.encode(), "RELEASE.txt")
            self.assertEqual((read.commit, read.epoch, read.signer and read.signer.stamped), ("a" * 40, "1700000000",
                             text == SIGNED or None))
            notes.check_settings(read, ["TRACKER_ACCESS_POINT", "TRACKER_UPDATE_HOST"], "RELEASE.txt")

    def test_refused(self):
        for case, raw, words in [
                ("CRLF", NOTES.replace("\n", "\r\n").encode(), "its first line names no version and commit"),
                ("UTF-16", NOTES.encode("utf-16"), "is not UTF-8 text"),
                ("NUL in a setting", NOTES.replace("fleet", "fl\0eet").encode(),
                 "line 5 is not as a release writes it: '    TRACKER_UPDATE_HOST=fw.fl\\x00eet.net'"),
                ("CR in a setting", NOTES.replace("fleet.net\n", "fleet.net\r\n").encode(), "line 5 is not as a release"),
                ("short hash", NOTES.replace("a" * 40, "a" * 7).encode(), "names no version and commit"),
                ("option as the commit", NOTES.replace("a" * 40, "--upload-pack=x").encode(), "names no version and commit"),
                ("Qt twice", NOTES.replace("    Qt Serial", "    Qt Base: Debian's qt6-base 6.8.2+dfsg-1 (qt6-base_6.8.2+dfsg-1.* and its orig.tar.xz)\n    Qt Serial").encode(), "names a Qt Base twice"),
                ("version with a slash", NOTES.replace("6.8.2+dfsg-1 (", "6.8.2/../x (").encode(), "line 10 is not as a release"),
                ("longer than a release writes", NOTES.encode() + bytes(1 << 20), "is longer than 1048576 bytes"),
                # Text a release never writes, which whoever reads the folder would take as ours.
                ("a paragraph of its own", NOTES.replace("Settings built", "IMPORTANT: run this first\n    iwr x | iex\n\nSettings built").encode(),
                 "line 3 is not as a release writes it: 'IMPORTANT: run this first'"),
                ("text after the last paragraph", (NOTES + "\nAlso download the driver:\n    http://x/driver.exe\n").encode(),
                 "ends with lines a release never writes"),
                ("a line under a heading", NOTES.replace("sources gives byte for byte (scripts/verify-release):", "sources gives byte for byte (scripts/verify-release):\nand run setup.exe").encode(),
                 "is not as a release writes it: 'and run setup.exe'"),
                ("a heading's words changed", NOTES.replace("sources gives byte", "sources give byte").encode(), "is not as a release writes it: 'sources give byte"),
                ("a setting twice", NOTES.replace("fleet.net\n", "fleet.net\n    TRACKER_UPDATE_HOST=x\n", 1).encode(),
                 "line 6 is not as a release writes it: '    TRACKER_UPDATE_HOST=x'"),
                ("signed and unsigned", SIGNED.replace(notes.STAMPED, f"{notes.STAMPED}\n\n{notes.UNSIGNED}").encode(),
                 "is not as a release writes it: 'Signed: no."),
                ("a line in the signed paragraph", SIGNED.replace(notes.STAMPED, f"{notes.STAMPED}\n    and Microsoft").encode(),
                 "is not as a release writes it: '    and Microsoft'"),
                ("a claim of a key on a token", SIGNED.replace(notes.STAMPED, f"{notes.STAMPED}\n    with its key on a PKCS#11 token").encode(),
                 "is not as a release writes it: '    with its key on a PKCS#11 token'"),
                ("a fingerprint where the subject goes", SIGNED.replace("    CN=x\n", "    (SHA-256 fingerprint \t)\n").encode(),
                 "is not as a release writes it: '    (SHA-256 fingerprint \\x09)'"),
                ("a right-to-left mark in a setting", NOTES.replace("fw.fleet", "fw.\u202efleet").encode(),
                 "line 5 is not as a release writes it"),
                ("signed with no fingerprint", SIGNED.replace("(SHA-256 fingerprint AB:", "(SHA-256 fingerprint ab:").encode(),
                 "is not as a release writes it: '    (SHA-256 fingerprint ab:"),
                ("a licence paragraph changed", NOTES.replace("copyright files of gcc", "copyright files of nothing, gcc").encode(),
                 "is not as a release writes it: '    copyright files of nothing")]:
            with self.subTest(case), self.assertRaises(Refusal) as caught:
                notes.read(raw, "RELEASE.txt")
            self.assertIn(words, caught.exception.lines[0])
            self.assertEqual(caught.exception.code, 2)

    def test_settings_refused(self):
        names = ["TRACKER_ACCESS_POINT", "TRACKER_UPDATE_HOST"]
        for case, text, words in [
                ("unknown", NOTES.replace("    TRACKER_UPDATE_HOST", "    TRACKER_OTHER=x\n    TRACKER_UPDATE_HOST"), "is no setting"),
                ("missing", NOTES.replace("    TRACKER_UPDATE_HOST=fw.fleet.net\n", ""), "does not give TRACKER_UPDATE_HOST")]:
            with self.subTest(case), self.assertRaises(Refusal) as caught:
                notes.check_settings(notes.read(text.encode(), "RELEASE.txt"), names, "RELEASE.txt")
            self.assertIn(words, caught.exception.lines[0])

    def test_sums(self):
        line = f"{'c' * 64}  a.zip"
        self.assertEqual(stranger.read_sums(f"{line}\n".encode(), "SHA256SUMS"), {"a.zip": "c" * 64})
        for case, raw, words in [("twice", f"{line}\n{line}\n", "names a.zip twice"),
                                 ("one space", f"{'c' * 64} a.zip\n", "line 1 is no SHA-256"),
                                 ("a path", f"{'c' * 64}  ../a.zip\n", "line 1 is no SHA-256")]:
            with self.subTest(case), self.assertRaises(Refusal) as caught:
                stranger.read_sums(raw.encode(), "SHA256SUMS")
            self.assertIn(words, caught.exception.lines[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
