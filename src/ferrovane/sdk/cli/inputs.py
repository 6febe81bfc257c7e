"""Where the command line reads what it is given, each source bounded in size and in
time: a file (a token file, the config file), stdin, a terminal (read without echo, as
getpass reads) and a token command's output. A file that is not one (a directory, a
device) is refused before anything waits on it, and a pipe or FIFO is waited for at most
TOKEN_WAIT_SECONDS. Failures are SettingsProblem, whose text names the source and never
holds what was read."""

import os
import select
import stat
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, BinaryIO

if TYPE_CHECKING:
    from subprocess import Popen

from . import output
from .names import MAX_TOKEN_BYTES, TOKEN_WAIT_SECONDS

# How often a pipe that gives nothing is looked at again: for a token command, to see
# whether it has exited while a child it left behind still holds its output open.
EXIT_CHECK_SECONDS = 0.05
FILE_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
              (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


class SettingsProblem(Exception):
    """A setting that cannot be used; the text names where it came from (a file and its
    line, a variable, a flag) and never holds a token."""


class _Late(Exception):
    """A pipe or a command gave no end within TOKEN_WAIT_SECONDS."""


def read_file(path: str, limit: int, what: str, holds_secret: Callable[[bytes], bool] = lambda data: True) -> bytes:
    """The bytes of the file at ``path`` (at most ``limit``), named ``what`` in failures.
    It is opened without waiting, so that a FIFO that nothing writes to, or a device,
    cannot hold the command line; a regular file that others may change, or read when
    ``holds_secret`` says that its bytes hold one, is warned of."""
    named = f"the {what} {path}"
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            status = os.fstat(descriptor)
            mode = status.st_mode
            if stat.S_ISFIFO(mode):  # a FIFO, or a pipe such as bash's <(command)
                data = _read_pipe(descriptor, limit, named, time.monotonic() + TOKEN_WAIT_SECONDS, opened=True)
                if not data:
                    raise SettingsProblem(f"{named} is a FIFO that nothing wrote to: name a regular file")
                return data
            if stat.S_ISCHR(mode) and status.st_rdev == os.stat(os.devnull).st_rdev:
                return b""  # the null device, as in FERROVANE_ACCOUNTS_CONFIG=/dev/null: empty at once
            if not stat.S_ISREG(mode):
                kind = next((name for test, name in FILE_KINDS if test(mode)), "of another kind")
                raise SettingsProblem(f"{named} is {kind}, not a regular file: name the file itself")
            os.set_blocking(descriptor, True)
            with open(descriptor, "rb", closefd=False) as file:
                data = _bounded(file, limit, named)
            # Warned of, never refused: a file that others can change could also run their
            # token command or send the token to their server.
            readable = bool(mode & 0o044) and holds_secret(data)
            if readable or mode & 0o022:
                import shlex  # only for this warning: start-up goes without

                output.fail(f"warning: {named} can be {'read' if readable else 'changed'} by other users "
                            f"(mode {stat.S_IMODE(mode):04o}); chmod 600 {shlex.quote(path)} keeps it yours")
            return data
        finally:
            os.close(descriptor)
    except _Late:
        raise SettingsProblem(f"nothing more came from {named} within {TOKEN_WAIT_SECONDS:g} s") from None
    except OSError as error:
        raise SettingsProblem(f"cannot read the {what} {path}: {error.strerror or error}") from None


def read_stdin() -> bytes:
    """The token on stdin: a line typed or pasted without echo on a terminal, else all of
    it (a pipe waited for at most TOKEN_WAIT_SECONDS)."""
    stream = sys.stdin
    if stream is None:
        raise SettingsProblem("the token was to come from stdin, but stdin is closed")
    try:
        if stream.isatty():
            return _read_terminal(stream.fileno())
        buffer = getattr(stream, "buffer", None)
        if buffer is not None and stat.S_ISFIFO(os.fstat(buffer.fileno()).st_mode):
            return _read_pipe(buffer.fileno(), MAX_TOKEN_BYTES, "stdin", time.monotonic() + TOKEN_WAIT_SECONDS)
        if buffer is not None:
            return _bounded(buffer, MAX_TOKEN_BYTES, "stdin")
        return stream.read(MAX_TOKEN_BYTES + 1).encode("utf-8", "surrogateescape")
    except _Late:
        raise SettingsProblem(f"no token came on stdin within {TOKEN_WAIT_SECONDS:g} s") from None
    except (OSError, ValueError) as error:
        raise SettingsProblem(f"cannot read the token from stdin: {error}") from None


def _read_terminal(descriptor: int) -> bytes:
    """One line from the terminal, with echo off while it is typed, as getpass reads; the
    terminal is set back whatever happens (Ctrl-C too)."""
    import termios  # only for a token typed at the terminal

    before = termios.tcgetattr(descriptor)
    quiet = termios.tcgetattr(descriptor)
    quiet[3] &= ~termios.ECHO
    termios.tcsetattr(descriptor, termios.TCSAFLUSH, quiet)  # before the prompt: what is typed after it is not shown
    try:
        output.prompt("the token (not shown as you type or paste it), then Enter: ")
        line = b""
        while not line.endswith(b"\n") and len(line) <= MAX_TOKEN_BYTES:
            chunk = os.read(descriptor, MAX_TOKEN_BYTES + 1 - len(line))
            if not chunk:  # Ctrl-D
                break
            line += chunk
    finally:
        termios.tcsetattr(descriptor, termios.TCSAFLUSH, before)
        output.end_prompt()
    if len(line) > MAX_TOKEN_BYTES:
        raise SettingsProblem(f"the line typed holds more than {MAX_TOKEN_BYTES // 1024} KiB: it is not what was meant")
    return line


def _read_pipe(descriptor: int, limit: int, named: str, deadline: float, opened: bool = False,
               done: Callable[[], bool] = lambda: False) -> bytes:
    """What a pipe gives until its end, at most ``limit`` bytes, or until ``done()`` says
    that its writer has gone and nothing more is there (a child left behind may hold the
    pipe open). Raises _Late at ``deadline``. ``opened``: the descriptor was opened
    without waiting, and is read once first, where a FIFO with no writer ends at once."""
    poller = select.poll()
    poller.register(descriptor, select.POLLIN)
    data = bytearray()
    ready = opened
    while True:
        if ready:
            try:
                chunk = os.read(descriptor, limit + 1 - len(data))
            except BlockingIOError:
                chunk = None
            if chunk == b"":
                return bytes(data)
            data += chunk or b""
            if len(data) > limit:
                raise SettingsProblem(f"{named} holds more than {limit // 1024} KiB: it is not what was meant")
        finished = done()
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise _Late()
        ready = bool(poller.poll(0 if finished else 1000 * min(remaining, EXIT_CHECK_SECONDS)))
        if finished and not ready:
            return bytes(data)


def _bounded(file: BinaryIO, limit: int, named: str) -> bytes:
    data = file.read(limit + 1)
    if len(data) > limit:
        raise SettingsProblem(f"{named} holds more than {limit // 1024} KiB: it is not what was meant")
    return data


def text_of(data: bytes, what: str) -> str:
    """The text of ``data`` without its final line break (a file's last line ends in one),
    nor the byte order mark that some Windows editors put first."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise SettingsProblem(f"{what} is not UTF-8 text (a byte at offset {error.start})") from None
    return text.removesuffix("\n").removesuffix("\r")


def run_command(command: list[str], directory: Path | None, source: str) -> bytes:
    """The stdout of ``command`` (nothing else of it), run without a shell in ``directory``
    with the command line's stdin and stderr, in a session of its own: when it has exited,
    what it left running is ended with it, and its output is not waited for further."""
    import subprocess  # only a token command needs it

    program = command[0]
    try:
        process = subprocess.Popen(command, cwd=directory, stdout=subprocess.PIPE, start_new_session=True)
    except OSError as error:
        raise SettingsProblem(f"the {source} cannot be run: {program}: {error.strerror or error}") from None
    assert process.stdout is not None
    deadline = time.monotonic() + TOKEN_WAIT_SECONDS
    try:
        data = _read_pipe(process.stdout.fileno(), MAX_TOKEN_BYTES, f"the output of the {source}", deadline,
                          done=lambda: _has_exited(process))
        while not _has_exited(process):  # it closed its output but goes on
            if time.monotonic() >= deadline:
                raise _Late()
            time.sleep(EXIT_CHECK_SECONDS)
    except _Late:
        raise SettingsProblem(f"the {source} ({program}) did not finish within {TOKEN_WAIT_SECONDS:g} s") from None
    finally:
        _end_session(process)
    if process.returncode != 0:
        ended = (f"was ended by signal {-process.returncode}" if process.returncode < 0
                 else f"failed with exit status {process.returncode}")
        raise SettingsProblem(f"the {source} ({program}) {ended}; run it yourself to see why")
    return data


def _has_exited(process: "Popen[bytes]") -> bool:
    """Whether ``process`` has exited, leaving it unreaped, so that its process group
    cannot be another's by the time it is ended."""
    if not hasattr(os, "waitid"):
        return process.poll() is not None
    return os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None


def _end_session(process: "Popen[bytes]") -> None:
    """Ends what is left of the command's process group (children it left behind) and reaps it."""
    import signal  # loaded by subprocess already, which a token command runs under

    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass  # nothing is left of it
    assert process.stdout is not None
    process.stdout.close()
    process.wait()
