"""Readers with limits for what a stranger hands over: RELEASE.txt, SHA256SUMS, zips and
the Windows programs in them. Each field is checked before it is used; each fault is one
line naming the file. Nothing here starts a program, and only unpack writes, below the
new folder it is given."""
import mmap
import os
import re
import stat
import struct
import time
import zlib
from dataclasses import dataclass

from .common import Refusal, shown

COMMIT = re.compile(r"[0-9a-f]{40}")
SHA256 = re.compile(r"[0-9a-f]{64}")
FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+~_-]*")
ZIP_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+_-]*\.zip")
# Debian's version syntax, with no character that could name another folder.
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]*")
PACKAGE = re.compile(r"[a-z0-9][a-z0-9.+-]+")
SETTING = re.compile(r"(TRACKER_[A-Z_]+)=([^\x00-\x1f\x7f]*)")
FINGERPRINT = re.compile(r"(?:[0-9A-F]{2}:){31}[0-9A-F]{2}")

# What no release of ours comes near.
MOST_NOTES_BYTES = 1 << 20
MOST_SUMS_BYTES = 1 << 16
MOST_UNPACKED_BYTES = 2 << 30  # a zip, or a release's zips together
MOST_ENTRIES = 10000
MOST_DEPTH = 32
MOST_PART_BYTES = 255
MOST_NAME_BYTES = 1024
MOST_PROGRAM_BYTES = 64 << 20  # this project's largest, Qt6Core.dll, is under 10 MiB
MOST_PROGRAMS = 100  # in one zip: a release ships a few dozen
MOST_ZIPS = 32  # in a release: one for each Qt and kind
MOST_PACKAGES = 64  # packages RELEASE.txt names as shaping the bytes: a dozen
MOST_SECONDS = 120  # to read one zip, its bytes inflated included

WINDOWS_DEVICES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"} | {
    f"{port}{digit}" for port in ("COM", "LPT") for digit in "123456789\u00b9\u00b2\u00b3"}
WINDOWS_FORBIDDEN = set('<>:"|?*\\')


class Deadline:
    def __init__(self, path, seconds=None):
        self.seconds = MOST_SECONDS if seconds is None else seconds
        self.path, self.end = path, time.monotonic() + self.seconds

    def check(self):
        if time.monotonic() > self.end:
            raise Refusal(f"{self.path}: takes more than {self.seconds} s to read, more than any release", 1)


def windows_name_fault(part):
    """Why Windows would not take the name part as a file of its own, or None."""
    if part[-1] in ". ":
        return "ends in a dot or a space, which Windows drops"
    if WINDOWS_FORBIDDEN & set(part):
        return "holds a character Windows refuses in a name or reads as a stream (<>:\"|?*\\)"
    if part.split(".")[0].rstrip(" ").upper() in WINDOWS_DEVICES:
        return "is a device's name on Windows"
    return None


def name_fault(name):
    """What is wrong with a zip entry's name, or None: every part a plain file name that
    Windows, where the zip is unpacked, takes as one file of its own."""
    if "\0" in name or not all(c.isprintable() for c in name):
        return "has a control character in its name"
    if "\\" in name:
        return "has a backslash in its name"
    if name.startswith("/") or re.match(r"[A-Za-z]:", name):
        return "has an absolute name"
    if len(name.encode()) > MOST_NAME_BYTES:
        return f"has a name longer than {MOST_NAME_BYTES} bytes"
    parts = name.rstrip("/").split("/")
    if ".." in parts:
        return "has '..' in its name"
    if any(part in ("", ".") for part in parts):
        return "has an empty or '.' part in its name"
    if len(parts) > MOST_DEPTH:
        return f"lies more than {MOST_DEPTH} folders deep"
    for part in parts:
        if len(part.encode()) > MOST_PART_BYTES:
            return f"has a name part longer than {MOST_PART_BYTES} bytes"
        fault = windows_name_fault(part)
        if fault:
            return f"has a part '{shown(part, 40)}' that {fault}"
    return None


# Release notes, sums and pins.

