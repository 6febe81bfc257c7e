"""``events --all``: every event, walked with ``paging.iter_events``; imported only when
--all is given."""

import os
import sys
import warnings
from collections.abc import Callable, Mapping
from typing import Any

import requests

from .. import paging
from .._answers import UnusableAnswer, document
from ..accounts_api import ApiClient, Command
from . import output
from .names import ALL_EVENTS_PAGE_SIZE, MAX_ALL_PAGES
from .queries import PRINTED, IncompleteListing, Interrupted, event_filters, fetch
from .settings import Invocation


def every_event(client: ApiClient, run: Invocation) -> Any:
    """Every event, walked with ``paging.iter_events``, returned as one page of the
    server's shape; with --jsonl, printed one per line as each page arrives instead (in
    memory that stays flat however long the log), and PRINTED returned.

    A page after the first that fails, that is no page, or that repeats the one before
    it (a server that ignores the page number), more than MAX_ALL_PAGES pages, and
    Ctrl-C after the first page end it with IncompleteListing; a first answer that
    fails, or that is no page, is the query's failure. When stderr is a
    terminal (and no request trace is asked for), it shows the pages fetched. A log that
    changed in a way the walk could not follow is reported in a line on stderr after the
    listing is complete.
    """
    show_progress = sys.stderr.isatty() and os.environ.get("TERM") != "dumb" and not run.verbose
    lines = run.output is output.Mode.JSONL
    size = run.arguments["size"] or ALL_EVENTS_PAGE_SIZE
    events: list[Any] = []
    fetched = 0

    answers: list[object] = [None]  # the last answer read

    def read(call: Callable[[], Command]) -> Any:
        if lines:
            output.flush()  # the events of the pages before are out before the next one is waited for
        answers[0] = document(fetch(run, call))
        return answers[0]

    walk = paging.iter_events(client, run.arguments["app"], page_size=size, max_pages=MAX_ALL_PAGES, read=read,
                              retries=run.retries, max_wait=run.timeout, **event_filters(run.arguments))
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
                if walk.pages == 0:  # nothing came: the failure is the query's own (not a page included)
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
    last = answers[0]
    # A page that does not say whether it is the last ended the walk: what it says of the
    # listing's size is kept, as the walk cannot tell whether more would have followed.
    return PRINTED if lines else one_page(events, totals=last if isinstance(last, dict) and "last" not in last else None)


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


def one_page(events: list[Any], whole: bool = True, total: object = None,
             totals: Mapping[str, object] | None = None) -> dict[str, Any]:
    """``events`` as one page of the server's shape. A listing that is not ``whole`` says
    so ("last": false) and keeps the server's ``total`` of events, when it gave one; the
    ``totals`` of a page (totalElements, totalPages) are kept where they are counts that
    can hold the events."""
    if totals is not None:
        total = totals.get("totalElements")
    if (whole and totals is None) or not _count_of_at_least(total, len(events)):
        total = len(events)
    pages = totals.get("totalPages") if totals is not None else None
    return {"content": events, "totalElements": total,
            "totalPages": pages if _count_of_at_least(pages, 1) else 1, "number": 0, "size": len(events),
            "numberOfElements": len(events), "first": True, "last": whole, "empty": not events}


def _count_of_at_least(value: object, least: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= least
