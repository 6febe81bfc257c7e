"""The queries that the subcommands make through the client, each request within the
--timeout deadline, and ``events --all``, which walks the pages with ``paging.iter_events``."""

import os
import sys
import warnings
from collections.abc import Callable, Mapping
from typing import Any

import requests

from .. import paging
from .._answers import UnusableAnswer, document
from ..accounts_api import ApiClient, Command
from ..deadline import DeadlinePassed, call_within
from . import output, trace
from .settings import Invocation

# A query: the client and the invocation in, the decoded answer out.
Query = Callable[[ApiClient, Invocation], Any]

ALL_EVENTS_PAGE_SIZE = paging.DEFAULT_PAGE_SIZE
# --all holds every event in memory (but with --jsonl): at the default page size this is a
# million events.
MAX_ALL_PAGES = paging.DEFAULT_MAX_PAGES


class Printed:
    """What a query returns when it has printed its answer itself (events --all --jsonl)."""


PRINTED = Printed()


class Interrupted(Exception):
    """Ctrl-C, while --all was fetching pages."""

    def __str__(self) -> str:
        return "interrupted"


class IncompleteListing(Exception):
    """--all stopped at ``page`` (counting from 1) because of ``cause``; ``listing`` holds
    the ``fetched`` events of the pages before it (PRINTED: they are printed already)."""

    def __init__(self, cause: Exception, page: int, listing: Any, fetched: int) -> None:
        super().__init__(cause, page, listing, fetched)
        self.cause, self.page, self.listing, self.fetched = cause, page, listing, fetched


def fetch(run: Invocation, call: Callable[[], Command]) -> requests.Response:
    """The response of ``call()``, a client call, with its body read, within --timeout."""
    def whole_response() -> requests.Response:
        response = call().response
        response.content  # the body is read here, within the deadline
        return response
    try:
        return call_within(run.timeout, whole_response)
    except (DeadlinePassed, KeyboardInterrupt) as given_up:
        if run.verbose:
            trace.gave_up(given_up, run.timeout)
        raise


def answer_of(call: Callable[[ApiClient, Mapping[str, Any]], Command]) -> Query:
    """A query that makes one call, given the subcommand's arguments, and returns its decoded answer."""
    return lambda client, run: document(fetch(run, lambda: call(client, run.arguments)))


def events(client: ApiClient, run: Invocation) -> Any:
    if run.arguments["all"]:
        return every_event(client, run)
    given = run.arguments
    page_number = None if given["page"] is None else given["page"] - 1  # the server counts pages from 0
    return document(fetch(run, lambda: client.get_event_log(
        given["app"], offset=given["offset"], pageNumber=page_number, pageSize=given["size"],
        **_event_filters(given))))


def _event_filters(given: Mapping[str, Any]) -> dict[str, Any]:
    return {"search": given["search"], "sort_sorted": True if given["order"] == "sorted" else None,
            "sort_unsorted": True if given["order"] == "unsorted" else None}


def every_event(client: ApiClient, run: Invocation) -> Any:
    """Every event, walked with ``paging.iter_events``, returned as one page of the
    server's shape; with --jsonl, printed one per line as each page arrives instead (in
    memory that stays flat however long the log), and PRINTED returned.

    A page after the first that fails, that is no page, or that repeats the one before
    it (a server that ignores the page number), more than MAX_ALL_PAGES pages, and
    Ctrl-C after the first page end it with IncompleteListing. When stderr is a
    terminal (and no request trace is asked for), it shows the pages fetched. A log that
    changed in a way the walk could not follow is reported in a line on stderr after the
    listing is complete.
    """
    show_progress = sys.stderr.isatty() and os.environ.get("TERM") != "dumb" and not run.verbose
    lines = run.output is output.Mode.JSONL
    size = run.arguments["size"] or ALL_EVENTS_PAGE_SIZE
    events: list[Any] = []
    fetched = 0

    def read(call: Callable[[], Command]) -> Any:
        if lines:
            output.flush()  # the events of the pages before are out before the next one is waited for
        return document(fetch(run, call))

    walk = paging.iter_events(client, run.arguments["app"], page_size=size, max_pages=MAX_ALL_PAGES, read=read,
                              **_event_filters(run.arguments))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", paging.LogChanged)
            try:
                shown = 0
                for event in walk:
                    if lines:
                        output.write(output.json_text(event, indent=None) + "\n", flush=False)
                    else:
                        events.append(event)
                    fetched += 1  # once it is printed or kept
                    if show_progress and walk.pages != shown:
                        shown = walk.pages
                        out_of = f" of {walk.total_pages}" if walk.total_pages is not None else ""
                        print(f"\rfetching events: page {shown}{out_of}", end="", file=sys.stderr, flush=True)
            except (requests.RequestException, UnusableAnswer, KeyboardInterrupt) as error:
                if walk.pages == 0:  # nothing came: the failure is the query's own
                    if isinstance(error, paging.NotAPage):
                        return error.document  # not a page: shown as it came
                    if isinstance(error, paging.TooManyPages):
                        raise _stop_reason(error, size) from None
                    raise
                listing = PRINTED if lines else one_page(events, whole=False, total=walk.total)
                raise IncompleteListing(_stop_reason(error, size), walk.pages + 1, listing, fetched) from None
    finally:
        if show_progress:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    for warning in caught:
        if issubclass(warning.category, paging.LogChanged):
            output.fail(f"warning: {warning.message} (--all printed what it found)")
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return PRINTED if lines else one_page(events)


def _stop_reason(error: BaseException, size: int) -> Exception:
    """What the failure line of --all says stopped it."""
    if isinstance(error, paging.TooManyPages):
        return UnusableAnswer(
            f"it says that more pages follow after {MAX_ALL_PAGES}, the most that --all fetches"
            if error.announced is None else
            f"it says the listing has {error.announced} pages of {size} events, more than --all fetches "
            f"({MAX_ALL_PAGES}): narrow it with --search, or take a larger --size")
    if isinstance(error, KeyboardInterrupt):
        return Interrupted()
    assert isinstance(error, Exception)
    return error


def one_page(events: list[Any], whole: bool = True, total: object = None) -> dict[str, Any]:
    """``events`` as one page of the server's shape. A listing that is not ``whole`` says
    so ("last": false) and keeps the server's ``total`` of events, when it gave one."""
    if whole or not isinstance(total, int) or total < len(events):
        total = len(events)
    return {"content": events, "totalElements": total, "totalPages": 1, "number": 0, "size": len(events),
            "numberOfElements": len(events), "first": True, "last": whole, "empty": not events}