TRIAL = "A TRIAL, NOT FOR PUBLISHING: made with TRIAL_RELEASE=1, which lets placeholder names through."
SIGNED = "Signed: every program and DLL, with SHA-256, by the certificate of"
UNSIGNED = "Signed: no. Windows may warn before it starts the programs."
# Paragraphs a release writes word for word: heading -> the lines after it.
FIXED = {
    "Licence texts in the zips: Qt's from the sources above, the MinGW runtime's from the":
        ["    copyright files of gcc-mingw-w64-base and mingw-w64-x86-64-dev."],
    "Every zip here passed every check under wine. Publish this folder as it is: the":
        ["zips, SHA256SUMS over them, SOURCES/ and this file. The zips carry Qt's DLLs beside",
         "the programs, so a user can replace them with a Qt of their own, as Qt's LGPL asks;",
         "SOURCES/ is the source of that Qt, which the LGPL asks to be offered with them."],
}
# What the signed paragraph says after the certificate's subject, each at most once.
SIGNED_LINES = [r"    \(SHA-256 fingerprint (?P<fingerprint>.*)\)",
                r"    with its key on a PKCS#11 token, which the key never leaves",
                r"    with its key in a PKCS#12 file",
                r"    its chain reaching a root in the trust store of the machine that made the release",
                r"    its chain reaching no root in the trust store of the machine that made the release:",
                r"    signed by a certificate that Windows does not trust by default",
                r"    time-stamped by https?://[!-~]+",
                r"    with no time stamp: the signatures count only while the certificate is valid"]
ZIPS = ["The zips before signing, which a rebuild of this commit with these settings and",
        "sources gives byte for byte (scripts/verify-release):"]


def paragraphs(lines):
    """(number of its first line, its lines) for each paragraph after the first line."""
    found, current = [], None
    for number, line in enumerate(lines[1:], start=2):
        if line == "":
            current = None
        elif current is None or line in FIXED:  # the licence paragraph follows the packages' at once
            current = (number, [line])
            found.append(current)
        else:
            current[1].append(line)
    return found


