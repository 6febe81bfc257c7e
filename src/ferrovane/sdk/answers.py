"""The shapes of the Accounts answers that this package reads, for typing the JSON that
``command.response.json()`` gives: a page of events and an event, the log of one event,
the user, a release and a distribution.

They describe, they do not check: the JSON is whatever the server sent. A field that a
server may leave out is ``NotRequired`` (read it with ``.get()``), and a server may add
fields of its own, which these types do not name::

    page = cast(EventPage, client.get_event_log("security").response.json())
    for event in page["content"]:
        print(event["id"], event.get("message", ""))
"""

from typing import NotRequired, TypedDict

__all__ = ["Distribution", "Event", "EventLog", "EventLogEntry", "EventPage", "Pageable", "Release", "Sort",
           "User"]


class Event(TypedDict):
    """One event of an application's log; ``iter_events`` yields these."""

    id: int
    timestamp: str  # ISO 8601, UTC, such as "2024-05-06T07:12:25Z"
    type: NotRequired[str]  # such as "LOGIN_SUCCEEDED"
    user: NotRequired[str]
    message: NotRequired[str]
    level: NotRequired[str]  # "DEBUG", "INFO", "WARN" or "ERROR"


class Sort(TypedDict):
    sorted: bool
    unsorted: bool
    empty: bool


class Pageable(TypedDict):
    """Where a page stands in the paging; an unpaged answer has only ``paged``, ``unpaged``
    and ``sort``."""

    paged: bool
    unpaged: bool
    pageNumber: NotRequired[int]  # counts from 0
    pageSize: NotRequired[int]
    offset: NotRequired[int]  # the events before this page
    sort: NotRequired[Sort]


class EventPage(TypedDict):
    """A page of events, as ``get_event_log`` answers (pageNumber counts from 0)."""

    content: list[Event]
    totalElements: NotRequired[int]  # the events of the whole listing
    totalPages: NotRequired[int]
    number: NotRequired[int]  # this page's pageNumber
    size: NotRequired[int]  # the page size asked for (or the server's default)
    numberOfElements: NotRequired[int]  # the events on this page
    first: NotRequired[bool]
    last: NotRequired[bool]
    empty: NotRequired[bool]
    pageable: NotRequired[Pageable]
    sort: NotRequired[Sort]


class EventLogEntry(TypedDict):
    timestamp: str
    level: NotRequired[str]
    message: NotRequired[str]


class EventLog(TypedDict):
    """The log of one event, as ``get_event_log_for_an_event`` answers."""

    eventId: int
    entries: list[EventLogEntry]


class User(TypedDict):
    """The user that the session belongs to, as ``get_current_user`` answers."""

    id: int
    username: str
    displayName: NotRequired[str]
    email: NotRequired[str]
    roles: NotRequired[list[str]]
    organisation: NotRequired[str]
    locale: NotRequired[str]
    active: NotRequired[bool]


class Release(TypedDict):
    """One release, as ``return_all_releases`` answers in a list."""

    key: str  # the distribution key that get_distribution takes
    product: NotRequired[str]
    version: NotRequired[str]
    releasedAt: NotRequired[str]
    platforms: NotRequired[list[str]]  # the platforms that get_distribution takes


class Distribution(TypedDict):
    """The download of one release for one platform, as ``get_distribution`` answers."""

    distributionKey: str
    platform: str
    url: str
    sha256: NotRequired[str]
    size: NotRequired[int]  # in bytes
