"""Following an application's event log as it grows: ``follow_events``.

A follow is a walk (walk.py) from its place to the log's current end, made again every
``interval`` seconds; each poll's walk stops where it loses its place, so that no event is
yielded twice. It keeps the walk's promise for the events that stay in the log, and says
when it cannot (LogChanged).
"""

import logging
import math
import threading
from collections.abc import Iterator
from typing import Any, Literal, Self

import requests
from requests.exceptions import ChunkedEncodingError, ContentDecodingError
from urllib3.exceptions import InvalidHeader
from urllib3.util.retry import Retry

from .. import deadline
from ..accounts_api import ApiClient
from ..answers import Event
from .walk import (DEFAULT_PAGE_SIZE, Checkpoint, EventWalk, Filters, LogChanged, NotAPage, PageReader, PagingError,
                   check_offset, count_of, is_page, read_checkpoint, read_document)

__all__ = ["EventFollow", "follow_events"]

# Statuses after which a follow asks again: the server is busy or a gateway failed.
BUSY_STATUSES = frozenset({429, 502, 503, 504})

log = logging.getLogger(__package__)


class _Lost(Exception):
    """The walk of one poll did not find the last event taken near where it stood."""


class _PollWalk(EventWalk):
    """One poll of a follow: a walk from the follow's place to the log's current end,
    that stops where it loses its place, so that the follow never yields an event twice."""

    def _lose(self, page: dict[str, Any], offset: int, content: list[Any], taken: object, repeated: bool) -> None:
        raise _Lost(self._total, count_of(page.get("totalElements")))


class EventFollow(Iterator[Event]):
    """The iterator that ``follow_events`` returns. It ends when ``stop`` is set (StopIteration),
    or with the exception that ended it; iterating it again after an exception goes on."""

    def __init__(self, client: ApiClient, app_name: str, *, since: "Checkpoint | Literal['start'] | None",
                 interval: float, stop: threading.Event | None, page_size: int | None, search: str | None,
                 max_wait: float, read: PageReader) -> None:
        for name, value, least in (("interval", interval, 0.0), ("max_wait", max_wait, -1.0)):
            if not (isinstance(value, (int, float)) and not isinstance(value, bool) and least < value < math.inf):
                raise ValueError(f"{name} must be a finite number of seconds above {max(least, 0):g}, not {value!r}")
        self._client, self._app_name, self._read = client, app_name, read
        self._filters: Filters = {"search": search, "sort_sorted": None, "sort_unsorted": None}
        self._interval, self._max_wait = float(interval), float(max_wait)
        self._stop = stop if stop is not None else threading.Event()
        self._failures = 0  # the polls that failed in a row
        self._log_changed = False
        resumed = None if since is None or since == "start" else read_checkpoint(since, app_name, self._filters)
        self._size = page_size or (resumed["pageSize"] if resumed is not None else DEFAULT_PAGE_SIZE)
        if page_size is not None and page_size < 1:
            raise ValueError("page_size must be at least 1")
        # The walk of the current poll; None while the follow is to go on from the log's end.
        self._walk: _PollWalk | None = None
        self._place = self._position(None, 0, None)
        if since == "start":
            self._walk = self._poll(None)
        elif resumed is not None:
            self._walk = self._poll(resumed)
        else:
            try:  # where the log ends now: only events after the call are yielded
                self._walk = self._poll(self._end())
            except Exception as error:
                if self._wait_after(error) is None:
                    raise  # else the end is looked for again at the first poll

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> Event:
        while not self._stop.is_set():
            try:
                if self._walk is None:
                    self._walk = self._poll(self._end())
                event = next(self._walk)
            except StopIteration:  # the log's end: wait, then ask again from there
                self._failures = 0
                assert self._walk is not None
                self._walk = self._poll(self._walk.checkpoint)
                self._stop.wait(self._interval)
            except _Lost as lost:
                self._place = self.checkpoint
                self._walk = None
                self._log_changed = True
                old, new = lost.args
                counts = "" if None in (old, new) or old == new else f" ({old} events, then {new})"
                deadline.warn(LogChanged(
                    f"the event log of {self._app_name!r} was purged past the last event taken, or restarted"
                    f"{counts}: following it on from its current end, events in between may be missing"),
                    stacklevel=2)
            except Exception as error:
                wait = self._wait_after(error)
                if wait is None:
                    raise
                self._stop.wait(wait)
            else:
                self._failures = 0
                return event
        raise StopIteration

    @property
    def checkpoint(self) -> Checkpoint:
        """Where the follow stands: the events it has yielded are behind it. JSON-able;
        ``follow_events(..., since=checkpoint)`` or ``iter_events(..., start=checkpoint)``
        goes on from there."""
        if self._walk is None:
            return self._place
        return {**self._walk.checkpoint, "pages": 0, "finished": False}

    @property
    def log_changed(self) -> bool:
        """Whether the follow has warned with LogChanged: False until it does, then True."""
        return self._log_changed

    def _position(self, last: Event | None, offset: int, total: int | None) -> Checkpoint:
        return {"app": self._app_name, **self._filters, "pageSize": self._size, "offset": offset, "last": last,
                "total": total, "pages": 0, "finished": False}

    def _poll(self, start: Checkpoint | None) -> _PollWalk:
        place = None if start is None else {**start, "pages": 0, "finished": False}
        return _PollWalk(self._client, self._app_name, page_size=self._size, max_pages=2 ** 62, read=self._read,
                         filters=self._filters, start=place, retries=0)  # type: ignore[arg-type]

    def _fetch(self, page_number: int | None, offset: int | None) -> dict[str, Any]:
        answer = self._read(lambda: self._client.get_event_log(
            self._app_name, offset=offset, pageNumber=page_number, pageSize=1, **self._filters))
        if not is_page(answer):
            raise NotAPage(answer)
        return answer

    def _end(self) -> Checkpoint:
        """The place after the last event of the log now: two requests for one event each."""
        first = self._fetch(0, None)
        total = count_of(first.get("totalElements"))
        if total is None:
            raise PagingError("its page does not say how many events the log holds: the follow cannot find its end")
        if total <= 1:
            content: list[Any] = first["content"]
        else:
            page = self._fetch(None, total - 1)
            check_offset(page, total - 1, 1)
            content = page["content"]
        # Purged to nothing meanwhile: a log that is empty now.
        return self._position(content[-1], total, total) if content else self._position(None, 0, 0)

    def _wait_after(self, error: Exception) -> float | None:
        """How long to wait before asking again after ``error``; None: it ends the follow."""
        response = getattr(error, "response", None)
        status = getattr(response, "status_code", None)
        if isinstance(error, requests.HTTPError) and status not in BUSY_STATUSES or not isinstance(
                error, (requests.HTTPError, requests.ConnectionError, requests.Timeout, ChunkedEncodingError,
                        ContentDecodingError)):
            return None
        self._failures += 1
        wait, why = min(min(self._interval, 1.0) * 2.0 ** (self._failures - 1), self._max_wait), "backoff"
        header = response.headers.get("Retry-After") if response is not None and status else None
        if header is not None:
            try:
                wait, why = min(max(float(Retry().parse_retry_after(header)), 0.0), self._max_wait), "Retry-After"
            except InvalidHeader:
                pass
        cause = f"status {status}" if status else type(error).__name__
        log.info("waiting %.3g s (%s) before following %r again (%s; try %d)", wait, why, self._app_name, cause,
                 self._failures + 1)
        return wait