def read_notes(raw, path):
    """RELEASE.txt's records as a dictionary of lists. Only what a release writes is taken:
    a paragraph it never writes, a line it would not write there, or a paragraph given
    twice is refused (its words reach whoever reads the folder)."""
    if len(raw) > MOST_NOTES_BYTES:
        raise Refusal(f"{path}: is longer than {MOST_NOTES_BYTES} bytes, more than any release writes")
    try:
        lines = raw.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        raise Refusal(f"{path}: is not UTF-8 text")
    notes = {key: [] for key in ("commit", "epoch", "setting", "qtbase", "serialport", "debian",
                                 "package", "signed", "fingerprint", "subject", "zip")}
    first = re.fullmatch(r"tracker-updater [^ ,]+, commit (.*)", lines[0])
    if first and COMMIT.fullmatch(first.group(1)):
        notes["commit"].append(first.group(1))
    given = set()
    for at, body in paragraphs(lines):
        heading, rest = body[0], body[1:]

        def malformed(offset):
            return Refusal(f"{path}: line {at + offset} is malformed: '{shown(body[offset], 80)}'")
        epoch = re.fullmatch(r"Time stamps of the builds: SOURCE_DATE_EPOCH=(.*)", heading)
        debian = re.fullmatch(r"Built on Debian ([0-9][0-9.]*) \(([a-z]+)\), with these packages, which shape the bytes:", heading)
        kind = ("epoch" if epoch else "debian" if debian else "signed" if heading in (SIGNED, UNSIGNED)
                else heading)
        if at == 2 and heading == TRIAL and not rest:
            continue
        if kind in given:
            raise Refusal(f"{path}: line {at} begins a second '{shown(heading, 60)}'")
        given.add(kind)
        if heading in FIXED:
            expected = FIXED[heading]
            for offset in range(1, max(len(rest), len(expected)) + 1):
                if offset > min(len(rest), len(expected)) or rest[offset - 1] != expected[offset - 1]:
                    raise malformed(min(offset, len(rest)))
        elif heading == "Settings built into the programs:":
            for offset, line in enumerate(rest, start=1):
                if not line.startswith("    ") or not SETTING.fullmatch(line[4:]):
                    raise malformed(offset)
                notes["setting"].append(line[4:])
        elif epoch:
            if not re.fullmatch(r"[0-9]{1,12}", epoch.group(1)):
                raise malformed(0)
            if rest:
                raise malformed(1)
            notes["epoch"].append(epoch.group(1))
        elif heading == "Built with Qt from these sources (in SOURCES/), as the commit pins them:":
            for offset, line in enumerate(rest, start=1):
                qtbase = re.fullmatch(r"    Qt Base: Debian's qt6-base (\S+) \(qt6-base_(\S+)\.\* and its orig\.tar\.xz\)", line)
                serialport = re.fullmatch(r"    Qt Serial Port: (\S+)", line)
                if qtbase and DEBIAN_VERSION.fullmatch(qtbase.group(1)) and qtbase.group(2) == qtbase.group(1):
                    notes["qtbase"].append(qtbase.group(1))
                elif serialport and FILE_NAME.fullmatch(serialport.group(1)):
                    notes["serialport"].append(serialport.group(1))
                else:
                    raise malformed(offset)
        elif debian:
            notes["debian"].append(f"{debian.group(1)} {debian.group(2)}")
            for offset, line in enumerate(rest, start=1):
                package = line[4:].split(" ")
                if (not line.startswith("    ") or len(package) != 2 or not PACKAGE.fullmatch(package[0])
                        or not DEBIAN_VERSION.fullmatch(package[1])):
                    raise malformed(offset)
                notes["package"].append(line[4:])
        elif heading == UNSIGNED:
            if rest:
                raise malformed(1)
            notes["signed"].append("no")
        elif heading == SIGNED:
            notes["signed"].append("yes")
            subject = rest[0][4:] if rest and rest[0].startswith("    ") else ""
            if not subject or subject[0] == " " or not subject.isprintable():
                raise malformed(1 if rest else 0)
            notes["subject"].append(subject)
            said = set()
            for offset, line in enumerate(rest[1:], start=2):
                known = [index for index, pattern in enumerate(SIGNED_LINES) if re.fullmatch(pattern, line)]
                if not known or known[0] in said:
                    raise malformed(offset)
                said.add(known[0])
                fingerprint = re.fullmatch(SIGNED_LINES[0], line)
                if fingerprint:
                    if not FINGERPRINT.fullmatch(fingerprint.group("fingerprint")):
                        raise malformed(offset)
                    notes["fingerprint"].append(fingerprint.group("fingerprint"))
        elif heading == ZIPS[0]:
            if not rest or rest[0] != ZIPS[1]:
                raise malformed(1 if rest else 0)
            for offset, line in enumerate(rest[1:], start=2):
                parts = line[4:].split("  ")
                if (not line.startswith("    ") or len(parts) != 2 or not SHA256.fullmatch(parts[0])
                        or not ZIP_NAME.fullmatch(parts[1])):
                    raise malformed(offset)
                notes["zip"].append(line[4:])
        else:
            raise Refusal(f"{path}: line {at} is no part of the notes a release writes: '{shown(heading, 80)}'")
    names = [entry.split("  ")[1] for entry in notes["zip"]]
    if (len(notes["commit"]) != 1 or len(notes["epoch"]) != 1 or not names or len(notes["signed"]) != 1
            or not notes["qtbase"]):
        raise Refusal(f"{path} names no commit, SOURCE_DATE_EPOCH, Qt sources, signature or zips "
                      "before signing: it is no release this tool can check")
    if len(set(names)) != len(names):
        raise Refusal(f"{path}: names a zip twice")
    if len(names) > MOST_ZIPS:
        raise Refusal(f"{path}: names {len(names)} zips, more than any release makes (at most {MOST_ZIPS})")
    packages = [line.split(" ")[0] for line in notes["package"]]
    if len(packages) > MOST_PACKAGES:
        raise Refusal(f"{path}: names {len(packages)} packages, more than any release records (at most {MOST_PACKAGES})")
    if len(set(packages)) != len(packages):
        raise Refusal(f"{path}: names a package twice")
    if len(set(notes["qtbase"])) != len(notes["qtbase"]):
        raise Refusal(f"{path}: names a Qt Base twice")
    if notes["signed"] == ["yes"] and len(notes["fingerprint"]) != 1:
        raise Refusal(f"{path}: says the programs are signed, but gives no certificate's fingerprint")
    return notes


