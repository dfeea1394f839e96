"""Fixed zips, programs compared as their signatures cover them, and the Windows check
(scripts/check-windows-package): the project built for 64-bit Windows with each Qt and
kind, packed twice to the same bytes, signed where asked, and run under wine against the
simulated tracker by tests/tst_windowspackage."""
import fcntl
import os
import re
import shutil
import tempfile
import time
import xml.etree.ElementTree as ElementTree
import zipfile

from . import children, gitrepo, signing, sources, stranger, windowsqt
from .common import Failure, Refusal, is_placeholder_name, say, warn

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
KINDS = ("static", "shared")
PUBLISHED_KIND = "shared"  # what a release publishes: the static zips are for checking only
EXTRA_PACKAGES = ("mingw-w64 wine wine64 dpkg-dev ninja-build locales strip-nondeterminism openssl python3 "
                  "python3-pefile python3-asn1crypto python3-cryptography")
REQUIRED_LICENCES = ("qtbase/LGPL-3.0-only.txt", "qtbase/GPL-3.0-only.txt", "qtserialport/LGPL-3.0-only.txt",
                     "qtserialport/GPL-3.0-only.txt", "mingw-w64/gcc-runtime-library-exception-and-licences.txt",
                     "mingw-w64/mingw-w64-and-winpthreads-licences.txt")
PACK_LIMIT = 3600
WINE_LIMIT = 2 * 3600


# The build-time settings (modem/buildsettings.list), and the names kept for examples.
def tracker_settings(root=ROOT):
    """(name, kind) of each build-time setting: kind "carrier" when a release must be
    given the carrier's own value."""
    with open(os.path.join(root, "modem", "buildsettings.list"), encoding="utf-8") as file:
        return [tuple(line.split()[:2]) for line in file if line.startswith("TRACKER_")]


def cached_setting(build, name):
    """The value the build folder was configured with."""
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as file:
        for line in file:
            if (match := re.match(rf"{re.escape(name)}:[A-Z]*=(.*)", line.rstrip("\n"))):
                return match.group(1)
    return ""


# Zips and programs.
def fix_zip(path, epoch):
    """Its entries in name order, each with the time of epoch and plain modes, whatever the
    time zone, umask or file system: the same files give the same bytes."""
    done = children.run(["strip-nondeterminism", "--type", "zip", "--timestamp", str(epoch), path], timeout=600,
                        env=children.environment({"TZ": "UTC", "LC_ALL": "C"}))
    if done.returncode != 0:
        raise Failure(f"{os.path.basename(path)}: its entries' order and times not made fixed")


def pack_signed(unsigned, signed_folder, path):
    """The signed zip: the unsigned zip's entries in its order, with its names, modes and
    times, each program's bytes from the signed folder, every other entry's its own. A
    verifier packs the same zip from the zip its rebuild gives and the published signatures."""
    part = path + ".part"
    with zipfile.ZipFile(unsigned) as source, zipfile.ZipFile(part, "w") as target:
        for entry in source.infolist():
            copy = zipfile.ZipInfo(entry.filename, entry.date_time)
            copy.external_attr, copy.create_system = entry.external_attr, entry.create_system
            copy.compress_type = entry.compress_type
            if signing.is_program(entry.filename) and not entry.is_dir():
                with open(os.path.join(signed_folder, *entry.filename.split("/")), "rb") as program:
                    data = program.read()
            else:
                data = source.read(entry)
            target.writestr(copy, data, compresslevel=9)
    os.replace(part, path)


def pack_signed_command(arguments):
    """tracker-tools pack-signed UNSIGNED-ZIP SIGNED-FOLDER ZIP, for the tests' stand-in releases."""
    if len(arguments) != 3:
        raise Refusal("usage: tracker-tools pack-signed UNSIGNED-ZIP SIGNED-FOLDER ZIP", 2)
    pack_signed(*arguments)


def files_in(folder):
    """The folder's files, by name as bytes sort them, whatever the locale."""
    return sorted((os.path.relpath(os.path.join(top, name), folder) for top, _, files in os.walk(folder)
                   for name in files), key=os.fsencode)


def same_file(one, other):
    with open(one, "rb") as a, open(other, "rb") as b:
        while (block := a.read(1 << 20)) == b.read(1 << 20):
            if not block:
                return True
    return False


