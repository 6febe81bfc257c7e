"""Opt-in retries and a per-read timeout for a client: ``mount_retries(client)``,
``mount_timeout(client, seconds)``. Both also take a ``requests.Session``, and each keeps
what the other mounted.

A request is repeated only when repeating it is safe (GET, PUT and DELETE, never POST)
and only when it may then succeed: on 429, 502, 503 and 504 and when no connection could
be made or kept. Between tries it waits for what the server's Retry-After says (seconds
or an HTTP date), else a backoff that doubles up to a cap. The waits of one request add
up to ``max_wait`` seconds at most: a wait that would go past it is not made, and the
last answer (or error) comes back at once, as it would without retries. Each wait is
logged at INFO on the logger "ferrovane.sdk.retries", so that none is silent.

Built on urllib3's ``Retry``, mounted through ``requests.adapters.HTTPAdapter``; a read
that times out is not repeated, so that retries never multiply a session's timeout.
"""

import itertools
import logging
from collections.abc import Callable, Collection
from typing import Any

import requests
from requests import PreparedRequest, Response
from requests.adapters import HTTPAdapter
from requests.exceptions import ChunkedEncodingError, ContentDecodingError
from urllib3.exceptions import InvalidHeader, MaxRetryError, ProtocolError, ReadTimeoutError, ResponseError
from urllib3.response import BaseHTTPResponse
from urllib3.util.retry import Retry

from . import deadline
from .accounts_api import ApiClient

__all__ = ["PoliteRetry", "TimeoutAdapter", "again_if_cut_short", "cut_short", "mount_retries", "mount_timeout",
           "session_of"]

log = logging.getLogger(__name__)

RETRIED_METHODS = frozenset({"GET", "PUT", "DELETE"})
RETRIED_STATUSES = frozenset({429, 502, 503, 504})
# An answer cut short is asked for again after 0.5 s, doubled each time up to 10 s.
CUT_SHORT_BACKOFF = 0.5
CUT_SHORT_MAX_BACKOFF = 10.0


