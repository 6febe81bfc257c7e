"""A stand-in Accounts server, for the demo, for tests and for trying programs by hand.

It answers the Accounts REST API with a fixed, believable data set, records every
request it receives, and can be given canned answers for any path::

    with StandInServer(token="t0ken", lifetime=30) as server:
        client = ApiClient(server.url, "t0ken")
        ...
        assert server.requests[-1].path == "/api/security/v3/user-info"

Standard library only: a ThreadingHTTPServer (on 127.0.0.1 with a port chosen by the
OS, unless told otherwise) served from a daemon thread. It speaks HTTP/1.1 with
Content-Length, so a ``requests.Session`` keeps its connection alive across calls.
``python -m ferrovane.sdk.stand_in_server`` runs one in the foreground (``--help``).

Built-in routes, under ``/api/<app>/v<N>/`` for any version N, all requiring the
header ``Authorization: Bearer <token>`` (else 401); errors are JSON objects with
"status", "error", "message" and "path", as the real server sends them:

- GET security/user-info: the user that the token belongs to.
- GET <app>/eventlog for the apps "security" and "entitlements": a Spring-style page
  of 40 events. Query: pageNumber (0-based), pageSize (default 20), offset (overrides
  pageNumber * pageSize), search (case-insensitive, in message, user and type),
  sort.sorted=true (newest first), sort.unsorted=true (stored order, the default),
  unpaged=true or paged=false (everything in one page). Boolean values are matched
  without regard to case. Malformed or contradictory values give 400.
- GET <app>/eventlog/<id>: the log entries of one event (the options above are ignored).
- GET entitlements/releases?verify=True: all releases; without verify=True, 400.
- GET entitlements/releases/<key>?distributionKey=<key>&platform=<platform>: download
  information for one platform.
- Any method on test/status/<code> (200 to 599): answers with that status.
Every other path gives 404 (after the token check, as behind a real security filter).

Requests that cannot be read whole (a malformed request line or target, a bad
Content-Length, a body cut short) get a JSON error of the same form, mostly 400, on a
closed connection, and are not recorded. Each answer is logged at INFO level to the
logger of this module's name.
"""

from __future__ import annotations

import argparse
import hashlib
import http
import json
import logging
import random
import re
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from http.client import HTTPMessage
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import FrameType, TracebackType
from typing import Any, Self
from urllib.parse import parse_qsl, unquote, urlsplit

__all__ = ["RecordedRequest", "StandInServer"]

MAX_BODY_SIZE = 16 * 1024 * 1024
DEFAULT_PAGE_SIZE = 20
# How long stop() lets answers already begun run to their end before it cuts them off.
STOP_GRACE_SECONDS = 2.0

log = logging.getLogger(__name__)

# An answer: status, headers and body.
_Answer = tuple[int, dict[str, str], bytes]
_CONTENT_LENGTH = re.compile(r"[0-9]+")
# One event of the data set, and one kind of event: (type, level, weight, message templates).
type _Event = dict[str, Any]
type _EventKind = tuple[str, str, int, list[str]]
type _Pick = Callable[[Sequence[Any]], Any]


@dataclass(frozen=True)
class RecordedRequest:
    """One request as the server received it.

    ``path`` and ``query_string`` are as sent on the wire (still percent-encoded);
    ``query`` holds the decoded (name, value) pairs in wire order; ``headers`` is the
    ``http.client.HTTPMessage`` of the request, which matches names without regard to case.
    """

    method: str
    path: str
    query: list[tuple[str, str]]
    query_string: str
    headers: HTTPMessage
    body: bytes

    def json(self) -> Any:
        """The body decoded as JSON."""
        return json.loads(self.body)


