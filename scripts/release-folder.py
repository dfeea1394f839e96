#!/usr/bin/env python3
"""Reads a release folder that someone else handed over, and refuses what is malformed.

scripts/verify-release uses it, with nothing but Python's standard library:

  release-folder.py notes FOLDER           what FOLDER/RELEASE.txt says, one record a line
  release-folder.py check FOLDER PINS      everything that needs no build: the folder holds
                                           exactly a release's files, SOURCES/ the pinned
                                           ones, every zip's entries are sound
  release-folder.py zip ZIP                a zip's entries checked as check checks them
  release-folder.py unpack ZIP FOLDER      a checked zip into an empty folder
  release-folder.py entries ZIP            a zip's entries: type, mode and name, in order
  release-folder.py signature PROGRAM      "signed" or "unsigned": whether a 64- or 32-bit
                                           Windows program's header names a certificate table

Each fault is one line naming the file and what is wrong; the exit code is 1 for a folder
that fails a check, 2 for one that is no release at all. Nothing is written but by
unpack, and only below the folder it is given.
"""
import hashlib
import os
import re
import stat
import struct
import sys
import zipfile
import zlib

COMMIT = re.compile(r"[0-9a-f]{40}")
SHA256 = re.compile(r"[0-9a-f]{64}")
FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+~_-]*")
ZIP_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+_-]*\.zip")
# Debian's version syntax: an optional epoch, an upstream version starting with a digit,
# an optional revision; no character that could name another folder.
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]*")
PACKAGE = re.compile(r"[a-z0-9][a-z0-9.+-]+")
SETTING = re.compile(r"(TRACKER_[A-Z_]+)=([^\x00-\x1f\x7f]*)")
FINGERPRINT = re.compile(r"(?:[0-9A-F]{2}:){31}[0-9A-F]{2}")
# A zip, or a release's zips together, larger than this unpacked are no packages of ours.
MOST_UNPACKED_BYTES = 2 << 30
# RELEASE.txt and SHA256SUMS are read whole or refused: a line past a limit would go unread.
MOST_NOTES_BYTES = 1 << 20
MOST_SUMS_BYTES = 1 << 16
# What zipfile raises on a damaged zip besides BadZipFile: a name that is no UTF-8 where
# its flag says it is, a compressed stream that does not inflate.
DAMAGED_ZIP = (zipfile.BadZipFile, OSError, EOFError, NotImplementedError, ValueError, zlib.error)


class Refused(Exception):
    """A fault of the folder: one line, and the exit code it gives."""

    def __init__(self, line, code=1):
        super().__init__(line)
        self.code = code