def read_settings(notes, names, path):
    """The settings RELEASE.txt gives, each of `names` exactly once and no other."""
    given = {}
    for line in notes["setting"]:
        name, _, value = line.partition("=")
        if name not in names:
            raise Refusal(f"{path} gives {name}, which is no setting of the programs")
        if name in given:
            raise Refusal(f"{path} gives {name} more than once")
        given[name] = value
    for name in names:
        if name not in given:
            raise Refusal(f"{path} does not give {name}")
    return given


def read_sums(raw, path):
    if len(raw) > MOST_SUMS_BYTES:
        raise Refusal(f"{path}: is longer than {MOST_SUMS_BYTES} bytes, more than any release writes", 1)
    sums = {}
    for number, line in enumerate(raw.split(b"\n"), start=1):
        if line == b"" and number > 1:
            continue
        match = re.fullmatch(rb"([0-9a-f]{64})  ([A-Za-z0-9][A-Za-z0-9.+_-]*\.zip)", line)
        if not match:
            raise Refusal(f"{path}: line {number} is no SHA-256 and zip name", 1)
        name = match.group(2).decode()
        if name in sums:
            raise Refusal(f"{path}: names {name} twice", 1)
        sums[name] = match.group(1).decode()
    return sums


def read_pins(text, path):
    pins = {}
    for line in text.split("\n"):
        if line == "" or line.startswith("#"):
            continue
        parts = line.split("  ")
        if len(parts) != 2 or not SHA256.fullmatch(parts[0]) or not FILE_NAME.fullmatch(parts[1]):
            raise Refusal(f"{path}: a line that is no SHA-256 and file name: '{shown(line, 80)}'")
        pins[parts[1]] = parts[0]
    return pins


def pinned_sources(notes, pins, path):
    """The files SOURCES/ must hold, those the commit pins for each Qt RELEASE.txt names;
    and the faults of the notes against the pins."""
    wanted, faults = {}, []
    for version in notes["qtbase"]:
        line = ".".join(version.split(":")[-1].split(".")[:2])
        if f"qt6-base_{version}.dsc" not in pins:
            faults.append(f"{path}: names qt6-base {version}, which the commit does not pin")
            continue
        wanted.update((name, pin) for name, pin in pins.items() if name.startswith(f"qt6-base_{line}.")
                      or re.fullmatch(rf"qtserialport-{re.escape(line)}\.[0-9]+\.tar\.gz", name))
    for archive in notes["serialport"]:
        if archive not in wanted:
            faults.append(f"{path}: names Qt Serial Port {archive}, which the commit does not pin for its Qt")
    return wanted, faults


# Zips: read from the central directory, each entry's local header checked against it,
# with nothing between, before or after the entries but the directory and its end.

@dataclass
class Entry:
    name: str
    is_folder: bool
    mode: int
    method: int
    crc: int
    compressed: int
    size: int
    data_at: int  # where its compressed bytes start


CENTRAL = struct.Struct("<4s6H3I5H2I")
LOCAL = struct.Struct("<4s5H3I2H")
END = struct.Struct("<4s4H2IH")


def zip64_extra(extra):
    """Whether an extra field holds zip64 sizes, or records that do not fill it."""
    at = 0
    while at + 4 <= len(extra):
        kind, size = struct.unpack_from("<2H", extra, at)
        if kind == 0x0001:
            return True
        at += 4 + size
    return at != len(extra)  # records that do not fill it: nothing a packer writes


