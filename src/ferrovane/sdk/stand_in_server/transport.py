"""The stand-in server's HTTP/1.1 transport: connections, reading requests whole, writing answers, stopping.

It knows nothing of the API it serves: each request that was read whole goes to the
``respond`` callable it was given, which returns the answer to write. One thread accepts
connections and one thread serves each connection. The number of connections is bounded:
at the bound, or when the process runs out of file descriptors, the connection idle for
the longest is closed to make room, and with none idle the acceptor waits rather than
spins. Answers are kept-alive HTTP/1.1 with Content-Length, or streamed chunk by chunk.
"""

from __future__ import annotations

import errno
import json
import logging
import re
import selectors
import socket
import ssl
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from http.client import HTTPMessage
from http.server import BaseHTTPRequestHandler
from typing import Any, cast
from urllib.parse import parse_qsl, urlsplit

from .messages import Prepared, RecordedRequest, error_answer

MAX_BODY_SIZE = 16 * 1024 * 1024
# How long stop() lets answers already begun run to their end before it cuts them off.
STOP_GRACE_SECONDS = 2.0
# Open connections at most; beyond it the one idle for the longest is closed.
MAX_CONNECTIONS = 256
# An idle kept-alive connection is closed, and its thread given back, after this.
IDLE_TIMEOUT_SECONDS = 60.0
# Accept failures that more descriptors or memory would cure: make room, then retry.
_OUT_OF_RESOURCES = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}
# How long the acceptor pauses when it can make no room at once.
_RETRY_SECONDS = 0.1

log = logging.getLogger(__name__)

type Respond = Callable[[RecordedRequest], Prepared]
_CONTENT_LENGTH = re.compile(r"[0-9]+")


