"""The Debian root check's folders: where they go for root and for a user through sudo,
one cache per release, and the one rule for root (links, other users' folders, roots this
check did not make) applied before anything is made."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import common, debianroot  # noqa: E402


class Folders(unittest.TestCase):
    def test_where_the_cache_and_work_go(self):
        root = debianroot.ROOT
        with tempfile.TemporaryDirectory() as home:
            cases = [
                ({"HOME": home}, "12", [f"{home}/.cache/tracker-updater/debian12", f"{root}/build-debian12"]),
                ({"HOME": "/nowhere", "XDG_CACHE_HOME": home}, "13", [f"{home}/tracker-updater/debian13", f"{root}/build-debian13"]),
                ({"DEBIAN13_CACHE": "/a", "DEBIAN13_BUILD_DIR": "/b", "DEBIAN12_CACHE": "/other"}, "13", ["/a", "/b"]),
                ({"DEBIAN12_CACHE": "/a", "DEBIAN12_BUILD_DIR": "relative"}, "12", ["/a", os.path.join(os.getcwd(), "relative")]),
            ]
            for settings, release, expected in cases:
                with self.subTest(settings=settings):
                    self.assertEqual(debianroot.folders(release, settings), expected)

    @unittest.skipUnless(os.geteuid() == 0, "root's rule: as root only")
    def test_refused_folders(self):
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(f"{folder}/others")
            os.chown(f"{folder}/others", 65534, 65534)
            os.mkdir(f"{folder}/open")
            os.chmod(f"{folder}/open", 0o777)
            os.symlink("/root", f"{folder}/link")
            os.mkdir(f"{folder}/unmarked")
            cases = [
                (f"{folder}/others/work", "is owned by user 65534"),
                (f"{folder}/others", "is owned by user 65534"),
                (f"{folder}/open/work", "can be written by other users"),
                (f"{folder}/link", "is a link"),
                (f"{folder}/link/work", "is a link"),
            ]
            for path, expected in cases:
                with self.subTest(path=path), self.assertRaises(common.Refusal) as refused:
                    debianroot.trusted_folder(path, "12")
                self.assertIn(expected, refused.exception.lines[0])
                self.assertIn("choose another DEBIAN12_CACHE or DEBIAN12_BUILD_DIR", refused.exception.lines[0])
            self.assertFalse(os.path.exists(f"{folder}/others/work") or os.path.exists(f"{folder}/open/work"))
            debianroot.trusted_folder(f"{folder}/made", "12")
            self.assertEqual(os.stat(f"{folder}/made").st_mode & 0o777, 0o700)
            with self.assertRaisesRegex(common.Refusal, "is no Debian 13 root of this check's"):
                debianroot.remove_root(f"{folder}/unmarked", "13")
            self.assertTrue(os.path.isdir(f"{folder}/unmarked"))
            for mark in ("made-by-tracker-updater-check-debian", "made-by-tracker-updater-check-debian13"):
                with self.subTest(mark=mark):
                    os.mkdir(f"{folder}/marked")
                    open(f"{folder}/marked/{mark}", "w").close()
                    debianroot.remove_root(f"{folder}/marked", "13")
                    self.assertFalse(os.path.lexists(f"{folder}/marked"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
