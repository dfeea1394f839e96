"""Readers with limits for what a stranger hands over: SHA256SUMS, zips and the Windows
programs in them (RELEASE.txt's is notes.py). Each field is checked before it is used; each fault is one
line naming the file. Nothing here starts a program, and only unpack writes, below the
new folder it is given."""
import array
import os
import re
import stat
import struct
import sys
import time
import zlib
from dataclasses import dataclass

from .common import Refusal, shown
from .notes import SHA256, ZIP_NAME


SUM_LINE = re.compile(f"({SHA256.pattern})  ({ZIP_NAME.pattern})".encode())

# What no release of ours comes near.
MOST_SUMS_BYTES = 1 << 16
MOST_UNPACKED_BYTES = 2 << 30  # a zip, or a release's zips together
MOST_ENTRIES = 10000
MOST_DEPTH = 32
MOST_PART_BYTES = 255
MOST_NAME_BYTES = 1024
MOST_PROGRAM_BYTES = 64 << 20  # this project's largest, Qt6Core.dll, is under 10 MiB
MOST_PROGRAMS = 100  # in one zip: a release ships a few dozen
MOST_SIGNATURE_BYTES = 64 << 10  # ours, with its chain and time stamp, is under 5 KiB
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


# Sums and pins.

def read_sums(raw, path):
    if len(raw) > MOST_SUMS_BYTES:
        raise Refusal(f"{path}: is longer than {MOST_SUMS_BYTES} bytes, more than any release writes", 1)
    sums = {}
    for number, line in enumerate(raw.split(b"\n"), start=1):
        if line == b"" and number > 1:
            continue
        match = SUM_LINE.fullmatch(line)
        if not match:
            raise Refusal(f"{path}: line {number} is no SHA-256 and zip name", 1)
        name = match.group(2).decode()
        if name in sums:
            raise Refusal(f"{path}: names {name} twice", 1)
        sums[name] = match.group(1).decode()
    return sums


def pinned_sources(notes, pins, path):
    """The files SOURCES/ must hold, those the commit pins for each Qt RELEASE.txt names;
    and the faults of the notes against the pins."""
    wanted, faults = {}, []
    pins = {name: pin for pin, name in pins.lines}
    for version in notes.qtbase:
        line = ".".join(version.split(":")[-1].split(".")[:2])
        if f"qt6-base_{version}.dsc" not in pins:
            faults.append(f"{path}: names qt6-base {version}, which the commit does not pin")
            continue
        wanted.update((name, pin) for name, pin in pins.items() if name.startswith(f"qt6-base_{line}.")
                      or re.fullmatch(rf"qtserialport-{re.escape(line)}\.[0-9]+\.tar\.gz", name))
    for archive in notes.serialport:
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
    _, disk, cd_disk, on_disk, count, cd_size, cd_at, comment = END.unpack(data[end_at:end_at + END.size])
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
         comment_length, _, _, external, local_at) = CENTRAL.unpack(data[at:at + CENTRAL.size])
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
         local_name_length, local_extra_length) = LOCAL.unpack(data[local_at:local_at + LOCAL.size])
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
    start, end = entry.data_at, entry.data_at + entry.compressed
    inflater = zlib.decompressobj(-15) if entry.method == 8 else None
    crc, produced = 0, 0

    def fault(text):
        return Refusal(f"{path}: entry '{shown(entry.name, 120)}' {text}", 1)

    def pieces():
        for at in range(start, end, chunk):  # sliced here: a whole entry at once would be in memory
            given = bytes(data[at:min(at + chunk, end)])
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


class FileBytes:
    """A file's bytes, each slice read when asked for (pread): neither held nor mapped, so
    a large zip costs no memory of ours, whatever pages of it were read."""

    def __init__(self, path):
        self.fd = None  # so that one that could not be opened leaves nothing to close
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        self.size = os.fstat(self.fd).st_size

    def __len__(self):
        return self.size

    def __getitem__(self, key):
        if not isinstance(key, slice):
            return self[key:key + 1][0]
        start, stop, _ = key.indices(self.size)
        return os.pread(self.fd, max(0, stop - start), start)

    def __del__(self):
        if self.fd is not None:
            os.close(self.fd)


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


# Windows programs: where a signature is, checked before any other program reads it.

