"""The release (scripts/release): what a maintainer publishes for a carrier, made from a
clone of a clean commit by that commit's own Windows check, in a working folder beside
the release folder, which replaces the old release only when every check passed.

The release folder, its lock and its working folder follow the one rule for root's
folders (paths.py): the folder above them is trusted and each is opened without
following a link, so nothing another user planted is written through."""
import fcntl
import glob
import os
import shutil
import signal
import stat
import tempfile

from . import children, gitrepo, notes, packing, paths, signing
from .common import Failure, Refusal, is_placeholder_name, say, warn

MARK = "made-by-tracker-updater-release"
# The whole Windows check of a release: a cold Qt cache on a slow machine takes hours.
CHECK_LIMIT = 8 * 3600
PASSED_ON = ("WINDOWS_QT", "QT_SERIALPORT_SOURCES", "QT_BASE_SOURCES")


def parse_settings(arguments, environ, names):
    """The settings, from NAME=VALUE arguments over the environment."""
    usage = f"give the settings as NAME=VALUE, with NAME one of {' '.join(names)}"
    settings = {name: environ[name] for name in names + ["SIGNING_PASSWORD"] if name in environ}
    for argument in arguments:
        name, equals, value = argument.partition("=")
        if name == "SIGNING_PASSWORD":
            raise Refusal("SIGNING_PASSWORD is never given on a command line: put it in a file named by "
                          "SIGNING_PASSWORD_FILE, or in the environment")
        if not equals or name not in names:
            raise Refusal(f"{name}: {usage}")
        settings[name] = value
    if settings.get("TRIAL_RELEASE", "") not in ("", "0", "1"):
        raise Refusal(f"TRIAL_RELEASE={settings['TRIAL_RELEASE']}: 1 for a trial with placeholder names, not for "
                      "publishing, or 0")
    return settings


def check_carrier(settings, trial):
    for name, kind in packing.tracker_settings():
        if kind != "carrier":
            continue
        if not settings.get(name):
            raise Refusal(f"{name} is not given: a release carries the carrier's own (scripts/release {name}=...)")
        if is_placeholder_name(settings[name]) and not trial:
            raise Refusal(f"{name}={settings[name]} is a placeholder, a name kept for examples: a release carries the "
                          "carrier's own (TRIAL_RELEASE=1 to try one, not for publishing)")


def is_a(path, test):
    """Whether what is at path, never followed through a link, passes the stat test."""
    try:
        return test(os.lstat(path).st_mode)
    except FileNotFoundError:
        return False


class ReleaseFolder:
    """The release folder, its lock and its working folder, in a folder the one rule trusts
    (paths.py): only root, or the user making the release, could change what is in it, and
    nothing in it is followed through a link."""

    def __init__(self, release):
        self.release = os.path.normpath(release)
        self.work = self.release + ".work"
        parent = existing = os.path.dirname(self.release)
        while not os.path.lexists(existing):
            existing = os.path.dirname(existing)
        paths.require_trusted(existing, "the folder of the release")
        os.makedirs(parent, exist_ok=True)
        paths.require_trusted(parent, "the folder of the release")

    def lock(self):
        """The lock beside the release, held until we end, never inherited by a child."""
        try:
            fd = os.open(self.release + ".lock", os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC
                         | os.O_NONBLOCK, 0o644)
        except OSError as error:
            why = "is a symbolic link" if os.path.islink(self.release + ".lock") else error.strerror
            raise Refusal(f"{self.release}.lock: {why}: it is left alone (choose another RELEASE_DIR)")
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise Refusal(f"{self.release}.lock: is no file: it is left alone (choose another RELEASE_DIR)")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise Refusal(f"another release into {self.release} is being made: no release made (wait until it ends, "
                          "or choose another RELEASE_DIR)")
        return fd

    def prepare_work(self):
        """The working folder, made anew: deleted only when it is ours and carries the mark,
        which only a release puts; an earlier release a stop left in it is put back first."""
        work, previous = self.work, os.path.join(self.work, "previous-release")
        if os.path.lexists(work):
            if not is_a(work, stat.S_ISDIR) or os.lstat(work).st_uid != os.geteuid() \
                    or not is_a(os.path.join(work, MARK), stat.S_ISREG):
                raise Refusal(f"{work} exists and is not a working folder of this script's: it is left alone (move it, "
                              "or choose another RELEASE_DIR)")
            if is_a(previous, stat.S_ISDIR) and os.path.lexists(self.release):
                warn(f"{self.release} is the release a stopped run had put in place; the one it replaced, in "
                     f"{previous}, goes with that folder")
            elif is_a(previous, stat.S_ISDIR):
                os.rename(previous, self.release)
                warn(f"put back {self.release}, which a stopped release had left in {previous}")
        if os.path.islink(self.release):
            raise Refusal(f"{self.release} is a symbolic link: it is left alone (choose another RELEASE_DIR)")
        if os.path.lexists(self.release) and not (is_a(self.release, stat.S_ISDIR)
                                                  and is_a(os.path.join(self.release, "RELEASE.txt"), stat.S_ISREG)):
            raise Refusal(f"{self.release} exists and is no release folder: it is left alone (choose another RELEASE_DIR)")
        if os.path.lexists(work):
            shutil.rmtree(work)
        os.mkdir(work, 0o700)
        open(os.path.join(work, MARK), "x").close()

    def keep_logs_only(self):
        """Of the working folder, once the release is in place, only the check's logs."""
        logs = os.path.join(self.work, "logs")
        os.mkdir(logs)
        windows = os.path.join(self.work, "windows")
        for name in sorted(os.listdir(windows)):
            if name.endswith(".log"):
                os.rename(os.path.join(windows, name), os.path.join(logs, name))
        for name in os.listdir(self.work):
            path = os.path.join(self.work, name)
            if name in ("logs", MARK):
                continue
            if is_a(path, stat.S_ISDIR):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def replace(self, publish):
        """The new release into place in two moves, during which a stop is ignored, so that
        a release is in place whenever one can be stopped; only a crash between them leaves
        none, and the old one in previous-release."""
        for name in ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT"):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
        previous = os.path.join(self.work, "previous-release")
        if os.path.lexists(self.release):
            os.rename(self.release, previous)
        os.rename(publish, self.release)
        if os.path.lexists(previous):
            shutil.rmtree(previous)