class StandInServer:
    """A stand-in Accounts server; see the module docstring for its routes.

    ``url`` can be read once ``start()`` has run. The server stops by itself
    ``lifetime`` seconds after it started (None: never), so a forgotten server does not
    outlive its use. It can be started once. ``host`` and ``port`` are where it listens
    (port 0: one the OS picks).
    """

    def __init__(self, token: str = "demo-token", *, lifetime: float | None = 600.0,
                 host: str = "127.0.0.1", port: int = 0) -> None:
        self.token = token
        self.lifetime = lifetime
        self.host = host
        self.port = port
        self._url: str | None = None
        self._lock = threading.Lock()
        self._recorded: list[RecordedRequest] = []
        self._canned: dict[tuple[str, str], _Answer] = {}
        self._httpd: _HttpServer | None = None
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
    def requests(self) -> list[RecordedRequest]:
        """A snapshot of every request received so far, oldest first.

        Requests that could not be read whole (malformed, cut short, chunked, oversized)
        are left out.
        """
        with self._lock:
            return list(self._recorded)

    def route(self, method: str, path: str, status: int = 200, body: object = None,
              headers: Mapping[str, object] | None = None) -> None:
        """Answer ``method`` on exactly ``path`` (without query) with a canned response.

        It takes precedence over the built-in routes and needs no token. ``body`` may be
        bytes (sent as application/octet-stream), str (text/plain) or any JSON-able
        object other than None (application/json); None sends an empty body.
        ``headers`` are added and may replace the Content-Type; the server always sets
        Content-Length itself.
        """
        content_type: str | None
        if body is None:
            content, content_type = b"", None
        elif isinstance(body, (bytes, bytearray)):
            content, content_type = bytes(body), "application/octet-stream"
        elif isinstance(body, str):
            content, content_type = body.encode(), "text/plain; charset=utf-8"
        else:
            content, content_type = json.dumps(body).encode(), "application/json"
        answer = (status, _merge_headers(content_type, headers), content)
        with self._lock:
            self._canned[(method.upper(), path)] = answer

    def clear(self) -> None:
        """Forget the recorded requests and the canned routes."""
        with self._lock:
            self._recorded.clear()
            self._canned.clear()

    def start(self) -> Self:
        """Start serving in the background; returns the server itself.

        OSError when it cannot listen on ``host`` and ``port``.
        """
        with self._lock:
            if self._thread is not None or self._httpd is not None:
                raise RuntimeError("a StandInServer can be started only once")
            self._httpd = httpd = _HttpServer(self, self.host, self.port)
            host, port = str(httpd.server_address[0]), int(httpd.server_address[1])
            self._url = f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"
            # A short poll interval keeps stop() quick: shutdown waits for the next poll.
            self._thread = threading.Thread(
                target=httpd.serve_forever, kwargs={"poll_interval": 0.01},
                name=f"stand-in-server-{port}", daemon=True)
            self._thread.start()
            if self.lifetime is not None:
                self._timer = threading.Timer(self.lifetime, self.stop)
                self._timer.daemon = True
                self._timer.start()
        return self

    def stop(self) -> None:
        """Stop serving; safe to call more than once, from any thread.

        New connections are refused at once and idle kept-alive ones closed. Answers
        already begun are written to their end (for up to STOP_GRACE_SECONDS) on
        connections that then close, so a client in flight gets either a whole answer
        or no connection, never half an answer.
        """
        with self._lock:
            httpd, self._httpd = self._httpd, None
            timer, self._timer = self._timer, None
        if httpd is None:
            if self._thread is not None:  # someone else is stopping it: wait for them
                self._stopped.wait()
            return
        try:
            if timer is not None:
                timer.cancel()
            httpd.begin_stop()
            httpd.shutdown()
            httpd.server_close()
            httpd.close_connections(STOP_GRACE_SECONDS)
            assert self._thread is not None
            self._thread.join()
        finally:
            self._stopped.set()

    def wait(self, timeout: float | None = None) -> bool:
        """Block until the server has stopped; returns False if ``timeout`` ran out first."""
        return self._stopped.wait(timeout)

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()

    def _answer(self, request: RecordedRequest) -> _Answer:
        with self._lock:
            self._recorded.append(request)
            canned = self._canned.get((request.method, request.path))
        if canned is not None:
            return canned
        headers: Mapping[str, str]
        try:
            status, payload, headers = _builtin_answer(request, self.token)
        except _Problem as problem:
            status, payload, headers = problem.status, problem.payload(request.path), problem.headers
        except Exception as error:
            # A fault of the stand-in itself: say so rather than drop the connection.
            fault = _Problem(500, f"stand-in server fault: {error!r}")
            status, payload, headers = 500, fault.payload(request.path), {}
        return status, _merge_headers("application/json", headers), json.dumps(payload).encode()


