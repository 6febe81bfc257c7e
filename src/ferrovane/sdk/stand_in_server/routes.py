"""The routes a test adds to the stand-in server: what each matches, what it answers, and which requests it took.

A route matches on method and exact path, and optionally on query parameters, request
headers and the JSON body. It answers every request it matches, or once, or with a
sequence of answers in order; a route that has given all its answers is spent and lets
requests pass on to the next route or to the built-in API.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Mapping
from typing import Final

from .messages import Answer, Fault, Prepared, RecordedRequest

type Handler = Callable[[RecordedRequest], Answer | Fault]

# What json= defaults to: no match on the body (None would mean a JSON null).
NOT_GIVEN: Final = object()


class Route:
    """One route of a ``StandInServer``, as ``route()`` returns it, to check afterwards.

    ``calls`` holds the requests it answered, oldest first (empty when the server keeps no
    record); ``call_count`` counts them either way.
    """

    def __init__(self, method: str, path: str, answers: Handler | list[Prepared], *, limit: int | None,
                 query: Mapping[str, object] | None, headers: Mapping[str, object] | None,
                 json_body: object, record: bool) -> None:
        self.method = method.upper()
        self.path = path
        self._answers = answers
        self._limit = limit
        self._query = None if query is None else sorted(_pairs(query))
        self._headers = None if headers is None else [(name, str(value)) for name, value in headers.items()]
        self._json = json_body
        self._record = record
        self._calls: list[RecordedRequest] = []
        self.call_count = 0

    def __repr__(self) -> str:
        conditions = "".join(f" {name}={value!r}" for name, value in (
            ("query", self._query), ("headers", self._headers)) if value is not None)
        if self._json is not NOT_GIVEN:
            conditions += f" json={self._json!r}"
        return f"<Route {self.method} {self.path}{conditions}: called {self.call_count} times>"

    @property
    def calls(self) -> list[RecordedRequest]:
        return list(self._calls)

    @property
    def called(self) -> bool:
        return self.call_count > 0

    @property
    def spent(self) -> bool:
        """Whether it has given every answer it was given to give."""
        return self._limit is not None and self.call_count >= self._limit

    @property
    def lasting(self) -> bool:
        """Whether it answers for ever (neither one-shot nor a sequence)."""
        return self._limit is None

    def assert_called(self) -> None:
        if not self.called:
            raise AssertionError(f"{self!r}: expected a call, got none")

    def assert_not_called(self) -> None:
        if self.called:
            raise AssertionError(f"{self!r}: expected no call; the first was {describe(self._first())}")

    def assert_called_times(self, count: int) -> None:
        if self.call_count != count:
            raise AssertionError(f"{self!r}: expected {count} calls")

    def same_conditions(self, other: Route) -> bool:
        return (self.method, self.path, self._query, self._headers, self._json) == (
            other.method, other.path, other._query, other._headers, other._json)

    def matches(self, request: RecordedRequest) -> bool:
        if self.spent or request.path != self.path:
            return False
        if request.method != self.method and not (request.method == "HEAD" and self.method == "GET"):
            return False  # HEAD is answered as GET, without content
        if self._query is not None and sorted(request.query) != self._query:
            return False
        if self._headers is not None and not all(
                value in (request.headers.get_all(name) or ()) for name, value in self._headers):
            return False
        if self._json is not NOT_GIVEN:
            try:
                sent = json.loads(request.body)
            except ValueError:
                return False
            return same_json(sent, self._json)
        return True

    def take(self, request: RecordedRequest) -> Handler | Prepared:
        """Counts ``request`` as answered by this route; returns its answer, or the handler to ask."""
        self.call_count += 1
        if self._record:
            self._calls.append(request)
        if callable(self._answers):
            return self._answers
        return self._answers[min(self.call_count, len(self._answers)) - 1]

    def _first(self) -> RecordedRequest | None:
        return self._calls[0] if self._calls else None


def describe(request: RecordedRequest | None) -> str:
    """A request as a failure names it: method, path and query as sent."""
    if request is None:
        return "(not recorded)"
    query = f"?{request.query_string}" if request.query_string else ""
    return f"{request.method} {request.path}{query}"


def same_json(sent: object, expected: object) -> bool:
    """JSON equality, where true is not 1 and false is not 0, as it is for Python's ==."""
    if isinstance(sent, bool) or isinstance(expected, bool):
        return sent is expected
    if isinstance(sent, dict) and isinstance(expected, Mapping):
        return sent.keys() == expected.keys() and all(same_json(sent[key], expected[key]) for key in sent)
    if isinstance(sent, list) and isinstance(expected, (list, tuple)):
        return len(sent) == len(expected) and all(map(same_json, sent, expected))
    return type(sent) is not list and type(sent) is not dict and sent == expected


def _pairs(query: Mapping[str, object]) -> Iterable[tuple[str, str]]:
    # Values as requests sends them: str() of each, and one pair per item of a list.
    for name, value in query.items():
        for item in value if isinstance(value, (list, tuple)) else [value]:
            yield name, str(item)
