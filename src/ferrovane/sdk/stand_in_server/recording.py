"""The stand-in server as a test double: routes, the record of requests, and the problems a strict test fails on.

``StandInServer`` puts the transport, the fake API and the routes tests add together, and
owns the server's life: start, stop by hand or at the end of its lifetime. A request that
nothing answers, or whose handler fails, is a problem: logged at WARNING level, kept in
``problems``, and raised by ``check()``, which the pytest fixture calls after each test.
"""

from __future__ import annotations

import logging
import math
import ssl
import threading
import traceback
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timezone
from types import TracebackType
from typing import TYPE_CHECKING, Any, Self

from . import fake_api, transport
from .data import EVENTS, Event, new_events
from .messages import Answer, Fault, Prepared, RecordedRequest, error_answer, prepare
from .routes import NOT_GIVEN, Handler, Route, describe

if TYPE_CHECKING:
    from ..accounts_api import ApiClient

log = logging.getLogger(__name__)


@dataclass(frozen=True)
class Problem:
    """A request the server could not answer as the test meant: ``message`` names it (method,
    path and query) and what went wrong; ``error`` is the exception of a failed handler."""

    request: RecordedRequest
    message: str
    error: Exception | None = None

    def __str__(self) -> str:
        if self.error is None:
            return self.message
        return self.message + "\n" + "".join(traceback.format_exception(self.error)).rstrip()