def release_notes(settings, commit, linux, publish, windows, signer, trial):
    """RELEASE.txt's facts: what a verification reads and a person checks."""
    dscs = sorted(glob.glob(os.path.join(publish, "SOURCES", "qt6-base_*.dsc")))
    versions = [os.path.basename(dsc)[len("qt6-base_"):-len(".dsc")] for dsc in dscs]
    debian, packages = packing.toolchain(signer is not None, [v.replace("-", "+").split("+")[0] for v in versions])
    with open(os.path.join(windows, "packages", "UNSIGNED-SHA256SUMS"), encoding="utf-8") as file:
        sums = dict(reversed(line.split("  ", 1)) for line in file.read().split("\n") if line)
    return notes.text(notes.Notes(
        version=packing.cached_setting(linux, "CMAKE_PROJECT_VERSION"), commit=commit, epoch=settings["SOURCE_DATE_EPOCH"],
        trial=trial, settings={name: packing.cached_setting(linux, name) for name, _ in packing.tracker_settings()},
        qtbase=versions, serialport=[os.path.basename(archive) for archive in
                                     sorted(glob.glob(os.path.join(publish, "SOURCES", "qtserialport-*.tar.gz")))],
        debian=debian, packages=packages,
        signer=notes.Signer(signer.subject, signer.fingerprint, bool(settings.get("SIGNING_TIMESTAMP_URL")))
        if signer else None,
        zips={name: sums[name] for name in sorted(n for n in os.listdir(publish) if n.endswith(".zip"))}))


def main(arguments):
    names = [name for name, _ in packing.tracker_settings()] + ["TRIAL_RELEASE", "SOURCE_DATE_EPOCH"] \
        + [name for name in signing.SETTINGS if name != "SIGNING_PASSWORD"]
    settings = parse_settings(arguments, os.environ, names)
    trial = settings.get("TRIAL_RELEASE") == "1"
    check_carrier(settings, trial)
    signer, signing_folder = None, None
    try:
        if signing.asked(settings):
            if not shutil.which("openssl", path=children.PATH):
                raise Refusal("signing needs openssl (apt-get install openssl)")
            signing_folder = tempfile.mkdtemp()
            # Refuses what cannot sign before anything is built; the password is then in a
            # private file, for the check to sign with.
            signer = signing.prepare(settings, signing_folder)
            for name in ("SIGNING_CERTIFICATE", "SIGNING_PKCS11_MODULE"):
                if settings.get(name):
                    settings[name] = os.path.realpath(settings[name])
            with_what = (f"a key on the token of {settings['SIGNING_PKCS11_MODULE']} ({settings['SIGNING_KEY']})"
                         if signer.kind == "token" else f"a key in the PKCS#12 file {settings['SIGNING_CERTIFICATE']}")
            url = settings.get("SIGNING_TIMESTAMP_URL")
            warn(f"signs with {with_what}, certified to {signer.subject}" + (f", time-stamped by {url}" if url else ""))
        return make_release(settings, trial, signer)
    finally:
        if signing_folder:
            shutil.rmtree(signing_folder, ignore_errors=True)


