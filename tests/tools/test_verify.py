"""The verification's copy of a stranger's folder: each file read once, or refused in one line."""
import contextlib
import os
import stat
import sys
import tempfile
import unittest
import zipfile
from types import SimpleNamespace
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import notes, packing, release, stranger, verify  # noqa: E402
from trackertools.common import Refusal  # noqa: E402


class Copies(unittest.TestCase):
    def test_each_kind_of_file(self):
        def device(path):
            os.mknod(path, stat.S_IFCHR | 0o644, os.makedev(1, 3))  # /dev/null's

        def unreadable(path):
            with open(path, "w") as file:
                file.write("x")
            os.chmod(path, 0)
        cases = [                 ("link", lambda path: os.symlink("/etc/hostname", path), "is not a plain file"),
                 ("pipe", os.mkfifo, "is not a plain file"),
                 ("folder", os.mkdir, "is not a plain file"),
                 ("device", device, "is not a plain file"),
                 ("longer than allowed", lambda path: open(path, "wb").write(bytes(101)), "is longer than 100 bytes"),
                 ("plain but empty", lambda path: open(path, "wb").close(), None),
                 ("unreadable", unreadable, "cannot be read: Permission denied"),
                 ("missing", lambda path: None, "missing")]
        for case, make, words in cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as folder:
                root = os.geteuid() == 0
                if (case == "device" and not root) or (case == "unreadable" and root):
                    continue  # only root makes devices, and root reads any file
                os.mkdir(f"{folder}/release")
                os.mkdir(f"{folder}/copies")
                make(f"{folder}/release/file")
                release = verify.Folder(f"{folder}/release", f"{folder}/copies")
                try:
                    copy, digest = release.copy("file", 100, code=2)
                    self.assertIsNone(words)
                    self.assertEqual(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
                except Refusal as refusal:
                    self.assertEqual(len(refusal.lines), 1)
                    self.assertTrue(refusal.lines[0].startswith(f"{folder}/release/file: {words}"), refusal.lines[0])
                    self.assertEqual(refusal.code, 2)
                os.close(release.fd)

    def test_the_folder_and_the_temporary_folder(self):
        """A folder that cannot be read, or holds endless names, and a temporary folder that
        cannot take our files: each one line, and nothing left in the temporary folder."""
        real_scandir = os.scandir

        def in_release(listing):
            """os.scandir, but `listing` for the release folder's descriptor."""
            def scandir(fd):
                is_release = isinstance(fd, int) and os.readlink(f"/proc/self/fd/{fd}").endswith("/release")
                return listing() if is_release else real_scandir(fd)
            return scandir

        def unreadable():
            raise PermissionError(13, "Permission denied")

        def endless():
            return contextlib.nullcontext(SimpleNamespace(name=f"name-{number}") for number in iter(int, 1))
        for case, patches, words in [
                ("folder not readable", [(os, "scandir", in_release(unreadable))], "release: cannot be read: Permission denied"),
                ("endless names", [(os, "scandir", in_release(endless))],
                 "release: holds more than 1000 names, more than any release"),
                ("read-only temporary folder", [(tempfile, "mkdtemp", mock.Mock(side_effect=OSError(30, "Read-only file system")))],
                 "the temporary folder {tmp} cannot take the verification's files: Read-only file system"),
                ("full temporary folder", [(verify, "verify", mock.Mock(side_effect=OSError(28, "No space left on device")))],
                 "the temporary folder {tmp} cannot take the verification's files: No space left on device")]:
            with self.subTest(case), tempfile.TemporaryDirectory() as folder:
                os.mkdir(f"{folder}/release")
                os.mkdir(f"{folder}/tmp")
                with mock.patch.dict(os.environ, {"TMPDIR": f"{folder}/tmp"}), contextlib.ExitStack() as stack:
                    for target, name, value in patches:
                        stack.enter_context(mock.patch.object(target, name, value))
                    with self.assertRaises(Refusal) as caught:
                        verify.main([f"{folder}/release"])
                self.assertEqual(caught.exception.lines, [caught.exception.lines[0]])
                self.assertIn(words.format(tmp=f"{folder}/tmp"), caught.exception.lines[0])
                self.assertEqual(os.listdir(f"{folder}/tmp"), [])


class Programs(unittest.TestCase):
    def test_bounded_before_they_are_inflated(self):
        """Too many programs, one too large, or the reading's time run out: refused before
        anything of theirs is written."""
        def zip_of(folder, programs, size=10):
            path = f"{folder}/release.zip"
            with zipfile.ZipFile(path, "w") as made:
                made.writestr("top/", b"")
                for number in range(programs):
                    made.writestr(f"top/p{number}.exe", bytes(size), compress_type=zipfile.ZIP_DEFLATED)
                made.writestr("top/read-me.txt", b"read me")
            data = stranger.FileBytes(path)
            return data, stranger.read_zip(data, path)
        cases = [("too many", 101, 10, None, "holds 101 programs, more than any release's zip (at most 100)"),
                 ("too large", 1, stranger.MOST_PROGRAM_BYTES + 1, None, "top/p0.exe: is larger than 67108864 bytes"),
                 ("out of time", 1, 10, 0, "takes more than 0 s to read")]
        for case, programs, size, seconds, words in cases:
            with self.subTest(case), tempfile.TemporaryDirectory() as folder:
                data, entries = zip_of(folder, programs, size)
                os.mkdir(f"{folder}/programs")
                deadline = stranger.Deadline(f"{folder}/release.zip", seconds)
                if seconds == 0:
                    deadline.end -= 1
                with self.assertRaises(Refusal) as refused:
                    verify.read_programs(data, entries, f"{folder}/release.zip", f"{folder}/programs", True, deadline)
                self.assertEqual(len(refused.exception.lines), 1)
                self.assertIn(words, refused.exception.lines[0])
                self.assertEqual(os.listdir(f"{folder}/programs"), [])


class Notes(unittest.TestCase):
    def test_what_a_release_writes_is_read(self):
        """The notes the release writes, in each of their forms, are read back as written,
        the signing's claims among them."""
        signers = [None, SimpleNamespace(kind="token", subject="CN=Maintainer, O=Fleet", fingerprint=":".join(["AB"] * 32)),
                   SimpleNamespace(kind="file", subject="CN=Throwaway", fingerprint=":".join(["CD"] * 32))]
        for signer in signers:
            for trial, url in ((False, "http://timestamp.example.net"), (True, None)):
                with self.subTest(signer=signer and signer.kind, trial=trial), tempfile.TemporaryDirectory() as folder:
                    os.makedirs(f"{folder}/publish/SOURCES")
                    os.makedirs(f"{folder}/windows/packages")
                    for name in ("qt6-base_6.8.2+dfsg-1.dsc", "qtserialport-6.8.0.tar.gz"):
                        open(f"{folder}/publish/SOURCES/{name}", "w").close()
                    open(f"{folder}/publish/a.zip", "w").close()
                    with open(f"{folder}/windows/packages/UNSIGNED-SHA256SUMS", "w") as sums:
                        sums.write(f"{'b' * 64}  a.zip\n")
                    settings = {"SOURCE_DATE_EPOCH": "1700000000", **({"SIGNING_TIMESTAMP_URL": url} if url else {})}
                    with mock.patch.object(packing, "cached_setting", lambda build, name: "1.0" if name.startswith("CMAKE")
                                           else "fw.fleet.net"), \
                            mock.patch.object(packing, "tracker_settings", lambda: [("TRACKER_UPDATE_HOST", "host")]), \
                            mock.patch.object(packing, "toolchain", lambda signed, versions: (
                                "12.8 (bookworm)", ["cmake 3.25.1-1"])):
                        text = release.release_notes(settings, "a" * 40, f"{folder}/linux", f"{folder}/publish",
                                                     f"{folder}/windows", signer, trial)
                    read = notes.read(text.encode(), "RELEASE.txt")
                    self.assertEqual((read.trial, read.zips, read.packages), (trial, {"a.zip": "b" * 64}, ["cmake 3.25.1-1"]))
                    self.assertEqual(read.signer, notes.Signer(signer.subject, signer.fingerprint, url is not None)
                                     if signer else None)


if __name__ == "__main__":
    unittest.main(verbosity=2)
