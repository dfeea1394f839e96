"""The one rule for root's folders, and opening without following links."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import paths  # noqa: E402
from trackertools.common import Refusal  # noqa: E402


class Trusted(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()  # /tmp: sticky and root's, allowed above
        self.addCleanup(lambda: os.system(f"rm -rf '{self.folder}'"))
        os.makedirs(f"{self.folder}/release/work")

    def test_rule(self):
        def writable(path):
            os.chmod(path, 0o777)

        def sticky(path):
            os.chmod(path, 0o1777)

        def link(path):
            os.rename(path, path + ".real")
            os.symlink(path + ".real", path)

        def other_owner(path):
            os.chown(path, 65534, 65534)
        cases = [("as made", None, None, None),
                 ("writable by others", "release", writable, "can be written by other users"),
                 ("sticky but the folder itself", "release/work", sticky, "can be written by other users"),
                 ("a link on the way", "release", link, "is a link"),
                 ("a link at the end", "release/work", link, "is a link"),
                 ("another user's", "release", other_owner, "is owned by user 65534"),
                 ("missing", "release/work", os.rmdir, "no such file or directory")]
        for case, where, change, words in cases:
            with self.subTest(case):
                self.setUp()
                if change:
                    if change is other_owner and os.geteuid() != 0:
                        continue  # only root can give a folder away
                    change(f"{self.folder}/{where}")
                try:
                    paths.require_trusted(f"{self.folder}/release/work", "the work folder")
                    fault = None
                except Refusal as refusal:
                    fault = refusal.lines[0]
                    self.assertEqual(refusal.code, 2)
                if words is None:
                    self.assertIsNone(fault)
                else:
                    self.assertIn(words, fault or "")
                    self.assertTrue(fault.startswith(f"the work folder {self.folder}/release/work: "))

    def test_sticky_folder_itself_when_allowed(self):
        os.chmod(f"{self.folder}/release", 0o1777)
        for allowed, root_owned in ((True, True), (False, True), (True, False)):
            with self.subTest(allowed=allowed, root_owned=root_owned):
                if not root_owned and os.geteuid() == 0:
                    os.chown(f"{self.folder}/release", 65534, 65534)
                elif not root_owned:
                    continue  # a normal user cannot give a folder away
                try:
                    paths.require_trusted(f"{self.folder}/release", "TMPDIR", sticky_allowed=allowed)
                    refused = False
                except Refusal:
                    refused = True
                self.assertEqual(refused, not (allowed and root_owned))

    def test_relative_and_dot_dot(self):
        for path in ("release", f"{self.folder}/release/../release"):
            with self.subTest(path), self.assertRaises(Refusal):
                paths.require_trusted(path)

    def test_no_follow(self):
        os.symlink("/etc/passwd", f"{self.folder}/release/planted")
        for name in ("planted", "planted/x"):
            with self.subTest(name), self.assertRaises(OSError):
                fd = os.open(f"{self.folder}/release", os.O_RDONLY | os.O_DIRECTORY)
                try:
                    paths.open_no_follow(name, dir_fd=fd)
                finally:
                    os.close(fd)


if __name__ == "__main__":
    unittest.main(verbosity=2)