def read_zip(data, path, deadline=None):
    """The zip's entries, in the central directory's order; Refusal (exit 1) with one
    line naming the first fault: the zip and its entry, and what is wrong."""
    deadline = deadline or Deadline(path)

    def fault(text, name=None):
        where = f"{path}: entry '{shown(name, 120)}' " if name is not None else f"{path}: "
        return Refusal(where + text, 1)
    end_at = len(data) - END.size
    if end_at < 0 or data[end_at:end_at + 4] != b"PK\x05\x06":
        # A comment would move the end's record; a release's zips have none.
        raise fault("is no zip that can be read: it does not end with a zip's end record, "
                    "or has bytes or a comment after it")
    _, disk, cd_disk, on_disk, count, cd_size, cd_at, comment = END.unpack_from(data, end_at)
    if disk or cd_disk or on_disk != count or comment:
        raise fault("is no zip that can be read: it spans disks or has a comment")
    if 0xFFFF in (count,) or 0xFFFFFFFF in (cd_size, cd_at) or data[max(0, end_at - 20):end_at].startswith(b"PK\x06\x07"):
        raise fault("is a zip64 zip, which no release's zip is")
    if count > MOST_ENTRIES:
        raise fault(f"holds {count} entries, more than the {MOST_ENTRIES} any package holds")
    if cd_at + cd_size != end_at:
        raise fault("is no zip that can be read: its central directory does not end where its end record begins")
    entries, at, expected_data_end = [], cd_at, 0
    seen, keys, files, folders, tops, total = set(), set(), {}, set(), set(), 0
    for _ in range(count):
        deadline.check()
        if at + CENTRAL.size > end_at or data[at:at + 4] != b"PK\x01\x02":
            raise fault("is no zip that can be read: its central directory is cut short")
        (_, made_by, _, flags, method, mtime, mdate, crc, compressed, size, name_length, extra_length,
         comment_length, _, _, external, local_at) = CENTRAL.unpack_from(data, at)
        record_end = at + CENTRAL.size + name_length + extra_length + comment_length
        if record_end > end_at:
            raise fault("is no zip that can be read: its central directory is cut short")
        raw_name = bytes(data[at + CENTRAL.size:at + CENTRAL.size + name_length])
        at = record_end
        try:
            name = raw_name.decode("utf-8" if flags & 0x800 else "ascii")
        except UnicodeDecodeError:
            raise fault("has a name that is no UTF-8 text" if flags & 0x800 else
                        "has a name that is not ASCII and not flagged as UTF-8", shown(raw_name))
        problem = name_fault(name)
        if problem:
            raise fault(problem, name)
        is_folder = name.endswith("/")
        key = name.rstrip("/").casefold()
        if name in seen:
            raise fault("is there twice", name)
        if key in keys:
            raise fault("is another entry's name but for case or a final '/'", name)
        seen.add(name)
        keys.add(key)
        mode = external >> 16 if made_by >> 8 == 3 else 0
        kind = stat.S_IFMT(mode)
        if kind == stat.S_IFLNK:
            raise fault("is a link or a device, not a file or a folder", name)
        if kind not in (0, stat.S_IFREG, stat.S_IFDIR):
            raise fault("is a device, pipe or socket, not a file or a folder", name)
        if kind and (kind == stat.S_IFDIR) != is_folder:
            raise fault("is a folder whose name does not end in '/', or a file whose name does", name)
        if flags & 0x41:
            raise fault("is encrypted", name)
        if method not in (0, 8) or flags & ~0x80E:
            raise fault("is compressed with a method or flags a package never uses", name)
        if compressed == 0xFFFFFFFF or size == 0xFFFFFFFF or local_at == 0xFFFFFFFF:
            raise fault("has zip64 sizes, which no release's zip has", name)
        if is_folder and (size or compressed > 2):
            raise fault("is a folder that holds bytes", name)
        # The entries lie one after another from the start, so none overlaps another
        # and no byte is hidden before or between them.
        if local_at != expected_data_end:
            raise fault("does not begin where the entry before it ends: bytes before, between or "
                        "over the entries", name)
        if local_at + LOCAL.size > cd_at or data[local_at:local_at + 4] != b"PK\x03\x04":
            raise fault("has no local header where the central directory says", name)
        (_, _, local_flags, local_method, local_time, local_date, local_crc, local_compressed, local_size,
         local_name_length, local_extra_length) = LOCAL.unpack_from(data, local_at)
        data_at = local_at + LOCAL.size + local_name_length + local_extra_length
        for extra in (data[at - comment_length - extra_length:at - comment_length],
                      data[data_at - local_extra_length:data_at]):
            if zip64_extra(extra):
                raise fault("has zip64 sizes or a malformed extra field, which no release's zip has", name)
        described = flags & 0x8
        if (local_flags != flags or local_method != method or (local_time, local_date) != (mtime, mdate)
                or bytes(data[local_at + LOCAL.size:local_at + LOCAL.size + local_name_length]) != raw_name
                or (not described and (local_crc, local_compressed, local_size) != (crc, compressed, size))
                or (described and (local_crc, local_compressed, local_size) not in ((0, 0, 0), (crc, compressed, size)))):
            raise fault("has a local header that differs from the central directory", name)
        data_end = data_at + compressed
        if described:
            # Its sizes after its bytes, with or without the optional signature.
            tail = struct.pack("<3I", crc, compressed, size)
            if bytes(data[data_end:data_end + 16]) == b"PK\x07\x08" + tail:
                data_end += 16
            elif bytes(data[data_end:data_end + 12]) == tail:
                data_end += 12
            else:
                raise fault("has a data descriptor that differs from the central directory", name)
        if data_end > cd_at:
            raise fault("has bytes that run into the central directory", name)
        expected_data_end = data_end
        if method == 0 and compressed != size:
            raise fault("is stored with a size that differs from its stored bytes", name)
        total += size
        if total > MOST_UNPACKED_BYTES:
            raise fault(f"would unpack to more than {MOST_UNPACKED_BYTES} bytes, more than any package")
        parts = name.rstrip("/").split("/")
        tops.add(parts[0])
        if len(parts) == 1 and not is_folder:
            raise fault("lies outside the zip's one top folder", name)
        if is_folder:
            folders.add(key)
        else:
            files[key] = name
        # Every folder above it: bounded by the depth, so no name costs more than that.
        folders.update("/".join(parts[:end]).casefold() for end in range(1, len(parts)))
        entries.append(Entry(name, is_folder, mode, method, crc, compressed, size, data_at))
    if at != end_at:
        raise fault("has bytes in its central directory beyond its entries")
    if expected_data_end != cd_at:
        raise fault("has bytes between its last entry and its central directory")
    both = sorted(files.keys() & folders)
    if both:
        raise fault("is a file, and a folder of other entries", files[both[0]])
    if len(tops) > 1:
        raise fault(f"holds {len(tops)} top folders, not one: {shown(', '.join(sorted(tops)))}")
    return entries