def read_whole(path, most, code):
    """The file's bytes; refuses one longer than most with the exit code given."""
    with open(path, "rb") as file:
        raw = file.read(most + 1)
    if len(raw) > most:
        raise Refused(f"{path}: is longer than {most} bytes, more than any release writes", code)
    return raw


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def read_notes(folder):
    """RELEASE.txt's records as a dictionary of lists; refuses a line it cannot read."""
    path = os.path.join(folder, "RELEASE.txt")
    if os.path.islink(path) or not os.path.isfile(path):
        raise Refused(f"{folder} is no release folder: it has no RELEASE.txt", 2)
    raw = read_whole(path, MOST_NOTES_BYTES, 2)
    try:
        lines = raw.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        raise Refused(f"{path}: is not UTF-8 text", 2)
    notes = {key: [] for key in ("commit", "epoch", "setting", "qtbase", "serialport", "debian",
                                 "package", "signed", "fingerprint", "zip")}
    first = re.fullmatch(r"tracker-updater [^ ,]+, commit (.*)", lines[0])
    if first and COMMIT.fullmatch(first.group(1)):
        notes["commit"].append(first.group(1))
    section = None
    previous = ""
    for number, line in enumerate(lines[1:], start=2):
        def malformed():
            return Refused(f"{path}: line {number} is malformed: {line[:80]!r}", 2)
        heading_goes_on = previous != "" and not previous.startswith("    ")
        previous = line
        if line == "":
            section = None
        elif not line.startswith("    ") and heading_goes_on:
            continue
        elif not line.startswith("    "):
            section = line
            epoch = re.fullmatch(r"Time stamps of the builds: SOURCE_DATE_EPOCH=(.*)", line)
            debian = re.fullmatch(r"Built on Debian ([0-9][0-9.]*) \(([a-z]+)\), with these packages, which shape the bytes:", line)
            if epoch:
                if not re.fullmatch(r"[0-9]{1,12}", epoch.group(1)):
                    raise malformed()
                notes["epoch"].append(epoch.group(1))
            elif debian:
                notes["debian"].append(f"{debian.group(1)} {debian.group(2)}")
            elif line.startswith("Signed: no."):
                notes["signed"].append("no")
            elif line.startswith("Signed: "):
                notes["signed"].append("yes")
        elif section == "Settings built into the programs:":
            setting = SETTING.fullmatch(line[4:])
            if not setting:
                raise malformed()
            notes["setting"].append(line[4:])
        elif section and section.startswith("Built with Qt from these sources"):
            qtbase = re.fullmatch(r"    Qt Base: Debian's qt6-base (\S+) \(.*\)", line)
            serialport = re.fullmatch(r"    Qt Serial Port: (\S+)", line)
            if qtbase and DEBIAN_VERSION.fullmatch(qtbase.group(1)):
                notes["qtbase"].append(qtbase.group(1))
            elif serialport and FILE_NAME.fullmatch(serialport.group(1)):
                notes["serialport"].append(serialport.group(1))
            else:
                raise malformed()
        elif section and section.startswith("Built on Debian "):
            package = line[4:].split(" ")
            if len(package) != 2 or not PACKAGE.fullmatch(package[0]) or not DEBIAN_VERSION.fullmatch(package[1]):
                raise malformed()
            notes["package"].append(line[4:])
        elif section and section.startswith("Signed: every"):
            fingerprint = re.fullmatch(r"    \(SHA-256 fingerprint (.*)\)", line)
            if fingerprint:
                if not FINGERPRINT.fullmatch(fingerprint.group(1)):
                    raise malformed()
                notes["fingerprint"].append(fingerprint.group(1))
        elif section and section.startswith("The zips before signing"):
            parts = line[4:].split("  ")
            if len(parts) != 2 or not SHA256.fullmatch(parts[0]) or not ZIP_NAME.fullmatch(parts[1]):
                raise malformed()
            notes["zip"].append(line[4:])
    names = [entry.split("  ")[1] for entry in notes["zip"]]
    if (len(notes["commit"]) != 1 or len(notes["epoch"]) != 1 or not names or len(notes["signed"]) != 1
            or not notes["qtbase"]):
        raise Refused(f"{path} names no commit, SOURCE_DATE_EPOCH, Qt sources, signature or zips "
                      "before signing: it is no release this script can check", 2)
    if len(set(names)) != len(names):
        raise Refused(f"{path}: names a zip twice")
    if len(set(notes["qtbase"])) != len(notes["qtbase"]):
        raise Refused(f"{path}: names a Qt Base twice", 2)
    if notes["signed"] == ["yes"] and len(notes["fingerprint"]) != 1:
        raise Refused(f"{path}: says the programs are signed, but gives no certificate's fingerprint", 2)
    return notes


def read_pins(path):
    pins = {}
    with open(path, encoding="utf-8") as file:
        for line in file:
            line = line.rstrip("\n")
            if line == "" or line.startswith("#"):
                continue
            parts = line.split("  ")
            if len(parts) != 2 or not SHA256.fullmatch(parts[0]) or not FILE_NAME.fullmatch(parts[1]):
                raise Refused(f"{path}: a line that is no SHA-256 and file name: {line[:80]!r}", 2)
            pins[parts[1]] = parts[0]
    return pins


def pinned_sources(notes, pins, path):
    """The files SOURCES/ must hold: those the commit pins for each Qt that RELEASE.txt names."""
    wanted = {}
    faults = []
    for version in notes["qtbase"]:
        line = ".".join(version.split(":")[-1].split(".")[:2])
        if f"qt6-base_{version}.dsc" not in pins:
            faults.append(f"{path}: names qt6-base {version}, which the commit does not pin")
            continue
        names = [name for name in pins
                 if name.startswith(f"qt6-base_{line}.") or re.fullmatch(rf"qtserialport-{re.escape(line)}\.[0-9]+\.tar\.gz", name)]
        wanted.update((name, pins[name]) for name in names)
    for archive in notes["serialport"]:
        if archive not in wanted:
            faults.append(f"{path}: names Qt Serial Port {archive}, which the commit does not pin for its Qt")
    return wanted, faults


