"""The queries that the subcommands make through the client, each request within the
--timeout deadline, and what ``events --all`` (walk_all.py) reports when it stops early."""

import time
from collections.abc import Callable, Mapping
from typing import Any

import requests

from .._answers import document
from ..accounts_api import ApiClient, Command
from ..deadline import DeadlinePassed, call_within
from ..retries import again_if_cut_short
from . import output, trace
from .settings import Invocation

# A query: the client and the invocation in, the decoded answer out.
Query = Callable[[ApiClient, Invocation], Any]


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
        started = time.monotonic()
        response = call().response
        size = len(response.content)  # the body is read here, within the deadline
        if run.verbose:
            trace.whole_answer(size, time.monotonic() - started)
        return response
    try:  # an answer cut short is asked for again, within the same deadline
        return call_within(run.timeout, lambda: again_if_cut_short(whole_response, retries=run.retries,
                                                                   max_wait=run.timeout))
    except (DeadlinePassed, KeyboardInterrupt) as given_up:
        if run.verbose:
            trace.gave_up(given_up, run.timeout)
        raise


def answer_of(call: Callable[[ApiClient, Mapping[str, Any]], Command]) -> Query:
    """A query that makes one call, given the subcommand's arguments, and returns its decoded answer."""
    return lambda client, run: document(fetch(run, lambda: call(client, run.arguments)))


def events(client: ApiClient, run: Invocation) -> Any:
    """One page of the event log (``events --all`` is walk_all.every_event); with --jsonl,
    its events alone, one line each. An answer that is no page is paging.NotAPage: it is
    reported as a failure, never printed as if it were the log."""
    from .. import paging  # imported for events alone

    given = run.arguments
    page_number = None if given["page"] is None else given["page"] - 1  # the server counts pages from 0
    page = document(fetch(run, lambda: client.get_event_log(
        given["app"], offset=given["offset"], pageNumber=page_number, pageSize=given["size"],
        **event_filters(given))))
    if not paging.is_page(page) and not paging.is_page({"content": page}):  # a bare list of events is taken
        raise paging.NotAPage(page)
    if run.output is output.Mode.JSONL:
        return page if isinstance(page, list) else page["content"]
    return page


def event_filters(given: Mapping[str, Any]) -> dict[str, Any]:
    return {"search": given["search"], "sort_sorted": True if given["order"] == "sorted" else None,
            "sort_unsorted": True if given["order"] == "unsorted" else None}
