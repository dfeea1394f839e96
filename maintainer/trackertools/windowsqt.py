"""Qt Core and Qt Serial Port built for 64-bit Windows with Debian's MinGW-w64, from the
pinned sources, into a cache outside the clone (${XDG_CACHE_HOME:-~/.cache}/tracker-updater)
keyed by all that shapes each build. The keys and folder names are those the cache has
always had: a cache built before stays valid."""
import glob
import hashlib
import os
import re
import shutil
import tarfile
import time

from . import children, sources
from .common import Failure, say, warn

COMPILER = "x86_64-w64-mingw32-g++-posix"
# Qt Base as the programs use it: Qt Core alone.
QT_BASE_OPTIONS = ["-DCMAKE_BUILD_TYPE=Release", "-DQT_BUILD_EXAMPLES=OFF", "-DQT_BUILD_TESTS=OFF",
                   "-DFEATURE_gui=OFF", "-DFEATURE_network=OFF", "-DFEATURE_sql=OFF", "-DFEATURE_xml=OFF",
                   "-DFEATURE_concurrent=OFF", "-DFEATURE_dbus=OFF", "-DFEATURE_testlib=OFF"]
# Qt 6.8 for Linux and for Windows alike, so that the Windows build finds every host tool
# it looks for: built in unity (a fraction of the compile time), without qmake and the
# Android deployment tool, which nothing here runs, and without the parts of Qt Core that
# the programs never reach (update-tracker starts tracker-updater with QProcess). Qt 6.4
# has no unity build; its host tools are Debian 12's.
VERSION_OPTIONS = {"6.4": [], "6.8": (
    "-DQT_UNITY_BUILD=ON -DFEATURE_qmake=OFF -DFEATURE_androiddeployqt=OFF -DFEATURE_mimetype=OFF "
    "-DFEATURE_timezone=OFF -DFEATURE_animation=OFF -DFEATURE_easingcurve=OFF -DFEATURE_sharedmemory=OFF "
    "-DFEATURE_systemsemaphore=OFF -DFEATURE_filesystemwatcher=OFF -DFEATURE_settings=OFF "
    "-DFEATURE_permissions=OFF -DFEATURE_jalalicalendar=OFF -DFEATURE_islamiccivilcalendar=OFF").split()}
# The host tools only run here, on a few hundred headers: built without optimisation.
HOST_OPTIONS = ["-DQT_USE_DEFAULT_CMAKE_OPTIMIZATION_FLAGS=ON", "-DCMAKE_C_FLAGS_RELEASE=-DNDEBUG",
                "-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG"]
