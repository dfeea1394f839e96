"""Children as the tools start them, and the one wrapper every command runs in."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

MAINTAINER = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer")
sys.path.insert(0, MAINTAINER)
from trackertools import children  # noqa: E402
from trackertools.common import Failure, Refusal  # noqa: E402


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


class Children(unittest.TestCase):
    def test_environment_is_built(self):
        caller = {"GIT_DIR": "/elsewhere", "BASH_ENV": "/planted", "CDPATH": "/planted", "IFS": "x",
                  "CXXFLAGS": "-DPLANTED", "MAKEFLAGS": "-j99", "PATH": "/planted:/usr/bin", "LD_PRELOAD": "x.so"}
        with mock.patch.dict(os.environ, caller):
            env = children.environment({"TRACKER_UPDATE_HOST": "fw.fleet.net"}, source_date_epoch=1700000000)
        for name in caller:
            with self.subTest(name):
                self.assertTrue(name == "PATH" or name not in env)
        self.assertEqual((env["PATH"], env["LC_ALL"], env["SOURCE_DATE_EPOCH"], env["TRACKER_UPDATE_HOST"]),
                         (children.PATH, "C.UTF-8", "1700000000", "fw.fleet.net"))

    def test_time_limit_ends_the_group(self):
        with tempfile.TemporaryDirectory() as folder:
            pid_file = os.path.join(folder, "pid")
            start = time.monotonic()
            with self.assertRaises(Failure) as caught:
                children.run(["sh", "-c", f"sleep 60 & echo $! > {pid_file}; wait"], timeout=1, name="the sleeper")
            self.assertLess(time.monotonic() - start, 30)
            self.assertEqual(caught.exception.lines, ["the sleeper did not end within 1 s: stopped"])
            self.assertFalse(running(int(open(pid_file).read())))

    def test_what_a_child_leaves_is_ended(self):
        with tempfile.TemporaryDirectory() as folder:
            pid_file = os.path.join(folder, "pid")
            done = children.run(["sh", "-c", f"sleep 60 & echo $! > {pid_file}"], timeout=10)
            self.assertEqual(done.returncode, 0)
            self.assertFalse(running(int(open(pid_file).read())))

    def test_memory_limit(self):
        done = children.run([sys.executable, "-c", "bytearray(512 << 20)"], timeout=30, memory=256 << 20)
        self.assertNotEqual(done.returncode, 0)

    def test_descriptors_not_inherited(self):
        read, write = os.pipe()
        os.set_inheritable(write, True)
        try:
            done = children.run(["ls", "/proc/self/fd"], timeout=10)
            self.assertNotIn(str(write), done.stdout.decode().split())
        finally:
            os.close(read)
            os.close(write)

    def test_cache_another_user_could_change_refused(self):
        root = os.geteuid() == 0
        for case, mode, owner, xdg, refused in [("own", 0o700, None, True, False),
                                                ("anyone can write", 0o777, None, True, True),
                                                ("another user's", 0o755, 65534, True, root),
                                                ("another user's home, as root", 0o755, 65534, False, root),
                                                ("not made yet, in a folder of our own", 0o700, None, "/not-yet", False),
                                                ("not made yet, where anyone can write", 0o777, None, "/not-yet", True)]:
            with self.subTest(case), tempfile.TemporaryDirectory() as folder:
                os.chmod(folder, 0o700)
                cache = os.path.join(folder, "cache")
                os.mkdir(cache, mode)
                os.chmod(cache, mode)
                if owner is not None and root:
                    os.chown(cache, owner, owner)
                given = {"XDG_CACHE_HOME": cache + (xdg if isinstance(xdg, str) else "")} if xdg else {"HOME": cache}
                with mock.patch.dict(os.environ, given):
                    if not xdg:
                        os.environ.pop("XDG_CACHE_HOME", None)
                    if refused:
                        with self.assertRaises(Refusal) as caught:
                            children.environment()
                        self.assertEqual(len(caught.exception.lines), 1)
                        self.assertEqual(caught.exception.code, 2)
                    else:
                        children.environment()

    def test_stops_reach_a_child(self):
        """The stops blocked while a child starts are not blocked in it."""
        done = children.run(["grep", "^SigBlk:", "/proc/self/status"], timeout=10)
        self.assertEqual(int(done.stdout.split()[1], 16), 0)


# Commands of the test's own, run through the wrapper in a process of their own.
WRAPPED = """
import os, signal, subprocess, sys
sys.path.insert(0, {maintainer!r})
from trackertools import children, cli, common
def refuse(arguments):
    raise common.Refusal(["first fault", "second fault"], 1)