def inflated(data, entry, path, deadline=None, chunk=1 << 20):
    """The entry's bytes, in pieces of at most `chunk`: exactly its size, its CRC checked,
    within the time. A bomb costs time, never memory."""
    deadline = deadline or Deadline(path)
    raw = data[entry.data_at:entry.data_at + entry.compressed]
    inflater = zlib.decompressobj(-15) if entry.method == 8 else None
    crc, produced = 0, 0

    def fault(text):
        return Refusal(f"{path}: entry '{shown(entry.name, 120)}' {text}", 1)

    def pieces():
        for at in range(0, len(raw), chunk):
            given = bytes(raw[at:at + chunk])
            if not inflater:
                yield given
                continue
            while given:
                deadline.check()
                try:
                    yield inflater.decompress(given, chunk)
                except zlib.error as error:
                    raise fault(f"is damaged: {error}")
                given = inflater.unconsumed_tail
        while inflater and not inflater.eof:  # what it holds back once its input is all given
            piece = inflater.decompress(b"", chunk)
            if not piece:
                break
            yield piece
    for piece in pieces():
        deadline.check()
        produced += len(piece)
        if produced > entry.size:
            raise fault("inflates to more than its declared size")
        crc = zlib.crc32(piece, crc)
        yield piece
    if inflater and (not inflater.eof or inflater.unused_data):
        raise fault("is damaged: its compressed stream does not end with its bytes")
    if produced != entry.size or crc != entry.crc:
        raise fault("does not match its size or check sum")


def mapped(path):
    """The file's bytes, mapped rather than read: a large zip costs no memory of ours."""
    with open(path, "rb") as file:
        return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if os.fstat(file.fileno()).st_size else b""


def unpack(data, entries, path, folder):
    """Entries read_zip passed, written below `folder`, each file new (never through a link)."""
    deadline = Deadline(path)
    for entry in entries:
        target = os.path.join(folder, *entry.name.rstrip("/").split("/"))
        os.makedirs(target if entry.is_folder else os.path.dirname(target), exist_ok=True)
        if not entry.is_folder:
            descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
            with os.fdopen(descriptor, "wb") as output:
                for piece in inflated(data, entry, path, deadline):
                    output.write(piece)
            os.chmod(target, (entry.mode & 0o777) or 0o644)