def entry_faults(zip_path, info_list):
    """What is wrong with a zip's entries, one line each; nothing for a sound one."""
    faults = []
    seen = set()
    keys = set()
    files = {}
    folders = set()
    tops = set()
    total = 0
    for info in info_list:
        name = info.filename
        def fault(text):
            faults.append(f"{zip_path}: entry {name[:120]!r} {text}")
        # Windows, where the zip is unpacked, tells no case apart, nor "x/" from "x".
        key = name.rstrip("/").casefold()
        if name in seen:
            fault("is there twice")
        elif key in keys:
            fault("is another entry's name but for case or a final '/'")
        seen.add(name)
        keys.add(key)
        if any(ord(character) < 32 or ord(character) == 127 for character in name) or "\\" in name:
            fault("has a control character or a backslash in its name")
            continue
        if name.startswith("/") or re.match(r"[A-Za-z]:", name):
            fault("has an absolute name")
            continue
        is_folder = name.endswith("/")
        parts = (name[:-1] if is_folder else name).split("/")
        if ".." in parts:
            fault("has '..' in its name")
            continue
        if any(part in ("", ".") for part in parts):
            fault("has an empty or '.' part in its name")
            continue
        kind = stat.S_IFMT(info.external_attr >> 16) if info.create_system == 3 else 0
        if kind not in (0, stat.S_IFREG, stat.S_IFDIR):
            fault("is a link or a device, not a file or a folder" if kind == stat.S_IFLNK
                  else "is a device, pipe or socket, not a file or a folder")
            continue
        if (kind == stat.S_IFDIR) != is_folder and kind != 0:
            fault("is a folder whose name does not end in '/', or a file whose name does")
            continue
        if info.flag_bits & 1:
            fault("is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            fault("is compressed with a method a package never uses")
        tops.add(parts[0])
        if is_folder:
            folders.add("/".join(parts).casefold())
        else:
            files["/".join(parts).casefold()] = name
        folders.update("/".join(parts[:end]).casefold() for end in range(1, len(parts)))
        if len(parts) == 1 and not is_folder:
            fault("lies outside the zip's one top folder")
        total += info.file_size
    for key in sorted(files.keys() & folders):
        faults.append(f"{zip_path}: entry {files[key][:120]!r} is a file, and a folder of other entries")
    if len(tops) > 1:
        faults.append(f"{zip_path}: holds {len(tops)} top folders, not one: {', '.join(sorted(tops))[:200]}")
    if total > MOST_UNPACKED_BYTES:
        faults.append(f"{zip_path}: would unpack to {total} bytes, more than any package")
    return faults


def open_zip(zip_path):
    try:
        return zipfile.ZipFile(zip_path)
    except DAMAGED_ZIP as error:
        raise Refused(f"{zip_path}: is no zip that can be read: {error}")


def zip_faults(zip_path):
    with open_zip(zip_path) as archive:
        faults = entry_faults(zip_path, archive.infolist())
        if not faults:
            try:
                broken = archive.testzip()  # every entry's bytes, and its local header's name
            except DAMAGED_ZIP as error:
                return [f"{zip_path}: is damaged: {error}"]
            if broken is not None:
                faults.append(f"{zip_path}: entry {broken!r} does not match its check sum")
    return faults


def read_sums(path):
    sums = {}
    raw = read_whole(path, MOST_SUMS_BYTES, 1)
    for number, line in enumerate(raw.split(b"\n"), start=1):
        if line == b"" and number > 1:
            continue
        match = re.fullmatch(rb"([0-9a-f]{64})  ([A-Za-z0-9][A-Za-z0-9.+_-]*\.zip)", line)
        if not match:
            raise Refused(f"{path}: line {number} is no SHA-256 and zip name")
        name = match.group(2).decode()
        if name in sums:
            raise Refused(f"{path}: names {name} twice")
        sums[name] = match.group(1).decode()
    return sums


def check(folder, pins_path):
    """Every fault of the folder that needs no build."""
    notes = read_notes(folder)
    pins = read_pins(pins_path)
    faults = []
    release_txt = os.path.join(folder, "RELEASE.txt")
    zips = {entry.split("  ")[1] for entry in notes["zip"]}
    sums_path = os.path.join(folder, "SHA256SUMS")
    sums = {}
    if os.path.islink(sums_path) or not os.path.isfile(sums_path):
        faults.append(f"{sums_path}: missing")
    else:
        try:
            sums = read_sums(sums_path)
        except Refused as refused:
            faults.append(str(refused))
        for name in sorted(set(sums) - zips):
            faults.append(f"{sums_path}: names {name}, which RELEASE.txt does not")
        for name in sorted(zips - set(sums)):
            faults.append(f"{sums_path}: does not name {name}, which RELEASE.txt does")
    wanted, source_faults = pinned_sources(notes, pins, release_txt)
    faults += source_faults
    expected = {"RELEASE.txt": "file", "SHA256SUMS": "file", "SOURCES": "folder"}
    expected.update((name, "file") for name in zips | set(sums))
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if name not in expected:
            faults.append(f"{path}: is no part of a release")
        elif os.path.islink(path) or not (os.path.isdir(path) if expected[name] == "folder" else os.path.isfile(path)):
            faults.append(f"{path}: is not a plain {expected[name]}")
    for name in sorted(expected):
        if not os.path.lexists(os.path.join(folder, name)):
            faults.append(f"{os.path.join(folder, name)}: missing")
    sources = os.path.join(folder, "SOURCES")
    if os.path.isdir(sources) and not os.path.islink(sources):
        for name in sorted(os.listdir(sources)):
            path = os.path.join(sources, name)
            if name not in wanted:
                faults.append(f"{path}: is no source the commit pins for this release")
            elif os.path.islink(path) or not os.path.isfile(path):
                faults.append(f"{path}: is not a plain file")
            elif sha256_of(path) != wanted[name]:
                faults.append(f"{path}: is not the pinned source: its SHA-256 differs from the commit's pin")
        for name in sorted(set(wanted) - set(os.listdir(sources))):
            faults.append(f"{os.path.join(sources, name)}: missing (pinned by the commit)")
    readable = []
    unpacked = 0
    for name in sorted(zips | set(sums)):
        path = os.path.join(folder, name)
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        if name in sums and sha256_of(path) != sums[name]:
            faults.append(f"{path}: does not match its SHA-256 in SHA256SUMS")
            continue
        try:
            with open_zip(path) as archive:
                unpacked += sum(info.file_size for info in archive.infolist())
            readable.append(path)
        except Refused as refused:
            faults.append(str(refused))
    # Many zips, each below the limit, would still fill the disk they are unpacked on.
    if unpacked > MOST_UNPACKED_BYTES:
        return faults + [f"{folder}: its zips would unpack to {unpacked} bytes together, more than any release's"]
    for path in readable:
        try:
            faults += zip_faults(path)
        except Refused as refused:
            faults.append(str(refused))
    return faults


def unpack(zip_path, folder):
    if os.listdir(folder):
        raise Refused(f"{folder}: is not empty", 2)
    with open_zip(zip_path) as archive:
        faults = entry_faults(zip_path, archive.infolist())
        if faults:
            raise Refused(faults[0])
        for info in archive.infolist():
            parts = info.filename.rstrip("/").split("/")
            target = os.path.join(folder, *parts)
            if info.filename.endswith("/"):
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            mode = (info.external_attr >> 16) & 0o777 if info.create_system == 3 else 0
            descriptor = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
            with os.fdopen(descriptor, "wb") as output, archive.open(info) as data:
                for block in iter(lambda: data.read(1 << 20), b""):
                    output.write(block)
            os.chmod(target, mode or 0o644)


def entries(zip_path):
    with open_zip(zip_path) as archive:
        for info in archive.infolist():
            mode = (info.external_attr >> 16) if info.create_system == 3 else 0
            kind = "folder" if info.filename.endswith("/") else "file"
            print(f"{kind} {mode & 0o7777:04o} {info.filename}")


def signature(path):
    """Whether the program's header names a certificate table; refuses a malformed header."""
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        header = file.read(1 << 16)
    def malformed(what):
        return Refused(f"{path}: is no Windows program: {what}")
    if header[:2] != b"MZ" or len(header) < 64:
        raise malformed("it has no MZ header")
    pe = struct.unpack_from("<I", header, 60)[0]
    if pe + 24 + 2 > len(header) or header[pe:pe + 4] != b"PE\0\0":
        raise malformed("it has no PE header where its MZ header says")
    magic = struct.unpack_from("<H", header, pe + 24)[0]
    if magic not in (0x10B, 0x20B):
        raise malformed("its optional header is neither PE32 nor PE32+")
    directories = pe + 24 + (112 if magic == 0x20B else 96)
    if directories + 5 * 8 > len(header):
        raise malformed("its header is cut short")
    count = struct.unpack_from("<I", header, directories - 4)[0]
    if count < 5:
        return "unsigned"
    offset, length = struct.unpack_from("<II", header, directories + 4 * 8)
    if offset == 0 and length == 0:
        return "unsigned"
    if offset < directories or length < 8 or offset + length > size:
        raise malformed("its certificate table lies outside the file")
    return "signed"


def main(arguments):
    command = arguments[0] if arguments else ""
    if command == "notes" and len(arguments) == 2:
        notes = read_notes(arguments[1])
        for key, values in notes.items():
            for value in values:
                print(key, value)
    elif command == "check" and len(arguments) == 3:
        faults = check(arguments[1], arguments[2])
        for fault in faults:
            print(fault)
        return 1 if faults else 0
    elif command == "zip" and len(arguments) == 2:
        faults = zip_faults(arguments[1])
        for fault in faults:
            print(fault)
        return 1 if faults else 0
    elif command == "unpack" and len(arguments) == 3:
        unpack(arguments[1], arguments[2])
    elif command == "entries" and len(arguments) == 2:
        entries(arguments[1])
    elif command == "signature" and len(arguments) == 2:
        print(signature(arguments[1]))
    else:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Refused as refused:
        print(refused)
        sys.exit(refused.code)
