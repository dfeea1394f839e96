"""The one entry: tracker-tools COMMAND [ARGS]. Each command runs inside one wrapper:
a Refusal or Failure is one line per fault and its exit code, a stop (INT, TERM, HUP, QUIT)
ends every child's group and exits 128 + the signal, and any other fault is one line,
never a trace."""
import importlib
import os
import signal
import sys

from . import children, common

# COMMAND: (module, function, name its lines carry). function(arguments) -> exit code.
COMMANDS = {
    "verify-release": ("verify", "main", "verify-release"),
    "release": ("release", "main", "release"),
    "check-windows-package": ("packing", "check_windows_package", "check-windows-package"),
    "check-debian": ("debianroot", "main", "check-debian"),
    "debian-archive": ("sources", "print_debian_archive", "debian-archive"),
    "signing": ("signing", "main", "signing"),
    "pack-signed": ("packing", "pack_signed_command", "pack-signed"),
    "programs": ("packing", "programs_command", "programs"),
}


class Stopped(BaseException):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def _stopped(number, frame):
    # One stop is enough; a second must not cut the ending short.
    for stop in children.STOPS:
        signal.signal(stop, signal.SIG_IGN)
    children.end_all()
    raise Stopped(128 + number)


def usage():
    return f"usage: tracker-tools COMMAND [ARGS], COMMAND one of: {', '.join(sorted(COMMANDS))}"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] not in COMMANDS:
        print(f"tracker-tools: {usage()}", file=sys.stderr)
        return 2
    module, function, common.tool = COMMANDS[argv[0]]
    for stop in children.STOPS:
        signal.signal(stop, _stopped)
    try:
        command = getattr(importlib.import_module(f"trackertools.{module}"), function)
        return command(argv[1:]) or 0
    except common.Refusal as refusal:
        for line in refusal.lines:
            common.warn(line, refusal.who)
        return refusal.code
    except Stopped as stop:
        return stop.code
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Whoever read our lines has gone (| head): nothing more goes to them, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        try:
            common.warn("its output was closed before it ended")
        except OSError:
            pass
        return 141
    except ModuleNotFoundError as error:
        if (error.name or "").startswith("trackertools"):
            common.warn(f"this command is not built yet ({error.name})")
        else:
            common.warn(f"it needs the Python module {error.name}, which is not installed")
        return 2
    except BaseException as error:  # noqa: B036 - never a trace
        if isinstance(error, SystemExit):
            return error.code if isinstance(error.code, int) else 1
        common.warn(f"an unexpected fault stopped it: {type(error).__name__}: {common.shown(str(error))}")
        return 1
    finally:
        try:
            children.end_all()
            for cleanup in common.cleanups:
                cleanup()
            sys.stdout.flush()
        except BaseException:
            pass
