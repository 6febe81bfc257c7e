"""The stand-in server as a test double: routes with canned answers or handlers, and the record of requests.

``StandInServer`` puts the transport, the fake API and the routes tests add together, and
owns the server's life: start, stop by hand or at the end of its lifetime.
"""

from __future__ import annotations

import logging
import math
import ssl
import threading
from collections.abc import Callable, Mapping
from types import TracebackType
from typing import Self

from . import fake_api, transport
from .faults import Fault
from .messages import Answer, Prepared, RecordedRequest, error_answer, prepare

log = logging.getLogger(__name__)

type Handler = Callable[[RecordedRequest], Answer | Fault]


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
    without, it keeps none, so its memory stays bounded however long it runs.
    """

    def __init__(self, token: str = "demo-token", *, lifetime: float | None = 600.0,
                 host: str = "127.0.0.1", port: int = 0, ssl_context: ssl.SSLContext | None = None,
                 record: bool = True, max_connections: int = transport.MAX_CONNECTIONS) -> None:
        if lifetime is not None and math.isnan(lifetime):
            raise ValueError("the lifetime must be a number of seconds or None, not NaN")
        self.token = token
        self.lifetime = lifetime
        self.host = host
        self.port = port
        self.ssl_context = ssl_context
        self.record = record
        self.max_connections = max_connections
        self._url: str | None = None
        self._lock = threading.Lock()
        self._recorded: list[RecordedRequest] = []
        self._routes: dict[tuple[str, str], Prepared | Handler] = {}
        self._transport: transport.Transport | None = None
        self._stopping: transport.Transport | None = None  # set once a stop has begun
        self._cut_short = False
        self._thread: threading.Thread | None = None
        self._timer: threading.Timer | None = None
        self._stopped = threading.Event()

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

    def route(self, method: str, path: str, status: int = 200, body: object = None,
              headers: Mapping[str, object] | None = None, *, handler: Handler | None = None) -> None:
        """Answer ``method`` on exactly ``path`` (without query) with a canned response.

        It takes precedence over the built-in routes and needs no token. ``status``,
        ``body`` and ``headers`` are as ``Answer`` takes them. With ``handler`` instead,
        each request is answered with what ``handler(request)`` returns, an ``Answer``; it
        runs on the connection's thread and may take its time. A handler that raises, or
        returns something else, gives a 500 JSON error, and the fault is logged.
        """
        route: Prepared | Handler
        if handler is not None:
            route = handler
        else:
            route = prepare(Answer(status, body, headers))  # a body that is not JSON-able fails here
        with self._lock:
            self._routes[(method.upper(), path)] = route

    def clear(self) -> None:
        """Forget the recorded requests and the routes."""
        with self._lock:
            self._recorded.clear()
            self._routes.clear()

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
            route = self._routes.get((request.method, request.path))
        if route is None:
            try:
                return fake_api.answer(request, self.token)
            except Exception as error:
                log.exception("stand-in server fault answering %s %s", request.method, request.path)
                return error_answer(500, f"stand-in server fault: {error!r}", request.path)
        if not callable(route):
            return route
        try:
            answer = route(request)
            if not isinstance(answer, (Answer, Fault)):
                raise TypeError(f"a route handler must return an Answer or a Fault, not {type(answer).__name__}")
            return prepare(answer)
        except Exception as error:
            log.exception("route handler for %s %s failed", request.method, request.path)
            return error_answer(500, f"route handler failed: {error!r}", request.path)
