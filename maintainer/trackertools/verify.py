"""verify-release FOLDER [COMMIT]: whether a release folder, which anyone may have changed,
is what a rebuild of a commit the verifier trusts gives (docs/building-on-windows.md).

It trusts this clone, the commit it rebuilds (on a local branch, or named as COMMIT: a
hash, a local branch or a tag, which RELEASE.txt's must equal) and the programs it runs: git, osslsigncode,
openssl, dpkg-query, bash with the commit's Windows check, CMake and strip-nondeterminism.
Each file of FOLDER is copied once, size-capped, into a folder of its own and read only
there. Of a published zip only its programs reach the disk, under names of our own, for
osslsigncode; every other entry is compared by the SHA-256 of its inflated bytes.
Exit code 0 when every zip is the same, 1 when one differs or a check or the rebuild
fails, 2 when FOLDER is no release or its commit is not one to rebuild."""
import errno
import hashlib
import os
import shutil
import signal
import stat
import sys
import tempfile

from dataclasses import dataclass

from . import authenticode, children, common, gitrepo, notes as release_notes, packing, paths, pkcs11token, signing, sources, stranger
from .common import Failure, Refusal, say, shown, warn

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
UNTRUSTED = "signed by a certificate that Windows does not trust by default"
MOST_FILE_BYTES = 1 << 30  # any one file of a release: its zips and Qt's sources
MOST_COPIED_BYTES = 3 << 30  # the whole folder: its zips together are well under 2 GiB
READING_SECONDS = 900  # reading the zips and checking their programs' signatures, all of them
MOST_NAMES = 1000  # in the folder or in SOURCES/
TOOL_SECONDS, TOOL_MEMORY = 60, 1 << 30  # osslsigncode and openssl, on bytes that passed
REBUILD_SECONDS = 8 * 3600  # a first rebuild builds Qt for Windows
# What a write to our temporary folder may meet, told as the folder's fault, not the release's.
TEMPORARY_FULL = (errno.ENOSPC, errno.EDQUOT, errno.EROFS, errno.EACCES)


@dataclass
class Program:
    file: str  # its bytes, for osslsigncode, in a signed release
    blob: bytes  # its signature, DER, or None
    digest: bytes  # its Authenticode digest
    signature: authenticode.Signature  # as read, or None


@dataclass
class Signer:
    fingerprint: str
    trusted: bool  # its chain leads to a root of this machine's trust store
    subject: str  # as openssl gives it


is_program = signing.is_program


def named(text):
    """A name of the folder's, or a path holding one, for our lines: shown, never obeyed
    (a new line or an escape sequence in it would forge or erase our lines)."""
    return shown(text, 4096)


def setting_names():
    with open(os.path.join(ROOT, "modem", "buildsettings.list"), encoding="utf-8") as names:
        return [line.split()[0] for line in names if line.startswith("TRACKER_")]


