"""The stand-in server's fake Accounts API: the built-in routes, answered from the data set.

``ROUTES`` is the table of routes, under ``/api/<app>/v<N>/`` for any version N, which the
docs list. Every route requires the header ``Authorization: Bearer <token>`` (else 401),
and errors are JSON objects with "status", "error", "message" and "path", as the real
server sends them. Every other path gives 404, and other methods on a route's path 405
(after the token check, as behind a real security filter); ``serve`` tells these from the
API's own errors.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import re
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta
from functools import partial
from typing import NamedTuple
from urllib.parse import unquote

from .data import EVENTS, RELEASES, USER, Event, iso
from .messages import Prepared, RecordedRequest, error_answer, merge_headers

DEFAULT_PAGE_SIZE = 20
APP_PATH = re.compile(r"/api/(?P<app>[^/]+)/v\d+/(?P<endpoint>.+)")


class _Problem(Exception):
    """An error answer of the API, raised from deep inside a route."""

    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or {}


_UNAUTHORIZED = _Problem(401, "Full authentication is required to access this resource",
                         {"WWW-Authenticate": 'Bearer realm="accounts"'})


def serve(request: RecordedRequest, token: str,
          logs: Mapping[str, Sequence[Event]] = EVENTS) -> tuple[Prepared, bool]:
    """The built-in answer to ``request``, from the event ``logs`` by app, and whether a
    built-in route serves its method and path (False: the answer is a 404 or 405 that no
    endpoint of the real API gives)."""
    # The token is checked before the route is known, as behind a real security filter.
    authorized = token_matches(request.headers.get("Authorization"), token)
    try:
        endpoint = _endpoint(request, logs)
    except _Problem as problem:
        return _refusal(request, problem if authorized else _UNAUTHORIZED), False
    if not authorized:
        return _refusal(request, _UNAUTHORIZED), True
    try:
        status, payload, headers = endpoint()
    except _Problem as problem:
        return _refusal(request, problem), True
    return (status, merge_headers("application/json", headers), json.dumps(payload).encode()), True


def _refusal(request: RecordedRequest, problem: _Problem) -> Prepared:
    return error_answer(problem.status, problem.message, request.path, problem.headers)


def token_matches(authorization: str | None, token: str) -> bool:
    """Whether an Authorization header (as read: its bytes as Latin-1) carries the token.

    A token outside Latin-1 can only travel as UTF-8 bytes (as curl sends what the
    server printed); one inside it may come either way, as Latin-1 from clients that
    encode headers so (requests) or as UTF-8 from a terminal. Whitespace around the value
    is not part of it (RFC 9110), as a trailing space that a script left in.
    """
    if authorization is None:
        return False
    try:
        sent = authorization.strip(" \t").encode("latin-1")
    except UnicodeEncodeError:
        return False
    forms = {f"Bearer {token}".encode("utf-8")}
    try:
        forms.add(f"Bearer {token}".encode("latin-1"))
    except UnicodeEncodeError:
        pass
    return any(hmac.compare_digest(sent, form) for form in forms)


type _Result = tuple[int, object, dict[str, str]]


class _Asked(NamedTuple):
    """What a built-in route is asked: the method, the app of the path, the query (the
    first of repeated names), and the event logs to answer from."""

    method: str
    app: str
    params: dict[str, str]
    logs: Mapping[str, Sequence[Event]]


@dataclass(frozen=True)
class BuiltIn:
    """A built-in route: ``method`` (None: any) on ``endpoint`` under ``/api/<app>/v<N>/``
    for ``app`` (None: any), whose ``{name}`` parts match any text and are passed, decoded,
    to ``answer`` by name after the request as ``_Asked``; ``text`` says what it answers,
    for the docs."""

    method: str | None
    app: str | None
    endpoint: str
    answer: Callable[..., _Result]
    text: str

    @property
    def pattern(self) -> re.Pattern[str]:
        return re.compile(re.sub(r"\\\{(\w+)\\\}", r"(?P<\1>.*)", re.escape(self.endpoint)))


ROUTES: tuple[BuiltIn, ...] = (
    BuiltIn("GET", "security", "user-info", lambda asked: (200, USER, {}),
            "the user that the token belongs to"),
    BuiltIn("GET", None, "eventlog", lambda asked: (200, _event_page(_events(asked), asked.params), {}),
            "a Spring-style page of the events of the log `security` or `entitlements` (40 each, unless "
            "grown or purged). Query: `pageNumber` "
            "(0-based), `pageSize` (default 20), `offset` (overrides `pageNumber * pageSize`), `search` "
            "(case-insensitive, in message, user and type), `sort.sorted=true` (newest first), "
            "`sort.unsorted=true` (stored order, the default), `unpaged=true` or `paged=false` (everything "
            "in one page); booleans without regard to case; malformed or contradictory values give 400"),
    BuiltIn("GET", None, "eventlog/{event_id}",
            lambda asked, event_id: (200, _event_log(_events(asked), event_id), {}),
            "the log entries of one event (the options above are ignored)"),
    BuiltIn("GET", "entitlements", "releases", lambda asked: _releases(asked.params),
            "all releases, with `verify=True` (without, 400)"),
    BuiltIn("GET", "entitlements", "releases/{key}", lambda asked, key: (200, _distribution(key, asked.params), {}),
            "download information for one platform: `distributionKey=<key>&platform=<platform>`"),
    BuiltIn(None, "test", "status/{code}", lambda asked, code: _status_answer(asked.method, code),
            "an answer with that status (200 to 599)"),
)
_PATTERNS = [(route, route.pattern) for route in ROUTES]


def _endpoint(request: RecordedRequest, logs: Mapping[str, Sequence[Event]]) -> Callable[[], _Result]:
    """What answers the request's method and path; _Problem (404 or 405) when nothing does."""
    match = APP_PATH.fullmatch(request.path)
    if match is None:
        raise _Problem(404, f"No endpoint {request.method} {request.path}")
    app, endpoint = match["app"], match["endpoint"]
    method = "GET" if request.method == "HEAD" else request.method  # HEAD is answered as GET
    params: dict[str, str] = {}
    for name, value in request.query:
        params.setdefault(name, value)  # the first of repeated parameters counts
    allowed: set[str] = set()
    for route, pattern in _PATTERNS:
        found = pattern.fullmatch(endpoint)
        if found is None:
            continue
        if route.method is not None and route.method != method:
            allowed.add(route.method)
        elif route.app in (None, app):
            parts = {name: unquote(value) for name, value in found.groupdict().items()}
            return partial(route.answer, _Asked(request.method, app, params, logs), **parts)
    if allowed:
        raise _Problem(405, f"Method {request.method} is not supported here", {"Allow": ", ".join(sorted(allowed))})
    raise _Problem(404, f"No endpoint {request.method} {request.path}")