def crash(arguments):
    raise RecursionError("maximum recursion depth exceeded")
def stopped(arguments):
    child = children.start(["sleep", "60"])
    print(child.pid, flush=True)
    os.kill(os.getpid(), signal.SIGTERM)
    children.wait(child, 60)
def quit_while_starting(arguments):
    # The stop lands once the child exists, before the tools know it.
    real = subprocess.Popen
    def popen(*arguments, **settings):
        child = real(*arguments, **settings)
        print(child.pid, flush=True)
        os.kill(os.getpid(), signal.SIGQUIT)
        return child
    subprocess.Popen = popen
    children.wait(children.start(["sleep", "60"]), 60)
def chatty(arguments):
    for number in range(100000):
        common.say(f"line {{number}}")
def killed(arguments):
    child = children.start(["sleep", "60"])
    print(child.pid, flush=True)
    os.kill(os.getpid(), signal.SIGKILL)
module = sys.modules[__name__]
cli.COMMANDS = {{name: ("x", name, "tool-" + name) for name in ("refuse", "crash", "stopped", "quit_while_starting",
                                                              "chatty", "killed")}}
import importlib
importlib.import_module = lambda name: module
sys.exit(cli.main(sys.argv[1:]))
"""


class Wrapper(unittest.TestCase):
    def test_one_line_each_and_the_code(self):
        script = WRAPPED.format(maintainer=MAINTAINER)
        for command, code, errors in [
                ("refuse", 1, "tool-refuse: first fault\ntool-refuse: second fault\n"),
                ("crash", 1, "tool-crash: an unexpected fault stopped it: RecursionError: maximum recursion depth exceeded\n"),
                ("stopped", 128 + signal.SIGTERM, ""),
                ("quit_while_starting", 128 + signal.SIGQUIT, ""),
                ("unknown", 2, None)]:
            with self.subTest(command):
                done = subprocess.run([sys.executable, "-I", "-c", script, command], capture_output=True, timeout=60)
                self.assertEqual(done.returncode, code)
                if errors is not None:
                    self.assertEqual(done.stderr.decode(), errors)
                self.assertNotIn(b"Traceback", done.stderr)
                if command in ("stopped", "quit_while_starting"):
                    self.assertFalse(running(int(done.stdout)))

    def test_ends_no_one_reads(self):
        """A closed output is one line and exit 141, without Python's words at exit; a
        SIGKILL, which nothing of ours hears, still ends the child; a Ctrl+C at any moment
        of the start is never a trace."""
        script = WRAPPED.format(maintainer=MAINTAINER)
        tool = subprocess.Popen([sys.executable, "-I", "-c", script, "chatty"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        tool.stdout.readline()
        tool.stdout.close()
        self.assertEqual((tool.wait(60), tool.stderr.read().decode()),
                         (141, "tool-chatty: its output was closed before it ended\n"))
        done = subprocess.run([sys.executable, "-I", "-c", script, "killed"], capture_output=True, timeout=60)
        self.assertEqual(done.returncode, -signal.SIGKILL)
        deadline = time.monotonic() + 10
        while running(int(done.stdout)) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertFalse(running(int(done.stdout)))
        for delay in (0, 0.005, 0.01, 0.02, 0.03, 0.05, 0.08):
            with self.subTest(ctrl_c_after=delay):
                tool = subprocess.Popen([os.path.join(MAINTAINER, "..", "scripts", "verify-release")],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(delay)
                tool.send_signal(signal.SIGINT)
                out, errors = tool.communicate(timeout=60)
                self.assertNotIn(b"Traceback", errors)
                self.assertNotIn(b"Exception ignored", errors)


if __name__ == "__main__":
    unittest.main(verbosity=2)