class Folder:
    """The stranger's folder, read once: each file copied into `copies` as it is read."""

    def __init__(self, path, copies):
        self.path, self.copies = path, copies
        self.copied, self.files = 0, {}  # bytes copied so far; (device, inode) -> the name copied
        try:
            self.fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            self.names(self.fd, path)
        except OSError as error:
            raise Refusal(f"{named(path)} is no release folder: it has no RELEASE.txt" if error.errno in
                          (errno.ENOENT, errno.ENOTDIR) else f"{named(path)}: cannot be read: {error.strerror}")

    def names(self, fd, path):
        """Its names, read no further than one past the most a release has."""
        names = []
        with os.scandir(fd) as listing:
            for item in listing:
                names.append(item.name)
                if len(names) > MOST_NAMES:
                    raise Refusal(f"{named(path)}: holds more than {MOST_NAMES} names, more than any release", 1)
        return sorted(names)

    def copy(self, name, most, dir_fd=None, code=1):
        """The file copied (never a link, pipe or device; at most `most` bytes): its copy's
        path and SHA-256. Refusal naming the file otherwise."""
        shown_path = named(os.path.join(self.path, "SOURCES" if dir_fd is not None else "", name))
        try:
            # Looked at before it is opened: opening a device or a pipe may already do something.
            if not stat.S_ISREG(os.stat(name, dir_fd=self.fd if dir_fd is None else dir_fd, follow_symlinks=False).st_mode):
                raise Refusal(f"{shown_path}: is not a plain file", code)
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                         dir_fd=self.fd if dir_fd is None else dir_fd)
        except OSError as error:
            if error.errno == errno.ENOENT:
                raise Refusal(f"{shown_path}: missing", code)
            raise Refusal(f"{shown_path}: is not a plain file" if error.errno in (errno.ELOOP, errno.ENXIO) else
                          f"{shown_path}: cannot be read: {error.strerror}", code)
        digest, copy = hashlib.sha256(), os.path.join(self.copies, f"{len(os.listdir(self.copies))}")
        with os.fdopen(fd, "rb") as source, open(copy, "xb") as target:
            status = os.fstat(fd)
            if not stat.S_ISREG(status.st_mode):
                raise Refusal(f"{shown_path}: is not a plain file", code)
            # A file linked under many names would cost its size once for each.
            whole = os.path.join(self.path, "SOURCES" if dir_fd is not None else "", name)
            seen = self.files.setdefault((status.st_dev, status.st_ino), whole)
            if seen != whole:
                raise Refusal(f"{shown_path}: is the same file as {named(seen)}, which no release has", code)
            copied = 0
            try:
                for block in iter(lambda: source.read(1 << 20), b""):
                    copied += len(block)
                    self.copied += len(block)
                    if copied > most:
                        raise Refusal(f"{shown_path}: is longer than {most} bytes, more than any release writes", code)
                    if self.copied > MOST_COPIED_BYTES:
                        raise Refusal(f"{named(self.path)}: holds more than {MOST_COPIED_BYTES} bytes, more than any release", code)
                    digest.update(block)
                    target.write(block)
            except OSError as error:
                if error.errno in TEMPORARY_FULL:
                    raise
                raise Refusal(f"{shown_path}: cannot be read: {error.strerror}", code)
        return copy, digest.hexdigest()


def choose_commit(repository, notes_commit, named):
    """The commit to rebuild, printed with the full name of what makes it trusted; Refusal
    when it is not. Unnamed, only a local branch counts: a tag may have come with a fetch
    of someone else's repository, under any name (even master)."""
    if named is not None:
        commit, ref = repository.named(named)
        if commit != notes_commit:
            raise Refusal(f"RELEASE.txt names commit {notes_commit}, not {named} ({commit}): nothing rebuilt")
        say(f"Commit {commit}, named on the command line as {named}" + (f" ({ref})" if ref != named else ""))
        return commit
    kind = repository.kind(notes_commit)
    if kind is None:
        raise Refusal(f"commit {notes_commit} is not in this clone: fetch it, and name it on the command line "
                      "if no branch of yours holds it")
    if kind != "commit":
        raise Refusal(f"RELEASE.txt names {notes_commit} as its commit, but that is a {kind} of this clone, not a commit")
    refs = repository.local_branches_containing(notes_commit)
    if not refs:
        raise Refusal(f"commit {notes_commit} is on no local branch of this clone (a remote's branch or a fetched tag "
                      "is another's choice): nothing rebuilt, unless it or its tag is named on the command line")
    say(f"Commit {notes_commit}, on {', '.join(refs[:3])}")
    return notes_commit


def tool(argv, what, timeout=TOOL_SECONDS):
    return children.run(argv, timeout=timeout, memory=TOOL_MEMORY, name=what)


def fingerprint(certificate):
    return ":".join(f"{byte:02X}" for byte in hashlib.sha256(certificate).digest())


def pem(certificates):
    return "".join(pkcs11token.pem(certificate) for certificate in certificates)


