"""Every event of an application's log, fetched a page at a time: ``iter_events``.

The promise: every event that is in the log for the whole walk is yielded once, and no
event is yielded twice or made up; where the walk cannot keep this, it warns with
LogChanged (and its ``log_changed`` turns True), or raises PagingError.

A log changes while it is walked: events are added (at the end in stored order, in front
when newest first) and the oldest purged, also both at once, so that its total stays the
same. The events keep their order among themselves, so the walk holds its place by the
last event it took, not by a count. Its first request asks for page 0; each later one
asks, by ``offset``, for the events from where that event stood on, and the walk goes on
right after that event wherever the answer holds it: events that came in ahead of it are
new and are left out, and none that it has not taken is skipped. When the answer does not
hold it, the walk reads the stretch around where it stood (MAX_REREAD_PAGES pages, or
MAX_REREAD_EVENTS events when that is more, on each side) and goes on after it. Only when
it is not there either (purged itself, or moved further) does the walk go on from where
that stretch begins, leaving out the events of the page before, and warn. The next request
starts where the event stands if it moved as far as it last did, so that a log that grows
or is purged at a steady rate costs no request more.

The walk ends on the page that the server marks as the last one (a page that says
nothing of it is taken as the last); it fetches at most ``max_pages`` pages. A server
that does not page raises PagingError: one that answers from elsewhere than the offset
it was asked for (as its page says), or that sends the same page again and again.
"""

import itertools
import json
import logging
import operator
from collections.abc import Callable, Iterator, Mapping
from typing import Any, TypedDict, TypeGuard

from .. import deadline
from .._answers import UnusableAnswer, document
from ..accounts_api import ApiClient, Command
from ..answers import Event
from ..retries import again_if_cut_short

__all__ = ["BadCheckpoint", "Checkpoint", "EventWalk", "Filters", "LogChanged", "NotAPage", "PagingError",
           "TooManyPages", "is_page", "iter_events"]

DEFAULT_PAGE_SIZE = 100
# A million events at the default page size.
DEFAULT_MAX_PAGES = 10_000
# How far from where it stood the last event taken is looked for, on each side: this
# many pages, or this many events when that is more. Further, the walk warns instead.
MAX_REREAD_PAGES = 4
MAX_REREAD_EVENTS = 1_000

# The package's logger, for the walk and the follow alike.
log = logging.getLogger(__package__)

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