class _HttpServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, stand_in: StandInServer, host: str, port: int) -> None:
        self.stand_in = stand_in
        # Every open connection, and whether it is busy with a request (from its request
        # line to the end of its answer) rather than idle between requests.
        self._connections: dict[socket.socket, bool] = {}
        self._changed = threading.Condition()
        self._stopping = False
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), _Handler)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._changed:
            self._connections[request] = False
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._changed:
            self._connections.pop(request, None)
            if self._stopping:
                self._changed.notify_all()
        super().shutdown_request(request)

    def begin_request(self, connection: socket.socket) -> bool:
        """Marks the connection busy; False once the server is stopping: drop the request."""
        with self._changed:
            if self._stopping or connection not in self._connections:
                return False
            self._connections[connection] = True
            return True

    def end_request(self, connection: socket.socket) -> bool:
        """Marks the connection idle; False once the server is stopping: close it."""
        with self._changed:
            if connection in self._connections:
                self._connections[connection] = False
            if self._stopping:  # only close_connections() waits for this
                self._changed.notify_all()
            return not self._stopping

    @property
    def stopping(self) -> bool:
        return self._stopping

    def begin_stop(self) -> None:
        with self._changed:
            self._stopping = True

    def close_connections(self, grace: float) -> None:
        """Closes idle connections now and busy ones when their answer is out (or at ``grace``)."""
        deadline = time.monotonic() + grace
        with self._changed:
            while True:
                for connection, busy in self._connections.items():
                    if not busy:
                        _hang_up(connection)
                left = deadline - time.monotonic()
                if not any(self._connections.values()) or left <= 0:
                    break
                self._changed.wait(left)
            for connection in self._connections:
                _hang_up(connection)

    def handle_error(self, request: Any, client_address: Any) -> None:
        # Clients that hang up mid-request are routine (and stop() causes it on purpose).
        if not isinstance(sys.exception(), ConnectionError):
            super().handle_error(request, client_address)


def _hang_up(connection: socket.socket) -> None:
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass  # already closed by the client


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Not 0.9: a request line without a version is garbage rather than an HTTP/0.9
    # request, and its 400 should come with a status line and headers like any other.
    default_request_version = "HTTP/1.1"
    server_version = "AccountsStandIn/1.0"
    timeout = 60  # an idle keep-alive connection gives its thread back after this
    # Headers and body go out in separate writes; with Nagle's algorithm and delayed
    # ACKs each kept-alive request would then wait about 40 ms.
    disable_nagle_algorithm = True
    server: _HttpServer
    headers: HTTPMessage

    def log_message(self, format: str, *args: Any) -> None:
        pass  # _send logs each answer, once its size is known, and only when asked to

    def handle_one_request(self) -> None:
        try:
            super().handle_one_request()
        finally:
            if not self.server.end_request(self.connection):
                self.close_connection = True

    def parse_request(self) -> bool:
        # The request line is in: from here on the connection is busy until its answer
        # is out, and stop() waits for that.
        if not self.server.begin_request(self.connection):
            self.close_connection = True
            return False
        return super().parse_request()

    def _serve(self) -> None:
        try:
            target = urlsplit(self.path)
            query = parse_qsl(target.query, keep_blank_values=True)
        except ValueError as error:
            self.send_error(400, f"Malformed request target: {error}")
            return
        body = self._read_body()
        if body is None:
            return
        request = RecordedRequest(
            method=self.command,
            path=target.path,
            query=query,
            query_string=target.query,
            headers=self.headers,
            body=body,
        )
        self._send(*self.server.stand_in._answer(request))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _serve

    def _read_body(self) -> bytes | None:
        # Requests with a body of unknown length cannot be framed on a kept-alive
        # connection; the client never sends chunked bodies, so refuse them plainly.
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self.send_error(411, "chunked request bodies are not supported")
            return None
        lengths = {value.strip() for value in self.headers.get_all("Content-Length") or ()}
        if len(lengths) > 1 or not all(_CONTENT_LENGTH.fullmatch(value) for value in lengths):
            self.send_error(400, "malformed Content-Length")
            return None
        length = int(lengths.pop()) if lengths else 0
        if length > MAX_BODY_SIZE:
            self.send_error(413, f"request body above {MAX_BODY_SIZE} bytes")
            return None
        body = self.rfile.read(length)
        if len(body) < length:
            # The client closed its side early: what came is not the request it meant.
            self.send_error(400, f"request body ended after {len(body)} of {length} bytes")
            return None
        return body

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # Every refusal, also those of the base class for request lines and headers it
        # cannot parse, is a JSON error like the API's own, on a connection that closes.
        self.close_connection = True
        path = str(getattr(self, "path", "") or "").partition("?")[0]
        payload = _Problem(code, message or http.HTTPStatus(code).phrase).payload(path)
        self._send(code, {"Content-Type": "application/json", "Connection": "close"},
                   json.dumps(payload).encode())

    def _send(self, status: int, headers: Mapping[str, str], body: bytes) -> None:
        if status in (204, 304) or self.command == "HEAD":  # no body
            body = b""
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if self.server.stopping and not self.close_connection:
            self.send_header("Connection", "close")
        if status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        if log.isEnabledFor(logging.INFO):
            # As JSON text, so that control characters in a request line stay escaped.
            log.info("%s %s %d %d", self.client_address[0], json.dumps(getattr(self, "requestline", "")),
                     status, len(body))