def check_signature(program, work):
    """(the program's Signer, None), or (None, why its signature does not verify): our
    own check that it is of these bytes and holds, and osslsigncode's exit code."""
    signature, store = program.signature, authenticode.trust_store()
    if signature.digest != program.digest:
        return None, "it is of other bytes than this program"
    fault = authenticode.fault(signature, store)
    if fault:
        return None, fault
    roots = os.path.join(work, "roots.pem")
    with open(roots, "w") as file:  # the roots it carries tell a broken signature from an untrusted one
        file.write(pem(store + [c for c, self_signed in signature.carried if self_signed]))
    if tool(["osslsigncode", "verify", *signing.offline(), "-CAfile", roots, "-in", program.file],
            "osslsigncode verify").returncode != 0:
        return None, "osslsigncode does not verify it"
    trusted = bool(store) and tool(["osslsigncode", "verify", *signing.offline(), "-CAfile", authenticode.TRUST_STORE, "-in",
                                    program.file], "osslsigncode verify").returncode == 0
    signer_file = os.path.join(work, "signer.der")
    with open(signer_file, "wb") as file:
        file.write(signature.signer)
    done = tool(["openssl", "x509", "-inform", "DER", "-in", signer_file, "-noout", "-subject", "-nameopt", "RFC2253"],
                "openssl x509")
    return Signer(fingerprint(signature.signer), trusted,
                  done.stdout.decode("utf-8", "replace").strip().removeprefix("subject=")), None


def check_folder(folder, notes, pins, work, deadline):
    """Everything that needs no build; the copies' paths and the zips read. Refusal with
    one line for each fault of the folder."""
    faults, release_txt = [], named(os.path.join(folder.path, "RELEASE.txt"))
    zips = notes.zips
    sums_path = named(os.path.join(folder.path, "SHA256SUMS"))
    sums = {}
    try:
        sums = stranger.read_sums(open(folder.copy("SHA256SUMS", stranger.MOST_SUMS_BYTES)[0], "rb").read(), sums_path)
        faults += [f"{sums_path}: names {named(name)}, which RELEASE.txt does not" for name in sorted(set(sums) - set(zips))]
        faults += [f"{sums_path}: does not name {named(name)}, which RELEASE.txt does" for name in sorted(set(zips) - set(sums))]
    except Refusal as refusal:
        faults += refusal.lines
    wanted, source_faults = stranger.pinned_sources(notes, pins, release_txt)
    faults += source_faults
    expected = {"RELEASE.txt", "SHA256SUMS", "SOURCES", *zips}
    names = folder.names(folder.fd, folder.path)
    faults += [f"{named(os.path.join(folder.path, name))}: is no part of a release" for name in names if name not in expected]
    faults += [f"{named(os.path.join(folder.path, name))}: missing" for name in sorted(expected - set(names) - {"SHA256SUMS"})]
    sources = os.path.join(work, "sources")
    os.mkdir(sources)
    if "SOURCES" in names:
        try:
            sources_fd = os.open("SOURCES", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=folder.fd)
        except OSError:
            faults.append(f"{named(folder.path)}/SOURCES: is not a plain folder")
        else:
            present = folder.names(sources_fd, f"{folder.path}/SOURCES")
            for name in present:
                path = named(f"{folder.path}/SOURCES/{name}")
                if name not in wanted:
                    faults.append(f"{path}: is no source the commit pins for this release")
                    continue
                try:
                    copy, digest = folder.copy(name, MOST_FILE_BYTES, dir_fd=sources_fd)
                except Refusal as refusal:
                    faults += refusal.lines
                    continue
                if digest != wanted[name]:
                    faults.append(f"{path}: is not the pinned source: its SHA-256 differs from the commit's pin")
                else:
                    os.rename(copy, os.path.join(sources, name))
            faults += [f"{named(folder.path)}/SOURCES/{named(name)}: missing (pinned by the commit)" for name in sorted(set(wanted) - set(present))]
            os.close(sources_fd)
    # A zip is read only once nothing else is wrong, and only one that RELEASE.txt names.
    if faults:
        raise Refusal(faults, 1)
    read, unpacked, entries_read = {}, 0, 0
    for name in sorted(set(zips) & set(names)):
        path = named(os.path.join(folder.path, name))
        deadline.check()
        try:
            copy, digest = folder.copy(name, MOST_FILE_BYTES)
        except Refusal as refusal:
            raise Refusal(faults + refusal.lines, 1)
        # At once: a folder that lies costs no more reading.
        if name in sums and digest != sums[name]:
            raise Refusal(faults + [f"{path}: does not match its SHA-256 in SHA256SUMS"], 1)
        try:
            data = stranger.FileBytes(copy)
            entries = stranger.read_zip(data, path)
            deadline.check()
            read[name] = (copy, data, entries)
            unpacked += sum(entry.size for entry in entries)
            entries_read += len(entries)
        except Refusal as refusal:
            faults += refusal.lines
        if entries_read > stranger.MOST_ENTRIES:
            raise Refusal(faults + [f"{named(folder.path)}: its zips hold more than {stranger.MOST_ENTRIES} entries "
                                    "together, more than any release's"], 1)
    # Many zips, each below the limit, would still cost more than any release's.
    if unpacked > stranger.MOST_UNPACKED_BYTES:
        faults.append(f"{named(folder.path)}: its zips would unpack to {unpacked} bytes together, more than any release's")
    if faults:
        raise Refusal(faults, 1)
    return read, sources