def make_release(settings, trial, signer):
    root = packing.ROOT
    repository = gitrepo.Repository(root)
    # The commit is built, not the working tree: a change to a tracked file would be left
    # out without a word, so it is refused. Untracked files are left out anyway.
    done = repository.git("diff", "--no-ext-diff", "--no-textconv", "--quiet", "HEAD", "--", check=False)
    if done.returncode == 1:
        raise Refusal("the clone has changes that are not committed: a release is made from a clean commit")
    if done.returncode != 0:
        raise Failure(f"git diff failed in {root} (exit code {done.returncode})")
    commit = repository.resolve("HEAD")
    settings.setdefault("SOURCE_DATE_EPOCH", repository.git("log", "-1", "--format=%ct", commit).stdout.decode().strip())
    if not settings["SOURCE_DATE_EPOCH"].isdigit():
        raise Refusal(f"SOURCE_DATE_EPOCH={settings['SOURCE_DATE_EPOCH']} is no time in seconds since 1970")

    folder = ReleaseFolder(os.path.abspath(os.environ.get("RELEASE_DIR") or os.path.join(root, "release")))
    folder.lock()
    folder.prepare_work()
    release, work = folder.release, folder.work
    # The commit itself is built, from a clone of it: nothing of the working tree reaches
    # the zips, not even a change that --skip-worktree hides from git status. Its own
    # Windows check builds it, in our process group, where Ctrl+C and an outer time limit
    # reach it (it ends what it started), and where sudo can ask for a password.
    repository.checkout(commit, os.path.join(work, "source"))
    linux, windows = os.path.join(work, "linux"), os.path.join(work, "windows")
    given = {name: value for name, value in settings.items() if name != "SIGNING_PASSWORD"}
    given.update({name: os.environ[name] for name in PASSED_ON if name in os.environ})
    given.update(packing.token_environment(os.environ) if signer and signer.kind == "token" else {})
    given.update(BUILD_DIR=linux, WINDOWS_BUILD_DIR=windows)
    if signer:
        given["SIGNING_PASSWORD_FILE"] = signer.password_file
    code = children.foreground(["/bin/bash", os.path.join(work, "source", "scripts", "check-windows-package")],
                                children.environment(given), CHECK_LIMIT)
    if code != 0:
        raise Failure(f"a check failed: no release made, {release} is as it was (logs in {work})")

    # A trial's zips are named -example-settings after the kind.
    kind = packing.PUBLISHED_KIND
    shared = sorted(glob.glob(os.path.join(windows, "packages", f"*-{kind}.zip"))
                    + glob.glob(os.path.join(windows, "packages", f"*-{kind}-example-settings.zip")))
    if not shared:
        raise Failure(f"the checks left no {kind} zip: no release made")
    publish = os.path.join(work, "release")
    os.makedirs(os.path.join(publish, "SOURCES"))
    for zip_path in shared:
        shutil.copyfile(zip_path, os.path.join(publish, os.path.basename(zip_path)))
    for name in sorted(os.listdir(os.path.join(windows, "sources"))):
        shutil.copyfile(os.path.join(windows, "sources", name), os.path.join(publish, "SOURCES", name))
    with open(os.path.join(publish, "SHA256SUMS"), "w") as sums:
        for zip_path in shared:
            name = os.path.basename(zip_path)
            sums.write(f"{packing.sources.sha256_of(os.path.join(publish, name))}  {name}\n")
    for zip_path in shared if signer else []:
        if not signer.verify_zip(os.path.join(publish, os.path.basename(zip_path))):
            raise Failure(f"{os.path.basename(zip_path)}: a signature does not verify: no release made")
    with open(os.path.join(publish, "RELEASE.txt"), "w") as file:
        file.write(release_notes(settings, commit, linux, publish, windows, signer, trial))

    folder.replace(publish)
    folder.keep_logs_only()
    if trial:
        say(f"release: a trial (TRIAL_RELEASE=1), NOT FOR PUBLISHING: {release}")
    else:
        zips = "".join(f"{os.path.basename(z)} " for z in shared)
        say(f"release: publish {release} as it is: {zips}SHA256SUMS, SOURCES/ and RELEASE.txt (the check's logs are "
            f"in {work}/logs)")
    return 0
