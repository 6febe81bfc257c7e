"""The whole-request deadline of the command line: a call that has not returned within
N seconds is given up on, whatever it is waiting for.

Socket timeouts bound each read, not a request: a server that trickles its answer, a
proxy (plain, TLS inside TLS, SOCKS), a name with many dead addresses or a slow name
lookup each stretch one request well past them. Rather than reach into each transport,
the call runs on a daemon worker thread and the caller waits for it with the deadline.
On expiry the worker is left behind: its socket still has the per-read timeout, and
the command line ends soon after, which takes the thread with it. That is sound only
for a process that ends after the call, as the command line does.
"""

import math
import signal
import threading
from collections.abc import Callable
from typing import TypeVar

import requests

T = TypeVar("T")


class DeadlinePassed(requests.Timeout):
    """No whole answer came within ``seconds``."""

    def __init__(self, seconds: float) -> None:
        super().__init__(f"no whole answer within {seconds:g} s")
        self.seconds = seconds


def call_within(seconds: float, call: Callable[[], T]) -> T:
    """``call()``'s result, or the exception it raised, unchanged, if it ends within
    ``seconds``; DeadlinePassed if it does not. The wait can be interrupted (Ctrl-C).
    A deadline longer than the longest wait that threads allow is no deadline."""
    if math.isnan(seconds):
        raise ValueError("a deadline of NaN seconds")
    outcome: list[T] = []
    failure: list[BaseException] = []
    finished = threading.Event()

    def work() -> None:
        try:
            outcome.append(call())
        except BaseException as error:  # handed to the caller's thread, which decides
            failure.append(error)
        finally:
            finished.set()

    worker = threading.Thread(target=work, name="ferrovane-request", daemon=True)
    # The kernel hands a Ctrl-C to any thread that does not block it. Taken by the worker,
    # it would leave the caller asleep in its wait until the deadline; so the worker starts
    # with SIGINT blocked (a new thread inherits the mask), and only the caller takes it.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        worker.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    if not finished.wait(None if seconds >= threading.TIMEOUT_MAX else max(seconds, 0.0)):
        raise DeadlinePassed(seconds)
    if failure:
        raise failure.pop()
    return outcome[0]
