"""call_within bounds a whole call, and what the call started ends soon after it: the
library's own use, and the command line's run many times in one process."""

import _thread
import functools
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator

import pytest

from ferrovane.sdk import deadline
from ferrovane.sdk.deadline import DeadlinePassed, call_within
from ferrovane.sdk.stand_in_server import Answer

USER_PATH = "/api/security/v3/user-info"
# How long what a call started may outlive it once the answer has begun (a shut socket's
# read fails at once), with room for a loaded machine.
SETTLES_WITHIN = 2.0

# Runs the command line's main() 25 times against a trickling server and prints the
# threads and descriptors of the process before, right after, and once they have settled.
MANY_TIMED_OUT_CALLS = r"""
import contextlib, io, os, sys, threading, time
from ferrovane.sdk import cli
url, token, settle = sys.argv[1], sys.argv[2], float(sys.argv[3])
def counts():
    return threading.active_count(), len(os.listdir("/proc/self/fd"))
before = counts()
for _ in range(25):
    with contextlib.redirect_stderr(io.StringIO()):
        assert cli.main(["--server", url, "--token", token, "--timeout", "0.2", "user"]) == 3
after = counts()
ends = time.monotonic() + settle
while counts() != before and time.monotonic() < ends:
    time.sleep(0.05)
print(*before, *after, *counts())
"""


@pytest.fixture
def trickling(server) -> Iterator[threading.Event]:
    """Makes the server trickle its answer to the user query, a byte every 50 ms, until released."""
    released = threading.Event()

    def body() -> Iterator[bytes]:
        while not released.wait(0.05):
            yield b" "

    server.route("GET", USER_PATH, handler=lambda request: Answer(
        200, body(), {"Content-Type": "application/json", "Content-Length": "100000"}))
    yield released
    released.set()


def workers() -> list[threading.Thread]:
    return [thread for thread in threading.enumerate() if thread.name == "ferrovane-request"]


def interrupted(real, lands):
    """``real``, then KeyboardInterrupt when ``lands(*args)``, as a Ctrl-C that lands right then."""
    def call(*args):
        outcome = real(*args)
        if lands(*args):
            raise KeyboardInterrupt
        return outcome
    return call


def cut_sleep(cut):
    with pytest.raises(DeadlinePassed):
        deadline.sleep(60)
    cut.append(deadline.passed())


@pytest.mark.parametrize("outer, sleeps, interrupt", [
    (None, False, None),
    (0.3, False, None),  # within a call_within whose deadline is nearer: that one holds inside too
    (0.3, True, None),
    (None, False, (signal, "pthread_sigmask", lambda how, mask: how == signal.SIG_BLOCK and signal.SIGINT in mask)),
    (None, False, (threading.Thread, "start", lambda thread: thread.name == "ferrovane-request")),
], ids=["deadline", "outer-deadline", "outer-deadline-sleep", "ctrl-c-at-mask", "ctrl-c-at-start"])
def test_a_call_given_up_at_any_moment_ends_its_worker_and_connection(client, trickling, monkeypatch, outer, sleeps,
                                                                     interrupt):
    if interrupt:
        owner, name, lands = interrupt
        monkeypatch.setattr(owner, name, interrupted(getattr(owner, name), lands))
    cut = []
    call = functools.partial(call_within, 0.3 if outer is None and interrupt is None else 60,
                             *((cut_sleep, cut) if sleeps else (client.get_current_user,)))
    with pytest.raises(KeyboardInterrupt if interrupt else DeadlinePassed):
        call() if outer is None else call_within(outer, call)
    assert signal.SIGINT not in signal.pthread_sigmask(signal.SIG_BLOCK, ())  # as it was
    for worker in workers():
        worker.join(SETTLES_WITHIN)
    assert not workers() and False not in cut


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts descriptors in /proc")
def test_many_timed_out_commands_leave_no_thread_nor_descriptor(server, trickling):
    finished = subprocess.run([sys.executable, "-c", MANY_TIMED_OUT_CALLS, server.url, server.token,
                               str(SETTLES_WITHIN)], capture_output=True, text=True, timeout=120)
    assert finished.returncode == 0, finished.stderr
    threads, descriptors, *_, settled_threads, settled_descriptors = map(int, finished.stdout.split())
    assert (settled_threads, settled_descriptors) == (threads, descriptors)


@pytest.mark.parametrize("seconds, function, args, outcome", [
    (5, divmod, (7, 2), (3, 1)),
    (5, int, ("x",), ValueError("invalid literal for int() with base 10: 'x'")),
    (0, time.sleep, (1,), DeadlinePassed(0)),
    (float("inf"), divmod, (7, 2), (3, 1)),
    (float("nan"), divmod, (7, 2), ValueError("a deadline of NaN seconds")),
    # It holds the interpreter, so its result comes long after the deadline.
    (0.01, sum, (range(3 * 10**7),), DeadlinePassed(0.01)),
], ids=["result", "its-error", "no-time", "no-deadline", "nan", "late-result"])
def test_call_within_returns_or_raises_what_the_call_does(seconds, function, args, outcome):
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as raised:
            call_within(seconds, function, *args)
        assert str(raised.value) == str(outcome)
    else:
        assert call_within(seconds, function, *args) == outcome


def test_a_ctrl_c_that_lands_just_before_the_wait_is_taken_at_once():
    # interrupt_main() raises the interrupt as a Ctrl-C would but wakes no sleep, as when
    # the signal lands just before the caller's wait begins.
    gate = threading.Event()
    threading.Timer(0.2, _thread.interrupt_main).start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            call_within(60, gate.wait, 60)
    finally:
        gate.set()
    assert time.monotonic() - started < SETTLES_WITHIN