def unpack_zip(path, folder):
    """A zip checked as a stranger's and unpacked into `folder`, which must be empty;
    Refusal (exit 1) naming the first fault."""
    if os.listdir(folder):
        raise Refusal(f"{folder}: is not empty")
    data = mapped(path)
    unpack(data, read_zip(data, path), path, folder)


# Windows programs: where a signature is, checked before any other program reads it.

def certificate_table(data, path):
    """The program's signature (PKCS#7, DER) or None when it carries none; Refusal (exit
    1) when it is no Windows program or its certificate table is not one signature whose
    entry fills the table, at the end of the file."""
    import pefile  # python3-pefile: only what reads programs needs it

    def malformed(what):
        return Refusal(f"{path}: is no Windows program we can check: {what}", 1)
    if len(data) > MOST_PROGRAM_BYTES:
        raise malformed(f"it is larger than {MOST_PROGRAM_BYTES} bytes")
    try:
        program = pefile.PE(data=data if isinstance(data, bytes) else bytes(data), fast_load=True)
    except pefile.PEFormatError as error:
        raise malformed(shown(error.value, 100))
    except Exception as error:  # pefile's own faults on a file made to break it
        raise malformed(f"its headers cannot be read ({type(error).__name__})")
    try:
        directories = program.OPTIONAL_HEADER.DATA_DIRECTORY
        if len(directories) <= 4:
            return None
        offset, size = directories[4].VirtualAddress, directories[4].Size  # a file offset, for this entry
    finally:
        program.close()
    if offset == 0 and size == 0:
        return None
    if offset % 8 or size < 8 or offset + size != len(data) or offset < 64:
        raise malformed("its certificate table does not lie at the end of the file, or is shorter than one entry")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if length != size:
        raise malformed(f"its certificate entry's length {length} is not its table's size {size}")
    if revision != 0x200 or kind != 2:
        raise malformed("its certificate entry is no Authenticode signature")
    # A DER sequence with a long length, then only the zeros that pad the entry to 8 bytes.
    blob = bytes(data[offset + 8:offset + size])
    if len(blob) < 4 or blob[0] != 0x30 or not 0x81 <= blob[1] <= 0x83:
        raise malformed("its certificate entry holds no PKCS#7 signature")
    length = 2 + (blob[1] & 0x7F) + int.from_bytes(blob[2:2 + (blob[1] & 0x7F)], "big")
    if length > len(blob) or len(blob) - length != -length % 8 or blob[length:].strip(b"\0"):
        raise malformed("its certificate entry holds more than its signature")
    return blob[:length]


def authenticode_digest(data, hash_name="sha256"):
    """The digest a signature of the program covers: all of it but its check sum, its
    certificate table's entry and the table itself."""
    import hashlib
    pe = struct.unpack_from("<I", data, 60)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    check_sum = pe + 24 + 64
    entry = pe + 24 + (112 if magic == 0x20B else 96) + 4 * 8
    table = struct.unpack_from("<I", data, entry)[0] or len(data)
    digest = hashlib.new(hash_name)
    for piece in (data[:check_sum], data[check_sum + 4:entry], data[entry + 8:table]):
        digest.update(piece)
    return digest.digest()


# Signatures: each part checked against what our signing (osslsigncode sign -h sha256,
# with -ts for a time stamp) writes; anything else is a stranger's.

SIGNED_DATA = "1.2.840.113549.1.7.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SHA256_OID = "2.16.840.1.101.3.4.2.1"
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
# contentType, messageDigest, signingTime, SpcStatementType, SpcSpOpusInfo
SIGNED_ATTRIBUTES = {CONTENT_TYPE, MESSAGE_DIGEST, "1.2.840.113549.1.9.5", "1.3.6.1.4.1.311.2.1.11",
                     "1.3.6.1.4.1.311.2.1.12"}
TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"  # what -ts adds: an RFC 3161 token, Microsoft's way
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"


@dataclass
class Signature:
    signer: bytes  # its certificate, DER
    carried: list  # (DER, self-signed) of each certificate it carries, the signer's among them
    digest: bytes  # the Authenticode digest (SHA-256) it signs
    stamped: bool