class BadCheckpoint(ValueError):
    """A checkpoint that this walk cannot go on from: it does not parse, or it was made by
    a walk of another application or with other options. Raised before any request."""


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
    goes on from there, in this process or another, for the same application and options."""

    app: str
    search: str | None
    sort_sorted: bool | None
    sort_unsorted: bool | None
    pageSize: int
    offset: int  # the events of the listing up to the last one taken, when last seen
    last: Event | None  # the last event taken (None: none yet)
    total: int | None  # the events of the listing when last seen
    pages: int  # the pages fetched so far
    finished: bool


def _whole(least: int) -> Callable[[object], bool]:
    return lambda value: isinstance(value, int) and not isinstance(value, bool) and value >= least


def _or_null(check: Callable[[object], bool]) -> Callable[[object], bool]:
    return lambda value: value is None or check(value)


def _is_text(value: object) -> bool:
    return isinstance(value, str)


def _is_flag(value: object) -> bool:
    return isinstance(value, bool)


# What each field of a checkpoint must hold, and how a refusal calls that.
_CHECKPOINT_FIELDS: dict[str, tuple[Callable[[object], bool], str]] = {
    "app": (_is_text, "a text"), "search": (_or_null(_is_text), "a text or null"),
    "sort_sorted": (_or_null(_is_flag), "true, false or null"),
    "sort_unsorted": (_or_null(_is_flag), "true, false or null"),
    "pageSize": (_whole(1), "a whole number of 1 or more"), "offset": (_whole(0), "a whole number of 0 or more"),
    "last": (_or_null(lambda value: isinstance(value, dict)), "an event or null"),
    "total": (_or_null(_whole(0)), "a whole number of 0 or more, or null"),
    "pages": (_whole(0), "a whole number of 0 or more"), "finished": (_is_flag, "true or false"),
}


def read_checkpoint(start: object, app_name: str, filters: Filters) -> Checkpoint:
    """``start`` if it is a checkpoint of a walk of ``app_name`` with ``filters``; else BadCheckpoint."""
    if not isinstance(start, Mapping):
        raise BadCheckpoint(f"the checkpoint cannot be read: it is {type(start).__name__}, not a mapping")
    for name, (holds, kind) in _CHECKPOINT_FIELDS.items():
        if name not in start:
            raise BadCheckpoint(f"the checkpoint cannot be read: it has no {name!r}")
        if not holds(value := start[name]):
            shown = repr(value)
            raise BadCheckpoint(f"the checkpoint cannot be read: its {name!r} must be {kind}, not "
                                f"{shown[:40] + '...' if len(shown) > 43 else shown}")
    if (start["last"] is None) != (start["offset"] == 0):
        raise BadCheckpoint("the checkpoint cannot be read: its 'offset' and its 'last' event do not go together")
    for name, wanted in (("app", app_name), *filters.items()):
        if start[name] != wanted:
            raise BadCheckpoint(f"the checkpoint is of a walk with {name} {start[name]!r}, not {wanted!r}: "
                                f"it goes on only with the application and options that made it")
    return start  # type: ignore[return-value]  # every field is checked above


class EventWalk(Iterator[Event]):
    """The iterator that ``iter_events`` returns. After an exception from ``next()`` or a
    for loop, iterating it again asks for the same page again and goes on."""

    def __init__(self, client: ApiClient, app_name: str, *, page_size: int | None, max_pages: int,
                 read: PageReader, filters: Filters, start: Checkpoint | None, retries: int = 2,
                 max_wait: float = 30.0) -> None:
        resumed = None if start is None else read_checkpoint(start, app_name, filters)
        if page_size is None:
            page_size = DEFAULT_PAGE_SIZE if resumed is None else resumed["pageSize"]
        if page_size < 1 or max_pages < 1:
            raise ValueError("page_size and max_pages must be at least 1")
        self._client, self._app_name, self._read, self._filters = client, app_name, read, filters
        self._size, self._max_pages = page_size, max_pages
        self._retries, self._max_wait = retries, max_wait
        # The events of the last page that are to be yielded, those of them not yielded
        # yet, the last event taken before them, and the offset in the listing after them.
        self._page: list[Event] = []
        self._pending: Iterator[Event] = iter(self._page)
        self._before: Event | None = None
        self._after = 0
        self._reach = max(MAX_REREAD_PAGES * page_size, MAX_REREAD_EVENTS)
        self._drift = 0  # how far the last event taken last moved (ahead: more than 0)
        self._previous: list[Any] | None = None  # the last answer's events
        self._repeated = False  # whether the last answer was the one before it again
        self._total: int | None = None
        self._first_total_pages: int | None = None
        self._pages = 0
        self._finished = False
        self._log_changed = False
        if resumed is not None:
            self._before, self._after, self._total = resumed["last"], resumed["offset"], resumed["total"]
            self._pages, self._finished = resumed["pages"], resumed["finished"]

    def __iter__(self) -> Iterator[Event]:
        # A for loop takes each page's events straight from the page's own iterator, with
        # no call of __next__ per event; where it stands is still that iterator's, which
        # the checkpoint reads, and next(walk) goes on from the same place.
        return self._events()

    def _events(self) -> Iterator[Event]:
        while True:
            pending = self._pending
            yield from pending
            if pending is not self._pending:  # next(walk) stepped on meanwhile
                continue
            if self._finished:
                return
            self._step()

    def __next__(self) -> Event:
        for event in self._pending:
            return event
        while not self._finished:
            self._step()
            for event in self._pending:
                return event
        raise StopIteration

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
        """The pages of ``page_size`` events that hold the listing, by its last page's total
        (else as its first page said; None: it did not say)."""
        return self._first_total_pages if self._total is None else -(-self._total // self._size)

    @property
    def log_changed(self) -> bool:
        """Whether the walk has warned with LogChanged: False until it does, then True."""
        return self._log_changed

    @property
    def checkpoint(self) -> Checkpoint:
        """Where the walk stands: the events it has yielded are behind it."""
        left = operator.length_hint(self._pending)
        taken = len(self._page) - left
        return {"app": self._app_name, **self._filters, "pageSize": self._size, "offset": self._after - left,
                "last": self._page[taken - 1] if taken else self._before, "total": self._total,
                "pages": self._pages, "finished": self._finished and not left}

    def _fetch(self, page_number: int | None, offset: int | None, size: int) -> dict[str, Any]:
        def call() -> Command:
            return self._client.get_event_log(self._app_name, offset=offset, pageNumber=page_number, pageSize=size,
                                              **self._filters)
        answer = again_if_cut_short(lambda: self._read(call), retries=self._retries, max_wait=self._max_wait,
                                    what=f"the page from {offset or 0}", logger=log)
        if not is_page(answer):
            raise NotAPage(answer)
        return answer

    def _step(self) -> None:
        """Fetches the next page and makes its events that are new the ones to yield.
        Changes nothing until every request of the step has succeeded, so that a failed
        step can be retried."""
        if self._pages >= self._max_pages:
            raise TooManyPages(self._max_pages, self._size, None)
        taken = self._page[-1] if self._page else self._before
        if taken is None:  # nothing taken yet: the first page
            page = self._fetch(0, None, self._size)
            pages = count_of(page.get("totalPages"))
            if pages is not None and pages > self._max_pages:
                raise TooManyPages(self._max_pages, self._size, pages)
            self._first_total_pages = pages
            self._advance(page, 0, page["content"], 0, repeated=False)
            return
        where = self._after - 1  # where the event taken stood
        offset = max(0, where + self._drift)  # where it stands now, if it moves as it did
        size = max(where - offset, 0) + 1 + self._size
        page = self._fetch(None, offset, size)
        content: list[Any] = page["content"]
        check_offset(page, offset, size)
        repeated = bool(content) and content == self._previous and not _is_last(page, content) and \
            count_of(page.get("totalElements")) == self._total
        if repeated and self._repeated:
            raise PagingError("it repeats the page before it: the server does not page")
        found = _index(content, taken, max(where - offset, 0))
        if found is None:  # moved further, or gone: look around where it stood
            begins = max(0, where - self._reach)
            around = self._fetch(None, begins, where + self._reach + 1 + self._size - begins)
            page, content, offset = around, around["content"], begins
            found = _index(content, taken, max(where - offset, 0))
        if found is not None:
            self._advance(page, offset, content[found + 1:], offset + found - where, repeated=repeated)
            return
        self._lose(page, offset, content, taken, repeated)

    def _lose(self, page: dict[str, Any], offset: int, content: list[Any], taken: object, repeated: bool) -> None:
        """The last event taken is nowhere near where it stood in ``page`` (from ``offset``):
        goes on from where that page begins, without what the page before held, and warns."""
        before = {_id_of(event) for event in self._page} - {None}
        old_total = self._total
        self._advance(page, offset, [event for event in content if _id_of(event) not in before], 0,
                      repeated=repeated)
        counts = "" if None in (old_total, self._total) or old_total == self._total else \
            f" ({old_total} events, then {self._total})"
        self._log_changed = True
        deadline.warn(LogChanged(
            f"the event log changed while it was walked{counts}, and the last event taken (id {_id_of(taken)!r}) "
            f"was not found again: events may be missing or repeated from here on"), stacklevel=4)

    def _advance(self, page: dict[str, Any], offset: int, fresh: list[Any], moved: int, *,
                 repeated: bool) -> None:
        """Makes ``fresh`` the events to yield next, out of ``page``, which begins at ``offset``."""
        content: list[Any] = page["content"]
        self._before = self._page[-1] if self._page else self._before
        self._page, self._pending, self._after = fresh, iter(fresh), offset + len(content)
        self._drift = min(max(moved, -self._reach), self._reach)
        self._previous, self._repeated = content, repeated
        self._total = count_of(page.get("totalElements"))
        self._pages += 1
        self._finished = _is_last(page, content)


def is_page(answer: object) -> TypeGuard[dict[str, Any]]:
    """Whether ``answer`` is a page of events: an object whose ``content`` is a list of
    objects (an event that is a number or a text is a sign of some other answer)."""
    content = answer.get("content") if isinstance(answer, dict) else None
    # map() with a built-in runs the test in C: a page of a thousand events costs no frames.
    return isinstance(content, list) and all(map(isinstance, content, itertools.repeat(dict)))


def check_offset(page: dict[str, Any], offset: int, size: int) -> None:
    """Raises PagingError when the page says that it does not begin at ``offset``."""
    pageable = page.get("pageable")
    said = count_of(pageable.get("offset")) if isinstance(pageable, dict) else None
    if said is not None and said != offset:
        answered = f"those from {said} on"
    elif offset >= size and page.get("first") is True:  # no page that begins there is the first
        answered = "the first page"
    else:
        return
    raise PagingError(f"it answers {answered}, asked for the events from {offset} on: the server ignores offset")


def _is_last(page: dict[str, Any], content: list[Any]) -> bool:
    # A page without "last" is taken as the whole answer, so that a server that ignores
    # the paging cannot keep the walk going.
    return not content or page.get("last", True) is not False


def _index(content: list[Any], event: object, near: int) -> int | None:
    """Where ``content`` holds ``event``: at ``near`` or after it if it does (events came
    in ahead of it), else before it (events before it were purged); None if nowhere."""
    for begin, end in ((near, len(content)), (0, near)):
        try:
            return content.index(event, begin, end)
        except ValueError:
            pass
    return None


def _id_of(event: object) -> object:
    identity = event.get("id") if isinstance(event, dict) else None
    return identity if isinstance(identity, (int, str)) and not isinstance(identity, bool) else None


def count_of(value: object) -> int | None:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def read_document(call: Callable[[], Command]) -> object:
    return document(call().response)


def iter_events(client: ApiClient, app_name: str, *, page_size: int | None = None, search: str | None = None,
                sort_sorted: bool | None = None, sort_unsorted: bool | None = None,
                max_pages: int = DEFAULT_MAX_PAGES, start: Checkpoint | None = None,
                read: PageReader | None = None, retries: int = 2, max_wait: float = 30.0) -> EventWalk:
    """An iterator over every event of ``app_name``'s log, a page of ``page_size`` events
    (default 100) in memory at a time; ``search``, ``sort_sorted`` and ``sort_unsorted``
    are ``get_event_log``'s. See the module's docstring for what it promises of a log
    that changes, and how it ends.

    ``start`` is a walk's ``checkpoint`` to go on from (its page size unless ``page_size``
    is given); one that does not parse, or that was made for another application or with
    other options, raises BadCheckpoint (a ValueError) before any request. ``read`` reads
    one page: it is given the call that requests it and returns the decoded JSON (by
    default the body of the call's response, decoded by its charset), for example to
    bound each request with ``deadline.call_within``. A page whose answer was cut short
    (its body broke off or the connection was reset while it was read) is asked for again
    up to ``retries`` times, after waits of 0.5 s doubled each time, together at most
    ``max_wait`` seconds, each logged at INFO on "ferrovane.sdk.paging". Raises what the
    client raises, PagingError (NotAPage, TooManyPages) and ``deadline.DeadlinePassed``
    from ``read``.
    """
    filters: Filters = {"search": search, "sort_sorted": sort_sorted, "sort_unsorted": sort_unsorted}
    return EventWalk(client, app_name, page_size=page_size, max_pages=max_pages, read=read or read_document,
                     filters=filters, start=start, retries=retries, max_wait=max_wait)