def read_programs(data, entries, path, work, signed, deadline):
    """Every entry's SHA-256 once inflated (each checked against its size and CRC), and
    each program's file (written under a name of our own, for osslsigncode, in a signed
    release only), signature and Authenticode digest. Their number and each one's size
    are bounded before any is inflated, the time by the deadline of all the reading."""
    digests, programs = {}, {}
    count = sum(1 for entry in entries if not entry.is_folder and is_program(entry.name))
    if count > stranger.MOST_PROGRAMS:
        raise Refusal(f"{path}: holds {count} programs, more than any release's zip (at most {stranger.MOST_PROGRAMS})", 1)
    for entry in entries:
        if entry.is_folder:
            continue
        if is_program(entry.name) and entry.size > stranger.MOST_PROGRAM_BYTES:
            raise Refusal(f"{path}: {named(entry.name)}: is larger than {stranger.MOST_PROGRAM_BYTES} bytes, "
                          "more than any program of a release", 1)
        digest, pieces = hashlib.sha256(), []
        for piece in stranger.inflated(data, entry, path, deadline):
            digest.update(piece)
            if is_program(entry.name):
                pieces.append(piece)
        digests[entry.name] = digest.hexdigest()
        if is_program(entry.name):
            program = b"".join(pieces)
            blob, program_digest = stranger.program_signature(program, f"{path}: {named(entry.name)}")
            # Before osslsigncode or the rebuild: a signature holds only what our signing writes.
            signature = authenticode.read_signature(blob, f"{path}: {named(entry.name)}") if blob is not None else None
            file = os.path.join(work, f"program-{len(programs)}") if signed else None
            if file:
                with open(file, "xb") as output:
                    output.write(program)
            programs[entry.name] = Program(file, blob, program_digest, signature)
    return digests, programs


def check_signatures(zip_name, programs, notes, work, deadline):
    """The lines of programs whose signature is not what RELEASE.txt says, and the signer seen."""
    differences, signer, claim = [], None, notes.signer
    zip_name = named(zip_name)

    def differs(name, what):
        differences.append(f"{zip_name}: different: {name} {what}")
    for name, program in sorted(programs.items()):
        name = named(name)
        deadline.check()
        if not claim and program.blob is not None:
            differs(name, "carries a signature, but RELEASE.txt says the release is unsigned")
        elif claim and program.blob is None:
            differs(name, "carries no signature, but RELEASE.txt says every program is signed")
        elif claim and program.signature.stamped != claim.stamped:
            differs(name, "carries a time stamp, but RELEASE.txt says none" if program.signature.stamped
                    else "carries no time stamp, but RELEASE.txt says each signature is time-stamped")
        elif claim:
            found, fault = check_signature(program, work)
            if fault:
                differences.append(f"{zip_name}: different: {name}: its signature does not verify: {fault}")
            elif found.fingerprint != claim.fingerprint:
                differs(name, f"is signed by another certificate than RELEASE.txt names: {shown(found.subject)} "
                        f"(SHA-256 fingerprint {found.fingerprint})")
            else:
                signer = found
    return differences, signer


