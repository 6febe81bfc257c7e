"""A stand-in Accounts server, for the demo, for tests and for trying programs by hand.

It answers the Accounts REST API with a fixed, believable data set, records every
request it receives, and can be given canned answers, or handlers, for any path::

    with StandInServer(token="t0ken", lifetime=30) as server:
        server.route("GET", "/slow", handler=lambda request: Answer(200, trickle()))
        client = ApiClient(server.url, "t0ken")
        ...
        assert server.requests[-1].path == "/api/security/v3/user-info"

It listens on 127.0.0.1 with a port chosen by the OS, unless told otherwise, and serves
each connection from a daemon thread. It speaks HTTP/1.1 (framed by h11) with
Content-Length, so a ``requests.Session`` keeps its connection alive across calls, and
HTTPS when given an ``ssl.SSLContext``. ``python -m ferrovane.sdk.stand_in_server`` runs
one in the foreground (``--help``).

Its parts, one job each: ``transport`` (listening, the bounded connections, the graceful
stop), ``exchange`` (one connection's requests read with h11, and its answers sent),
``wire`` (an answer or a fault as timed byte pieces, with no socket), ``fake_api`` (the
table of built-in routes) and ``data`` (their data set), ``recording`` (``StandInServer``:
the request record and its problems), ``routes`` (``Route``: matching, one-shot and
ordered answers, the calls each took), ``messages`` (``RecordedRequest``, ``Answer`` and
``Fault``), ``command`` (``python -m``). ``faults`` plays failures on demand; its table
``NAMED`` lists those the command line names.

It is strict: a request that neither a route nor a built-in route answers, and a route
handler that fails, are logged at WARNING level and kept as ``problems``; ``check()``
raises AssertionError on them, as the pytest fixture does after each test::

    server.route("GET", "/api/security/v3/eventlog", 503, query={"search": "x"}, once=True)

Requests that cannot be read whole (a malformed request line or target, a bad
Content-Length or Transfer-Encoding, a body cut short, a request that does not arrive
within ``ARRIVAL_SECONDS``) get a JSON error of the same form as the API's (400, 408, 413,
431 or 501), on a closed connection, and are not recorded. Each answer is
logged at INFO level to the logger of this package's name.
"""

from . import faults
from .command import main
from .data import EVENTS, RELEASES, USER
from .fake_api import APP_PATH, DEFAULT_PAGE_SIZE
from .exchange import ARRIVAL_SECONDS, MAX_BODY_SIZE
from .messages import Answer, Fault, RecordedRequest
from .recording import Problem, StandInServer
from .routes import Route
from .transport import MAX_CONNECTIONS, STOP_GRACE_SECONDS

__all__ = [
    "APP_PATH", "DEFAULT_PAGE_SIZE", "EVENTS", "MAX_BODY_SIZE", "MAX_CONNECTIONS", "RELEASES",
    "STOP_GRACE_SECONDS", "USER", "Answer", "RecordedRequest", "StandInServer", "main",
    "ARRIVAL_SECONDS", "Fault", "Problem", "Route", "faults",
]