def follow_events(client: ApiClient, app_name: str, *, since: "Checkpoint | Literal['start'] | None" = None,
                  interval: float = 5.0, stop: threading.Event | None = None, page_size: int | None = None,
                  search: str | None = None, max_wait: float = 30.0, read: PageReader | None = None) -> EventFollow:
    """An endless iterator over the new events of ``app_name``'s log, each once, in the
    log's stored order (oldest first), asking every ``interval`` seconds for more.

    ``since``: None follows the events that come after the call (its place is looked up
    now, two requests of one event); a ``checkpoint`` of a follow or of ``iter_events``
    walk in stored order goes on from there (BadCheckpoint before any request if it is
    another application's or options'); "start" yields the whole log first. ``search``
    follows only the events that match; ``page_size`` events (default 100) at most are
    in memory at a time, and a poll that finds nothing is one request.

    It ends when ``stop`` (a ``threading.Event``) is set, at once also between polls, and
    on Ctrl-C. A poll that fails with a connection error, a timeout, an answer cut short
    or status 429, 502, 503 or 504 is made again after what Retry-After says or a backoff
    that doubles from ``min(interval, 1)`` seconds, each wait at most ``max_wait`` seconds
    and logged at INFO on "ferrovane.sdk.paging". Any other failure (401, 403, 404, an
    answer that is no page: NotAPage, PagingError) ends it with its exception.

    When the last event taken is not found again (its log was purged past it, or
    restarted), it warns LogChanged through ``deadline.warn``, turns ``log_changed`` True
    and goes on from the log's current end; it never yields an event twice. ``read`` is
    as for ``iter_events``.
    """
    return EventFollow(client, app_name, since=since, interval=interval, stop=stop, page_size=page_size,
                       search=search, max_wait=max_wait, read=read or read_document)
