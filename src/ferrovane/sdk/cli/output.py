"""Where the command line's text goes, and the one place that writes it: the answer on
stdout, as a table that fits the terminal or as JSON, and each failure as one line on
stderr, never on stdout.

Whatever the streams are, writing ends in text written, in OutputFailed, or (for stderr)
in nothing: a stream closed before the start (``>&-``, ``2>&-``), one whose encoding
cannot carry the answer (the answer is then written with escapes, said once), a full
disk, a closed pipe.
"""

import codecs
import contextlib
import errno
import functools
import io
import os
import shutil
import sys
from collections.abc import Callable, Iterator
from enum import Enum
from typing import Any

from .. import _tables
from .names import PROG
from .status import ExitStatus

# Encodings that carry every character, so that the text need not be tried first (an
# --all listing may be large).
UNICODE_CODECS = {"utf-8", "utf-16", "utf-32"}
# The widest terminal believed: COLUMNS may say anything, and a table is never wider than
# its cells need anyway.
MAX_WIDTH = 1_000


class Mode(Enum):
    """How the answer is printed: a table for people, indented JSON, or JSON lines."""

    TABLE = "table"
    JSON = "json"
    JSONL = "jsonl"


# How an answer is printed for people: the answer and the terminal's width (None in a
# file or a pipe) in, the text out.
View = Callable[[Any, int | None], str]


class OutputFailed(Exception):
    """stdout took not all of the answer (a full disk, a closed pipe); the OSError is the cause."""


class ClosedStream(io.TextIOBase):
    """In place of a standard stream that was closed when the command started (Python
    gives None): stdout fails every write as a closed descriptor does, stderr takes and
    drops it, so that nothing meant for one ever reaches the other."""

    encoding = "utf-8"

    def __init__(self, name: str, drop: bool) -> None:
        self.name, self.drop = name, drop

    def write(self, text: str) -> int:
        if self.drop:
            return len(text)
        raise OSError(errno.EBADF, f"{self.name} is closed")


@contextlib.contextmanager
def standard_streams() -> Iterator[None]:
    """Within it, sys.stdout and sys.stderr are streams, even where they were closed."""
    saved = sys.stdout, sys.stderr
    if sys.stdout is None:
        sys.stdout = ClosedStream("stdout", drop=False)
    if sys.stderr is None:
        sys.stderr = ClosedStream("stderr", drop=True)
    try:
        yield
    finally:
        for stream in (sys.stdout, sys.stderr):
            _settle(stream)
        sys.stdout, sys.stderr = saved


@functools.lru_cache(maxsize=16)
def _carries_any_text(encoding: str) -> bool:
    """Whether ``encoding`` carries every character: looked up once per encoding, not once
    per event of --jsonl. Raises LookupError for an encoding that Python does not know."""
    return codecs.lookup(encoding).name in UNICODE_CODECS


def _fits(text: str, stream: Any) -> bool | None:
    """Whether ``stream``'s encoding carries all of ``text`` (True for a stream that names
    none); None for an encoding that Python does not know."""
    encoding = getattr(stream, "encoding", None)
    if not isinstance(encoding, str):
        return True
    try:
        if _carries_any_text(encoding):
            return True  # carries any text that is shown (lone surrogates are escaped before)
        text.encode(encoding)
        return True
    except UnicodeEncodeError:
        return False
    except LookupError:
        return None


def _encodable(text: str, stream: Any) -> tuple[str, bool]:
    """``text`` as ``stream`` can encode it: each character that its encoding cannot carry
    written as a Python escape (\\xe9, \\u65e5); and whether any was."""
    if _fits(text, stream) is not False:
        return text, False
    return text.encode(stream.encoding, errors="backslashreplace").decode(stream.encoding), True