class PoliteRetry(Retry):
    """urllib3's ``Retry`` that bounds the sum of its waits by ``max_wait`` seconds,
    retries no method outside ``allowed_methods`` (even when nothing was sent), repeats
    no read that timed out, and logs each wait."""

    # Only the statuses asked for are retried, with a Retry-After or without (urllib3
    # would also retry 413 when it comes with one).
    RETRY_AFTER_STATUS_CODES = frozenset()

    def __init__(self, *args: Any, max_wait: float = 30.0, waited: float = 0.0, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.max_wait = max_wait
        self.waited = waited  # by the tries before this one

    # Typed as returning this class: urllib3 before 2.1 types its methods as returning a Retry.
    def new(self, **kw: Any) -> "PoliteRetry":
        kw.setdefault("max_wait", self.max_wait)
        kw.setdefault("waited", self.waited)
        made = super().new(**kw)
        assert isinstance(made, PoliteRetry)
        return made

    def wait_before_next(self, response: BaseHTTPResponse | None = None) -> float:
        """The seconds to wait before the next try: the answer's Retry-After when it has
        one that can be read, else the backoff for the tries so far."""
        header = response.headers.get("Retry-After") if response is not None else None
        if header is not None and self.respect_retry_after_header:
            try:
                return self.parse_retry_after(header)
            except InvalidHeader:
                pass  # not a number of seconds nor a date: as if the server had said nothing
        if not self.history:
            return 0.0
        return float(min(self.backoff_max, self.backoff_factor * 2 ** (len(self.history) - 1)))

    def increment(self, method: str | None = None, url: str | None = None, response: BaseHTTPResponse | None = None,
                  error: Exception | None = None, _pool: Any = None, _stacktrace: Any = None) -> "PoliteRetry":
        if error is not None and (isinstance(error, ReadTimeoutError) or (
                self.allowed_methods and (method or "").upper() not in self.allowed_methods)):
            # Given up on as without retries: a failed read as it is, any other failure in
            # the MaxRetryError that requests turns into a ConnectionError.
            if isinstance(error, (ReadTimeoutError, ProtocolError)):
                raise error
            raise MaxRetryError(_pool, url or "", error) from error
        following = super().increment(method, url, response, error, _pool, _stacktrace)
        assert isinstance(following, PoliteRetry)
        wait = following.wait_before_next(response)
        if self.waited + wait > self.max_wait:
            # With raise_on_status off, urllib3 hands the answer back as it is.
            reason = error or ResponseError(f"waiting {wait:g} s more would pass the bound of {self.max_wait:g} s")
            raise MaxRetryError(_pool, url or "", reason) from reason
        following.waited = self.waited + wait
        return following

    def sleep(self, response: BaseHTTPResponse | None = None) -> None:
        wait = self.wait_before_next(response)
        if wait > 0:
            last = self.history[-1] if self.history else None
            why = (f"status {last.status}" if last is not None and last.status
                   else type(last.error).__name__ if last is not None and last.error else "a failure")
            where = f"{last.method} {last.url}" if last is not None else "the request"
            try:
                said = response is not None and self.respect_retry_after_header and \
                    self.get_retry_after(response) is not None
            except InvalidHeader:
                said = False
            # The record also holds the wait, what set it, the try and the most tries, for a
            # handler that words it its own way (the command line's line on a terminal).
            log.info("waiting %.3g s before trying %s again (%s; try %d)", wait, where, why, len(self.history) + 1,
                     extra={"wait": wait, "set_by": "Retry-After" if said else "backoff",
                            "attempt": len(self.history) + 1, "attempts": len(self.history) + 1 + (self.total or 0)})
            deadline.sleep(wait)  # cut short by the deadline of a call_within


class TimeoutAdapter(HTTPAdapter):
    """An ``HTTPAdapter`` that gives each request ``timeout`` (seconds, or a (connect, read)
    pair) unless the request has one of its own; the client passes none."""

    def __init__(self, timeout: float | tuple[float, float], **kwargs: Any) -> None:
        self.timeout = timeout
        super().__init__(**kwargs)

    def send(self, request: PreparedRequest, *args: Any, **kwargs: Any) -> Response:
        if kwargs.get("timeout") is None:  # a session passes everything but the request by keyword
            kwargs["timeout"] = self.timeout
        return super().send(request, *args, **kwargs)


def session_of(target: ApiClient | requests.Session) -> requests.Session:
    """The ``requests.Session`` that ``target`` sends through: an ``ApiClient``'s own, or
    ``target`` itself."""
    if isinstance(target, requests.Session):
        return target
    if isinstance(target, ApiClient):
        return target._session
    raise TypeError(f"expected an ApiClient or a requests.Session, not {type(target).__name__}")


def mount_timeout(target: ApiClient | requests.Session, seconds: float | tuple[float, float]) -> TimeoutAdapter:
    """Gives every request of ``target`` (a client or a session) a timeout of ``seconds``
    for connecting and for each read, or a (connect, read) pair, for http:// and https://.
    It bounds each read, not the whole answer: ``deadline.call_within`` does that. Retries
    mounted before are kept. Returns the adapter it mounted."""
    for value in seconds if isinstance(seconds, tuple) else (seconds,):
        if not (isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value < float("inf")):
            raise ValueError(f"a timeout is a positive number of seconds, not {value!r}")
    session = session_of(target)
    current = session.adapters.get("https://")
    if isinstance(current, TimeoutAdapter) and session.adapters.get("http://") is current:
        current.timeout = seconds  # an adapter that already gives timeouts keeps all else it does
        return current
    adapter = TimeoutAdapter(seconds, max_retries=current.max_retries if isinstance(current, HTTPAdapter) else 0)
    for prefix in ("https://", "http://"):
        session.mount(prefix, adapter)
    return adapter


def mount_retries(target: ApiClient | requests.Session, *, retries: int = 3, backoff: float = 0.5, max_backoff: float = 10.0,
                  max_wait: float = 30.0, methods: Collection[str] = RETRIED_METHODS,
                  statuses: Collection[int] = RETRIED_STATUSES) -> PoliteRetry:
    """Makes ``target`` (a client or a session) retry as the module's docstring says, for
    http:// and https://.

    ``retries`` tries at most after the first; waits of ``backoff`` seconds, doubled
    after each try, up to ``max_backoff``; all waits of one request together at most
    ``max_wait`` seconds. An adapter already mounted there (one that sets timeouts, say)
    is kept and given the retries; otherwise a new ``HTTPAdapter`` is mounted. Returns
    the ``Retry`` that it mounted.
    """
    policy = PoliteRetry(total=retries, connect=retries, read=retries, status=retries, other=0, redirect=False,
                         allowed_methods=frozenset(method.upper() for method in methods),
                         status_forcelist=frozenset(statuses), backoff_factor=backoff, backoff_max=max_backoff,
                         raise_on_status=False, respect_retry_after_header=True, max_wait=max_wait)
    session = session_of(target)
    for prefix in ("https://", "http://"):
        adapter = session.adapters.get(prefix)
        if isinstance(adapter, HTTPAdapter):
            adapter.max_retries = policy
        else:
            session.mount(prefix, HTTPAdapter(max_retries=policy))
    return policy


def cut_short(error: BaseException) -> bool:
    """Whether ``error`` is an answer cut short: its body broke off or could not be
    decoded, or the connection was reset while it was read (not a connection that could
    not be made, which ``mount_retries`` takes care of)."""
    if isinstance(error, (ChunkedEncodingError, ContentDecodingError)):
        return True
    return isinstance(error, requests.ConnectionError) and not isinstance(error, requests.Timeout) and \
        bool(error.args) and isinstance(error.args[0], (ProtocolError, ConnectionResetError))


def again_if_cut_short[T](call: Callable[[], T], *, retries: int = 2, max_wait: float = 30.0,
                          what: str = "the request", logger: logging.Logger = log) -> T:
    """What ``call()`` returns, asked again at most ``retries`` times when its answer is cut
    short (see ``cut_short``), which a session's retries cannot see: they end where the
    answer's head arrives. The waits, 0.5 s doubled each time, add up to ``max_wait`` at
    most, are cut short by a ``call_within`` deadline, and are each logged at INFO on
    ``logger`` (with the record's fields that mount_retries gives)."""
    waited = 0.0
    for tried in itertools.count(1):
        try:
            return call()
        except (ChunkedEncodingError, ContentDecodingError, requests.ConnectionError) as error:
            wait = min(CUT_SHORT_BACKOFF * 2 ** (tried - 1), CUT_SHORT_MAX_BACKOFF)
            if not cut_short(error) or tried > retries or waited + wait > max_wait:
                raise
            logger.info("waiting %.3g s before asking for %s again (%s; try %d)", wait, what,
                        type(error).__name__, tried + 1,
                        extra={"wait": wait, "set_by": "cut short", "attempt": tried + 1, "attempts": retries + 1})
            deadline.sleep(wait)
            waited += wait
    raise AssertionError("unreachable")  # itertools.count never ends
