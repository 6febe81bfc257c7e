"""The queries that the subcommands make through the client, each request within the
--timeout deadline, and the paging of ``events --all``."""

import argparse
import itertools
import json
import sys
from collections.abc import Callable
from typing import Any

import requests

from .. import _tables
from .._answers import UnusableAnswer, document
from ..accounts_api import ApiClient, Command
from ..deadline import call_within

# A query: the client and the parsed options in, the decoded answer out.
Query = Callable[[ApiClient, argparse.Namespace], Any]

ALL_EVENTS_PAGE_SIZE = 100
# --all holds every event in memory: at the default page size this is a million events.
MAX_ALL_PAGES = 10_000


class Interrupted(Exception):
    """Ctrl-C, while --all was fetching pages."""

    def __str__(self) -> str:
        return "interrupted"


class IncompleteListing(Exception):
    """--all stopped at ``page`` (counting from 1) because of ``cause``; ``listing`` holds
    the events of the pages before it."""

    def __init__(self, cause: Exception, page: int, listing: dict[str, Any]) -> None:
        super().__init__(cause, page, listing)
        self.cause, self.page, self.listing = cause, page, listing


def fetch(args: argparse.Namespace, call: Callable[[], Command]) -> requests.Response:
    """The response of ``call()``, a client call, with its body read, within --timeout."""
    def whole_response() -> requests.Response:
        response = call().response
        response.content  # the body is read here, within the deadline
        return response
    return call_within(args.timeout, whole_response)


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
    """Every event, fetched a page at a time, returned as one page of the server's shape.

    A page after the first that fails, that is no page, or that repeats the one before
    it (a server that ignores the page number), more than MAX_ALL_PAGES pages, and
    Ctrl-C after the first page end it with IncompleteListing. When stderr is a
    terminal, it shows the pages fetched.
    """
    show_progress = sys.stderr.isatty()
    size = args.size or ALL_EVENTS_PAGE_SIZE
    events: list[Any] = []
    previous, total = None, None
    try:
        for number in itertools.count():
            try:
                if number == MAX_ALL_PAGES:
                    raise UnusableAnswer(f"it says that more pages follow after {MAX_ALL_PAGES}, "
                                         "the most that --all fetches")
                page = document(fetch(args, lambda: client.get_event_log(
                    args.app, pageNumber=number, pageSize=size, **_event_filters(args))))
                if not isinstance(page, dict) or not isinstance(page.get("content"), list):
                    if number == 0:
                        return page  # not a page: shown as it came
                    excerpt = _tables.clip(json.dumps(page, separators=(",", ":")), 100)
                    raise UnusableAnswer(f"it is not a page of events: {excerpt}")
                if page["content"] and page["content"] == previous:
                    raise UnusableAnswer("it repeats the page before it: the server does not page")
            except (requests.RequestException, UnusableAnswer) as error:
                if number == 0:
                    raise
                raise IncompleteListing(error, number + 1, one_page(events, whole=False, total=total)) from None
            except KeyboardInterrupt:
                if number == 0:
                    raise
                raise IncompleteListing(Interrupted(), number + 1, one_page(events, whole=False, total=total)) from None
            events += page["content"]
            previous = page["content"]
            pages, total = page.get("totalPages"), page.get("totalElements")
            if number == 0 and isinstance(pages, int) and pages > MAX_ALL_PAGES:
                raise UnusableAnswer(f"it says the listing has {pages} pages of {size} events, more than --all "
                                     f"fetches ({MAX_ALL_PAGES}): narrow it with --search, or take a larger --size")
            if show_progress:
                out_of = f" of {pages}" if isinstance(pages, int) else ""
                print(f"\rfetching events: page {number + 1}{out_of}", end="", file=sys.stderr, flush=True)
            # A page without "last" is taken as the whole answer, so that a server that
            # ignores the page number cannot keep this loop going.
            if not page["content"] or page.get("last", True) or (isinstance(pages, int) and number + 1 >= pages):
                break
    finally:
        if show_progress:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    return one_page(events)


def one_page(events: list[Any], whole: bool = True, total: object = None) -> dict[str, Any]:
    """``events`` as one page of the server's shape. A listing that is not ``whole`` says
    so ("last": false) and keeps the server's ``total`` of events, when it gave one."""
    if whole or not isinstance(total, int) or total < len(events):
        total = len(events)
    return {"content": events, "totalElements": total, "totalPages": 1, "number": 0, "size": len(events),
            "numberOfElements": len(events), "first": True, "last": whole, "empty": not events}