def first_difference(folder, other):
    """The first file, by name, that is in one folder only or differs: "x is in one only",
    "bin/x.exe differs"; None when they hold the same."""
    mine, theirs = files_in(folder), files_in(other)
    for name in sorted(set(mine) ^ set(theirs)):
        return f"{name} is in one only"
    for name in mine:
        if not same_file(os.path.join(folder, name), os.path.join(other, name)):
            return f"{name} differs"
    return None


def unsigned_form(path):
    """A program as its signature covers it: cut where a signature begins, padded with
    zeros to a multiple of 8 bytes as signing pads it, with its check sum and the header's
    entry for the signature cleared, at pefile's offsets. The same for a program and its
    signed copy."""
    import pefile  # python3-pefile: only what reads programs needs it
    with open(path, "r+b") as program:
        try:
            pe = pefile.PE(data=program.read(), fast_load=True)
            check_sum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
            table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
            entry, signature_at = table.get_file_offset(), table.VirtualAddress
            pe.close()
        except (pefile.PEFormatError, IndexError):
            raise Failure(f"{path}: no Windows program")
        size = os.fstat(program.fileno()).st_size
        if 0 < signature_at <= size:
            size = signature_at
        program.truncate(size)
        program.truncate((size + 7) // 8 * 8)
        for offset, count in ((check_sum, 4), (entry, 8)):
            program.seek(offset)
            program.write(bytes(count))


def zip_folder(folder, path, epoch):
    """A zip of what is below the folder's top folder, its folders and modes included, as
    CPack packs one (cmake -E tar), then fixed as a release's is."""
    children.run(["cmake", "-E", "tar", "cf", os.path.abspath(path), "--format=zip", "--",
                  *sorted(os.path.join(top, name) for top in os.listdir(folder) for name in os.listdir(os.path.join(folder, top)))],
                 cwd=folder, timeout=600, check=True, name="cmake -E tar")
    fix_zip(path, epoch)


def programs_command(arguments):
    """tracker-tools programs: what the tests make and compare of programs and zips, as the
    release does: tiny FILE [TAIL] | unsigned-forms FOLDER-OR-PROGRAM | first-difference FOLDER OTHER |
    zip-folder FOLDER ZIP (the time from SOURCE_DATE_EPOCH)."""
    command, arguments = (arguments or [""])[0], arguments[1:]
    if command == "tiny" and len(arguments) in (1, 2):
        signing.make_tiny_program(arguments[0], arguments[1].encode() if len(arguments) == 2 else b"")
    elif command == "unsigned-forms" and len(arguments) == 1:
        for program in signing.programs_in(arguments[0]) if os.path.isdir(arguments[0]) else arguments:
            unsigned_form(program)
    elif command == "first-difference" and len(arguments) == 2:
        say(first_difference(*arguments) or "the same")
    elif command == "zip-folder" and len(arguments) == 2:
        zip_folder(*arguments, os.environ.get("SOURCE_DATE_EPOCH", "0"))
    else:
        raise Refusal(programs_command.__doc__.split(": ", 1)[1].replace("\n   ", ""))
    return 0


def version_resource(path):
    """What Explorer shows as the program's product version, or None."""
    import pefile  # Debian's python3-pefile, read only for our own programs
    try:
        program = pefile.PE(path, fast_load=True)
        program.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        for information in getattr(program, "FileInfo", None) or []:
            for entry in information:
                for table in getattr(entry, "StringTable", []):
                    if b"ProductVersion" in table.entries:
                        return table.entries[b"ProductVersion"].decode("utf-8", "replace")
    except pefile.PEFormatError:
        pass
    return None


def toolchain(signed, qt_versions):
    """The Debian release, "12.8 (bookworm)", and the packages that shape a zip's bytes,
    "name version", as RELEASE.txt records them; the host tools' are qt6-base-dev's where
    it is the Qt built."""
    def version(package, form="${Version}"):
        done = children.run(["dpkg-query", "-W", "-f", form, package], timeout=60)
        return done.stdout.decode().strip() if done.returncode == 0 else ""
    system_qt = re.split(r"[+-]", version("qt6-base-dev", "${source:Version}"))[0]
    packages = ["binutils-mingw-w64-x86-64", "cmake", "g++-mingw-w64-x86-64-posix", "gcc-mingw-w64-base",
                "gcc-mingw-w64-x86-64-posix-runtime", "libarchive-zip-perl", "libfile-stripnondeterminism-perl",
                "mingw-w64-common", "mingw-w64-x86-64-dev", "strip-nondeterminism",
                "qt6-base-dev" if system_qt in qt_versions else "g++"] + (["osslsigncode"] if signed else [])
    with open("/etc/debian_version", encoding="utf-8") as file:
        debian = file.read().strip()
    return f"{debian} ({sources.codename()})", [f"{package} {v}" for package in sorted(packages) if (v := version(package))]


def unpack_checked(path, folder):
    """Its entries checked and the zip unpacked as a verification reads a zip handed over
    (stranger.py); the fault's line otherwise."""
    with open(path, "rb") as file:
        data = file.read()
    try:
        deadline = stranger.Deadline(path)
        for entry in stranger.read_zip(data, path, deadline):
            target = os.path.join(folder, entry.name)
            if entry.is_folder:
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as out:
                for piece in stranger.inflated(data, entry, path, deadline):
                    out.write(piece)
    except Refusal as refusal:
        return refusal.lines[0]
    return None


def token_environment(environ):
    """What a token's library reads from the environment, for a child that signs."""
    names = list(signing.TOKEN_ENVIRONMENT) + environ.get("SIGNING_PKCS11_ENVIRONMENT", "").split()
    return {name: environ[name] for name in names + ["SIGNING_PKCS11_ENVIRONMENT"] if name in environ}


# The Windows check.
class WindowsCheck:
    def __init__(self, environ):
        self.environ = environ
        lines = environ.get("WINDOWS_QT", "6.8").split()
        if not lines:
            raise Refusal("WINDOWS_QT is empty: name the Qt to check, 6.4, 6.8 or both")
        for index, line in enumerate(lines):
            if line not in sources.DEBIAN_SUITE:
                raise Refusal(f"WINDOWS_QT={line}: the Qt checked is 6.4 or 6.8")
            if line in lines[:index]:
                raise Refusal(f'WINDOWS_QT="{environ["WINDOWS_QT"]}" names Qt {line} twice: each Qt is checked once')
        self.qt_lines = lines
        # A verification's rebuild: the published kind built and packed once, no check run.
        self.pack_only = environ.get("WINDOWS_PACK_ONLY") == "1"
        self.kinds = (PUBLISHED_KIND,) if self.pack_only else KINDS
        self.pins = sources.Pins.read(os.path.join(ROOT, "scripts", "pinned-qt-sources"))
        self.signer = None

    def serialport_archives(self):
        """Qt Serial Port's archive for each Qt, checked before anything is installed or built."""
        folder = self.environ.get("QT_SERIALPORT_SOURCES", "")
        archives = {}
        for line in self.qt_lines:
            try:
                name = self.pins.names(line)[1]
            except Failure as failure:
                raise Refusal(failure.lines, who=failure.who)
            if not folder or not os.path.exists(os.path.join(folder, name)):
                raise Refusal(f"set QT_SERIALPORT_SOURCES to a folder holding {name} ({f'none in {folder}; ' if folder else ''}"
                              'CONTRIBUTING.md, "The sources folder", says how to make it from Qt\'s public qtserialport '
                              "repository; its SHA-256 is pinned in scripts/pinned-qt-sources)")
            folder = os.path.abspath(folder)
            problems = self.pins.problems(folder, [name])
            if problems:
                raise Failure(problems)
            archives[line] = os.path.join(folder, name)
        return archives

    def lock(self, folder, name, waiting):
        """A lock held until we end; a second holder waits, saying so."""
        fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            say(waiting)
            fcntl.flock(fd, fcntl.LOCK_EX)
        return fd

    def prepare_linux_build(self):
        """The project built for Linux with the TRACKER_* settings given, by scripts/prepare,
        which installs what is missing: the tests that run the Windows programs, and the
        settings every Windows build gets."""
        settings = {name: self.environ[name] for name, _ in tracker_settings() if name in self.environ}
        settings["BUILD_DIR"] = self.build
        children.install(["--build", *EXTRA_PACKAGES.split()], "check-windows-package")
        if self.pack_only:  # its settings are all a rebuild needs of it
            children.run(["cmake", "-S", ROOT, "-B", self.build, "-DCMAKE_BUILD_TYPE=Release",
                          *(f"-D{name}={value}" for name, value in settings.items() if name != "BUILD_DIR")],
                         timeout=PACK_LIMIT, check=True, name="configuring the project for Linux")
            return
        code = children.foreground(["bash", os.path.join(ROOT, "scripts", "prepare")], children.environment(settings),
                                   PACK_LIMIT)
        if code != 0:
            raise Failure(f"the project did not build for Linux in {self.build} (exit code {code})")

    def run(self):
        settings = {name: self.environ[name] for name in signing.SETTINGS if name in self.environ}
        if signing.asked(settings):
            self.signing_folder = tempfile.mkdtemp()
            self.signer = signing.prepare(settings, self.signing_folder)
            say(f"Signing with the certificate of {self.signer.subject}, its key "
                f"{'on a PKCS#11 token' if self.signer.kind == 'token' else 'in a PKCS#12 file'}"
                + (f", time-stamped by {settings['SIGNING_TIMESTAMP_URL']}" if settings.get("SIGNING_TIMESTAMP_URL") else ""))
        archives = self.serialport_archives()
        self.work = os.path.abspath(self.environ.get("WINDOWS_BUILD_DIR") or os.path.join(ROOT, "build-windows"))
        os.makedirs(self.work, exist_ok=True)
        self.lock(self.work, "lock", f"Waiting for another check in {self.work} to end")
        self.build = os.path.abspath(self.environ.get("BUILD_DIR") or os.path.join(ROOT, "build"))
        self.prepare_linux_build()
        # Every time stamp a build leaves, in the programs and in the zips, is this one:
        # the commit's time unless the caller gives one.
        self.epoch = self.environ.get("SOURCE_DATE_EPOCH") or gitrepo.Repository(ROOT).git(
            "log", "-1", "--format=%ct").stdout.decode().strip()
        if not self.epoch.isdigit():
            raise Refusal(f"SOURCE_DATE_EPOCH={self.epoch} is no time in seconds since 1970")
        say(f"Time stamps from SOURCE_DATE_EPOCH={self.epoch}")
        self.project_settings, self.example = [], ""
        for name, kind in tracker_settings():
            value = cached_setting(self.build, name)
            self.project_settings.append(f"-D{name}={value}")
            say(f"The zips carry {name}={value}")
            if kind == "carrier" and is_placeholder_name(value):
                self.example = "-example-settings"
        cache = os.path.join(self.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
                             "tracker-updater")
        os.makedirs(cache, exist_ok=True)
        children.trusted_cache({"XDG_CACHE_HOME": cache})
        # A release and a check may start together: the first fills the cache, the other
        # waits for it and then reuses what it made.
        cache_lock = self.lock(cache, "windows.lock", f"Waiting for another check or release to finish with {cache}")
        self.builder = windowsqt.Builder(cache, self.work, self.pins)
        done = self.build_all(archives)
        os.close(cache_lock)
        if self.pack_only:
            if self.failed_builds:
                raise Failure("a kind did not build or pack: no zip to compare")
            for name, _, package, unsigned, _ in done:
                self.keep(name, package, unsigned)
            return 0
        return self.run_checks(done)

    def keep(self, name, package, unsigned):
        """The kind's zip, under its published name, into packages/, with its hash before signing."""
        zip_name = f"{os.path.basename(unsigned)[:-4]}-{name}{self.example}.zip"
        shutil.copyfile(package, os.path.join(self.work, "packages", zip_name))
        with open(os.path.join(self.work, "packages", "UNSIGNED-SHA256SUMS"), "a") as sums:
            sums.write(f"{sources.sha256_of(unsigned)}  {zip_name}\n")

    def build_all(self, archives):
        """Each Qt and kind built, packed twice and signed: (name, label, zip, unsigned zip,
        the lines of its checks made here) of those ready for wine; counts the checks of the
        others as failed."""
        self.expected = 0 if self.pack_only else self.count_checks()
        for name in ("packages", "sources"):
            shutil.rmtree(os.path.join(self.work, name), ignore_errors=True)
        os.makedirs(os.path.join(self.work, "sources"))
        os.makedirs(os.path.join(self.work, "packages"))
        ready, self.failed_builds = [], 0
        for qt_line in self.qt_lines:
            started = time.monotonic()
            serialport_source = os.path.join(self.work, f"qtserialport-{qt_line}")
            try:
                qt_source = self.builder.qtbase_source(qt_line, self.environ.get("QT_BASE_SOURCES"))
                windowsqt.unpack_serialport(qt_line, archives[qt_line], serialport_source)
            except Failure as failure:
                for line in failure.lines:
                    warn(line, failure.who)
                say(f"FAIL!  : Qt {qt_line}: no sources to build it from" + (
                    f", none of the {len(self.kinds) * self.expected} checks of its kinds ran" if self.expected else ""))
                self.failed_builds += len(self.kinds) * self.expected or 1
                continue
            debian_version = self.pins.qtbase_version(qt_line)
            qt_version = re.split(r"[+-]", debian_version)[0]
            for name in os.listdir(qt_source + "-package"):
                shutil.copyfile(os.path.join(qt_source + "-package", name), os.path.join(self.work, "sources", name))
            shutil.copyfile(archives[qt_line], os.path.join(self.work, "sources", os.path.basename(archives[qt_line])))
            windowsqt.stage_done(started, f"Qt {qt_version} sources: Debian's qt6-base {debian_version} and "
                                          f"{os.path.basename(archives[qt_line])}")
            licences = os.path.join(self.work, f"licences-qt{qt_version}")
            windowsqt.gather_licences(licences, qt_source, serialport_source)
            options = windowsqt.QT_BASE_OPTIONS + windowsqt.VERSION_OPTIONS[qt_line]
            cross = options + windowsqt.WINDOWS_OPTIONS[qt_line] + windowsqt.WINDOWS_LINK_OPTIONS
            try:
                host, host_id = self.builder.host_tools(qt_version, qt_source, options + windowsqt.HOST_OPTIONS)
            except Failure:
                host = None
            for kind in self.kinds:
                name, label = f"qt{qt_version}-{kind}", f"Qt {qt_version} {kind}"
                try:
                    if host is None:
                        raise Failure("its host tools did not build")
                    qt = self.builder.windows_qt(qt_version, kind, qt_source, archives[qt_line], serialport_source,
                                                 cross, host, host_id)
                    unsigned = self.build_package(label, name, qt, host, licences)
                except Failure:
                    say(f"FAIL!  : {label}: not built" + (f", none of its {self.expected} checks ran" if self.expected else ""))
                    self.failed_builds += self.expected or 1
                    continue
                lines = [] if self.pack_only else [self.pack_again(label, name, qt, host, licences, unsigned)]
                if self.signer and not self.sign_package(label, name, unsigned):
                    say(f"FAIL!  : {label}: not signed, none of its {self.expected} checks ran")
                    self.failed_builds += self.expected
                    continue
                package = os.path.join(self.work, f"signed-{name}.zip") if self.signer else unsigned
                if self.signer:
                    lines.append(self.verify_signed(label, package, unsigned))
                ready.append((name, label, package, unsigned, lines))
        return ready

    def count_checks(self):
        """The checks of each kind, once the programs wine runs beside them are built."""
        for program, libraries in (("registerports", ["-lsetupapi"]), ("windowsdesk", [])):
            children.run([windowsqt.COMPILER, "-O2", "-static", "-Wall", "-Wextra", "-o",
                          os.path.join(self.work, f"{program}.exe"), os.path.join(ROOT, "sim", f"{program}.cpp"),
                          *libraries], timeout=600, check=True, capture=False)
        listing = children.run([self.test_program(), "-datatags"], timeout=60, check=True).stdout.decode()
        wine_checks = sum(1 for line in listing.split("\n") if len(line.split(" ")) >= 2
                          and line.split(" ")[1] not in ("initTestCase", "cleanupTestCase"))
        if wine_checks < 1:
            raise Failure("tests/tst_windowspackage lists no check")
        # And the kind packed again to the same bytes; signed, its signed zip verified.
        return wine_checks + (2 if self.signer else 1)

    def test_program(self):
        return os.path.join(self.build, "tests", "tst_windowspackage")

    def package_failed(self, label, step):
        warn(f"{label}: {step}")
        raise Failure(step)

    def build_package(self, label, name, qt, host, licences, quiet=False):
        """The project with one Qt, as a Windows user builds it (warnings as errors), then
        its package unpacked into an empty folder and checked. Returns the zip."""
        started = time.monotonic()
        project, unpacked = os.path.join(self.work, f"project-{name}"), os.path.join(self.work, f"unpacked-{name}")
        log = os.path.join(self.work, f"project-{name}.log")
        version, description = (cached_setting(self.build, n) for n in ("CMAKE_PROJECT_VERSION", "TRACKER_PORT_DESCRIPTION"))
        commit = gitrepo.Repository(ROOT).git("rev-parse", "HEAD").stdout.decode().strip()
        for folder in (project, unpacked):
            shutil.rmtree(folder, ignore_errors=True)
        env = children.environment(source_date_epoch=self.epoch)
        # The cached Qt remembers the toolchain file of the check that built it, which may be gone.
        try:
            self.builder.step(log, [f"{qt}/bin/qt-cmake", "-S", ROOT, "-B", project, "-G", "Ninja",
                                    "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-Werror",
                                    f"-DQT_CHAINLOAD_TOOLCHAIN_FILE={self.builder.toolchain}", *host,
                                    *self.project_settings, f"-DTRACKER_LICENSES_DIR={licences}"], env, PACK_LIMIT)
        except Failure:
            self.package_failed(label, "the project did not configure")
        try:
            self.builder.step(log, ["cmake", "--build", project, "--target", "package"], env, PACK_LIMIT)
        except Failure:
            self.package_failed(label, "the project did not build or pack")
        zips = sorted(n for n in os.listdir(project) if re.fullmatch(r"tracker-updater-.*-win64\.zip", n))
        if not zips:
            self.package_failed(label, f"packing made no zip in {project}")
        package = os.path.join(project, zips[0])
        base = os.path.basename(package)
        try:
            fix_zip(package, self.epoch)
        except Failure:
            self.package_failed(label, f"{base}: its entries' order and times not made fixed")
        os.makedirs(unpacked)
        if (fault := unpack_checked(package, unpacked)):
            self.package_failed(label, fault)
        tops = [t for t in sorted(os.listdir(unpacked)) if os.path.isfile(os.path.join(unpacked, t, "bin", "tracker-updater.exe"))]
        if not tops:
            self.package_failed(label, f"{base} holds no bin/tracker-updater.exe")
        top = os.path.join(unpacked, tops[0])
        for text in REQUIRED_LICENCES:
            path = os.path.join(top, "licenses", text)
            if not os.path.isfile(path) or os.path.getsize(path) == 0:
                self.package_failed(label, f"{base} lacks the licence text licenses/{text}")
        if files_in(licences) != files_in(os.path.join(top, "licenses")):
            self.package_failed(label, f"{base} holds other licence texts than the {len(files_in(licences))} gathered")
        # What Explorer shows of each program: its name, the project's version, the commit.
        for program in ("tracker-updater.exe", "tracker-ports.exe", "update-tracker.exe"):
            if version_resource(os.path.join(top, "bin", program)) != f"{version} (commit {commit[:12]})":
                self.package_failed(label, f"bin/{program} carries no version resource naming version {version} and "
                                           f"commit {commit[:12]}")
        self.check_read_me(label, base, os.path.join(top, "READ-ME-FIRST.txt"), version, description)
        if not quiet:
            windowsqt.stage_done(started, f"{label}: packed {base}, {os.path.getsize(package)} bytes")
            for name in files_in(unpacked):
                if "/licenses/" not in f"/{name}":
                    say(f"   {name} ({os.path.getsize(os.path.join(unpacked, name))} bytes)")
            say(f"   and {len(files_in(os.path.join(top, 'licenses')))} licence texts in licenses/")
        return package

    def check_read_me(self, label, base, path, version, description):
        """The technician's instructions, readable in Notepad, for this zip's own tracker
        and carrier."""
        if not os.path.isfile(path) or os.path.getsize(path) == 0:
            self.package_failed(label, f"{base} has no READ-ME-FIRST.txt at its top")
        with open(path, "rb") as file:
            text = file.read().decode("utf-8", "replace")
        if any(not line.endswith("\r") for line in text.split("\n")[:-1]) or not text.endswith("\n"):
            self.package_failed(label, "READ-ME-FIRST.txt has lines without Windows' line end")
        if f"tracker-updater {version} " not in text.split("\n")[0] or f'"{description}"' not in text:
            self.package_failed(label, f'READ-ME-FIRST.txt does not name version {version} and the port "{description}"')
        access_point, host = (cached_setting(self.build, n) for n in ("TRACKER_ACCESS_POINT", "TRACKER_UPDATE_HOST"))
        if f"It is built for the access point {access_point} and the update server {host}.\r" not in text \
                or f"https://{host}/firmwares/update_to_latest_simcom" not in text:
            self.package_failed(label, f"READ-ME-FIRST.txt does not name the access point {access_point}, the update "
                                       f"server {host} and its URL")

    def pack_again(self, label, name, qt, host, licences, first):
        """The kind packed once more, from a second build folder at another path with the
        same Qt: the same sources and settings must give the same bytes. Its check's line."""
        again = f"{name}-again"
        try:
            package = self.build_package(f"{label}, again", again, qt, host, licences, quiet=True)
        except Failure:
            line = f"FAIL!  : {label}: packed again from another build folder: not packed"
        else:
            if same_file(first, package):
                line = f"PASS   : {label}: packed again from another build folder: the same bytes"
            else:
                difference = first_difference(os.path.join(self.work, f"unpacked-{name}"),
                                              os.path.join(self.work, f"unpacked-{again}"))
                line = (f"FAIL!  : {label}: packed again from another build folder: "
                        f"{difference or 'the zips differ, their files do not'}")
        say(line)
        return line

    def verify_signed(self, label, package, unsigned):
        """The signed zip held against the unsigned one as verify-release holds a release's
        against its rebuild (which gives the unsigned zip, as packing it again shows): the
        real signed programs, not stand-ins. Its check's line."""
        from . import verify
        work = tempfile.mkdtemp(prefix="verify-", dir=self.work)
        # And a copy with a line added to its read-me, which must not pass.
        changed = os.path.join(work, "changed", os.path.basename(package))
        os.makedirs(os.path.dirname(changed))
        with zipfile.ZipFile(package) as source, zipfile.ZipFile(changed, "w") as target:
            for entry in source.infolist():
                added = b"A stranger's line.\r\n" if entry.filename.endswith("/READ-ME-FIRST.txt") else b""
                target.writestr(entry, source.read(entry) + added, compresslevel=9)
        try:
            verdict = verify.signed_zip_verdict(package, unsigned, os.path.join(work, "as-made"))
            refused = verify.signed_zip_verdict(changed, unsigned, os.path.join(work, "changed-copy"))
        except (Failure, Refusal) as fault:
            verdict, refused = "; ".join(fault.lines), ""
        finally:
            shutil.rmtree(work, ignore_errors=True)
        # Packed as pack_signed packs: only the read-me's line may tell the copy apart.
        read_me = next(name for name in zipfile.ZipFile(package).namelist() if name.endswith("/READ-ME-FIRST.txt"))
        passed = verdict == "the same" and refused == f"different: {read_me} differs"
        line = (f"{'PASS   ' if passed else 'FAIL!  '}: {label}: the signed zip held against the unsigned one "
                f"as verify-release does: {verdict}; a copy with its read-me changed: {refused or 'not compared'}")
        say(line)
        return line

    def sign_package(self, label, name, unsigned_zip):
        """Every program and DLL of the kind's unpacked package signed, each signature
        checked and taken off again to compare with the unsigned program, then packed."""
        started = time.monotonic()
        unpacked = os.path.join(self.work, f"unpacked-{name}")
        unsigned = os.path.join(self.work, f"unsigned-{name}")
        for folder in (unsigned, unsigned + "-again"):
            shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(unpacked, unsigned, symlinks=True)
        if not self.signer.sign_folder(unpacked):
            warn(f"{label}: its programs could not be signed")
            return False
        shutil.copytree(unpacked, unsigned + "-again", symlinks=True)
        for program in signing.programs_in(unsigned + "-again") + signing.programs_in(unsigned):
            unsigned_form(program)
        if (difference := first_difference(unsigned, unsigned + "-again")):
            warn(f"{label}: with its signature taken off, {difference} from before signing")
            return False
        package = os.path.join(self.work, f"signed-{name}.zip")
        if os.path.exists(package):
            os.remove(package)
        pack_signed(unsigned_zip, unpacked, package)
        windowsqt.stage_done(started, f"{label}: signed and checked {len(signing.programs_in(unpacked))} programs and DLLs")
        return True

    def run_checks(self, ready):
        """Every kind's wine runs side by side (under wine a run lasts about a minute
        whatever the modem does), each in a process group and wine prefix of its own, with
        its own TMPDIR for wine's server. Counts what passed, failed or never ran."""
        started = time.monotonic()
        running = {}
        for name, *_ in ready:
            unpacked = os.path.join(self.work, f"unpacked-{name}")
            programs = os.path.join(unpacked, sorted(os.listdir(unpacked))[0], "bin")
            shutil.rmtree(os.path.join(self.work, f"wine-{name}"), ignore_errors=True)
            temporary = tempfile.mkdtemp()
            env = children.environment({"TMPDIR": temporary, "WINEPREFIX": os.path.join(self.work, f"wine-{name}"),
                                        "TRACKER_WINDOWS_PROGRAMS": programs, "QTEST_FUNCTION_TIMEOUT": "900000",
                                        "TRACKER_WINDOWS_PORT_REGISTRAR": os.path.join(self.work, "registerports.exe"),
                                        "TRACKER_WINDOWS_DESK": os.path.join(self.work, "windowsdesk.exe")})
            log = open(os.path.join(self.work, f"check-{name}.log"), "wb")
            results = os.path.join(self.work, f"check-{name}.xml")
            if os.path.exists(results):
                os.remove(results)
            running[name] = (children.start([self.test_program(), "-o", f"{results},xml", "-o", "-,txt"], env=env,
                                            stdout=log, stderr=log), log, temporary, results)
        passed, failed = 0, self.failed_builds
        for name, label, package, unsigned, own_lines in ready:
            child, log, temporary, results = running[name]
            try:
                code = children.wait(child, WINE_LIMIT, "tests/tst_windowspackage").returncode
            except Failure:
                code = "killed at its time limit"
            log.close()
            shutil.rmtree(temporary, ignore_errors=True)
            checks = qtest_results(results) + own_lines
            kind_passed = sum(1 for line in checks if line.startswith("PASS"))
            # What did not run, or ended the program without telling, counts as failed too.
            kind_failed = self.expected - kind_passed
            problems = [] if len(checks) == self.expected else [f"{len(checks)} checks ran, {self.expected} expected"]
            if code != 0:
                problems.append(f"tests/tst_windowspackage exited with code {code}")
            if kind_failed <= 0 and problems:
                kind_failed = 1
            passed, failed = passed + kind_passed, failed + kind_failed
            say(f"== {label}: {kind_passed} of {self.expected} checks passed")
            for line in checks:
                say(f"   {label}: {line}")
            if kind_failed:
                for problem in problems:
                    say(f"   {label}: FAIL!  : {problem}")
                with open(os.path.join(self.work, f"check-{name}.log"), encoding="utf-8", errors="replace") as file:
                    for line in file.read().split("\n")[:-1]:
                        say(f"   {label}: {line}")
            else:
                self.keep(name, package, unsigned)
        windowsqt.stage_done(started, f"wine runs: {len(ready)} kinds side by side")
        say(f"windows: {passed} passed, {failed} failed")
        expected_total = len(self.qt_lines) * len(self.kinds) * self.expected
        if passed + failed != expected_total:
            raise Failure(f"{passed + failed} checks counted, {expected_total} expected")
        return 1 if failed else 0


def qtest_results(path):
    """The test functions' results from QTest's XML log, as QTest's own lines show them,
    without the set-up and clean-up; none when there is no readable log."""
    try:
        tree = ElementTree.parse(path)
    except (OSError, ElementTree.ParseError):
        return []
    lines = []
    for function in tree.getroot().iter("TestFunction"):
        if function.get("name") in ("initTestCase", "cleanupTestCase"):
            continue
        for incident in function.iter("Incident"):
            kind = {"pass": "PASS   ", "fail": "FAIL!  ", "xpass": "XPASS  ", "xfail": "XFAIL  "}.get(incident.get("type"))
            if kind:
                tag = incident.findtext("DataTag") or ""
                lines.append(f"{kind}: WindowsPackageTest::{function.get('name')}({tag})")
    return lines


def check_windows_package(arguments):
    """tracker-tools check-windows-package: its settings come from the environment."""
    if arguments:
        raise Refusal("takes no arguments: its settings come from the environment (CONTRIBUTING.md)")
    check = WindowsCheck(dict(os.environ))
    try:
        return check.run()
    finally:
        if getattr(check, "signing_folder", None):
            shutil.rmtree(check.signing_folder, ignore_errors=True)