def toolchain_differences(notes):
    differences = []
    try:
        version = open("/etc/debian_version").read().strip()
        codename = dict(line.rstrip("\n").split("=", 1) for line in open("/etc/os-release") if "=" in line).get(
            "VERSION_CODENAME", "").strip('"')
    except OSError:
        version = codename = "?"
    if notes.debian != f"{version} ({codename})":
        differences.append(f"Debian {version} ({codename}) here, {notes.debian} in RELEASE.txt")
    for line in notes.packages:
        package, version = line.split(" ")
        done = tool(["dpkg-query", "-W", "-f", "${Version}", package], "dpkg-query")
        here = done.stdout.decode().strip() if done.returncode == 0 else ""
        if here != version:
            differences.append(f"{package} {here or 'not installed'} here, {version} in RELEASE.txt")
    return differences


class RebuildFailed(Failure):
    pass


def rebuild(commit, notes, sources, work):
    """The commit's own Windows check in a clone of our own; the folder of its zips. Its
    temporary files go into our work folder, so that no stop leaves them behind."""
    repository = gitrepo.Repository(ROOT)
    clone = repository.checkout(commit, os.path.join(work, "clone"))
    os.mkdir(os.path.join(work, "tmp"), 0o700)
    qt_lines = " ".join(".".join(version.split(":")[-1].split(".")[:2]) for version in notes.qtbase)
    env = children.environment({**notes.settings, "WINDOWS_QT": qt_lines, "QT_BASE_SOURCES": sources,
                                "QT_SERIALPORT_SOURCES": sources, "BUILD_DIR": os.path.join(work, "linux"),
                                "WINDOWS_BUILD_DIR": os.path.join(work, "windows"), "TMPDIR": os.path.join(work, "tmp"),
                                "WINDOWS_PACK_ONLY": "1"},
                               source_date_epoch=notes.epoch)
    log = os.path.join(work, "check.log")
    say(f"Rebuilding commit {commit} in {work}")
    with open(log, "wb") as output:
        child = children.start(["bash", os.path.join(clone, "scripts", "check-windows-package")], env=env,
                               cwd=clone, stdout=output, stderr=output)
        done = children.wait(child, REBUILD_SECONDS, "the rebuild (the commit's Windows check)")
    if done.returncode != 0:
        # Our line first; the check's own last lines after it, as its words, not ours.
        warn(f"the rebuild failed (exit code {done.returncode}; its log: {log}), whose last lines are:")
        with open(log, "rb") as file:
            file.seek(max(0, os.fstat(file.fileno()).st_size - 4000))
            for line in file.read().decode("utf-8", "replace").rstrip("\n").split("\n")[-20:]:
                print(f"    {shown(line, 300)}", file=sys.stderr)
        raise RebuildFailed([])
    return os.path.join(work, "windows", "packages")


def entry_list(entries):
    return [f"{'folder' if e.is_folder else 'file'} {e.mode & 0o7777:04o} {e.name}" for e in entries]


def compare(zip_name, published, programs, digests, sum_before, rebuilt_folder, signed, work):
    """The verdict for one zip: "the same", or "different: " and the first difference."""
    rebuilt_path = os.path.join(rebuilt_folder, zip_name)
    if not os.path.isfile(rebuilt_path):
        return "different: the rebuild made no such zip"
    copy, data, entries = published
    own = stranger.FileBytes(rebuilt_path)
    own_entries = stranger.read_zip(own, rebuilt_path)
    mine, theirs = entry_list(own_entries), entry_list(entries)
    only = sorted(set(mine) ^ set(theirs))
    if only:
        return f"different: the entry \"{named(only[0])}\" is in one only"
    unpacked = os.path.join(work, "rebuilt", zip_name)
    os.makedirs(unpacked)
    stranger.unpack(own, own_entries, rebuilt_path, unpacked)
    if signed:  # the published signature put onto the rebuilt program: the published one, if the same
        for name, published_program in sorted(programs.items()):
            program = os.path.join(unpacked, *name.split("/"))
            with open(program, "rb") as file:
                rebuilt_program = file.read()
            try:
                rebuilt_program = stranger.with_signature(rebuilt_program, published_program.blob, named(name))
            except Refusal as refusal:
                return f"different: {refusal.lines[0]}"
            with open(program, "wb") as file:
                file.write(rebuilt_program)
    for name in sorted(digests):
        with open(os.path.join(unpacked, *name.split("/")), "rb") as file:
            if hashlib.file_digest(file, "sha256").hexdigest() != digests[name]:
                return f"different: {named(name)} differs"
    same = os.path.join(work, "same", zip_name)
    os.makedirs(os.path.dirname(same), exist_ok=True)
    if signed:
        packing.pack_signed(rebuilt_path, unpacked, same)
    else:
        shutil.copyfile(rebuilt_path, same)
    with open(same, "rb") as mine_file, open(copy, "rb") as theirs_file:
        if hashlib.file_digest(mine_file, "sha256").digest() != hashlib.file_digest(theirs_file, "sha256").digest():
            return "different: the same entries and files, but not the same zip"
    with open(rebuilt_path, "rb") as file:
        rebuilt_sum = hashlib.file_digest(file, "sha256").hexdigest()
    if rebuilt_sum != sum_before:
        return "different: the same files, but the rebuilt zip is not the one RELEASE.txt gives before signing"
    return "the same"


