"""``events --all``: every event, walked with ``paging.iter_events``; imported only when
--all is given."""

import os
import sys
import warnings
from collections.abc import Callable
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
