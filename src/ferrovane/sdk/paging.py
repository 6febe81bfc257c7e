"""Every event of an application's log, fetched a page at a time: ``iter_events``.

Pages count from 0 (``pageNumber=0`` is the first). The walk ends on the page that the
server marks as the last one (a page that says nothing of it is taken as the last); it
fetches at most ``max_pages`` pages, and stops with PagingError on a server that ignores
the page number and sends the same page again.

A log can change while it is walked. Each page says how many events the listing holds;
when that number changes, the walk re-reads the boundary of what it has taken: it asks
for the stretch of the listing where its last event can now be (an offset and a size
that cover the change) and goes on right after that event, so that events added or
purged in front of it neither come twice nor push others out of reach. Events added
among those already taken are not taken. When the last event cannot be found again
(purged itself, or moved further than the change explains or than the re-read reaches:
MAX_REREAD_PAGES pages, or MAX_REREAD_EVENTS events when that is more), the walk goes on
from the page it asked for, leaving out the ids of the last two pages that it took, and
warns with LogChanged that events may be missing or repeated.
"""

import collections
import json
import warnings
from collections.abc import Callable, Iterator
from typing import Any, Self, TypedDict, cast

from ._answers import UnusableAnswer, document
from .accounts_api import ApiClient, Command
from .answers import Event

__all__ = ["Checkpoint", "EventWalk", "Filters", "LogChanged", "NotAPage", "PagingError", "TooManyPages", "iter_events"]

DEFAULT_PAGE_SIZE = 100
# A million events at the default page size.
DEFAULT_MAX_PAGES = 10_000
# A change larger than this many pages (or events, when that is more) is not searched
# for: the walk warns instead.
MAX_REREAD_PAGES = 4
MAX_REREAD_EVENTS = 1_000

# Reads the answer of one page request: given the call that sends it, returns the JSON.
type PageReader = Callable[[Callable[[], Command]], object]


class PagingError(UnusableAnswer):
    """The pages cannot be walked: the text says why."""


class NotAPage(PagingError):
    """An answer that is no page of events (``document`` holds it)."""

    def __init__(self, document: object) -> None:
        excerpt = json.dumps(document, separators=(",", ":"))
        super().__init__(f"it is not a page of events: {excerpt[:97] + '...' if len(excerpt) > 100 else excerpt}")
        self.document = document


class TooManyPages(PagingError):
    """The listing has more than ``max_pages`` pages of ``page_size`` events: ``announced``
    is the number of pages that its first page gave, or None when more simply kept coming."""

    def __init__(self, max_pages: int, page_size: int, announced: int | None) -> None:
        if announced is None:
            text = f"it says that more pages follow after {max_pages}, the most that the walk fetches"
        else:
            text = f"it says the listing has {announced} pages of {page_size} events, more than the walk fetches"
        super().__init__(f"{text} ({max_pages})")
        self.max_pages, self.page_size, self.announced = max_pages, page_size, announced


class LogChanged(UserWarning):
    """The log changed while it was walked in a way that the walk could not follow:
    events may be missing from what it yields, or repeated."""


class Filters(TypedDict):
    """The options of ``get_event_log`` that a walk passes on with every request."""

    search: str | None
    sort_sorted: bool | None
    sort_unsorted: bool | None


class Checkpoint(TypedDict):
    """Where a walk stands, as JSON-able data: ``iter_events(..., start=checkpoint)``
    goes on from there, in this process or another."""

    pageNumber: int | None  # the page to fetch next, or None to fetch by offset
    offset: int  # the events of the listing before the next one to fetch
    pageSize: int
    total: int | None  # the events of the listing when last seen
    seen: list[Any]  # the ids last yielded, not to be yielded again
    pages: int  # the pages fetched so far
    finished: bool