def _merge_headers(content_type: str | None, extra: Mapping[str, object] | None) -> dict[str, str]:
    merged = {"content-type": ("Content-Type", content_type)} if content_type else {}
    for name, value in (extra or {}).items():
        if name.lower() != "content-length":
            merged[name.lower()] = (name, str(value))
    return dict(merged.values())


class _Problem(Exception):
    """An error answer of the API, raised from deep inside a route."""

    def __init__(self, status: int, message: str, headers: dict[str, str] | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or {}

    def payload(self, path: str) -> dict[str, object]:
        return {"status": self.status, "error": http.HTTPStatus(self.status).phrase,
                "message": self.message, "path": path}



# --- The Accounts API ---------------------------------------------------------------

APP_PATH = re.compile(r"/api/(?P<app>[^/]+)/v\d+/(?P<endpoint>.+)")


def _builtin_answer(request: RecordedRequest, token: str) -> tuple[int, object, dict[str, str]]:
    if request.headers.get("Authorization") != f"Bearer {token}":
        raise _Problem(401, "Full authentication is required to access this resource",
                       {"WWW-Authenticate": 'Bearer realm="accounts"'})
    match = APP_PATH.fullmatch(request.path)
    if match is None:
        raise _Problem(404, f"No endpoint {request.method} {request.path}")
    app, endpoint = match["app"], match["endpoint"]
    params: dict[str, str] = {}
    for name, value in request.query:
        params.setdefault(name, value)  # the first of repeated parameters counts
    if app == "test" and endpoint.startswith("status/"):
        return _status_answer(request.method, unquote(endpoint.removeprefix("status/")))
    if request.method != "GET" and (endpoint in ("user-info", "eventlog", "releases")
                                    or endpoint.startswith(("eventlog/", "releases/"))):
        raise _Problem(405, f"Method {request.method} is not supported here", {"Allow": "GET"})
    if app == "security" and endpoint == "user-info":
        return 200, USER, {}
    if endpoint == "eventlog" or endpoint.startswith("eventlog/"):
        if app not in EVENTS:
            raise _Problem(404, f"Unknown application {app}")
        if endpoint == "eventlog":
            return 200, _event_page(EVENTS[app], params), {}
        return 200, _event_log(EVENTS[app], unquote(endpoint.removeprefix("eventlog/"))), {}
    if app == "entitlements" and endpoint == "releases":
        if params.get("verify") != "True":
            raise _Problem(400, "Query parameter 'verify' must be True")
        return 200, RELEASES, {}
    if app == "entitlements" and endpoint.startswith("releases/"):
        return 200, _distribution(unquote(endpoint.removeprefix("releases/")), params), {}
    raise _Problem(404, f"No endpoint {request.method} {request.path}")


def _status_answer(method: str, code_text: str) -> tuple[int, object, dict[str, str]]:
    try:
        code = int(code_text)
    except ValueError:
        code = 0
    if not 200 <= code <= 599:
        raise _Problem(400, f"Status must be a number from 200 to 599, got {code_text!r}")
    return code, {"status": code, "message": f"Stand-in answer to {method} with status {code}"}, {}


def _event_page(events: list[_Event], params: dict[str, str]) -> dict[str, object]:
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


def _event_log(events: list[_Event], event_id: str) -> dict[str, object]:
    for event in events:
        if str(event["id"]) == event_id:
            start = datetime.fromisoformat(event["timestamp"])
            steps = [("DEBUG", f"Handling {event['type']} for {event['user']}"),
                     (event["level"], event["message"]),
                     ("DEBUG", "Audit record written")]
            entries = [{"timestamp": _iso(start + timedelta(milliseconds=40 * index)),
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


def _iso(moment: datetime) -> str:
    return moment.isoformat().replace("+00:00", "Z")


# --- The data set ---------------------------------------------------------------------

USER: dict[str, object] = {
    "id": 1042,
    "username": "demo.user",
    "displayName": "Demo User",
    "email": "demo.user@accounts.invalid",
    "roles": ["USER", "EVENTLOG_READER", "DOWNLOADER"],
    "organisation": "Ferrovane Demo",
    "locale": "en_GB",
    "active": True,
}

_USERS = ["demo.user", "mara.lind", "tomas.ek", "svc-build", "admin", "jo.haru", "ines.roa",
          "li.wen", "p.okafor", "svc-backup", "k.novak"]
# Per application: (type, level, weight, message templates). The templates' fields are
# filled from _DETAILS; a heavier kind comes up more often, as logins do in a real log.
_EVENT_KINDS: dict[str, list[_EventKind]] = {
    "security": [
        ("LOGIN_SUCCEEDED", "INFO", 6, ["User {user} logged in from {address}",
                                        "User {user} logged in through single sign-on"]),
        ("LOGIN_FAILED", "WARN", 3, ["Failed login for {user}: {login_failure}"]),
        ("LOGOUT", "INFO", 3, ["User {user} logged out", "Session of {user} expired after {minutes} min idle"]),
        ("PASSWORD_CHANGED", "INFO", 1, ["Password changed for {user}", "Password reset by {granter} for {user}"]),
        ("ROLE_GRANTED", "INFO", 1, ["Role {role} granted to {user} by {granter}"]),
        ("TOKEN_CREATED", "INFO", 2, ["API token #{number} created for {user}"]),
        ("ACCOUNT_LOCKED", "ERROR", 1, ["Account {user} locked after {tries} failed logins"]),
    ],
    "entitlements": [
        ("LICENSE_ASSIGNED", "INFO", 3, ["{product} license assigned to {user}"]),
        ("DOWNLOAD_STARTED", "INFO", 5, ["{user} downloaded {release} for {platform}"]),
        ("RELEASE_PUBLISHED", "INFO", 1, ["Release {release} published by {user}"]),
        ("ENTITLEMENT_REVOKED", "WARN", 1, ["{product} entitlement revoked for {user}"]),
        ("SYNC_FAILED", "ERROR", 1, ["License sync for {user} failed: {sync_failure}"]),
    ],
}
_DETAILS: dict[str, Callable[[_Pick], object]] = {
    "address": lambda pick: f"10.{pick([20, 20, 31, 44])}.{pick(range(256))}.{pick(range(2, 255))}",
    "login_failure": lambda pick: pick(["bad credentials", "bad credentials", "password expired",
                                        "wrong one-time code", "account disabled"]),
    "minutes": lambda pick: pick([15, 30, 60]),
    "granter": lambda pick: pick(["admin", "mara.lind"]),
    "role": lambda pick: pick(["EVENTLOG_READER", "DOWNLOADER", "RELEASE_MANAGER"]),
    "number": lambda pick: pick(range(100, 1000)),
    "tries": lambda pick: pick([5, 5, 6, 8]),
    "product": lambda pick: pick(["Orvik", "Braxlin"]),
    "release": lambda pick: pick(["orvik-4.2.0", "orvik-4.1.3", "braxlin-2.1.0", "braxlin-2.0.4"]),
    "platform": lambda pick: pick(["linux-armhf", "linux-x86_64", "windows-x86_64"]),
    "sync_failure": lambda pick: pick(["timeout after 30 s", "upstream answered 503", "certificate expired"]),
}


def _make_events(first_id: int, kinds: list[_EventKind], seed: int) -> list[_Event]:
    # Seeded, so the data is the same in every run; only random() is promised to give
    # the same numbers in every Python version, so every choice goes through it.
    rng = random.Random(seed)

    def pick[T](options: Sequence[T]) -> T:
        return options[int(rng.random() * len(options))]

    weighted = [kind for kind in kinds for _ in range(kind[2])]
    moment, moments = datetime(2024, 5, 6, 7, 12, 5, tzinfo=timezone.utc), list[datetime]()
    for _ in range(40):
        moment += timedelta(seconds=20 + int(rng.random() * 2.5 * 3600))
        moments.append(moment)
    events: list[_Event] = []
    for index in range(40):
        kind, level, _, templates = pick(weighted)
        user = pick(_USERS)
        details = {name: make(pick) for name, make in _DETAILS.items()}
        # Stored order is deliberately not chronological, so sorting shows.
        events.append({"id": first_id + index, "timestamp": _iso(moments[(index * 17) % 40]), "type": kind,
                       "user": user, "message": pick(templates).format(user=user, **details), "level": level})
    return events


EVENTS = {"security": _make_events(1001, _EVENT_KINDS["security"], seed=22),
          "entitlements": _make_events(2001, _EVENT_KINDS["entitlements"], seed=2)}

_ALL_PLATFORMS = ["linux-armhf", "linux-x86_64", "windows-x86_64"]
RELEASES = [
    {"key": key, "product": product, "version": version, "releasedAt": released_at, "platforms": platforms}
    for key, product, version, released_at, platforms in [
        ("orvik-4.2.0", "Orvik", "4.2.0", "2024-04-18T09:00:00Z", _ALL_PLATFORMS),
        ("orvik-4.1.3", "Orvik", "4.1.3", "2024-01-30T09:00:00Z", _ALL_PLATFORMS),
        ("braxlin-2.1.0", "Braxlin", "2.1.0", "2024-03-12T14:30:00Z", ["linux-armhf", "linux-x86_64"]),
        ("braxlin-2.0.4", "Braxlin", "2.0.4", "2023-11-02T14:30:00Z", ["linux-armhf"]),
    ]
]


# --- Running it by hand -----------------------------------------------------------------

def main(argv: Sequence[str] | None = None) -> int:
    """``python -m ferrovane.sdk.stand_in_server``: serve in the foreground until Ctrl-C."""
    parser = argparse.ArgumentParser(
        prog="python -m ferrovane.sdk.stand_in_server",
        description="Serve a stand-in Accounts server with a fixed data set, for trying programs "
                    "and scripts against it. Prints the URL and token to use, then one line "
                    "per request on stderr, until Ctrl-C or --lifetime.")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every interface)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: one the OS picks)")
    parser.add_argument("--token", default="demo-token", help="the bearer token it accepts (default demo-token)")
    parser.add_argument("--lifetime", type=float, metavar="SECONDS",
                        help="stop after this many seconds (default: run until Ctrl-C)")
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error(f"--port must be from 0 to 65535, not {args.port}")
    if args.lifetime is not None and not 0 < args.lifetime < float("inf"):
        parser.error(f"--lifetime must be a positive number of seconds, not {args.lifetime}")

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", datefmt="%H:%M:%S"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False

    server = StandInServer(args.token, lifetime=args.lifetime, host=args.host, port=args.port)
    try:
        server.start()
    except OSError as error:
        print(f"stand-in server: cannot listen on {args.host} port {args.port}: {error.strerror or error}",
              file=sys.stderr)
        return 1
    until = f"for {args.lifetime:g} s or until Ctrl-C" if args.lifetime is not None else "until Ctrl-C"
    print(f"Stand-in Accounts server at {server.url}\n"
          f"Token: {server.token} (send the header \"Authorization: Bearer {server.token}\")\n"
          f"Serving {until}; one line per request follows on stderr.", flush=True)

    def interrupt(signum: int, frame: FrameType | None) -> None:
        raise KeyboardInterrupt

    # A service manager's SIGTERM stops it as gracefully as Ctrl-C.
    signal.signal(signal.SIGTERM, interrupt)
    try:
        server.wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