def _events(asked: _Asked) -> Sequence[Event]:
    events = asked.logs.get(asked.app)
    if events is None:
        raise _Problem(404, f"Unknown application {asked.app}")  # the API's own answer, as for an unknown event
    return events


def _releases(params: dict[str, str]) -> _Result:
    if params.get("verify") != "True":
        raise _Problem(400, "Query parameter 'verify' must be True")
    return 200, RELEASES, {}


def _status_answer(method: str, code_text: str) -> _Result:
    try:
        code = int(code_text)
    except ValueError:
        code = 0
    if not 200 <= code <= 599:
        raise _Problem(400, f"Status must be a number from 200 to 599, got {code_text!r}")
    return code, {"status": code, "message": f"Stand-in answer to {method} with status {code}"}, {}


def _event_page(events: Sequence[Event], params: dict[str, str]) -> dict[str, object]:
    search = params.get("search")
    if search:
        needle = search.casefold()
        events = [event for event in events
                  if any(needle in event[key].casefold() for key in ("message", "user", "type"))]
    newest_first = _flag(params, "sort.sorted")
    stored_order = _flag(params, "sort.unsorted")
    if newest_first and stored_order:
        raise _Problem(400, "sort.sorted and sort.unsorted cannot both be true")
    if newest_first:
        events = sorted(events, key=lambda event: event["timestamp"], reverse=True)
    sort = {"sorted": bool(newest_first), "unsorted": not newest_first, "empty": not newest_first}
    paged, unpaged = _flag(params, "paged"), _flag(params, "unpaged")
    if paged is not None and unpaged is not None and paged == unpaged:
        raise _Problem(400, "paged and unpaged contradict each other")
    total = len(events)
    if unpaged or paged is False:
        return {"content": events, "pageable": {"paged": False, "unpaged": True, "sort": sort},
                "totalElements": total, "totalPages": 1, "number": 0, "size": total,
                "numberOfElements": total, "first": True, "last": True, "sort": sort,
                "empty": not events}
    size = _count(params, "pageSize", DEFAULT_PAGE_SIZE, minimum=1)
    offset = _count(params, "offset", _count(params, "pageNumber", 0, minimum=0) * size, minimum=0)
    content = events[offset:offset + size]
    return {
        "content": content,
        "pageable": {"pageNumber": offset // size, "pageSize": size, "offset": offset,
                     "paged": True, "unpaged": False, "sort": sort},
        "totalElements": total, "totalPages": -(-total // size), "number": offset // size,
        "size": size, "numberOfElements": len(content), "first": offset == 0,
        "last": offset + size >= total, "sort": sort, "empty": not content,
    }


def _flag(params: dict[str, str], name: str) -> bool | None:
    value = params.get(name)
    if value is None:
        return None
    if value.lower() in ("true", "false"):
        return value.lower() == "true"
    raise _Problem(400, f"Query parameter '{name}' must be true or false, got {value!r}")


def _count(params: dict[str, str], name: str, default: int, minimum: int) -> int:
    value = params.get(name)
    if value is None:
        return default
    try:
        number = int(value)
    except ValueError:
        raise _Problem(400, f"Query parameter '{name}' must be an integer, got {value!r}") from None
    if number < minimum:
        raise _Problem(400, f"Query parameter '{name}' must be at least {minimum}, got {number}")
    return number


def _event_log(events: Sequence[Event], event_id: str) -> dict[str, object]:
    for event in events:
        if str(event["id"]) == event_id:
            start = datetime.fromisoformat(event["timestamp"])
            steps = [("DEBUG", f"Handling {event['type']} for {event['user']}"),
                     (event["level"], event["message"]),
                     ("DEBUG", "Audit record written")]
            entries = [{"timestamp": iso(start + timedelta(milliseconds=40 * index)),
                        "level": level, "message": message}
                       for index, (level, message) in enumerate(steps)]
            return {"eventId": event["id"], "entries": entries}
    raise _Problem(404, f"No event with id {event_id}")


def _distribution(key: str, params: dict[str, str]) -> dict[str, object]:
    release = next((release for release in RELEASES if release["key"] == key), None)
    if release is None:
        raise _Problem(404, f"No distribution with key {key}")
    if params.get("distributionKey", key) != key:
        raise _Problem(400, f"distributionKey {params['distributionKey']!r} does not match the path")
    platform = params.get("platform")
    if platform not in release["platforms"]:
        raise _Problem(400, f"Platform {platform!r} is not one of {', '.join(release['platforms'])}")
    digest = hashlib.sha256(f"{key}/{platform}".encode()).hexdigest()
    return {"distributionKey": key, "platform": platform,
            "url": f"https://downloads.accounts.invalid/{key}/{key}-{platform}.tar.gz",
            "sha256": digest, "size": 40_000_000 + int(digest[:6], 16)}