class EventWalk(Iterator[Event]):
    """The iterator that ``iter_events`` returns. After an exception from ``next()``,
    iterating it again asks for the same page again and goes on."""

    def __init__(self, client: ApiClient, app_name: str, *, page_size: int, max_pages: int, read: PageReader,
                 filters: Filters, start: Checkpoint | None) -> None:
        if page_size < 1 or max_pages < 1:
            raise ValueError("page_size and max_pages must be at least 1")
        self._client, self._app_name, self._read, self._filters = client, app_name, read, filters
        self._size, self._max_pages = page_size, max_pages
        self._buffer: collections.deque[Event] = collections.deque()
        # The ids last yielded (None for an event without one), and how often each is among them.
        self._seen: collections.deque[object] = collections.deque()
        self._seen_ids: collections.Counter[object] = collections.Counter()
        self._previous: list[Any] | None = None
        self._next_page: int | None = 0
        self._next_offset = 0
        self._total: int | None = None
        self._total_pages: int | None = None
        self._pages = 0
        self._finished = False
        if start is not None:
            self._next_page = start["pageNumber"] if start["pageSize"] == page_size else None
            self._next_offset, self._total = start["offset"], start["total"]
            for identity in start["seen"]:
                self._remember(identity)
            self._pages, self._finished = start["pages"], start["finished"]

    def __iter__(self) -> Self:
        return self

    def __next__(self) -> Event:
        while not self._buffer:
            if self._finished:
                raise StopIteration
            self._step()
        event = self._buffer.popleft()
        self._remember(_id_of(event))
        return event

    def _remember(self, identity: object) -> None:
        self._seen.append(identity)
        self._seen_ids[identity] += 1
        if len(self._seen) > 2 * self._size:  # two pages: enough to see a page come again
            forgotten = self._seen.popleft()
            self._seen_ids[forgotten] -= 1
            if not self._seen_ids[forgotten]:
                del self._seen_ids[forgotten]

    @property
    def pages(self) -> int:
        """The pages fetched so far."""
        return self._pages

    @property
    def total(self) -> int | None:
        """The events of the listing, as its last page said (None: it did not say)."""
        return self._total

    @property
    def total_pages(self) -> int | None:
        """The pages of the listing, as its last page said (None: it did not say)."""
        return self._total_pages

    @property
    def checkpoint(self) -> Checkpoint:
        """Where the walk stands: the events it has yielded are behind it."""
        pending = len(self._buffer)
        return {"pageNumber": None if pending else self._next_page, "offset": self._next_offset - pending,
                "pageSize": self._size, "total": self._total, "seen": list(self._seen), "pages": self._pages,
                "finished": self._finished and not pending}

    def _fetch(self, page_number: int | None, offset: int | None, size: int) -> dict[str, Any]:
        answer = self._read(lambda: self._client.get_event_log(
            self._app_name, offset=offset, pageNumber=page_number, pageSize=size, **self._filters))
        if not isinstance(answer, dict) or not isinstance(answer.get("content"), list):
            raise NotAPage(answer)
        return answer

    def _step(self) -> None:
        """Fetches the next page and buffers its events that are new. Changes nothing
        until every request of the step has succeeded, so that a failed step can be retried."""
        if self._pages >= self._max_pages:
            raise TooManyPages(self._max_pages, self._size, None)
        by_page = self._next_page is not None
        page = self._fetch(self._next_page, None if by_page else self._next_offset, self._size)
        content: list[Any] = page["content"]
        total, pages = _count(page.get("totalElements")), _count(page.get("totalPages"))
        changed = total is not None and self._total is not None and total != self._total
        if by_page and content and content == self._previous and not changed:  # a shift can repeat it
            raise PagingError("it repeats the page before it: the server does not page")
        if self._pages == 0 and pages is not None and pages > self._max_pages:
            raise TooManyPages(self._max_pages, self._size, pages)
        next_page = None if self._next_page is None else self._next_page + 1
        next_offset = self._next_offset + len(content)
        # A page without "last" is taken as the whole answer, so that a server that ignores
        # the page number cannot keep the walk going.
        last = not content or page.get("last", True) is not False or (
            next_page is not None and pages is not None and next_page >= pages)
        fresh = [event for event in content if not self._was_seen(event)]
        lost = None
        if changed and self._seen:
            found = self._reread(cast(int, self._total), cast(int, total))
            if found is None:
                lost = (f"the event log changed while it was walked ({self._total} events, then {total}), and the "
                        f"last event taken (id {self._seen[-1]!r}) was not found again")
            else:
                fresh, next_offset, last, total = found
                next_page = None
        elif len(fresh) < len(content):
            lost = "events of the event log came again while it was walked, so it changed"
        if lost is not None:
            warnings.warn(LogChanged(f"{lost}: events may be missing or repeated from here on"), stacklevel=3)
        self._buffer.extend(fresh)
        self._previous, self._next_page, self._next_offset = content, next_page, next_offset
        self._total, self._total_pages, self._pages, self._finished = total, pages, self._pages + 1, bool(last)

    def _reread(self, old_total: int, new_total: int) -> tuple[list[Any], int, bool, int] | None:
        """The events right after the last one taken, found in a listing that now holds
        ``new_total`` events instead of ``old_total``: (those events, the offset after
        them, whether the listing ends there, its total), or None when it is not found."""
        anchor = self._seen[-1]
        change = new_total - old_total
        # Where the last event taken can be, if the change came before it or after it.
        low = max(0, self._next_offset - 1 + min(0, change))
        high = self._next_offset - 1 + max(0, change)
        if high - low + 1 > max(MAX_REREAD_PAGES * self._size, MAX_REREAD_EVENTS):
            return None
        window = self._fetch(None, low, high - low + 1 + self._size)
        events: list[Any] = window["content"]
        ids = [_id_of(event) for event in events]
        if anchor not in ids:
            return None
        fresh = [event for event in events[ids.index(anchor) + 1:] if not self._was_seen(event)]
        last = not events or window.get("last", True) is not False
        return fresh, low + len(events), last, _count(window.get("totalElements")) or new_total

    def _was_seen(self, event: object) -> bool:
        identity = _id_of(event)
        return identity is not None and identity in self._seen_ids


