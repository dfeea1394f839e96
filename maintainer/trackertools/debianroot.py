"""check-debian RELEASE [CTEST-ARGUMENTS]: the README's two commands run as a newcomer on
Debian RELEASE (12 or 13) would, in a minimal root of that release made from nothing
with debootstrap: from a fresh clone of the commit checked out here, `scripts/run` until
its banner shows, then `scripts/test` with the arguments given (default: -LE long).

The root is made from the archive the machine's own apt sources name, kept in a cache of
the release's own and made again once it is a week old; each run works on a copy, a plain
chroot whose /proc, empty /sys, /dev without the machine's devices and /tmp are mounted in
a mount namespace of its own, gone with it. It needs root, and root works only in folders
the one rule of paths.py trusts, up to /. Run as a normal user, it asks sudo and works in
/var/cache/tracker-updater: debianN/ and debianN-work-UID/; as root in
${XDG_CACHE_HOME:-~/.cache}/tracker-updater/debianN and the clone's build-debianN/.
DEBIANN_CACHE and DEBIANN_BUILD_DIR choose others; it deletes nothing there it did not
make. Two checks of one release take its cache in turn."""
import fcntl
import os
import shutil
import subprocess
import sys
import time

from . import children, common, gitrepo, paths, sources
from .common import Failure, Refusal

RELEASES = {"12": "bookworm", "13": "trixie"}
MARKER = "made-by-tracker-updater-check-debian"
# The mark the Debian 13 check's roots had before it took the release as its argument.
MARKERS = (MARKER, "made-by-tracker-updater-check-debian13")
WEEK = 7 * 24 * 3600
# Installing, building and the whole suite, on a slow machine.
RUN_TIME = 3 * 3600
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

# In the check's own mount namespace: the machine's mounts stay as they are.
MOUNTS = r'''
mount -t proc proc "$target/proc"
# An empty /sys and a /dev of its own: no serial port of the machine is listed or can be
# opened there.
mount -t tmpfs -o mode=0755,nosuid tmpfs "$target/sys"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$target/tmp"
mount -t tmpfs -o mode=0755,nosuid tmpfs "$target/dev"
for node in null zero full random urandom tty; do
    touch "$target/dev/$node"
    mount --bind "/dev/$node" "$target/dev/$node"
done
mkdir "$target/dev/pts" "$target/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$target/dev/pts"
ln -s pts/ptmx "$target/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$target/dev/shm"
ln -s /proc/self/fd "$target/dev/fd"
exec chroot "$target" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root ${CI+CI="$CI"} bash -euo pipefail -c "$0" check-debian "$@"
'''
# In the root: the program runs until its banner shows and is stopped then, before its
# first scan, with everything scripts/run started; it installs and builds first.
INSIDE = r'''
cd /root/tracker-updater
source scripts/run-until-line
run_until_line 900 "^Please plug the tracker$" /tmp/run.log scripts/run
echo "scripts/run showed:"
sed -n "/^Please plug the tracker$/,\$p" /tmp/run.log
scripts/test "$@"
'''


def folders(release, settings):
    """The cache and work folders, absolute, links not followed."""
    uid = settings.get("SUDO_UID", "")
    if uid.isdigit() and uid != "0":
        shared = "/var/cache/tracker-updater"
        os.makedirs("/var/cache", exist_ok=True)
        trusted_folder(shared, release)
        os.chmod(shared, 0o700)
        cache = settings.get(f"DEBIAN{release}_CACHE") or f"{shared}/debian{release}"
        work = settings.get(f"DEBIAN{release}_BUILD_DIR") or f"{shared}/debian{release}-work-{uid}"
    else:
        home = settings.get("HOME") or "/root"
        xdg = settings.get("XDG_CACHE_HOME", "")
        cache = settings.get(f"DEBIAN{release}_CACHE") or os.path.join(
            xdg if xdg.startswith("/") else os.path.join(home, ".cache"), "tracker-updater", f"debian{release}")
        work = settings.get(f"DEBIAN{release}_BUILD_DIR") or os.path.join(ROOT, f"build-debian{release}")
        if not settings.get(f"DEBIAN{release}_CACHE"):
            parent = existing = os.path.dirname(cache)
            while not os.path.lexists(existing):
                existing = os.path.dirname(existing)
            if existing != parent:
                trusted_folder(existing, release, made=False)
                os.makedirs(parent, 0o700, exist_ok=True)
    cwd = os.getcwd()
    return [path if path.startswith("/") else os.path.join(cwd, path) for path in (cache, work)]


def trusted_folder(path, release, made=True):
    """The folder, root's alone with every folder above it (paths.py's rule), made mode
    700 when missing; anything else refused in one line, exit 2."""
    try:
        if os.path.lexists(path) or not made:
            paths.require_trusted(path, "folder")
            return
        parent = paths.open_trusted_folder(os.path.dirname(path.rstrip("/")) or "/", "folder")
    except Refusal as refusal:
        raise Refusal([f"{line} (choose another DEBIAN{release}_CACHE or DEBIAN{release}_BUILD_DIR)"
                       for line in refusal.lines])
    try:
        os.mkdir(os.path.basename(path.rstrip("/")), 0o700, dir_fd=parent)
    finally:
        os.close(parent)


