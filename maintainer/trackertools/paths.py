"""The one rule for folders a tool run as root works in, and opening without following
links: nothing another user could plant or change is followed or trusted."""
import os
import stat

from .common import Refusal

_FOLDER = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _owners():
    # Root trusts only root; a normal user trusts root and themselves.
    return {0} if os.geteuid() == 0 else {0, os.geteuid()}


def _fault(info, above, sticky_allowed=False):
    """What makes a folder untrustworthy, or None."""
    if not stat.S_ISDIR(info.st_mode):
        return "is not a folder"
    if info.st_uid not in _owners():
        return f"is owned by user {info.st_uid}, whom {'root' if os.geteuid() == 0 else 'this user'} does not trust"
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        # /tmp and its like: anyone may add, but no one may take another's entry. Its owner
        # was checked above: root's, or (not as root) this user's own.
        if not ((above or sticky_allowed) and info.st_mode & stat.S_ISVTX):
            return "can be written by other users"
    return None


def open_trusted_folder(path, what, sticky_allowed=False):
    """The folder opened, walked from / without following a link, each folder on the way
    owned by root (or this user when not root) and writable by no one else, a sticky
    root-owned folder such as /tmp aside above it (and as it, when sticky_allowed: a folder
    of our own made in it is ours alone). Else Refusal naming the path, exit 2."""
    if not os.path.isabs(path):
        raise Refusal(f"{what} {path}: is no absolute path")
    parts = [part for part in path.split("/") if part not in ("", ".")]
    if ".." in parts:
        raise Refusal(f"{what} {path}: has '..' in it")
    fd = os.open("/", _FOLDER)
    walked = ""
    try:
        for index, part in enumerate(parts + [None]):
            fault = _fault(os.fstat(fd), above=part is not None, sticky_allowed=sticky_allowed)
            if fault:
                raise Refusal(f"{what} {path}: {walked or '/'} {fault}")
            if part is None:
                return fd
            walked += "/" + part
            try:
                next_fd = os.open(part, _FOLDER, dir_fd=fd)
            except OSError as error:
                kind = "is a link" if os.path.islink(walked) else error.strerror.lower()
                raise Refusal(f"{what} {path}: {walked} {kind}")
            os.close(fd)
            fd = next_fd
    except BaseException:
        os.close(fd)
        raise


def require_trusted(path, what="folder", sticky_allowed=False):
    """Refuses (exit 2) a folder root must not trust: see open_trusted_folder."""
    os.close(open_trusted_folder(path, what, sticky_allowed))
    return path


def open_no_follow(name, flags=os.O_RDONLY, mode=0o600, dir_fd=None):
    """A descriptor for `name` (relative to dir_fd, or a path), every part of it opened
    without following a link; OSError (ELOOP for a link) otherwise."""
    parts = [part for part in name.split("/") if part not in ("", ".")]
    fd = os.open("/", _FOLDER) if name.startswith("/") else None
    try:
        for part in parts[:-1]:
            next_fd = os.open(part, _FOLDER, dir_fd=fd if fd is not None else dir_fd)
            if fd is not None:
                os.close(fd)
            fd = next_fd
        return os.open(parts[-1], flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode, dir_fd=fd if fd is not None else dir_fd)
    finally:
        if fd is not None:
            os.close(fd)
