"""The Qt sources a Windows build may use, by their pins (scripts/pinned-qt-sources), and
the Debian archive the machine's apt sources name, from which Qt Base's source comes."""
import glob
import hashlib
import os
import re

from .common import Failure

PIN_LINE = re.compile(r"([0-9a-f]{64})  ([A-Za-z0-9][A-Za-z0-9.+~_-]*)")
# Debian's version syntax, with no character that could name another folder.
DSC_NAME = re.compile(r"qt6-base_([0-9][A-Za-z0-9.+~-]*)\.dsc")
# The Debian release that has each Qt line checked.
DEBIAN_SUITE = {"6.4": "bookworm", "6.8": "trixie"}
MOST_PINS_BYTES = 1 << 16


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


class Pins:
    """The pins file: a SHA-256 and a file name a line; '#' comments and blank lines."""

    def __init__(self, text, where):
        self.where = where
        self.lines = []
        for line in text.splitlines():
            if line and not line.startswith("#"):
                match = PIN_LINE.fullmatch(line)
                if not match:
                    raise Failure(f"{where}: a line that is no SHA-256 and file name: {line}", who="pins")
                self.lines.append(match.groups())

    @classmethod
    def read(cls, path):
        with open(path, "rb") as file:
            raw = file.read(MOST_PINS_BYTES + 1)
        if len(raw) > MOST_PINS_BYTES:
            raise Failure(f"{path}: longer than any pins file", who="pins")
        return cls(raw.decode("utf-8", "replace"), path)

    def pins_of(self, name):
        return [pin for pin, pinned in self.lines if pinned == name]

    def names(self, qt_line):
        """qt6-base's files of that Qt line, and its one Qt Serial Port archive."""
        qtbase = [name for _, name in self.lines if f"qt6-base_{qt_line}." in name]
        archive = re.compile(rf"qtserialport-{re.escape(qt_line)}\.[0-9]+\.tar\.gz")
        serialport = [name for _, name in self.lines if archive.fullmatch(name)]
        if not qtbase or len(serialport) != 1:
            raise Failure(f"{self.where} pins no qt6-base source package and one Qt Serial Port archive for Qt {qt_line}",
                          who="pins")
        return qtbase, serialport[0]

    def qtbase_version(self, qt_line):
        dscs = [name for name in self.names(qt_line)[0] if name.endswith(".dsc")]
        match = DSC_NAME.fullmatch(dscs[0]) if len(dscs) == 1 else None
        if not match:
            raise Failure(f"{self.where} pins no single qt6-base .dsc with a Debian version for Qt {qt_line}", who="pins")
        return match.group(1)

    def key(self, names):
        """A short hash of those pins, which names what the cache makes of them."""
        lines = ""
        for name in names:
            if not self.pins_of(name):
                raise Failure(f"{self.where} pins no {name}", who="pins")
            lines += "".join(f"{pin}  {name}\n" for pin in self.pins_of(name))
        return hashlib.sha256(lines.encode()).hexdigest()[:16]

    def problems(self, folder, names, shown_as=None):
        """One line for each file of the folder that is missing or not its pin."""
        lines = []
        for name in names:
            path = os.path.join(folder, name)
            shown = os.path.join(shown_as, name) if shown_as else path
            pins = self.pins_of(name)
            if not pins:
                lines.append(f"{shown}: is no pinned source")
            elif os.path.islink(path) or not os.path.isfile(path):
                lines.append(f"{shown}: missing (pinned in {self.where})")
            elif (digest := sha256_of(path)) != pins[0]:
                lines.append(f"{shown}: not the pinned source: its SHA-256 is {digest}, {self.where} pins {pins[0]}")
        return lines


def _first_uri(stanza, suite):
    if "deb" in stanza.get("types", "").split() and suite in stanza.get("suites", "").split() \
            and stanza.get("enabled", "").lower() != "no" and stanza.get("uris", "").split():
        return stanza["uris"].split()[0]
    return None


def _list_archives(text, suite):
    """One-line sources: `deb [options] URI SUITE COMPONENT...`."""
    for line in text.splitlines():
        words = line.split("#", 1)[0].split()
        if not words or words[0] != "deb":
            continue
        words = words[1:]
        if words and words[0].startswith("["):
            while words and not words[0].endswith("]"):
                words = words[1:]
            words = words[1:]
        if len(words) >= 2 and words[1] == suite:
            yield words[0]


def _deb822_archives(text, suite):
    """deb822 sources: stanzas of fields, continued on lines that start with a blank."""
    stanza, field = {}, None
    for line in text.splitlines() + [""]:
        if line.lstrip().startswith("#"):
            continue
        if not line.strip():
            if (uri := _first_uri(stanza, suite)):
                yield uri
            stanza, field = {}, None
        elif line[0] in " \t":
            if field:
                stanza[field] = stanza[field] + " " + line.strip() if field != "enabled" else line.strip()
        elif ":" in line:
            field, value = line.split(":", 1)
            field = field.strip().lower()
            stanza[field] = (stanza.get(field, "") + " " + value.strip()) if field != "enabled" else value.strip()


def debian_archive_in(codename, files):
    """The first archive the given sources files name for that release, or None."""
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as file:
            text = file.read(1 << 20)
        found = (_deb822_archives if path.endswith(".sources") else _list_archives)(text, codename)
        for uri in found:
            return uri
    return None


def codename():
    with open("/etc/os-release", encoding="utf-8", errors="replace") as file:
        for line in file:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    return ""


def debian_archive():
    """The Debian archive the machine's own apt sources use for its release."""
    files = [path for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list"))
             + sorted(glob.glob("/etc/apt/sources.list.d/*.sources")) if os.path.isfile(path)]
    return debian_archive_in(codename(), files)


def print_debian_archive(arguments):
    """tracker-tools debian-archive: for the bash that still sources scripts/debian-archive."""
    print(debian_archive() or "")
    return 0
