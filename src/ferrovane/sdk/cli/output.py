"""Where the command line's text goes: the answer on stdout, as a table that fits the
terminal or as JSON, and each failure as one line on stderr."""

import argparse
import os
import shutil
import sys
from typing import Any

from .. import _tables
from .arguments import PROG


class OutputFailed(Exception):
    """stdout took not all of the answer (a full disk, a closed pipe); the OSError is the cause."""


def show(args: argparse.Namespace, answer: Any) -> None:
    """Prints ``answer`` as ``args`` asks. Raises OutputFailed, BrokenPipeError included."""
    # Tables fit the terminal; in a file or a pipe their lines are whole.
    width = shutil.get_terminal_size().columns if sys.stdout.isatty() else None
    text = _tables.as_json(answer) if args.json else args.show(answer, width)
    try:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()  # here, not at exit, so that a full disk is seen while it can be reported
    except OSError as error:
        discard_stdout()
        raise OutputFailed(error) from error


def discard_stdout() -> None:
    """Points stdout at the null device, so that what is still buffered for it can go
    nowhere quietly at exit instead of failing again."""
    try:
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), sys.stdout.fileno())
    except (OSError, ValueError):
        pass  # stdout is no file descriptor (replaced, as in tests): nothing is left at exit


def fail(message: str) -> None:
    """Reports a failure in one line on stderr, escaped so that it cannot drive a terminal."""
    try:
        print(f"{PROG}: {_tables.printable(message)}", file=sys.stderr, flush=True)
    except OSError:
        pass  # stderr is gone too: the exit status is all that is left