def program_signature(data, path):
    """The program's signature (PKCS#7, DER, or None when it carries none) and the SHA-256
    Authenticode digest of its bytes (all but its check sum, its certificate table's
    entry and the table), at pefile's offsets. Refusal (exit 1) when it is no Windows
    program or its certificate table is not one signature of a bounded size filling the
    table at the end of the file."""
    import hashlib
    import pefile  # python3-pefile: only what reads programs needs it

    def malformed(what):
        return Refusal(f"{path}: is no Windows program we can check: {what}", 1)
    if len(data) > MOST_PROGRAM_BYTES:
        raise malformed(f"it is larger than {MOST_PROGRAM_BYTES} bytes")
    data = data if isinstance(data, bytes) else bytes(data)
    try:
        program = pefile.PE(data=data, fast_load=True)
        try:
            check_sum = program.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
            directories = program.OPTIONAL_HEADER.DATA_DIRECTORY
            table = directories[4] if len(directories) > 4 else None
            entry = table.get_file_offset() if table else len(data)
            offset, size = (table.VirtualAddress, table.Size) if table else (0, 0)  # a file offset, for this entry
        finally:
            program.close()
    except pefile.PEFormatError as error:
        raise malformed(shown(error.value, 100))
    except Exception as error:  # pefile's own faults on a file made to break it
        raise malformed(f"its headers cannot be read ({type(error).__name__})")
    if not check_sum + 4 <= entry <= len(data) - (8 if table else 0):
        raise malformed("its headers lie outside the file")
    digest = hashlib.sha256()
    for piece in (data[:check_sum], data[check_sum + 4:entry], data[entry + 8:offset or len(data)]):
        digest.update(piece)
    if offset == 0 and size == 0:
        return None, digest.digest()
    if offset % 8 or size < 8 or offset + size != len(data) or offset < entry + 8:
        raise malformed("its certificate table does not lie at the end of the file, or is shorter than one entry")
    if size > MOST_SIGNATURE_BYTES + 8:
        raise malformed(f"its certificate table holds {size} bytes, more than any signature of ours "
                        f"(at most {MOST_SIGNATURE_BYTES})")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if length != size:
        raise malformed(f"its certificate entry's length {length} is not its table's size {size}")
    if revision != 0x200 or kind != 2:
        raise malformed("its certificate entry is no Authenticode signature")
    # A DER sequence with a long length, then only the zeros that pad the entry to 8 bytes.
    blob = data[offset + 8:offset + size]
    if len(blob) < 4 or blob[0] != 0x30 or not 0x81 <= blob[1] <= 0x83:
        raise malformed("its certificate entry holds no PKCS#7 signature")
    length = 2 + (blob[1] & 0x7F) + int.from_bytes(blob[2:2 + (blob[1] & 0x7F)], "big")
    if length > len(blob) or len(blob) - length != -length % 8 or blob[length:].strip(b"\0"):
        raise malformed("its certificate entry holds more than its signature")
    return blob[:length], digest.digest()


def pe_check_sum(data, at):
    """The PE check sum of the program's bytes, the field at `at` taken as zero: 16-bit
    words added with their carries folded in, plus the file's length."""
    padded = bytearray(data) + bytes(len(data) % 2)
    padded[at:at + 4] = bytes(4)
    words = array.array("H", padded)
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def with_signature(program, blob, path):
    """The program with the signature put on as osslsigncode puts it: padded to 8 bytes, a
    certificate table of one entry after it (padded to 8 bytes too), the header naming the
    table, and its check sum made again."""
    import pefile
    try:
        pe = pefile.PE(data=program, fast_load=True)
        check_sum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4].get_file_offset()
        pe.close()
    except (pefile.PEFormatError, IndexError):
        raise Refusal(f"{path}: is no Windows program we can check", 1)
    padded = blob + bytes(-len(blob) % 8)
    signed = bytearray(program + bytes(-len(program) % 8))
    table = len(signed)
    signed[entry:entry + 8] = struct.pack("<II", table, len(padded) + 8)
    signed += struct.pack("<IHH", len(padded) + 8, 0x200, 2) + padded
    signed[check_sum:check_sum + 4] = struct.pack("<I", pe_check_sum(signed, check_sum))
    return bytes(signed)
