"""A stand-in Accounts server on the loopback interface, for the demo and for tests.

It answers the Accounts REST API with a fixed, believable data set, records every
request it receives, and can be given canned answers for any path::

    with StandInServer(token="t0ken", lifetime=30) as server:
        client = ApiClient(server.url, "t0ken")
        ...
        assert server.requests[-1].path == "/api/security/v3/user-info"

Standard library only: a ThreadingHTTPServer on 127.0.0.1 (port chosen by the OS)
served from a daemon thread. It speaks HTTP/1.1 with Content-Length, so a
``requests.Session`` keeps its connection alive across calls.

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
"""

import hashlib
import http
import json
import random
import re
import socket
import sys
import threading
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from http.client import HTTPMessage
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, unquote, urlsplit

__all__ = ["RecordedRequest", "StandInServer"]

MAX_BODY_SIZE = 16 * 1024 * 1024
DEFAULT_PAGE_SIZE = 20


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

    def json(self):
        """The body decoded as JSON."""
        return json.loads(self.body)


class StandInServer:
    """A stand-in Accounts server; see the module docstring for its routes.

    ``url`` is None until ``start()``. The server stops by itself ``lifetime`` seconds
    after it started (None: never), so a forgotten server does not outlive its use.
    It can be started once.
    """

    def __init__(self, token="demo-token", *, lifetime=600.0):
        self.token = token
        self.lifetime = lifetime
        self.url = None
        self._lock = threading.Lock()
        self._recorded = []
        self._canned = {}
        self._httpd = None
        self._thread = None
        self._timer = None
        self._stopped = threading.Event()

    @property
    def requests(self):
        """A snapshot of every request received so far, oldest first.

        Requests refused because their body cannot be framed (chunked, oversized) are left out.
        """
        with self._lock:
            return list(self._recorded)

    def route(self, method, path, status=200, body=None, headers=None):
        """Answer ``method`` on exactly ``path`` (without query) with a canned response.

        It takes precedence over the built-in routes and needs no token. ``body`` may be
        bytes (sent as application/octet-stream), str (text/plain) or any JSON-able
        object other than None (application/json); None sends an empty body.
        ``headers`` are added and may replace the Content-Type; the server always sets
        Content-Length itself.
        """
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

    def clear(self):
        """Forget the recorded requests and the canned routes."""
        with self._lock:
            self._recorded.clear()
            self._canned.clear()

    def start(self):
        """Start serving in the background; returns the server itself."""
        with self._lock:
            if self._thread is not None:
                raise RuntimeError("a StandInServer can be started only once")
            self._httpd = _HttpServer(self)
            host, port = self._httpd.server_address[:2]
            self.url = f"http://{host}:{port}"
            # A short poll interval keeps stop() quick: shutdown waits for the next poll.
            self._thread = threading.Thread(
                target=self._httpd.serve_forever, kwargs={"poll_interval": 0.01},
                name=f"stand-in-server-{port}", daemon=True)
            self._thread.start()
            if self.lifetime is not None:
                self._timer = threading.Timer(self.lifetime, self.stop)
                self._timer.daemon = True
                self._timer.start()
        return self

    def stop(self):
        """Stop serving and drop open connections; safe to call more than once."""
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
            httpd.shutdown()
            httpd.server_close()
            # Idle keep-alive connections would otherwise go on answering after the stop.
            httpd.close_connections()
            self._thread.join()
        finally:
            self._stopped.set()

    def wait(self, timeout=None):
        """Block until the server has stopped; returns False if ``timeout`` ran out first."""
        return self._stopped.wait(timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def _answer(self, request):
        with self._lock:
            self._recorded.append(request)
            canned = self._canned.get((request.method, request.path))
        if canned is not None:
            return canned
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

    def __init__(self, stand_in):
        self.stand_in = stand_in
        self._connections = set()
        self._connections_lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), _Handler)

    def process_request(self, request, client_address):
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def handle_error(self, request, client_address):
        # Clients that hang up mid-request are routine (and stop() causes it on purpose).
        if not isinstance(sys.exception(), ConnectionError):
            super().handle_error(request, client_address)

    def close_connections(self):
        with self._connections_lock:
            connections = list(self._connections)
        for connection in connections:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass  # already closed by the client


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "AccountsStandIn/1.0"
    timeout = 60  # an idle keep-alive connection gives its thread back after this
    # Headers and body go out in separate writes; with Nagle's algorithm and delayed
    # ACKs each kept-alive request would then wait about 40 ms.
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        pass  # tests and the demo want a quiet console

    def _serve(self):
        body = self._read_body()
        if body is None:
            return
        target = urlsplit(self.path)
        request = RecordedRequest(
            method=self.command,
            path=target.path,
            query=parse_qsl(target.query, keep_blank_values=True),
            query_string=target.query,
            headers=self.headers,
            body=body,
        )
        self._send(*self.server.stand_in._answer(request))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _serve

    def _read_body(self):
        # Requests with a body of unknown length cannot be framed on a kept-alive
        # connection; the client never sends chunked bodies, so refuse them plainly.
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return self._refuse(411, "chunked request bodies are not supported")
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if length < 0:
            return self._refuse(400, "malformed Content-Length")
        if length > MAX_BODY_SIZE:
            return self._refuse(413, f"request body above {MAX_BODY_SIZE} bytes")
        return self.rfile.read(length)

    def _refuse(self, status, message):
        self.close_connection = True
        payload = _Problem(status, message).payload(urlsplit(self.path).path)
        self._send(status, {"Content-Type": "application/json", "Connection": "close"},
                   json.dumps(payload).encode())
        return None

    def _send(self, status, headers, body):
        if status in (204, 304):  # these statuses carry no body and no length
            body = b""
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def _merge_headers(content_type, extra):
    merged = {"content-type": ("Content-Type", content_type)} if content_type else {}
    for name, value in (extra or {}).items():
        if name.lower() != "content-length":
            merged[name.lower()] = (name, str(value))
    return dict(merged.values())


