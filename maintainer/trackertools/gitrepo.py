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
        return self.named(name)[0]

    def named(self, name):
        """(commit, full ref name) of what the verifier named: a full hash, HEAD, or a local
        branch or tag (refs/heads/NAME, refs/tags/NAME, or NAME when only one of them has
        it); never a remote's ref, nor a name that is both a branch and a tag."""
        if not REF_NAME.fullmatch(name) or ".." in name:
            raise Refusal(f"{name} is no branch, tag or commit name")
        if COMMIT.fullmatch(name) or name == "HEAD":
            candidates = [name]
        elif name.startswith(("refs/heads/", "refs/tags/")):
            candidates = [name]
        else:
            candidates = [f"refs/heads/{name}", f"refs/tags/{name}"]
        found = {}
        for ref in candidates:
            done = self.git("rev-parse", "--verify", "--quiet", "--end-of-options", f"{ref}^{{commit}}", check=False)
            commit = done.stdout.decode().strip()
            if done.returncode == 0 and COMMIT.fullmatch(commit):
                found[ref] = commit
        if len(set(found.values())) > 1:
            raise Refusal(f"{name} is both {' and '.join(found)}, which name different commits: name one in full")
        if not found:
            raise Refusal(f"{name} names no commit, local branch or tag of the repository {self.root}")
        ref, commit = next(iter(found.items()))
        return commit, ref

    def local_branches_containing(self, commit):
        """The full names of the local branches that hold the commit: never a tag, which a
        fetch brings along from whoever it fetched (a remote's tag can even be named
        master), nor a remote-tracking ref, which anyone who could push there chose."""
        if not COMMIT.fullmatch(commit):
            raise Refusal(f"{commit} is no full commit hash")
        done = self.git("for-each-ref", "--contains", commit, "--format=%(refname)", "refs/heads/")
        return [ref for ref in done.stdout.decode().split("\n") if ref.startswith("refs/heads/")]

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