class StandInServer:
    """A stand-in Accounts server; see the package docstring for its routes.

    ``url`` can be read once ``start()`` has run. The server stops by itself
    ``lifetime`` seconds after it started (None, or a lifetime too long to wait for, such
    as infinity: never), so a forgotten server does not outlive its use. It can be started
    once. ``host`` and ``port`` are where it listens (port 0: one the OS picks).

    With an ``ssl_context`` (an ``ssl.SSLContext`` holding the server's certificate) it
    speaks HTTPS and its ``url`` starts with ``https://``. It keeps at most
    ``max_connections`` connections open, closing the one idle for the longest to make room.
    With ``record`` (the default) it keeps every request it receives in ``requests``;
    without, it keeps none, nor any problem, so its memory stays bounded however long it runs.
    Its built-in event logs are its own: ``append_events`` and ``purge_events`` change them
    while it runs.

    With ``strict`` (the default) ``check()`` raises on the problems seen so far; without,
    they are only logged and kept in ``problems``. The attribute can be changed at any time.
    """

    def __init__(self, token: str = "demo-token", *, lifetime: float | None = 600.0,
                 host: str = "127.0.0.1", port: int = 0, ssl_context: ssl.SSLContext | None = None,
                 record: bool = True, max_connections: int = transport.MAX_CONNECTIONS,
                 strict: bool = True) -> None:
        if lifetime is not None and math.isnan(lifetime):
            raise ValueError("the lifetime must be a number of seconds or None, not NaN")
        self.token = token
        self.lifetime = lifetime
        self.host = host
        self.port = port
        self.ssl_context = ssl_context
        self.record = record
        self.max_connections = max_connections
        self.strict = strict
        self._url: str | None = None
        self._lock = threading.Lock()
        self._recorded: list[RecordedRequest] = []
        self._routes: list[Route] = []
        self._problems: list[Problem] = []
        self._transport: transport.Transport | None = None
        self._stopping: transport.Transport | None = None  # set once a stop has begun
        self._cut_short = False
        self._thread: threading.Thread | None = None
        self._timer: threading.Timer | None = None
        self._stopped = threading.Event()
        # Each log is a tuple replaced whole under the lock, so that a route reads one
        # state of it without a lock, however events are appended and purged meanwhile.
        self._logs: dict[str, tuple[Event, ...]] = {app: tuple(events) for app, events in EVENTS.items()}
        self._next_ids = {app: max(event["id"] for event in events) + 1 for app, events in EVENTS.items()}

    @property
    def url(self) -> str:
        """The base URL to send requests to, such as ``http://127.0.0.1:40123``."""
        if self._url is None:
            raise RuntimeError("the StandInServer has no URL before start()")
        return self._url

    @property
    def stops_by_itself(self) -> bool:
        """Whether it has a lifetime; one beyond what a timer can wait (TIMEOUT_MAX, about
        292 years), such as infinity, is as good as none."""
        return self.lifetime is not None and self.lifetime < threading.TIMEOUT_MAX

    @property
    def requests(self) -> list[RecordedRequest]:
        """A snapshot of every request received so far, oldest first (empty without ``record``).

        Requests that could not be read whole (malformed, cut short, late, oversized)
        are left out.
        """
        with self._lock:
            return list(self._recorded)

    @property
    def problems(self) -> list[Problem]:
        """A snapshot of the problems so far, oldest first: requests that neither a route nor
        a built-in route answers, and failed route handlers (empty without ``record``)."""
        with self._lock:
            return list(self._problems)

    def check(self) -> None:
        """Raises AssertionError naming every problem so far, when ``strict``."""
        problems = self.problems
        if self.strict and problems:
            raise AssertionError(f"the stand-in server met {len(problems)} problem(s):\n"
                                 + "\n".join(f"- {problem}" for problem in problems))

    def route(self, method: str, path: str, status: int = 200, body: object = None,
              headers: Mapping[str, object] | None = None, *, handler: Handler | None = None,
              query: Mapping[str, object] | None = None, request_headers: Mapping[str, object] | None = None,
              json: object = NOT_GIVEN, once: bool = False, answers: Sequence[Answer | Fault] | None = None) -> Route:
        """Answer ``method`` on exactly ``path`` (without query) with a canned response.

        It takes precedence over the built-in routes and needs no token. ``status``,
        ``body`` and ``headers`` are as ``Answer`` takes them. With ``handler`` instead,
        each request is answered with what ``handler(request)`` returns, an ``Answer`` or a
        ``Fault`` (see ``faults``); it runs on the connection's thread and may take its time. A handler that raises, or
        returns something else, gives a 500 JSON error and a problem.

        It matches only requests whose query parameters are exactly ``query`` (in any
        order; a list value for a repeated name), that carry each of ``request_headers``,
        and whose body is the JSON value ``json``. With ``once`` it answers one request;
        with ``answers`` (instead of status, body, headers or handler) one request with
        each, in order. Spent, it lets requests pass on. Routes with answers left that
        are limited so are asked first, oldest first; then the others, newest first. A
        new route with the same method, path and conditions as an earlier lasting one
        replaces it. Returns the route, which records the requests it answered.
        """
        answered: Handler | list[Prepared]
        if answers is not None:
            if handler is not None or once or status != 200 or body is not None or headers is not None:
                raise ValueError("answers= is given alone: each of them is a whole answer, given once")
            if not answers:
                raise ValueError("answers= needs at least one answer")
            answered = [prepare(answer) for answer in answers]
        elif handler is not None:
            answered = handler
        else:
            answered = [prepare(Answer(status, body, headers))]  # a body that is not JSON-able fails here
        limit = len(answers) if answers is not None else 1 if once else None
        new = Route(method, path, answered, limit=limit, query=query, headers=request_headers,
                    json_body=json, record=self.record)
        with self._lock:
            if new.lasting:
                self._routes = [old for old in self._routes if not (old.lasting and old.same_conditions(new))]
            self._routes.append(new)
        return new

    def events(self, app: str) -> list[Event]:
        """The built-in log ``app`` as it is now, in stored order (oldest first)."""
        return list(self._logs[self._app(app)])

    def append_events(self, app: str, count: int = 1, *, keep: int | None = None) -> list[Event]:
        """Appends ``count`` new events to the built-in log ``app``, as a live log gains them
        (ids after any it had, timestamped now); returns them. With ``keep``, the oldest
        beyond the newest ``keep`` are purged in the same step, as from a log capped by
        count. Safe from any thread, also while requests are served."""
        if count < 0 or (keep is not None and keep < 0):
            raise ValueError(f"count and keep must be 0 or more, not {count} and {keep}")
        moment = datetime.now(timezone.utc).replace(microsecond=0)
        with self._lock:
            first = self._next_ids[self._app(app)]
            self._next_ids[app] = first + count
            added = new_events(app, first, count, moment)
            log = self._logs[app] + tuple(added)
            self._logs[app] = log if keep is None or len(log) <= keep else log[len(log) - keep:]
        return added

    def purge_events(self, app: str, count: int) -> list[Event]:
        """Removes the ``count`` oldest events (in stored order) of the built-in log ``app``,
        as a log capped by count or by age drops them; returns them. Safe from any thread."""
        if count < 0:
            raise ValueError(f"count must be 0 or more, not {count}")
        with self._lock:
            log = self._logs[self._app(app)]
            self._logs[app] = log[count:]
        return list(log[:count])

    def _app(self, app: str) -> str:
        if app not in self._logs:
            raise ValueError(f"no built-in log {app!r}: one of {', '.join(self._logs)}")
        return app

    def client(self, client_class: Any = None) -> ApiClient:
        """An ApiClient for this server with its token, not logged in, whose session takes
        nothing from the user's environment (netrc, proxies, CA bundles): what it sends is
        what the calls make. ``client_class``: another client of the same signature."""
        from .._isolated import isolated_client  # on use: the server itself needs no client

        return isolated_client(self.url, self.token, client_class=client_class)

    def clear(self) -> None:
        """Forget the recorded requests, the routes and the problems."""
        with self._lock:
            self._recorded.clear()
            self._routes.clear()
            self._problems.clear()

    def start(self) -> Self:
        """Start serving in the background; returns the server itself.

        OSError when it cannot listen on ``host`` and ``port``.
        """
        with self._lock:
            if self._thread is not None or self._transport is not None:
                raise RuntimeError("a StandInServer can be started only once")
            self._transport = served = transport.Transport(
                self._respond, self.host, self.port, ssl_context=self.ssl_context,
                max_connections=self.max_connections)
            host, port = served.address
            scheme = "http" if self.ssl_context is None else "https"
            self._url = f"{scheme}://[{host}]:{port}" if ":" in host else f"{scheme}://{host}:{port}"
            self._thread = threading.Thread(target=served.serve, name=f"stand-in-server-{port}", daemon=True)
            self._thread.start()
            if self.lifetime is not None and self.stops_by_itself:
                self._timer = threading.Timer(self.lifetime, self.stop)
                self._timer.daemon = True
                self._timer.start()
        return self

    def stop(self, grace: float | None = None) -> None:
        """Stop serving; safe to call more than once, from any thread.

        New connections are refused at once and idle kept-alive ones closed. Answers
        already begun are written to their end, for up to ``grace`` seconds (default
        STOP_GRACE_SECONDS), on connections that then close, so a client in flight gets
        either a whole answer or no connection, never half an answer. After the grace
        period (or ``cut_short()``) the rest are hung up on, even a handler still sleeping
        or a stream that stalls.
        """
        with self._lock:
            served, self._transport = self._transport, None
            timer, self._timer = self._timer, None
        if served is None:
            if self._thread is not None:  # someone else is stopping it: wait for them
                self._stopped.wait()
            return
        self._stopping = served
        if grace is None:
            grace = transport.STOP_GRACE_SECONDS
        try:
            if timer is not None:
                timer.cancel()
            served.stop(0.0 if self._cut_short else grace, self._thread)
        finally:
            self._stopped.set()

    def cut_short(self) -> None:
        """Ends the grace period of a stop under way: answers still being written are cut off.

        Safe to call from a signal handler: it waits for no other thread.
        """
        self._cut_short = True
        stopping = self._stopping
        if stopping is not None:
            stopping.cut_short()

    def wait(self, timeout: float | None = None) -> bool:
        """Block until the server has stopped; returns False if ``timeout`` ran out first."""
        return self._stopped.wait(timeout)

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()

    def _respond(self, request: RecordedRequest) -> Prepared:
        with self._lock:
            if self.record:
                self._recorded.append(request)
            route = self._find_route(request)
            answer = None if route is None else route.take(request)
        if answer is None:
            return self._built_in(request)
        if not callable(answer):
            return answer
        try:
            result = answer(request)
            if not isinstance(result, (Answer, Fault)):
                raise TypeError(f"a route handler must return an Answer or a Fault, not {type(result).__name__}")
            return prepare(result)
        except Exception as error:
            self._note(Problem(request, f"the route handler for {describe(request)} raised {error!r}", error))
            return error_answer(500, f"route handler failed: {error!r}", request.path)

    def _find_route(self, request: RecordedRequest) -> Route | None:
        limited = (route for route in self._routes if not route.lasting and route.matches(request))
        lasting = (route for route in reversed(self._routes) if route.lasting and route.matches(request))
        return next(limited, None) or next(lasting, None)

    def built_in(self, request: RecordedRequest) -> Prepared | None:
        """The answer that the built-in routes give ``request``, as if no route had matched
        it, without recording it; None where none serves its method and path. A handler
        that slows or cuts the real answer starts from it."""
        answer, served = fake_api.serve(request, self.token, self._logs)
        return answer if served else None

    def _built_in(self, request: RecordedRequest) -> Prepared:
        try:
            answer, served = fake_api.serve(request, self.token, self._logs)
        except Exception as error:
            self._note(Problem(request, f"the stand-in server failed on {describe(request)}: {error!r}", error))
            return error_answer(500, f"stand-in server fault: {error!r}", request.path)
        if not served:
            self._note(Problem(request, f"unexpected request {describe(request)}: no route answers it"))
        return answer

    def _note(self, problem: Problem) -> None:
        log.warning("%s", problem.message, exc_info=problem.error)
        if self.record:
            with self._lock:
                self._problems.append(problem)
