"""A deadline for a whole call: ``call_within(seconds, function, *args)`` returns what the
call returns, or raises DeadlinePassed once ``seconds`` have gone by, whatever holds it up.

A session's timeout bounds each read, not a request: a server that trickles its answer,
a proxy (plain, TLS inside TLS, SOCKS), a name with many dead addresses or a slow name
lookup each stretch one request well past it. Rather than reach into each transport, the
call runs on a worker thread and the caller waits for it with the deadline.

What the call leaves behind when the deadline passes ends soon after, by this bound:
once an answer has begun (its status line and headers came), its socket is shut, so the
worker's read fails at once and the connection is closed; before that, the worker ends
when the session's own per-read timeout runs out (a session without one can hold it for
as long as the server does). Answers are seen through a response hook on the session,
which ``watch(session)`` adds; ``call_within`` adds it by itself to the session of the
client (or ``requests.Session``) whose method it is given, or that it is given as an
argument. A wait between tries (mount_retries) ends as the deadline passes, and no try
follows it.
"""

import contextvars
import math
import signal
import socket
import threading
import time
from collections.abc import Callable
from typing import Any

import requests

__all__ = ["DeadlinePassed", "call_within", "passed", "sleep", "watch"]


class DeadlinePassed(requests.Timeout):
    """No whole answer came within ``seconds``."""

    def __init__(self, seconds: float) -> None:
        super().__init__(f"no whole answer within {seconds:g} s")
        self.seconds = seconds


class _Held:
    """The answers that one call has begun to receive, shut when its deadline passes."""

    def __init__(self, seconds: float) -> None:
        self.seconds = seconds
        self.passed = threading.Event()  # set once the deadline has passed (or Ctrl-C)
        self._lock = threading.Lock()
        self._responses: list[requests.Response] = []

    def add(self, response: requests.Response) -> None:
        with self._lock:
            if not self.passed.is_set():
                self._responses.append(response)
                return
        _shut(response)  # begun after the deadline: nobody waits for it

    def expire(self) -> None:
        with self._lock:
            self.passed.set()
            responses, self._responses = self._responses, []
        for response in responses:
            _shut(response)


_current: contextvars.ContextVar[_Held | None] = contextvars.ContextVar("ferrovane_deadline", default=None)


def _hold(response: requests.Response, **kwargs: Any) -> None:
    # A response hook: runs once the status line and headers are in, before the body is read.
    held = _current.get()
    if held is not None:
        held.add(response)


def _shut(response: requests.Response) -> None:
    """Ends every read of ``response``, in this thread or another, and so frees its worker."""
    raw = response.raw
    shutdown = getattr(raw, "shutdown", None)  # urllib3 2.3 and later
    try:
        if shutdown is not None:
            shutdown()
            return
    except ValueError:
        pass  # a socket that it cannot shut (TLS inside TLS)
    except (RuntimeError, OSError):
        return  # handed back to the pool, or closed: nothing is read any more
    # Shut the connection's socket itself (beneath TLS inside TLS, the proxy's). Closing
    # it would not do: a read in another thread holds the buffered reader's lock, and
    # close() would wait for it.
    sock = getattr(getattr(raw, "connection", None), "sock", None)
    sock = getattr(sock, "socket", sock)
    if isinstance(sock, socket.socket):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # already closed


def passed() -> bool:
    """Whether the call made by call_within that runs this code has been given up: its
    deadline passed, or Ctrl-C. False outside such a call."""
    held = _current.get()
    return held is not None and held.passed.is_set()


def sleep(seconds: float) -> None:
    """Sleeps ``seconds``, as ``time.sleep``; in a call made by call_within, raises
    DeadlinePassed as soon as that call's deadline passes, so that a wait between tries
    does not outlive the call and no try is made that nobody waits for."""
    held = _current.get()
    if held is None:
        time.sleep(seconds)
    elif held.passed.wait(seconds):
        raise DeadlinePassed(held.seconds)


def watch(session: requests.Session) -> None:
    """Lets every deadline close the answers that its call receives through ``session``
    once it has passed (see the module's docstring). Adding it twice changes nothing; it
    does nothing to a call made without a deadline."""
    hooks = session.hooks.setdefault("response", [])
    if _hold not in hooks:
        hooks.append(_hold)


def _watch_sessions_of(function: object, arguments: tuple[object, ...]) -> None:
    for candidate in (getattr(function, "__self__", None), *arguments):
        session = candidate if isinstance(candidate, requests.Session) else getattr(candidate, "_session", None)
        if isinstance(session, requests.Session):
            watch(session)


def call_within[**P, T](seconds: float, function: Callable[P, T], /, *args: P.args, **kwargs: P.kwargs) -> T:
    """``function(*args, **kwargs)``'s result, or the exception it raised, unchanged, if it
    ends within ``seconds``; DeadlinePassed (a ``requests.Timeout``) if it does not.

    The wait can be interrupted (Ctrl-C). A deadline of 0 or less gives the call no time;
    one longer than the longest wait that threads allow is no deadline; NaN is a
    ValueError. The call runs on another thread, with a copy of the caller's context.
    """
    if math.isnan(seconds):
        raise ValueError("a deadline of NaN seconds")
    _watch_sessions_of(function, (*args, *kwargs.values()))
    outcome: list[T] = []
    failure: list[BaseException] = []
    finished = threading.Event()
    held = _Held(seconds)
    context = contextvars.copy_context()
    context.run(_current.set, held)

    def work() -> None:
        try:
            outcome.append(function(*args, **kwargs))
        except BaseException as error:  # handed to the caller's thread, which decides
            failure.append(error)
        finally:
            finished.set()

    worker = threading.Thread(target=context.run, args=(work,), name="ferrovane-request", daemon=True)
    # The kernel hands a Ctrl-C to any thread that does not block it. Taken by the worker,
    # it would leave the caller asleep in its wait until the deadline; so the worker starts
    # with SIGINT blocked (a new thread inherits the mask), and only the caller takes it.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        worker.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    try:
        in_time = _wait_interruptibly(finished, seconds)
    except BaseException:  # Ctrl-C: the call is given up as at the deadline
        held.expire()
        raise
    if not in_time:
        held.expire()
        raise DeadlinePassed(seconds)
    if failure:
        raise failure.pop()
    return outcome[0]


# The longest single sleep of a caller's wait. A Ctrl-C that lands after the interpreter's
# last look for signals but before the sleep begins wakes nothing: it is seen only when
# the sleep ends. Short sleeps bound that delay, at the cost of a few wake-ups a second.
_LONGEST_SLEEP = 0.1


def _wait_interruptibly(finished: threading.Event, seconds: float) -> bool:
    """``finished.wait(seconds)``, in sleeps of at most _LONGEST_SLEEP, so that a Ctrl-C
    is taken within that time however it lands; a deadline of 0 or less waits not at all."""
    ends = math.inf if seconds >= threading.TIMEOUT_MAX else time.monotonic() + max(seconds, 0.0)
    while True:
        left = ends - time.monotonic()
        if left <= 0:
            return finished.is_set()
        if finished.wait(min(left, _LONGEST_SLEEP)):
            return True