class Refusal(Exception):
    """A request that is refused with an error answer on a connection that then closes."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class _Connection:
    """One open connection: its socket (replaced by the TLS one after wrapping) and whether
    it is busy with a request (from its request line to the end of its answer)."""

    __slots__ = ("sock", "address", "busy")

    def __init__(self, sock: socket.socket, address: Any) -> None:
        self.sock = sock
        self.address = address
        self.busy = False


class Transport:
    """Listens on ``host`` and ``port`` (0: one the OS picks) until ``stop()``."""

    def __init__(self, respond: Respond, host: str, port: int, *,
                 ssl_context: ssl.SSLContext | None = None, max_connections: int = MAX_CONNECTIONS) -> None:
        self.respond = respond
        self._ssl_context = ssl_context
        self._max_connections = max(1, max_connections)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind((host, port))
            self._listener.listen(128)
            self._listener.setblocking(False)
        except BaseException:
            self._listener.close()
            raise
        self.address: tuple[str, int] = self._listener.getsockname()[:2]
        self._wake_reader, self._wake_writer = socket.socketpair()
        # Ordered by when each connection last became idle: the first idle one is the
        # one idle for the longest.
        self._connections: dict[_Connection, None] = {}
        self._changed = threading.Condition()
        self._stopping = False
        self._cut_short = False
        self._short_of_descriptors = False

    @property
    def stopping(self) -> bool:
        return self._stopping

    def serve(self) -> None:
        """Accepts connections until ``stop()``; runs on a thread of its own."""
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_reader, selectors.EVENT_READ)
            while not self._stopping:
                ready = selector.select()
                if any(key.fileobj is self._wake_reader for key, _ in ready):
                    return
                self._accept()

    def _accept(self) -> None:
        with self._changed:
            while len(self._connections) >= self._max_connections and not self._stopping:
                if not self._hang_up_oldest_idle():
                    self._changed.wait()  # every connection is busy: wait for one to end
                else:
                    self._changed.wait(_RETRY_SECONDS)
            if self._stopping:
                return
        try:
            sock, address = self._listener.accept()
        except (BlockingIOError, InterruptedError, ConnectionAbortedError):
            return  # the client gave up before we got to it
        except OSError as error:
            if error.errno not in _OUT_OF_RESOURCES:
                raise
            if not self._short_of_descriptors:
                log.warning("out of file descriptors (%s): closing idle connections", error.strerror)
                self._short_of_descriptors = True
            # The waiting client stays in the listen queue; wait for a descriptor to be
            # given back rather than try again at once.
            with self._changed:
                self._hang_up_oldest_idle()
                self._changed.wait(_RETRY_SECONDS)
            return
        self._short_of_descriptors = False
        connection = _Connection(sock, address)
        with self._changed:
            self._connections[connection] = None
        thread = threading.Thread(target=self._serve_connection, args=(connection,),
                                  name=f"stand-in-connection-{address[1]}", daemon=True)
        try:
            thread.start()
        except RuntimeError:  # no more threads: the client sees its connection closed
            self._forget(connection)

    def _hang_up_oldest_idle(self) -> bool:
        for connection in self._connections:
            if not connection.busy:
                # Forgotten now: its thread closes the socket when it sees the hang-up.
                del self._connections[connection]
                _hang_up(connection.sock)
                return True
        return False

    def _serve_connection(self, connection: _Connection) -> None:
        try:
            if self._ssl_context is not None:
                wrapped = self._ssl_context.wrap_socket(connection.sock, server_side=True,
                                                        do_handshake_on_connect=False)
                with self._changed:
                    connection.sock = wrapped
                wrapped.settimeout(IDLE_TIMEOUT_SECONDS)
                wrapped.do_handshake()
            _Handler(connection, self)
        except (OSError, ValueError) as error:
            # Clients that hang up, time out or fail the TLS handshake are routine, and
            # stop() hangs up on purpose.
            log.debug("connection from %s ended: %r", connection.address[0], error)
        except Exception:
            log.exception("stand-in server fault on a connection from %s", connection.address[0])
        finally:
            self._forget(connection)

    def _forget(self, connection: _Connection) -> None:
        try:
            connection.sock.close()
        finally:
            with self._changed:
                self._connections.pop(connection, None)
                self._changed.notify_all()

    def begin_request(self, connection: _Connection) -> bool:
        """Marks the connection busy; False once it is stopping or hung up: drop the request."""
        with self._changed:
            if self._stopping or connection not in self._connections:
                return False
            connection.busy = True
            return True

    def end_request(self, connection: _Connection) -> bool:
        """Marks the connection idle (the newest idle); False once stopping or hung up: close it."""
        with self._changed:
            connection.busy = False
            if connection not in self._connections:
                return False
            del self._connections[connection]
            self._connections[connection] = None
            self._changed.notify_all()
            return not self._stopping

    def stop(self, grace: float, serving: threading.Thread | None) -> None:
        """Refuses new connections, closes idle ones now and busy ones when their answer
        is out, or at ``grace`` seconds, or at ``cut_short()``, whichever comes first."""
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        self._wake_writer.send(b"\0")
        if serving is not None:
            serving.join()
        self._listener.close()
        self._wake_reader.close()
        self._wake_writer.close()
        deadline = time.monotonic() + grace
        with self._changed:
            while True:
                for connection in self._connections:
                    if not connection.busy:
                        _hang_up(connection.sock)
                left = deadline - time.monotonic()
                if self._cut_short or left <= 0 or not any(c.busy for c in self._connections):
                    break
                self._changed.wait(left)
            for connection in self._connections:
                _hang_up(connection.sock)

    def cut_short(self) -> None:
        """Ends a stop's grace period now: answers still being written are cut off."""
        with self._changed:
            self._cut_short = True
            self._changed.notify_all()


