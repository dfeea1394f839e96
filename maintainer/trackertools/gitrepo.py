"""git on the caller's repository, read only: no GIT_* variable of the caller's reaches it
(GIT_DIR would make it another repository, GIT_INDEX_FILE another index), no system or
global configuration, no replace refs, no optional locks. Nothing here changes HEAD, the
index or a ref of the repository read."""
import os
import re

from . import children
from .common import Failure, Refusal

COMMIT = re.compile(r"[0-9a-f]{40}")
# A ref name as the tools take it: no option, no revision syntax.
REF_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._/-]*")


def git_environment(root):
    env = children.environment()
    env.update(GIT_CONFIG_NOSYSTEM="1", GIT_CONFIG_GLOBAL="/dev/null", GIT_NO_REPLACE_OBJECTS="1",
               GIT_OPTIONAL_LOCKS="0", GIT_TERMINAL_PROMPT="0", GIT_ADVICE="0",
               GIT_CEILING_DIRECTORIES=os.path.dirname(os.path.abspath(root)))
    return env


class Repository:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.env = git_environment(self.root)

    def git(self, *arguments, timeout=60, check=True, cwd=None):
        """git's output; Failure naming the command when it fails and check is set."""
        done = children.run(["git", "-C", cwd or self.root, *arguments], timeout=timeout, env=self.env)
        if check and done.returncode != 0:
            raise Failure(f"git {arguments[0]} failed in {cwd or self.root} (exit code {done.returncode})")
        return done

    def kind(self, name):
        """'commit', 'tag', 'tree', 'blob', or None when the repository lacks the object."""
        done = self.git("cat-file", "-t", "--end-of-options", name, check=False)
        return done.stdout.decode().strip() if done.returncode == 0 else None

    def resolve(self, name):
        """The commit a local branch, tag or full hash names; Refusal otherwise."""
        if not REF_NAME.fullmatch(name) or ".." in name:
            raise Refusal(f"{name} is no branch, tag or commit name")
        done = self.git("rev-parse", "--verify", "--quiet", "--end-of-options", f"{name}^{{commit}}", check=False)
        commit = done.stdout.decode().strip()
        if done.returncode != 0 or not COMMIT.fullmatch(commit):
            raise Refusal(f"{name} names no commit of the repository {self.root}")
        return commit

    def local_refs_containing(self, commit):
        """The local branches and tags that hold the commit: never a remote-tracking ref,
        which anyone who could push to that remote chose."""
        if not COMMIT.fullmatch(commit):
            raise Refusal(f"{commit} is no full commit hash")
        done = self.git("for-each-ref", "--contains", commit, "--format=%(refname)", "refs/heads", "refs/tags")
        return [ref.split("/", 2)[2] for ref in done.stdout.decode().split("\n") if ref]

    def show(self, commit, path):
        """The file's bytes at that commit, or None when it has no such file."""
        done = self.git("cat-file", "blob", f"{commit}:{path}", check=False)
        return done.stdout if done.returncode == 0 else None

    def checkout(self, commit, folder, timeout=600):
        """A clone of our own at the commit, detached, in a folder that must not exist yet.
        A local clone only reads the repository it copies."""
        if not COMMIT.fullmatch(commit):
            raise Refusal(f"{commit} is no full commit hash")
        self.git("clone", "--quiet", "--no-checkout", "--no-hardlinks", "--template=", "--", self.root, folder,
                 timeout=timeout, cwd="/")
        clone_env = git_environment(folder)
        for arguments in (["checkout", "--quiet", "--detach", commit],):
            done = children.run(["git", "-C", folder, *arguments], timeout=timeout, env=clone_env)
            if done.returncode != 0:
                raise Failure(f"git {arguments[0]} of {commit} failed in {folder}")
        return folder