def _id_of(event: object) -> object:
    identity = event.get("id") if isinstance(event, dict) else None
    return identity if isinstance(identity, (int, str)) and not isinstance(identity, bool) else None


def _count(value: object) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _read_document(call: Callable[[], Command]) -> object:
    return document(call().response)


def iter_events(client: ApiClient, app_name: str, *, page_size: int | None = None, search: str | None = None,
                sort_sorted: bool | None = None, sort_unsorted: bool | None = None,
                max_pages: int = DEFAULT_MAX_PAGES, start: Checkpoint | None = None,
                read: PageReader | None = None) -> EventWalk:
    """An iterator over every event of ``app_name``'s log, a page of ``page_size`` events
    (default 100) in memory at a time; ``search``, ``sort_sorted`` and ``sort_unsorted``
    are ``get_event_log``'s. See the module's docstring for how it ends and how it follows
    a log that changes.

    ``start`` is a walk's ``checkpoint`` to go on from. ``read`` reads one page: it is
    given the call that requests it and returns the decoded JSON (by default the body of
    the call's response, decoded by its charset), for example to bound each request with
    ``deadline.call_within``. Raises what the client raises, PagingError (NotAPage,
    TooManyPages) and ``deadline.DeadlinePassed`` from ``read``.
    """
    filters: Filters = {"search": search, "sort_sorted": sort_sorted, "sort_unsorted": sort_unsorted}
    if page_size is None:
        page_size = start["pageSize"] if start is not None else DEFAULT_PAGE_SIZE
    return EventWalk(client, app_name, page_size=page_size, max_pages=max_pages, read=read or _read_document,
                     filters=filters, start=start)
