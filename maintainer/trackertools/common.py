"""What every tool shares: its refusals, its failures and its own lines."""
import re
import sys

# The prefix of the tool's own lines on stderr: the entry point's name.
tool = "tracker-tools"
# What must be undone however the tool ends, run once more by cli at its end: each does
# nothing when already done.
cleanups = []


class Refusal(Exception):
    """The input or a setting is refused before anything is done: one line each, exit 2
    unless told otherwise. `who` replaces the tool's name as the lines' prefix."""

    def __init__(self, message, code=2, who=None):
        super().__init__(message)
        self.lines = message if isinstance(message, list) else [message]
        self.code = code
        self.who = who


class Failure(Refusal):
    """Something failed once begun: exit 1 unless told otherwise."""

    def __init__(self, message, code=1, who=None):
        super().__init__(message, code, who)


def say(line):
    """The tool's own line on stdout, seen at once even when piped."""
    print(line, flush=True)


def warn(line, who=None):
    """A line of the tool's own on stderr, prefixed with its name."""
    print(f"{who or tool}: {line}", file=sys.stderr, flush=True)


def shown(text, most=200):
    """A stranger's text fit for one line of ours: no control character, cut short."""
    text = text.decode("utf-8", "backslashreplace") if isinstance(text, bytes) else str(text)
    text = "".join(c if c.isprintable() else f"\\x{ord(c):02x}" if ord(c) < 256 else "?" for c in text)
    return text if len(text) <= most else text[:most] + "..."


def is_placeholder_name(name):
    """A name kept for examples and tests (RFC 2606 and RFC 6761), as the defaults of the
    carrier's settings are: no carrier's access point or update server can be one."""
    name = name.lower().removesuffix(".")
    return name in ("", "example", "invalid", "test", "localhost") \
        or name.endswith((".example", ".invalid", ".test", ".localhost")) \
        or re.fullmatch(r"(.*\.)?example\.(com|net|org)", name) is not None