def read_signature(blob, path):
    """The program's signature as our signing makes it; Refusal (exit 1), one line naming
    the program, when it holds anything else: another signer, a nested signature, an
    unsigned attribute but the time stamp, a certificate off the signer's chain."""
    from asn1crypto import algos, cms, core  # python3-asn1crypto: only what reads programs needs it

    class TypeAndValue(core.Sequence):
        _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]

    class IndirectData(core.Sequence):  # Authenticode's SpcIndirectDataContent
        _fields = [("data", TypeAndValue), ("message_digest", algos.DigestInfo)]

    def refused(what):
        return Refusal(f"{path}: its signature {what}", 1)
    try:
        info = cms.ContentInfo.load(blob, strict=True)
        if info["content_type"].dotted != SIGNED_DATA:
            raise refused("is no PKCS#7 signed data")
        signed = info["content"]
        if [a["algorithm"].dotted for a in signed["digest_algorithms"]] != [SHA256_OID]:
            raise refused("names other digests than SHA-256 alone")
        content = signed["encap_content_info"]
        if content["content_type"].dotted != INDIRECT_DATA or not isinstance(content["content"], core.Any):
            raise refused("signs no Authenticode content")
        indirect = IndirectData.load(content["content"].dump(), strict=True, explicit=0)
        digest = indirect["message_digest"]
        if indirect["data"]["type"].dotted != PE_IMAGE_DATA or digest["digest_algorithm"]["algorithm"].dotted != SHA256_OID:
            raise refused("signs no SHA-256 digest of a Windows program")
        if not isinstance(signed["crls"], core.Void):
            raise refused("carries revocation lists, which our signing never adds")
        certificates = list(signed["certificates"]) if not isinstance(signed["certificates"], core.Void) else []
        if any(c.name != "certificate" for c in certificates):
            raise refused("carries a certificate of a kind our signing never adds")
        certificates = [c.chosen for c in certificates]
        signers = list(signed["signer_infos"])
        if len(signers) != 1:
            raise refused(f"holds {len(signers)} signers, not one")
        signer = signers[0]
        if signer["sid"].name != "issuer_and_serial_number" or signer["digest_algorithm"]["algorithm"].dotted != SHA256_OID:
            raise refused("names its signer or its digest otherwise than our signing")
        attributes = [a["type"].dotted for a in signer["signed_attrs"]] \
            if not isinstance(signer["signed_attrs"], core.Void) else []
        if len(set(attributes)) != len(attributes) or not set(attributes) <= SIGNED_ATTRIBUTES \
                or not {CONTENT_TYPE, MESSAGE_DIGEST} <= set(attributes):
            raise refused("holds signed attributes other than those our signing writes")
        unsigned = list(signer["unsigned_attrs"]) if not isinstance(signer["unsigned_attrs"], core.Void) else []
        for attribute in unsigned:
            kind = attribute["type"].dotted
            if kind == NESTED_SIGNATURE:
                raise refused("holds a second signature nested in it")
            if kind != TIME_STAMP:
                raise refused(f"holds an unsigned attribute {kind}, which our signing never adds")
        if len(unsigned) > 1:
            raise refused("holds more than one time stamp")
        if unsigned:
            values = list(unsigned[0]["values"])
            token = cms.ContentInfo.load(values[0].dump(), strict=True) if len(values) == 1 else None
            if token is None or token["content_type"].dotted != SIGNED_DATA or any(
                    not isinstance(s["unsigned_attrs"], core.Void) for s in token["content"]["signer_infos"]):
                raise refused("holds a time stamp that is no RFC 3161 token alone")
        identity = signer["sid"].chosen
        found = [c for c in certificates if c.issuer == identity["issuer"]
                 and c.serial_number == identity["serial_number"].native]
        if not found:
            raise refused("does not carry its signer's certificate")
        # The carried certificates: the signer's, then each one's issuer, once each.
        chain, current = [found[0]], found[0]
        while not current.self_issued:
            above = [c for c in certificates if c.subject == current.issuer and c not in chain]
            if not above:
                break
            current = above[0]
            chain.append(current)
        if len(chain) != len(certificates):
            raise refused("carries a certificate off its signer's chain")
        return Signature(found[0].dump(), [(c.dump(), c.self_issued) for c in certificates],
                         digest["digest"].native, bool(unsigned))
    except Refusal:
        raise
    except Exception as error:  # asn1crypto's own faults on bytes made to break it
        raise refused(f"cannot be read: {shown(error, 100)}")
