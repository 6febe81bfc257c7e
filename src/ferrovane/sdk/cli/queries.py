"""The queries that the subcommands make through the client, each request within the
--timeout deadline, and ``events --all``, which walks the pages with ``paging.iter_events``."""

import argparse
import os
import sys
import warnings
from collections.abc import Callable
from typing import Any

import requests

from .. import paging
from .._answers import UnusableAnswer, document
from ..accounts_api import ApiClient, Command
from ..deadline import DeadlinePassed, call_within
from . import output, trace

# A query: the client and the parsed options in, the decoded answer out.
Query = Callable[[ApiClient, argparse.Namespace], Any]

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


def fetch(args: argparse.Namespace, call: Callable[[], Command]) -> requests.Response:
    """The response of ``call()``, a client call, with its body read, within --timeout."""
    def whole_response() -> requests.Response:
        response = call().response
        response.content  # the body is read here, within the deadline
        return response
    try:
        return call_within(args.timeout, whole_response)
    except (DeadlinePassed, KeyboardInterrupt) as given_up:
        if args.verbose:
            trace.gave_up(given_up, args.timeout)
        raise


def answer_of(call: Callable[[ApiClient, argparse.Namespace], Command]) -> Query:
    """A query that makes one call and returns its decoded answer."""
    return lambda client, args: document(fetch(args, lambda: call(client, args)))


def events(client: ApiClient, args: argparse.Namespace) -> Any:
    if args.all:
        return every_event(client, args)
    page_number = None if args.page is None else args.page - 1  # the server counts pages from 0
    return document(fetch(args, lambda: client.get_event_log(
        args.app, offset=args.offset, pageNumber=page_number, pageSize=args.size, **_event_filters(args))))


def _event_filters(args: argparse.Namespace) -> dict[str, Any]:
    return {"search": args.search, "sort_sorted": True if args.order == "sorted" else None,
            "sort_unsorted": True if args.order == "unsorted" else None}


def every_event(client: ApiClient, args: argparse.Namespace) -> Any:
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
    show_progress = sys.stderr.isatty() and os.environ.get("TERM") != "dumb" and not args.verbose
    size = args.size or ALL_EVENTS_PAGE_SIZE
    events: list[Any] = []
    fetched = 0

    def read(call: Callable[[], Command]) -> Any:
        if args.jsonl:
            output.flush()  # the events of the pages before are out before the next one is waited for
        return document(fetch(args, call))

    walk = paging.iter_events(client, args.app, page_size=size, max_pages=MAX_ALL_PAGES, read=read,
                              **_event_filters(args))
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", paging.LogChanged)
            try:
                shown = 0
                for event in walk:
                    if args.jsonl:
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
                listing = PRINTED if args.jsonl else one_page(events, whole=False, total=walk.total)
                raise IncompleteListing(_stop_reason(error, size), walk.pages + 1, listing, fetched) from None
    finally:
        if show_progress:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    for warning in caught:
        if issubclass(warning.category, paging.LogChanged):
            output.fail(f"warning: {warning.message} (--all printed what it found)")
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return PRINTED if args.jsonl else one_page(events)


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
