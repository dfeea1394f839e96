"""Every program the tools start: an environment built here, a process group of its own,
a time limit, a memory limit where asked, no inherited descriptor, and the whole group
ended on every way out. Decisions come from exit codes and our own checks, never from a
child's words."""
import ctypes
import os
import pwd
import resource
import signal
import subprocess
import time

from . import paths
from .common import Failure

PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
# The signals that stop the tools (cli's handlers): each ends every group first.
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)
# Groups started and not yet ended: pid of the leader -> its Popen.
_groups = {}


def environment(settings=None, source_date_epoch=None):
    """The environment a child gets: nothing of the caller's but who and where they are."""
    user = pwd.getpwuid(os.getuid())
    home = os.environ.get("HOME", "")
    env = {"PATH": PATH, "LC_ALL": "C.UTF-8", "LANG": "C.UTF-8", "USER": user.pw_name, "LOGNAME": user.pw_name,
           "HOME": home if home.startswith("/") and os.path.isdir(home) else user.pw_dir}
    # Where temporary files and the Qt cache go are the caller's to choose.
    for name in ("TMPDIR", "XDG_CACHE_HOME"):
        if os.environ.get(name, "").startswith("/"):
            env[name] = os.environ[name]
    trusted_cache(env)
    if source_date_epoch is not None:
        env["SOURCE_DATE_EPOCH"] = str(source_date_epoch)
    env.update({name: str(value) for name, value in (settings or {}).items()})
    return env


def trusted_cache(env):
    """The cache folder children will use (XDG_CACHE_HOME, else ~/.cache), refused (exit 2)
    when another user could change it: a Qt build found there is trusted by its `complete`
    file. Chosen by the caller, always; as root, ~/.cache too. Before it is made, the
    folder it will be made in."""
    folder = env.get("XDG_CACHE_HOME")
    if folder is None and os.geteuid() == 0:
        folder = os.path.join(env["HOME"], ".cache")
    if folder is not None:
        folder = os.path.normpath(folder)
        while not os.path.lexists(folder):
            folder = os.path.dirname(folder)
        paths.require_trusted(folder, "the cache folder (XDG_CACHE_HOME, else ~/.cache)")
    return folder


_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _limits(memory):
    parent = os.getpid()

    def apply():
        # Ended when we are, even by SIGKILL, where nothing of ours can end it.
        _libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != parent:
            os._exit(143)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPS)  # blocked in us while it starts
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return apply


def start(argv, *, env=None, cwd=None, memory=None, stdin=subprocess.DEVNULL, stdout=None, stderr=None):
    """A child in a session and process group of its own, ended with the program. A stop
    waits until the child is registered: before, its handler would not find it to end."""
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)
    try:
        child = subprocess.Popen([str(a) for a in argv], env=env if env is not None else environment(), cwd=cwd,
                                 stdin=stdin, stdout=stdout, stderr=stderr, close_fds=True,
                                 start_new_session=True, preexec_fn=_limits(memory))
        _groups[child.pid] = child
    except OSError as error:
        raise Failure(f"{os.path.basename(str(argv[0]))} could not be started: {error.strerror}")
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    return child


def end_group(child, grace=5.0):
    """Ends the child's process group: asked first, forced after `grace` seconds."""
    try:
        os.killpg(child.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    else:
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            child.poll()  # a leader gone stays in its group, a zombie, until waited for
            try:
                os.killpg(child.pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        else:
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    try:
        child.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        pass
    _groups.pop(child.pid, None)


def end_all():
    """Every group still running ended: on every way out of the program."""
    for child in list(_groups.values()):
        end_group(child)


def wait(child, timeout, name=None, input=None):
    """The child's output once it ends; its group ended then too (what it left behind
    would hold our pipes open), or when its time runs out."""
    deadline = time.monotonic() + timeout
    try:
        while True:
            try:
                out, err = child.communicate(input=input, timeout=max(0.0, min(1.0, deadline - time.monotonic())))
                break
            except subprocess.TimeoutExpired:
                input = None  # given once, at the start
                if child.poll() is not None:
                    end_group(child, grace=1.0)
                elif time.monotonic() >= deadline:
                    end_group(child)
                    raise Failure(f"{name or os.path.basename(child.args[0])} did not end within {timeout:g} s: stopped")
    finally:
        if child.pid in _groups:
            end_group(child, grace=1.0)
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


def run(argv, *, timeout, memory=None, cwd=None, env=None, input=None, capture=True, check=False, name=None):
    """Runs argv to its end within `timeout` seconds (and `memory` bytes of address space).
    With capture, its output and errors are returned as bytes; else they go where ours go.
    With check, an exit code other than 0 is a Failure naming the program."""
    pipe = subprocess.PIPE if capture else None
    child = start(argv, env=env, cwd=cwd, memory=memory, stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                  stdout=pipe, stderr=pipe)
    done = wait(child, timeout, name, input)
    if check and done.returncode != 0:
        raise Failure(f"{name or os.path.basename(str(argv[0]))} failed (exit code {done.returncode})")
    return done


def foreground(argv, env, timeout):
    """A child in our own process group, where sudo can ask for a password and Ctrl+C
    reaches it; ended when its time runs out or we are stopped. Its exit code."""
    child = subprocess.Popen([str(a) for a in argv], env=env, close_fds=True)
    try:
        return child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure(f"{os.path.basename(str(argv[0]))} did not end within {timeout} s: stopped")
    finally:
        if child.poll() is None:
            child.terminate()
            child.wait()


# The package manager's turn (scripts/install-packages waits up to 20 minutes for it, or
# INSTALL_LOCK_WAIT seconds), then the downloads and the install.
LOCK_WAIT = 1200
INSTALL_TIME = 3600


def install(packages, who):
    """The Debian packages not installed yet, by scripts/install-packages, which every
    install of the project's goes through, in the foreground for sudo's question. A
    failure is a Failure naming the install, with its exit code (apt-get's)."""
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__)))),
                          "scripts", "install-packages")
    wait = os.environ.get("INSTALL_LOCK_WAIT", "")
    settings = {"INSTALL_LOCK_WAIT": wait} if wait.isdigit() and len(wait) <= 6 else {}
    limit = INSTALL_TIME + int(settings.get("INSTALL_LOCK_WAIT", LOCK_WAIT))
    code = foreground(["bash", script, *packages], environment(settings), limit)
    if code != 0:
        named = " ".join(package for package in packages if not package.startswith("-"))
        raise Failure(f"installing {named} failed (exit code {code})", who=who)