class _Problem(Exception):
    """An error answer of the API, raised from deep inside a route."""

    def __init__(self, status, message, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = headers or {}

    def payload(self, path):
        return {"status": self.status, "error": http.HTTPStatus(self.status).phrase,
                "message": self.message, "path": path}


# --- The Accounts API ---------------------------------------------------------------

APP_PATH = re.compile(r"/api/(?P<app>[^/]+)/v\d+/(?P<endpoint>.+)")


def _builtin_answer(request, token):
    if request.headers.get("Authorization") != f"Bearer {token}":
        raise _Problem(401, "Full authentication is required to access this resource",
                       {"WWW-Authenticate": 'Bearer realm="accounts"'})
    match = APP_PATH.fullmatch(request.path)
    if match is None:
        raise _Problem(404, f"No endpoint {request.method} {request.path}")
    app, endpoint = match["app"], match["endpoint"]
    params = {}
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


def _status_answer(method, code_text):
    try:
        code = int(code_text)
    except ValueError:
        code = 0
    if not 200 <= code <= 599:
        raise _Problem(400, f"Status must be a number from 200 to 599, got {code_text!r}")
    return code, {"status": code, "message": f"Stand-in answer to {method} with status {code}"}, {}


def _event_page(events, params):
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


def _flag(params, name):
    value = params.get(name)
    if value is None:
        return None
    if value.lower() in ("true", "false"):
        return value.lower() == "true"
    raise _Problem(400, f"Query parameter '{name}' must be true or false, got {value!r}")


def _count(params, name, default, minimum):
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


def _event_log(events, event_id):
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


def _distribution(key, params):
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


def _iso(moment):
    return moment.isoformat().replace("+00:00", "Z")


# --- The data set ---------------------------------------------------------------------

USER = {
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
_EVENT_KINDS = {
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
_DETAILS = {
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


def _make_events(first_id, kinds, seed):
    # Seeded, so the data is the same in every run; only random() is promised to give
    # the same numbers in every Python version, so every choice goes through it.
    rng = random.Random(seed)

    def pick(options):
        return options[int(rng.random() * len(options))]

    weighted = [kind for kind in kinds for _ in range(kind[2])]
    moment, moments = datetime(2024, 5, 6, 7, 12, 5, tzinfo=timezone.utc), []
    for _ in range(40):
        moment += timedelta(seconds=20 + int(rng.random() * 2.5 * 3600))
        moments.append(moment)
    events = []
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
