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
import socket
import threading
import time
import warnings
from collections.abc import Callable
from typing import Any

import requests

__all__ = ["DeadlinePassed", "call_within", "passed", "sleep", "warn", "watch"]


class DeadlinePassed(requests.Timeout):
    """No whole answer came within ``seconds``."""

    def __init__(self, seconds: float) -> None:
        super().__init__(f"no whole answer within {seconds:g} s")
        self.seconds = seconds


class _Held:
    """One call made by call_within: when its deadline ends (the nearest of its own and
    that of the call_within it runs in), the answers that it has begun to receive, shut
    when it is given up, the calls made within it, given up with it, and the warnings it
    issued, for the thread that waits for it."""

    def __init__(self, seconds: float, around: "_Held | None") -> None:
        ends = math.inf if seconds >= threading.TIMEOUT_MAX else time.monotonic() + max(seconds, 0.0)
        if around is not None and around.ends < ends:
            seconds, ends = around.seconds, around.ends
        self.seconds: float = seconds
        self.ends: float = ends
        self._around = around
        self.passed = threading.Event()  # set once the call has been given up (deadline or Ctrl-C)
        self._lock = threading.Lock()
        self._responses: list[requests.Response] = []
        self._within: set[_Held] = set()
        self._warnings: list[Warning] | None = []  # None once the waiting thread has taken them
        if around is not None:
            around.adopt(self)

    def adopt(self, held: "_Held") -> None:
        with self._lock:
            if not self.passed.is_set():
                self._within.add(held)
                return
        held.expire()

    def add(self, response: requests.Response) -> None:
        with self._lock:
            if not self.passed.is_set():
                self._responses.append(response)
                return
        _shut(response)  # begun after the deadline: nobody waits for it

    def defer(self, warning: Warning) -> bool:
        """Keeps ``warning`` for the waiting thread; False when that thread has stopped waiting."""
        with self._lock:
            if self._warnings is None:
                return False
            self._warnings.append(warning)
            return True

    def expire(self) -> None:
        with self._lock:
            self.passed.set()
            responses, self._responses = self._responses, []
            within, self._within = self._within, set()
        for response in responses:
            _shut(response)
        for held in within:
            held.expire()

    def close(self) -> list[Warning]:
        """Ends the call for the waiting thread: the warnings to issue there."""
        if self._around is not None:
            with self._around._lock:
                self._around._within.discard(self)
        with self._lock:
            deferred, self._warnings = self._warnings or [], None
        return deferred


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
    deadline passed (or that of a call_within it runs in), or Ctrl-C. False outside such
    a call."""
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


def warn(warning: Warning, stacklevel: int = 1) -> None:
    """``warnings.warn(warning, stacklevel=stacklevel)``, but in a call made by
    call_within, on the thread that waits for that call, when the call ends or is given
    up (as if it had been made on that thread), so that a filter or ``catch_warnings`` of
    that thread sees it."""
    held = _current.get()
    if held is None or not held.defer(warning):
        warnings.warn(warning, stacklevel=stacklevel + 1)


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
    ends within ``seconds``; DeadlinePassed (a ``requests.Timeout``) if it does not, also
    when it ends late because it held the interpreter past the deadline.

    The wait can be interrupted (Ctrl-C), which gives the call up as the deadline does.
    Within another call_within, the nearer of the two deadlines holds. A deadline of 0 or
    less (or one that has passed around it) gives the call no time: it is not made. One
    longer than the longest wait that threads allow is no deadline; NaN is a ValueError.
    The call runs on another thread, with a copy of the caller's context; the warnings
    that it issues through ``warn`` are issued on the caller's thread.
    """
    if math.isnan(seconds):
        raise ValueError("a deadline of NaN seconds")
    held = _Held(seconds, _current.get())
    if held.ends <= time.monotonic():
        _issue(held.close())
        raise DeadlinePassed(held.seconds)
    _watch_sessions_of(function, (*args, *kwargs.values()))
    outcome: list[T] = []
    failure: list[BaseException] = []
    ended: list[float] = []
    finished = threading.Event()
    context = contextvars.copy_context()
    context.run(_current.set, held)

    def work() -> None:
        try:
            if not held.passed.is_set():  # given up before it began (Ctrl-C as it started)
                outcome.append(function(*args, **kwargs))
        except BaseException as error:  # handed to the caller's thread, which decides
            failure.append(error)
        finally:
            ended.append(time.monotonic())
            finished.set()

    import signal  # at the first call, not at start-up (its enums cost about 3 million instructions)

    worker = threading.Thread(target=context.run, args=(work,), name="ferrovane-request", daemon=True)
    try:
        # The kernel hands a Ctrl-C to any thread that does not block it. Taken by the
        # worker, it would leave the caller asleep in its wait until the deadline; so the
        # worker starts with SIGINT blocked (a new thread inherits the mask), and only the
        # caller takes it. The mask is set within the try that restores it, so that a
        # Ctrl-C that lands at any moment leaves it as it was; and one that lands while
        # the worker starts gives the call up like one that lands in the wait.
        unchanged = signal.pthread_sigmask(signal.SIG_BLOCK, ())
        try:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            worker.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, unchanged)
        in_time = _wait_interruptibly(finished, held) and ended[0] <= held.ends
        if not in_time:
            raise DeadlinePassed(held.seconds)
    except BaseException:
        held.expire()
        raise
    finally:
        _issue(held.close())
    if failure:
        raise failure.pop()
    return outcome[0]


def _issue(deferred: list[Warning]) -> None:
    for warning in deferred:
        warn(warning, stacklevel=3)  # at the line that called call_within


# The longest single sleep of a caller's wait. A Ctrl-C that lands after the interpreter's
# last look for signals but before the sleep begins wakes nothing: it is seen only when
# the sleep ends. Short sleeps bound that delay, at the cost of a few wake-ups a second.
_LONGEST_SLEEP = 0.1


def _wait_interruptibly(finished: threading.Event, held: _Held) -> bool:
    """``finished.wait()`` until ``held`` ends, in sleeps of at most _LONGEST_SLEEP, so
    that a Ctrl-C is taken within that time however it lands; False as soon as ``held``
    is given up from around it."""
    while True:
        left = held.ends - time.monotonic()
        if left <= 0 or held.passed.is_set():
            return finished.is_set()
        if finished.wait(min(left, _LONGEST_SLEEP)):
            return True