def show(answer: Any, mode: Mode, view: View) -> str | None:
    """Prints ``answer`` in ``mode``, with ``view`` for a table (a list in JSON lines: a
    line for each item). Returns a note to report
    when some of it had to be escaped to fit stdout's encoding. Raises OutputFailed,
    BrokenPipeError included."""
    if mode is Mode.JSONL:  # a list, one item a line, so that each line is one of its objects
        write("".join(json_text(item, indent=None) + "\n" for item in (answer if isinstance(answer, list) else [answer])))
        return None  # JSON's own escapes, where needed, lose nothing: no note
    if mode is Mode.JSON:
        write(json_text(answer, indent=2) + "\n")
        return None
    try:
        # Tables fit the terminal; in a file or a pipe their lines are whole.
        width = min(shutil.get_terminal_size().columns, MAX_WIDTH) if sys.stdout.isatty() else None
    except (OSError, ValueError) as error:  # a stdout closed in the meantime
        raise OutputFailed(error) from error
    text, escaped = _encodable(view(answer, width) + "\n", sys.stdout)
    write(text)
    if not escaped:
        return None
    return (f"the output's encoding ({sys.stdout.encoding}) cannot carry some characters of the answer; they are "
            "written as escapes such as \\xf6 or \\u65e5 (PYTHONIOENCODING=utf-8 keeps them)")


def json_text(answer: Any, indent: int | None) -> str:
    """``answer`` as JSON whose text is readable as far as stdout's encoding carries it; each
    character that it cannot carry is a JSON escape (\\u00e9), which any reader decodes."""
    text = _tables.as_json(answer, indent, ascii=False)
    if text.isascii():
        return text
    fits = _fits(text, sys.stdout)
    if fits is None:
        return _tables.as_json(answer, indent)  # an encoding unknown to Python: ASCII is safest
    if fits:
        return text
    return "".join(char if char.isascii() or _carries(sys.stdout.encoding, char) else _tables.json_escape(char)
                   for char in text)


def _carries(encoding: str, char: str) -> bool:
    try:
        char.encode(encoding)
        return True
    except UnicodeEncodeError:
        return False


def write(text: str, flush: bool = True) -> None:
    """Writes ``text`` on stdout. Raises OutputFailed, BrokenPipeError included."""
    try:
        sys.stdout.write(text)
        if flush:
            sys.stdout.flush()  # here, not at exit, so that a full disk is seen while it can be reported
    except (OSError, ValueError) as error:
        discard_stdout()
        raise OutputFailed(error) from error


def flush() -> None:
    write("", flush=True)


def failed_status(failed: OutputFailed) -> ExitStatus:
    """Reports that stdout took not all of the output; the exit status: success when the
    reader (e.g. head) has gone, as it has what it wanted."""
    cause = failed.__cause__
    if isinstance(cause, BrokenPipeError):
        return ExitStatus.SUCCESS
    reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else str(cause)
    fail(f"cannot write the output: {reason}")
    return ExitStatus.OUTPUT


def discard_stdout() -> None:
    _discard(sys.stdout)


def _discard(stream: Any) -> None:
    """Points the stream's descriptor at the null device, so that what is still buffered
    for it can go nowhere quietly at exit instead of failing again (which would end the
    process with status 120 instead of the command's)."""
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), stream.fileno())
    except (OSError, ValueError):
        pass  # no file descriptor (replaced, as in tests, or closed): nothing is left at exit


def _settle(stream: Any) -> None:
    """Writes out what is still buffered for a stream, or discards it where it cannot go."""
    try:
        stream.flush()
    except (OSError, ValueError):
        _discard(stream)


def fail(message: str) -> None:
    """Reports a failure in one line on stderr, escaped so that it cannot drive a terminal
    and so that stderr's encoding can carry it."""
    _to_stderr(f"{PROG}: {message}")


def prompt(text: str) -> None:
    """Writes ``text`` on stderr without a line break, for what is typed after it."""
    _to_stderr(f"{PROG}: {text}", end="")


def end_prompt() -> None:
    """Ends the line of a prompt whose answer was not echoed."""
    _to_stderr("")


def trace(line: str) -> None:
    """Writes one line of the request trace (-v) on stderr, escaped as failures are."""
    _to_stderr(line)


def _to_stderr(line: str, end: str = "\n") -> None:
    text, _ = _encodable(_tables.printable(line) + end, sys.stderr)
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, ValueError):
        _discard(sys.stderr)  # stderr is gone too: the exit status is all that is left