def _hang_up(sock: socket.socket) -> None:
    try:
        # The plain socket's shutdown, also for a TLS socket: its own would drop the TLS
        # state under a thread that may still be using it.
        socket.socket.shutdown(sock, socket.SHUT_RDWR)
    except OSError:
        pass  # already closed


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Not 0.9: a request line without a version is garbage rather than an HTTP/0.9
    # request, and its 400 should come with a status line and headers like any other.
    default_request_version = "HTTP/1.1"
    server_version = "AccountsStandIn/1.0"
    timeout = IDLE_TIMEOUT_SECONDS
    # Headers and body go out in separate writes; with Nagle's algorithm and delayed
    # ACKs each kept-alive request would then wait about 40 ms.
    disable_nagle_algorithm = True
    headers: HTTPMessage

    def __init__(self, connection: _Connection, transport: Transport) -> None:
        self.record = connection
        self.transport = transport
        # The base class serves the connection from its constructor; it never uses the
        # server argument, which would be a socketserver's.
        super().__init__(connection.sock, connection.address, cast(Any, transport))

    def log_message(self, format: str, *args: Any) -> None:
        pass  # _send logs each answer, once its size is known, and only when asked to

    def handle_one_request(self) -> None:
        try:
            super().handle_one_request()
        finally:
            if not self.transport.end_request(self.record):
                self.close_connection = True

    def parse_request(self) -> bool:
        # The request line is in: from here on the connection is busy until its answer
        # is out, and stop() waits for that.
        if not self.transport.begin_request(self.record):
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
        try:
            body = self._read_body()
        except Refusal as refusal:
            self.send_error(refusal.status, refusal.message)
            return
        request = RecordedRequest(method=self.command, path=target.path, query=query,
                                  query_string=target.query, headers=self.headers, body=body)
        self._send(*self.transport.respond(request))

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = _serve

    def _read_body(self) -> bytes:
        encodings = self.headers.get_all("Transfer-Encoding") or []
        if encodings:
            # Only one framing can be believed: a request that offers two (two
            # Transfer-Encoding lines, or one beside a Content-Length) is refused whole,
            # lest its body be read as the next request.
            if len(encodings) > 1 or "Content-Length" in self.headers:
                raise Refusal(400, "conflicting Transfer-Encoding and Content-Length framing")
            # Requests with a body of unknown length cannot be framed on a kept-alive
            # connection; the client never sends chunked bodies, so refuse them plainly.
            if "chunked" in encodings[0].lower():
                raise Refusal(411, "chunked request bodies are not supported")
        lengths = {value.strip() for value in self.headers.get_all("Content-Length") or ()}
        if len(lengths) > 1 or not all(_CONTENT_LENGTH.fullmatch(value) for value in lengths):
            raise Refusal(400, "malformed Content-Length")
        length = int(lengths.pop()) if lengths else 0
        if length > MAX_BODY_SIZE:
            raise Refusal(413, f"request body above {MAX_BODY_SIZE} bytes")
        body = self.rfile.read(length)
        if len(body) < length:
            # The client closed its side early: what came is not the request it meant.
            raise Refusal(400, f"request body ended after {len(body)} of {length} bytes")
        return body

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # Every refusal, also those of the base class for request lines and headers it
        # cannot parse, is a JSON error like the API's own, on a connection that closes.
        self.close_connection = True
        path = str(getattr(self, "path", "") or "").partition("?")[0]
        status, headers, body = error_answer(code, message or "", path, {"Connection": "close"})
        self._send(status, headers, body)

    def _send(self, status: int, headers: Mapping[str, str], body: bytes | Iterable[bytes]) -> None:
        no_body = status in (204, 304) or self.command == "HEAD"
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        if isinstance(body, bytes):
            sent = self._send_whole(status, b"" if no_body else body)
        else:
            sent = self._send_stream(headers, () if no_body else body)
        if log.isEnabledFor(logging.INFO):
            # As JSON text, so that control characters in a request line stay escaped.
            log.info("%s %s %d %d", self.client_address[0], json.dumps(getattr(self, "requestline", "")),
                     status, sent)

    def _send_whole(self, status: int, body: bytes) -> int:
        if self.transport.stopping and not self.close_connection:
            self.send_header("Connection", "close")
        if status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        return len(body)

    def _send_stream(self, headers: Mapping[str, str], chunks: Iterable[bytes]) -> int:
        declared = next((value for name, value in headers.items() if name.lower() == "content-length"), None)
        if declared is None or self.transport.stopping:
            self.close_connection = True
            if declared is None:
                self.send_header("Connection", "close")
        self.end_headers()  # the status line and headers go out now, before the first chunk
        sent = 0
        try:
            for chunk in chunks:
                self.wfile.write(chunk)
                sent += len(chunk)
        except OSError:
            self.close_connection = True  # the client hung up, or stop() did
            raise
        except Exception:
            # Headers are out: all that is left to say it failed is to cut the answer off.
            log.exception("stand-in server fault while streaming %s", json.dumps(self.requestline))
            self.close_connection = True
        finally:
            close = getattr(chunks, "close", None)
            if callable(close):
                close()
        if declared is None or str(sent) != declared.strip():
            self.close_connection = True  # the framing no longer holds
        return sent
