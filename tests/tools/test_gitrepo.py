"""git on the caller's repository: read only, whatever GIT_* the caller's environment holds."""
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import gitrepo  # noqa: E402
from trackertools.common import Refusal  # noqa: E402


def git(folder, *arguments):
    env = {"PATH": "/usr/bin:/bin", "HOME": folder, "GIT_CONFIG_NOSYSTEM": "1"}
    return subprocess.run(["git", "-C", folder, "-c", "user.name=t", "-c", "user.email=t@invalid", *arguments],
                          env=env, check=True, capture_output=True).stdout.decode().strip()


def read(path):
    with open(path, "rb") as file:
        return file.read()


def state(folder):
    return [read(os.path.join(folder, ".git", name)) for name in ("HEAD", "index")] + [git(folder, "for-each-ref")]


class Repository(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(lambda: os.system(f"rm -rf '{self.folder}'"))
        self.root, self.other = f"{self.folder}/root", f"{self.folder}/other"
        for repository in (self.root, self.other):
            os.makedirs(repository)
            git(repository, "init", "-q", "-b", "main")
            with open(f"{repository}/file", "w") as file:
                file.write(repository)
            git(repository, "add", "file")
            git(repository, "commit", "-q", "-m", "first")
        self.first = git(self.root, "rev-parse", "HEAD")
        git(self.root, "tag", "-a", "-m", "a tag", "v1")
        git(self.root, "commit", "-q", "--allow-empty", "-m", "a contributor's")
        self.remote_only = git(self.root, "rev-parse", "HEAD")
        git(self.root, "update-ref", "refs/remotes/contributor/feature", "HEAD")
        # As a fetch of a contributor's fork brings them along: tags on their commit.
        git(self.root, "update-ref", "refs/tags/master", "HEAD")
        git(self.root, "update-ref", "refs/tags/main", "HEAD")
        git(self.root, "reset", "-q", "--hard", "HEAD~1")

    def test_reads_the_repository_it_is_given_and_changes_nothing(self):
        before = state(self.root), state(self.other)
        caller = {"GIT_DIR": f"{self.other}/.git", "GIT_WORK_TREE": self.other, "GIT_INDEX_FILE": f"{self.folder}/index",
                  "GIT_OBJECT_DIRECTORY": f"{self.other}/.git/objects", "GIT_CONFIG_PARAMETERS": "'core.bare'='true'"}
        with mock.patch.dict(os.environ, caller):
            repository = gitrepo.Repository(self.root)
            self.assertEqual(repository.resolve("refs/heads/main"), self.first)
            self.assertEqual(repository.show(self.first, "file"), self.root.encode())
            repository.checkout(self.first, f"{self.folder}/clone")
        self.assertEqual((state(self.root), state(self.other)), before)
        self.assertEqual(git(f"{self.folder}/clone", "rev-parse", "HEAD"), self.first)

    def test_what_holds_a_commit(self):
        repository = gitrepo.Repository(self.root)
        for case, commit, refs, kind in [("branch and tag", self.first, ["refs/heads/main"], "commit"),
                                         ("a remote's branch and fetched tags only", self.remote_only, [], "commit"),
                                         ("a tag's own hash", git(self.root, "rev-parse", "v1"), None, "tag"),
                                         ("missing", "0" * 40, None, None)]:
            with self.subTest(case):
                self.assertEqual(repository.kind(commit), kind)
                if refs is not None:
                    self.assertEqual(sorted(repository.local_branches_containing(commit)), refs)

    def test_names_the_verifier_gives(self):
        repository = gitrepo.Repository(self.root)
        for name, named in [("v1", (self.first, "refs/tags/v1")), ("refs/heads/main", (self.first, "refs/heads/main")),
                            ("master", (self.remote_only, "refs/tags/master")), (self.first, (self.first, self.first)),
                            ("contributor/feature", None), ("refs/remotes/contributor/feature", None), ("main", None)]:
            with self.subTest(name):
                if named is None:
                    with self.assertRaises(Refusal):
                        repository.named(name)
                else:
                    self.assertEqual(repository.named(name), named)

    def test_names_refused(self):
        repository = gitrepo.Repository(self.root)
        for name in ("--upload-pack=touch x", "-x", "main..v1", "main^{tree}", "0" * 40, ""):
            with self.subTest(name), self.assertRaises(Refusal):
                repository.resolve(name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