def signed_zip_verdict(signed_zip, unsigned_zip, work):
    """compare() on a signed zip and the unsigned zip it was made from, as the Windows check
    has them: "the same", or "different: " and the first difference."""
    name = os.path.basename(signed_zip)
    os.makedirs(os.path.join(work, "rebuilt-zips"))
    os.makedirs(os.path.join(work, "programs"))
    os.symlink(os.path.abspath(unsigned_zip), os.path.join(work, "rebuilt-zips", name))
    data = stranger.FileBytes(signed_zip)
    entries = stranger.read_zip(data, signed_zip)
    digests, programs = read_programs(data, entries, signed_zip, os.path.join(work, "programs"), True,
                                      stranger.Deadline(signed_zip, READING_SECONDS))
    with open(unsigned_zip, "rb") as file:
        sum_before = hashlib.file_digest(file, "sha256").hexdigest()
    return compare(name, (signed_zip, data, entries), programs, digests, sum_before,
                   os.path.join(work, "rebuilt-zips"), True, work)


def discard_stranger_bytes(work):
    """Of a kept work folder, only our own rebuild stays: no copy of the folder's files
    nor of its programs (a bomb among them would stay on disk)."""
    for name in ("copies", "programs", "sources", "rebuilt", "same"):
        shutil.rmtree(os.path.join(work, name), ignore_errors=True)
    for name in ("signer.der", "roots.pem", "child.pem", "parent.pem"):
        try:
            os.remove(os.path.join(work, name))
        except FileNotFoundError:
            pass