def remove_root(folder, release):
    """Removes a root this check made; refuses anything else there."""
    if os.path.lexists(folder) and not any(os.path.isfile(os.path.join(folder, mark)) for mark in MARKERS):
        raise Refusal(f"{folder} exists and is no Debian {release} root of this check's: it is left alone "
                      f"(choose another DEBIAN{release}_CACHE or DEBIAN{release}_BUILD_DIR)")
    if os.path.lexists(folder):
        shutil.rmtree(folder)


def need_tools():
    missing = [package for tool, package in (("debootstrap", "debootstrap"), ("git", "git"), ("unshare", "util-linux"))
               if not shutil.which(tool, path=children.PATH)]
    if not missing:
        return
    children.install(missing, "check-debian")


def refresh_root(cache, release):
    """The cache's root, made again when missing or a week old (the cache's lock held)."""
    complete = os.path.join(cache, "root", "complete")
    if os.path.isfile(complete) and time.time() - os.stat(complete).st_mtime < WEEK:
        return
    archive = sources.debian_archive()
    if not archive:
        raise Refusal(f"the machine's apt sources name no Debian archive to make a Debian {release} root from")
    common.warn(f"making a minimal Debian {release} root from {archive}: a minute or more")
    new = os.path.join(cache, "root.new")
    remove_root(new, release)
    os.mkdir(new, 0o755)
    open(os.path.join(new, MARKER), "w").close()
    log = os.path.join(cache, "debootstrap.log")
    with open(log, "wb") as output:
        # Its own mounts of /proc and /sys in the new root stay in a namespace of its own too.
        child = children.start(["unshare", "--mount", "--propagation", "private", "debootstrap", "--variant=minbase",
                                RELEASES[release], new, archive], stdout=output, stderr=subprocess.STDOUT)
        done = children.wait(child, 3600, "debootstrap")
    if done.returncode != 0:
        sys.stderr.write(open(log, errors="replace").read())
        raise Failure(f"debootstrap could not make a Debian {release} root (exit code {done.returncode}): its log is above")
    open(os.path.join(new, "complete"), "w").close()
    remove_root(os.path.join(cache, "root"), release)
    os.rename(new, os.path.join(cache, "root"))


def as_root(release, arguments):
    """A normal user's check runs as root through sudo, with only its own settings."""
    kept = [f"{name}={os.environ[name]}" for name in (f"DEBIAN{release}_CACHE", f"DEBIAN{release}_BUILD_DIR", "CI")
            if name in os.environ]
    entry = os.path.join(ROOT, "maintainer", "tracker-tools")
    os.execvp("sudo", ["sudo", "env"] + kept + [sys.executable, "-I", "-B", entry, "check-debian", release] + arguments)


def check(release, arguments, settings):
    cache, work = folders(release, settings)
    trusted_folder(cache, release)
    trusted_folder(work, release)
    need_tools()
    lock = paths.open_no_follow(os.path.join(cache, "lock"), os.O_WRONLY | os.O_CREAT)
    try:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            common.warn(f"waiting for another Debian {release} check to finish with {cache}")
            fcntl.flock(lock, fcntl.LOCK_EX)
        refresh_root(cache, release)
        chroot = os.path.join(work, "root")
        remove_root(chroot, release)
        children.run(["cp", "-a", os.path.join(cache, "root"), chroot], timeout=1800, check=True)
    finally:
        os.close(lock)
    os.unlink(os.path.join(chroot, "complete"))
    shutil.copyfile("/etc/resolv.conf", os.path.join(chroot, "etc", "resolv.conf"))
    repository = gitrepo.Repository(ROOT)
    commit = repository.resolve("HEAD")
    repository.checkout(commit, os.path.join(chroot, "root", "tracker-updater"))
    version = open(os.path.join(chroot, "etc", "debian_version")).read().strip()
    common.warn(f"Debian {release} root from {cache} ({version}), commit {commit}")
    env = children.environment({"target": chroot, **({"CI": settings["CI"]} if "CI" in settings else {})})
    child = children.start(["unshare", "--mount", "--propagation", "private", "--", "bash", "-euo", "pipefail", "-c",
                            MOUNTS, INSIDE] + arguments, env=env)
    return children.wait(child, RUN_TIME, f"the Debian {release} check").returncode


def main(arguments):
    if not arguments or arguments[0] not in RELEASES:
        raise Refusal("usage: check-debian RELEASE [CTEST-ARGUMENTS], RELEASE 12 or 13")
    release, rest = arguments[0], arguments[1:] or ["-LE", "long"]
    if os.geteuid() != 0:
        as_root(release, arguments[1:])
    settings = {name: os.environ[name] for name in (f"DEBIAN{release}_CACHE", f"DEBIAN{release}_BUILD_DIR", "CI",
                                                    "SUDO_UID", "HOME", "XDG_CACHE_HOME") if name in os.environ}
    return check(release, rest, settings)
