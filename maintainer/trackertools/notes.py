"""RELEASE.txt: `text` writes it, for the release and for nothing else; `read` takes a
stranger's copy apart and refuses it unless `text` gives it back byte for byte, so that
only words a release writes ever reach whoever reads the folder."""
import re
from dataclasses import dataclass, field
from typing import Optional

from .common import Refusal, shown

MOST_BYTES = 1 << 20
MOST_ZIPS = 32  # one for each Qt and kind
MOST_PACKAGES = 64  # that shape the bytes: a dozen

TRIAL = "A TRIAL, NOT FOR PUBLISHING: made with TRIAL_RELEASE=1, which lets placeholder names through."
SETTINGS = "Settings built into the programs:"
EPOCH = "Time stamps of the builds: SOURCE_DATE_EPOCH="
SOURCES = "Built with Qt from these sources (in SOURCES/), as the commit pins them:"
DEBIAN = re.compile(r"Built on Debian ([0-9][0-9.]*) \(([a-z]+)\), with these packages, which shape the bytes:")
LICENCES = ["Licence texts in the zips: Qt's from the sources above, the MinGW runtime's from the",
            "    copyright files of gcc-mingw-w64-base and mingw-w64-x86-64-dev."]
SIGNED = "Signed: every program and DLL, with SHA-256, by the certificate of"
UNSIGNED = "Signed: no. Windows may warn before it starts the programs."
# Only what a verification checks against the signatures themselves.
STAMPED = "    each signature time-stamped"
UNSTAMPED = "    with no time stamp: the signatures count only while the certificate is valid"
ZIPS = ["The zips before signing, which a rebuild of this commit with these settings and",
        "sources gives byte for byte (scripts/verify-release):"]
PUBLISH = ["Every zip here passed every check under wine. Publish this folder as it is: the",
           "zips, SHA256SUMS over them, SOURCES/ and this file. The zips carry Qt's DLLs beside",
           "the programs, so a user can replace them with a Qt of their own, as Qt's LGPL asks;",
           "SOURCES/ is the source of that Qt, which the LGPL asks to be offered with them."]

COMMIT = re.compile(r"[0-9a-f]{40}")
VERSION = re.compile(r"[0-9][0-9A-Za-z.+~-]*")
DEBIAN_VERSION = re.compile(r"(?:[0-9]+:)?[0-9][A-Za-z0-9.+~-]*")
FILE_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+~_-]*")
ZIP_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9.+_-]*\.zip")
SETTING = re.compile(r"(TRACKER_[A-Z_]+)=([^\x00-\x1f\x7f]*)")
PACKAGE = re.compile(r"[a-z0-9][a-z0-9.+-]+ " + DEBIAN_VERSION.pattern)
FINGERPRINT = re.compile(r"(?:[0-9A-F]{2}:){31}[0-9A-F]{2}")
SHA256 = re.compile(r"[0-9a-f]{64}")


@dataclass
class Signer:
    subject: str  # RFC 2253, as openssl gives it
    fingerprint: str  # SHA-256 of the certificate, AB:CD:...
    stamped: bool


@dataclass
class Notes:
    version: str
    commit: str
    epoch: str
    trial: bool = False
    settings: dict = field(default_factory=dict)  # NAME -> value, in the programs' order
    qtbase: list = field(default_factory=list)  # Debian's versions of qt6-base
    serialport: list = field(default_factory=list)  # archive names
    debian: str = ""  # "12.8 (bookworm)"
    packages: list = field(default_factory=list)  # "name version", sorted
    signer: Optional[Signer] = None
    zips: dict = field(default_factory=dict)  # name -> SHA-256 before signing, sorted by name


def text(notes):
    """RELEASE.txt, what a verification reads and a person checks."""
    lines = [f"tracker-updater {notes.version}, commit {notes.commit}"] + ([TRIAL] if notes.trial else [])
    lines += ["", SETTINGS] + [f"    {name}={value}" for name, value in notes.settings.items()]
    lines += ["", f"{EPOCH}{notes.epoch}", "", SOURCES]
    lines += [f"    Qt Base: Debian's qt6-base {v} (qt6-base_{v}.* and its orig.tar.xz)" for v in notes.qtbase]
    lines += [f"    Qt Serial Port: {archive}" for archive in notes.serialport]
    lines += ["", f"Built on Debian {notes.debian}, with these packages, which shape the bytes:"]
    lines += [f"    {package}" for package in notes.packages] + LICENCES + [""]
    if notes.signer:
        lines += [SIGNED, f"    {notes.signer.subject}", f"    (SHA-256 fingerprint {notes.signer.fingerprint})",
                  STAMPED if notes.signer.stamped else UNSTAMPED]
    else:
        lines.append(UNSIGNED)
    lines += ["", *ZIPS] + [f"    {sha}  {name}" for name, sha in notes.zips.items()] + ["", *PUBLISH]
    return "".join(line + "\n" for line in lines)