def main(arguments):
    if len(arguments) not in (1, 2) or not arguments[0]:
        raise Refusal("give the release folder, and the commit or its tag if no local branch of this clone holds it: "
                      "scripts/verify-release FOLDER [COMMIT]")
    path = os.path.abspath(arguments[0])  # never an option, whatever its name
    temporary = os.environ.get("TMPDIR", "")
    temporary = temporary if temporary.startswith("/") and os.path.isdir(temporary) else "/tmp"
    # Its folder is made there and used by path: no other user may be able to swap it.
    # The folder checked is the one used, by us and by what we start: a link on the way
    # could be turned elsewhere once checked.
    temporary = paths.require_trusted(os.path.realpath(temporary), "the temporary folder (TMPDIR)", sticky_allowed=True)
    os.environ["TMPDIR"] = temporary
    children.environment()  # refused now when another user could change the cache the rebuild uses
    state = {"work": None, "outcome": "removed"}

    def finish():
        """The work folder removed, or kept without the folder's bytes: once."""
        work, state["work"] = state["work"], None
        if work and state["outcome"] in ("different", "kept"):
            discard_stranger_bytes(work)
            warn(f"the rebuild is kept in {work}")
        elif work:
            shutil.rmtree(work, ignore_errors=True)
    # A stop waits until the work folder is named, and again while it is removed; one that
    # still cuts the ending short leaves it to the tools' own ending (common.cleanups).
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, children.STOPS)
    try:
        state["work"] = tempfile.mkdtemp(prefix="tracker-updater-verify.", dir=temporary)
        common.cleanups.append(finish)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        state["outcome"] = verify(path, arguments[1] if len(arguments) == 2 else None, state["work"])
        return 1 if state["outcome"] == "different" else 0
    except RebuildFailed:
        state["outcome"] = "kept"
        raise
    except OSError as error:
        if error.errno not in TEMPORARY_FULL:
            raise
        raise Failure(f"the temporary folder {named(temporary)} cannot take the verification's files: {error.strerror} "
                      "(free space there, or set TMPDIR to another folder)")
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, children.STOPS)
        finish()
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def verify(path, named_commit, work):
    """The verification in the work folder: "same" or "different"."""
    os.mkdir(os.path.join(work, "copies"), 0o700)
    os.mkdir(os.path.join(work, "programs"), 0o700)
    folder = Folder(path, os.path.join(work, "copies"))
    notes_path = named(os.path.join(path, "RELEASE.txt"))
    try:
        notes_copy, _ = folder.copy("RELEASE.txt", release_notes.MOST_BYTES, code=2)
    except Refusal as refusal:
        if refusal.lines[0].endswith(": missing"):
            raise Refusal(f"{named(path)} is no release folder: it has no RELEASE.txt")
        raise
    notes = release_notes.read(open(notes_copy, "rb").read(), notes_path)
    release_notes.check_settings(notes, setting_names(), notes_path)
    repository = gitrepo.Repository(ROOT)
    commit = choose_commit(repository, notes.commit, named_commit)
    pins_text = repository.show(commit, "scripts/pinned-qt-sources")
    if pins_text is None:
        raise Refusal(f"commit {commit} pins no Qt sources (scripts/pinned-qt-sources): this tool cannot check its releases")
    pins = sources.Pins(pins_text.decode("utf-8", "replace"), f"{commit}:scripts/pinned-qt-sources")
    # One deadline for all the reading before the rebuild, each zip's own besides.
    deadline = stranger.Deadline(named(path), READING_SECONDS)
    read, source_copies = check_folder(folder, notes, pins, work, deadline)
    os.close(folder.fd)

    missing = signing.missing_tools("file") if notes.signer else []
    if missing:
        raise Refusal(f"checking the signatures needs {' and '.join(missing)}: install what is missing (scripts/test does)")
    differences, signer, contents = [], None, {}
    for name in sorted(read):
        copy, data, entries = read[name]
        digests, programs = read_programs(data, entries, named(os.path.join(path, name)), os.path.join(work, "programs"),
                                          notes.signer is not None, deadline)
        contents[name] = (digests, programs)
        found, seen = check_signatures(name, programs, notes, work, deadline)
        differences += found
        signer = seen or signer
    for line in differences:
        say(line)
    if differences:
        raise Failure("a signature is not the release's: nothing rebuilt")
    if signer and notes.signer.subject != signer.subject:
        raise Failure(f"{notes_path}: names the signer '{shown(notes.signer.subject, 120)}', "
                      f"but the programs are signed by {shown(signer.subject)}: nothing rebuilt")
    if signer:
        say(f"Signed by {shown(signer.subject)}, whose chain leads to a root of this machine's trust store" if signer.trusted
            else f"{UNTRUSTED[0].upper()}{UNTRUSTED[1:]}: {shown(signer.subject)}, whose chain leads to no root of this "
                 "machine's trust store")
    elif not notes.signer:
        say("Unsigned, as RELEASE.txt says")
    toolchain = toolchain_differences(notes)
    for difference in toolchain:
        warn(f"the toolchain differs: {difference}")

    rebuilt = rebuild(commit, notes, source_copies, work)
    note = f"; the toolchain differs from the release's in {', '.join(d.split(' ')[0] for d in toolchain)}" if toolchain else ""
    outcome = "same"
    for name in sorted(read):
        verdict = compare(name, read[name], contents[name][1], contents[name][0], notes.zips.get(name),
                          rebuilt, notes.signer is not None, work)
        if verdict != "the same":
            outcome, verdict = "different", verdict + note
        say(f"{named(name)}: {verdict}")
    return outcome