# Debian 12's MinGW cannot build Qt 6.8 as it is: g++ 12 crashes on Qt's pcre2 with stack
# clash protection, and mingw-w64 10's runtime has no stack protector symbols to link.
WINDOWS_OPTIONS = {"6.4": [], "6.8": ["-DFEATURE_stack_clash_protection=OFF", "-DFEATURE_stack_protector=OFF"]}
# The linker would write the time of the link into every DLL's header and export table.
WINDOWS_LINK_OPTIONS = ["-DCMAKE_SHARED_LINKER_FLAGS=-Wl,--no-insert-timestamp",
                        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-insert-timestamp"]
SERIALPORT_OPTIONS = ["-DCMAKE_BUILD_TYPE=Release", "-DQT_BUILD_EXAMPLES=OFF", "-DQT_BUILD_TESTS=OFF"] + WINDOWS_LINK_OPTIONS
TOOLCHAIN = f"""set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER {COMPILER})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
"""
# Time limits: a Qt build on a slow machine takes an hour and more.
BUILD_LIMIT = 6 * 3600
STEP_LIMIT = 1800


def key_of(*parts):
    """The short hash the cache names a build by: each part a line."""
    return hashlib.sha256("".join(f"{part}\n" for part in parts).encode()).hexdigest()[:16]


def host_key(qt_source, options, compiler):
    """The key of Qt's host tools built for Linux, compiler the first line g++ prints."""
    return key_of(qt_source, " ".join(options), compiler)


def kind_options(options, qt_version, kind):
    """A Windows Qt's options: Qt Core carries its configured prefix, and one that names no
    folder of this machine keeps the programs the same wherever the cache is."""
    return options + [f"-DBUILD_SHARED_LIBS={'ON' if kind == 'shared' else 'OFF'}",
                      f"-DCMAKE_INSTALL_PREFIX=/qt-{qt_version}-{kind}"]


def windows_key(qt_source, serialport_key, options, host, host_id, toolchain_versions):
    """The key of a Windows Qt: its sources by their pins, its options, its host tools, the
    toolchain file and the MinGW packages' versions."""
    return key_of(qt_source, serialport_key, " ".join(options), " ".join(SERIALPORT_OPTIONS), " ".join(host), host_id,
                  TOOLCHAIN.rstrip("\n"), toolchain_versions)


def output(argv, timeout=60):
    """A child's output, for what names the toolchain; Failure when it fails."""
    return children.run(argv, timeout=timeout, check=True).stdout.decode().rstrip("\n")


def first_line(argv):
    return output(argv).split("\n")[0]


def jobs():
    return str(len(os.sched_getaffinity(0)))


def stage_done(started, text):
    """The line that ends a stage: what it did and how long it took."""
    say(f"{text} ({int(time.monotonic() - started)} s)")


class Builder:
    """Builds into the cache, logging each step into the work folder: a failed step
    shows its log. Qt builds get no SOURCE_DATE_EPOCH: the cache keeps them for every
    later commit, which must not carry the time of the one that built them."""

    def __init__(self, cache, work, pins):
        self.cache, self.work, self.pins = cache, work, pins
        self.compiler_id = f"mingw-w64-gcc-{output([COMPILER, '-dumpversion'])}"
        # What shapes a Windows build besides Qt's own source and options: the compiler,
        # its runtime and headers, and the binutils that link them.
        self.toolchain_versions = first_line([COMPILER, "--version"]) + "\n" + output(
            ["dpkg-query", "-W", "-f", "${Package} ${Version}\n", "g++-mingw-w64-x86-64-posix",
             "mingw-w64-x86-64-dev", "binutils-mingw-w64-x86-64"])
        self.toolchain = os.path.join(work, "mingw.cmake")
        with open(self.toolchain, "w") as file:
            file.write(TOOLCHAIN)

    def step(self, log, argv, env=None, timeout=BUILD_LIMIT, cwd=None):
        """One build step, its output in its log, shown only if it fails."""
        with open(log, "ab") as out:
            child = children.start(argv, env=env or children.environment(), cwd=cwd, stdout=out, stderr=out)
            done = children.wait(child, timeout, os.path.basename(argv[0]))
        if done.returncode != 0:
            warn(f"failed: {' '.join(map(str, argv))}")
            with open(log, "rb") as out:
                os.write(2, out.read()[-(1 << 20):])
            raise Failure(f"{os.path.basename(argv[0])} failed (exit code {done.returncode})", who="check-windows-package")

    def qtbase_source(self, qt_line, base_sources):
        """Debian's qt6-base source package as pinned, from base_sources or else the archive,
        unpacked in the cache beside its files, named by the pins' hash: a later check
        uses it only while those files still match their pins."""
        names = self.pins.names(qt_line)[0]
        version = self.pins.qtbase_version(qt_line)
        source = os.path.join(self.cache, f"qt6-base-{version}-{self.pins.key(names)}")
        package = source + "-package"
        if os.path.isfile(os.path.join(source, "complete")) and not self.pins.problems(package, names):
            return source
        shutil.rmtree(source, ignore_errors=True)
        shutil.rmtree(package, ignore_errors=True)
        os.makedirs(package)
        if base_sources:
            for name in names:
                path = os.path.join(base_sources, name)
                if not os.path.islink(path) and os.path.isfile(path):
                    shutil.copyfile(path, os.path.join(package, name))
        else:
            self.download_qtbase(sources.DEBIAN_SUITE[qt_line], version, package)
        problems = self.pins.problems(package, names, base_sources or "the archive's")
        if problems:
            shutil.rmtree(package)
            raise Failure(problems, who="check-windows-package")
        self.step(os.path.join(self.work, f"unpack-{qt_line}.log"),
                  ["dpkg-source", "--no-copy", "-x", os.path.join(package, f"qt6-base_{version}.dsc"), source])
        open(os.path.join(source, "complete"), "w").close()
        return source

    def download_qtbase(self, suite, version, folder):
        """The pinned version from the suite's archive, through an apt configuration of our
        own: the machine's apt sources, lists and cache stay as they are. The archive keeps
        only its newest: one that has moved on is told, with how to pin it."""
        archive = sources.debian_archive()
        if not archive:
            raise Failure("the machine's apt sources name no Debian archive", who="check-windows-package")
        apt = os.path.join(self.work, f"apt-{suite}")
        shutil.rmtree(apt, ignore_errors=True)
        for folder_name in ("lists/partial", "cache/archives/partial"):
            os.makedirs(os.path.join(apt, folder_name))
        with open(os.path.join(apt, "sources.list"), "w") as file:
            file.write(f"deb-src {archive} {suite} main\n")
        options = ["-o", f"Dir::Etc::SourceList={apt}/sources.list", "-o", "Dir::Etc::SourceParts=/dev/null",
                   "-o", f"Dir::State::Lists={apt}/lists", "-o", f"Dir::Cache={apt}/cache",
                   "-o", f"APT::Sandbox::User={children.environment()['USER']}"]
        self.step(os.path.join(apt, "update.log"), ["apt-get", *options, "update"], timeout=STEP_LIMIT)
        held = held_versions(os.path.join(apt, "lists"), "qt6-base")
        if version not in held:
            raise Failure(f"Debian's {suite} archive holds qt6-base {' '.join(held)} now, scripts/pinned-qt-sources pins "
                          f"{version}: set QT_BASE_SOURCES to a folder holding the pinned files, or pin the archive's after "
                          "reading its changelog (CONTRIBUTING.md)", who="check-windows-package")
        self.step(os.path.join(apt, "source.log"),
                  ["apt-get", *options, "source", "--download-only", f"qt6-base={version}"], cwd=folder, timeout=STEP_LIMIT)
        shutil.rmtree(apt)

    def host_tools(self, qt_version, qt_source, options):
        """Qt's host tools (moc, rcc...) for Linux: the machine's Qt when it is that
        version, else Qt Base built for Linux from the same source. Returns the options
        that point a cross build at them and what identifies them in a cache key."""
        started = time.monotonic()
        system = output(["dpkg-query", "-W", "-f", "${source:Version}", "qt6-base-dev"])
        if re.split(r"[+-]", system)[0] == qt_version:
            info = sorted(glob.glob("/usr/lib/*/cmake/Qt6HostInfo/Qt6HostInfoConfig.cmake"))[0]
            stage_done(started, f"Qt {qt_version} host tools: the machine's own")
            return ["-DQT_HOST_PATH=/usr", f"-DQT_HOST_PATH_CMAKE_DIR={os.path.dirname(os.path.dirname(info))}"], \
                f"qt6-base-dev {system}"
        key = host_key(qt_source, options, first_line(["g++", "--version"]))
        prefix = os.path.join(self.cache, f"host-qt-{os.path.basename(qt_source)}-{key}")
        host = [f"-DQT_HOST_PATH={prefix}", f"-DQT_HOST_PATH_CMAKE_DIR={prefix}/lib/cmake"]
        if os.path.isfile(os.path.join(prefix, "complete")):
            stage_done(started, f"Qt {qt_version} host tools for Linux: cached")
            return host, prefix
        log = os.path.join(self.work, f"host-qt-{qt_version}.log")
        shutil.rmtree(prefix, ignore_errors=True)
        shutil.rmtree(prefix + ".build", ignore_errors=True)
        self.step(log, ["cmake", "-S", qt_source, "-B", prefix + ".build", "-G", "Ninja",
                        f"-DCMAKE_INSTALL_PREFIX={prefix}", *options], timeout=STEP_LIMIT)
        self.step(log, ["cmake", "--build", prefix + ".build", "--parallel", jobs()])
        self.step(log, ["cmake", "--install", prefix + ".build"], timeout=STEP_LIMIT)
        shutil.rmtree(prefix + ".build")
        open(os.path.join(prefix, "complete"), "w").close()
        stage_done(started, f"Qt {qt_version} host tools for Linux: built")
        return host, prefix

    def windows_qt(self, qt_version, kind, qt_source, archive, serialport_source, options, host, host_id):
        """Qt Core and Qt Serial Port for Windows, of one kind: its folder in the cache. Qt
        installs relocatably."""
        started = time.monotonic()
        options = kind_options(options, qt_version, kind)
        key = windows_key(qt_source, self.pins.key([os.path.basename(archive)]), options, host, host_id,
                          self.toolchain_versions)
        qt = os.path.join(self.cache, f"windows-{os.path.basename(qt_source)}-{kind}-{self.compiler_id}-{key}")
        if os.path.isfile(os.path.join(qt, "complete")):
            stage_done(started, f"Qt {qt_version} {kind} for Windows: cached")
            return qt
        log = os.path.join(self.work, f"qt-{qt_version}-{kind}.log")
        build = qt + ".build"
        shutil.rmtree(qt, ignore_errors=True)
        shutil.rmtree(build, ignore_errors=True)
        for argv, limit in (
                (["cmake", "-S", qt_source, "-B", f"{build}/qtbase", "-G", "Ninja",
                  f"-DCMAKE_TOOLCHAIN_FILE={self.toolchain}", *host, *options], STEP_LIMIT),
                (["cmake", "--build", f"{build}/qtbase", "--parallel", jobs()], BUILD_LIMIT),
                (["cmake", "--install", f"{build}/qtbase", "--prefix", qt], STEP_LIMIT),
                ([f"{qt}/bin/qt-cmake", "-S", serialport_source, "-B", f"{build}/qtserialport", "-G", "Ninja",
                  f"-DQT_CHAINLOAD_TOOLCHAIN_FILE={self.toolchain}", *host, *SERIALPORT_OPTIONS], STEP_LIMIT),
                (["cmake", "--build", f"{build}/qtserialport", "--parallel", jobs()], BUILD_LIMIT),
                (["cmake", "--install", f"{build}/qtserialport", "--prefix", qt], STEP_LIMIT)):
            self.step(log, argv, timeout=limit)
        shutil.rmtree(build)
        open(os.path.join(qt, "complete"), "w").close()
        stage_done(started, f"Qt {qt_version} {kind} for Windows: built")
        return qt


def held_versions(lists, package):
    """The versions of a source package that apt's downloaded Sources indexes hold."""
    held = set()
    for path in glob.glob(os.path.join(lists, "*_Sources")):
        stanza = {}
        with open(path, encoding="utf-8", errors="replace") as file:
            for line in list(file) + ["\n"]:
                if not line.strip():
                    if stanza.get("Package") == package and "Version" in stanza:
                        held.add(stanza["Version"])
                    stanza = {}
                elif line[0] not in " \t" and ":" in line:
                    name, value = line.split(":", 1)
                    stanza[name] = value.strip()
    return sorted(held)


def unpack_serialport(qt_line, archive, folder):
    """Qt Serial Port's pinned archive unpacked without its top folder; Failure when it is
    another Qt line's."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with tarfile.open(archive, "r:gz") as tar:
        for member in tar.getmembers():
            member.name = member.name.split("/", 1)[1] if "/" in member.name else ""
            if member.name:
                # The archive matched its pin: Python's own filter where it has one.
                tar.extract(member, folder, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    version, conf = "", os.path.join(folder, ".cmake.conf")
    with open(conf if os.path.isfile(conf) else os.devnull, encoding="utf-8", errors="replace") as file:
        for line in file:
            if (match := re.fullmatch(r'set\(QT_REPO_MODULE_VERSION "(.*)"\)', line.rstrip("\n"))):
                version = match.group(1)
    if version.rpartition(".")[0] != qt_line:
        raise Failure(f"{archive} holds Qt Serial Port {version or 'of no known version'}, not {qt_line}",
                      who="check-windows-package")


def gather_licences(folder, qt_source, serialport_source):
    """The licence texts of what a package ships: Qt's, and those of the MinGW runtime
    that the programs carry (linked in, or as DLLs beside them)."""
    shutil.rmtree(folder, ignore_errors=True)
    for source, name in ((qt_source, "qtbase"), (serialport_source, "qtserialport")):
        shutil.copytree(os.path.join(source, "LICENSES"), os.path.join(folder, name))
    os.makedirs(os.path.join(folder, "mingw-w64"))
    for package, name in (("gcc-mingw-w64-base", "gcc-runtime-library-exception-and-licences.txt"),
                          ("mingw-w64-x86-64-dev", "mingw-w64-and-winpthreads-licences.txt")):
        shutil.copyfile(f"/usr/share/doc/{package}/copyright", os.path.join(folder, "mingw-w64", name))