def read(raw, path):
    """A stranger's RELEASE.txt as Notes; Refusal (exit 2), one line naming the file, when
    a release would not have written it so."""
    if len(raw) > MOST_BYTES:
        raise Refusal(f"{path}: is longer than {MOST_BYTES} bytes, more than any release writes")
    try:
        lines = raw.decode("utf-8").split("\n")
    except UnicodeDecodeError:
        raise Refusal(f"{path}: is not UTF-8 text")
    first = re.fullmatch(r"tracker-updater (\S+), commit (\S+)", lines[0])
    if not first or not VERSION.fullmatch(first.group(1)) or not COMMIT.fullmatch(first.group(2)):
        raise Refusal(f"{path}: its first line names no version and commit: it is no release this tool can check")
    notes = Notes(first.group(1), first.group(2), "", trial=len(lines) > 1 and lines[1] == TRIAL)
    # Each indented line to the heading above it; the text written back decides the rest.
    heading, fields = None, []
    for line in lines[1:]:
        if line.startswith("    ") and heading is not None:
            fields.append((heading, line[4:]))
        else:
            heading = line
    for heading, value in fields:
        parts = value.split("  ")
        if heading == SETTINGS and SETTING.fullmatch(value) and value.isprintable():
            notes.settings.setdefault(*value.split("=", 1))
        elif heading == SOURCES and (qtbase := re.fullmatch(r"Qt Base: Debian's qt6-base (\S+) \(.*", value)):
            if DEBIAN_VERSION.fullmatch(qtbase.group(1)):
                notes.qtbase.append(qtbase.group(1))
        elif heading == SOURCES and value.startswith("Qt Serial Port: "):
            if FILE_NAME.fullmatch(value[16:]):
                notes.serialport.append(value[16:])
        elif DEBIAN.fullmatch(heading) and PACKAGE.fullmatch(value):
            notes.packages.append(value)
        elif heading == SIGNED and notes.signer is None and value.isprintable() and value[:1] not in ("", " "):
            notes.signer = Signer(value, "", False)
        elif heading == SIGNED and notes.signer and (fingerprint := re.fullmatch(r"\(SHA-256 fingerprint (.*)\)", value)):
            notes.signer.fingerprint = fingerprint.group(1) if FINGERPRINT.fullmatch(fingerprint.group(1)) else ""
        elif heading == SIGNED and notes.signer and f"    {value}" == STAMPED:
            notes.signer.stamped = True
        elif heading == ZIPS[1] and len(parts) == 2 and SHA256.fullmatch(parts[0]) and ZIP_NAME.fullmatch(parts[1]):
            notes.zips.setdefault(parts[1], parts[0])
    for line in lines:
        if (epoch := line.removeprefix(EPOCH)) != line and re.fullmatch(r"[0-9]{1,12}", epoch):
            notes.epoch = epoch
        elif debian := DEBIAN.fullmatch(line):
            notes.debian = f"{debian.group(1)} ({debian.group(2)})"
    written = text(notes).split("\n")
    for number, (line, expected) in enumerate(zip(lines, written), start=1):
        if line != expected:
            raise Refusal(f"{path}: line {number} is not as a release writes it: '{shown(line, 80)}'")
    if len(lines) != len(written):
        raise Refusal(f"{path}: ends {'early' if len(lines) < len(written) else 'with lines a release never writes'}")
    if not notes.epoch or not notes.qtbase or not notes.zips or (notes.signer and not notes.signer.fingerprint):
        raise Refusal(f"{path} names no SOURCE_DATE_EPOCH, Qt sources, zips before signing or signer's fingerprint: "
                      "it is no release this tool can check")
    for what, items in (("a Qt Base", notes.qtbase), ("a Qt Serial Port", notes.serialport),
                        ("a package", [package.split(" ")[0] for package in notes.packages])):
        if len(set(items)) != len(items):
            raise Refusal(f"{path}: names {what} twice")
    if len(notes.zips) > MOST_ZIPS:
        raise Refusal(f"{path}: names {len(notes.zips)} zips, more than any release makes (at most {MOST_ZIPS})")
    if len(notes.packages) > MOST_PACKAGES:
        raise Refusal(f"{path}: names {len(notes.packages)} packages, more than any release records (at most "
                      f"{MOST_PACKAGES})")
    return notes


def check_settings(notes, names, path):
    """The settings RELEASE.txt gives are the programs' `names`, each once."""
    for name in notes.settings:
        if name not in names:
            raise Refusal(f"{path} gives {name}, which is no setting of the programs")
    for name in names:
        if name not in notes.settings:
            raise Refusal(f"{path} does not give {name}")
