"""One connection's requests and answers, in turn: requests read with h11, answers sent as ``wire`` gives them.

h11 frames the requests and refuses what RFC 9112 forbids; every refusal is answered and
its connection closed, so that no byte of a request can be read as the start of another.
A request must arrive whole within a bound, or gets 408, and each write of an answer must
be taken by the client within a bound, or the connection is closed.
"""

from __future__ import annotations

import contextlib
import json
import logging
import socket
import struct
import time
from collections.abc import Callable
from http.client import HTTPMessage
from typing import Any, Protocol
from urllib.parse import parse_qsl, urlsplit

import h11

from . import wire
from .messages import Ending, Prepared, RecordedRequest

MAX_BODY_SIZE = 16 * 1024 * 1024
# An idle kept-alive connection is closed, and its thread given back, after this.
IDLE_TIMEOUT_SECONDS = 60.0
# A request's line and headers must arrive within this many seconds of its first byte (a
# TLS handshake too), and its body within as many again plus one for each MiB it declares,
# else 408: a client that sends half a request, or trickles it, holds its slot no longer.
ARRIVAL_SECONDS = 10.0
# Each write of an answer must be taken by the client within this many seconds plus one
# for each MiB it holds, else the connection is closed: a client that reads slowly, or
# not at all, holds its slot no longer.
DEPARTURE_SECONDS = 10.0
# The slowest a body may arrive, or an answer be taken, beyond those seconds.
MIN_BYTES_PER_SECOND = 1 << 20
# The most that a request's line and headers may take together.
MAX_HEAD_SIZE = 64 * 1024
# The methods the API and the routes answer (HEAD as GET, without content); any other gets 501.
METHODS = frozenset({"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH"})
# How long a refused request's connection is read from, after its answer, before it closes.
_LINGER_SECONDS = 1.0

log = logging.getLogger(__name__)


class Connection:
    """One open connection: its socket (replaced by the TLS one after wrapping) and whether
    it is busy with a request (from its arrival whole to the end of its answer)."""

    __slots__ = ("sock", "address", "busy")

    def __init__(self, sock: socket.socket, address: Any) -> None:
        self.sock = sock
        self.address = address
        self.busy = False


class Host(Protocol):
    """What an exchange needs of the server it runs in."""

    @property
    def stopping(self) -> bool: ...

    def respond(self, request: RecordedRequest) -> Prepared: ...

    def begin_request(self, connection: Connection) -> bool: ...

    def end_request(self, connection: Connection) -> bool: ...

    def pause(self, seconds: float) -> bool: ...


class Refusal(Exception):
    """A request that is refused with an error answer on a connection that then closes."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class Exchange:
    """Serves the requests of one connection in turn, until either side closes it."""

    def __init__(self, connection: Connection, host: Host) -> None:
        self.connection = connection
        self.sock = connection.sock
        self.host = host
        self.parser = h11.Connection(h11.SERVER, max_incomplete_event_size=MAX_HEAD_SIZE)
        self.request_line = ""  # as logged; empty until a request line was read
        self.path = ""
        self.method = ""

    def serve(self) -> None:
        # Streamed answers go out in several writes; with Nagle's algorithm and delayed
        # ACKs each would wait about 40 ms.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while self._serve_one():
            self.parser.start_next_cycle()

    def _serve_one(self) -> bool:
        """Reads one request and answers it; whether the connection can serve another."""
        self.request_line = self.path = self.method = ""
        refused = request = None
        try:
            request = self._receive_request()
        except Refusal as error:
            refused = error
        # Busy from here until the answer is out, and stop() waits for that; before, a
        # request still arriving keeps no one out.
        if (request is None and refused is None) or not self.host.begin_request(self.connection):
            return False
        keep = False
        try:
            if refused is not None:
                out = wire.refusal(refused.status, refused.message, self.path, head_only=self.method == "HEAD")
            else:
                assert request is not None
                out = wire.answer(self.parser, self.host.respond(request), head_only=request.method == "HEAD",
                                  stopping=self.host.stopping, request_line=self.request_line, path=self.path)
            keep = self._send(out)
        finally:
            keep = self.host.end_request(self.connection) and keep
        return keep and self.parser.our_state is h11.DONE and self.parser.their_state is h11.DONE

    # ---------------------------------------------------------------- reading

    def _receive(self, deadline: float | None) -> bytes:
        """The next bytes from the client, b"" when it closed or stayed idle too long."""
        left = IDLE_TIMEOUT_SECONDS if deadline is None else deadline - time.monotonic()
        try:
            if left <= 0:
                raise TimeoutError
            self.sock.settimeout(left)
            return self.sock.recv(65536)
        except TimeoutError:
            if deadline is None:
                return b""
            raise Refusal(408, f"the request did not arrive whole in time ({ARRIVAL_SECONDS:g} s for its line "
                               f"and headers, as long again and 1 s a MiB for its body)") from None

    def _next_event(self) -> h11.Event | type[h11.NEED_DATA] | type[h11.PAUSED]:
        try:
            return self.parser.next_event()
        except h11.RemoteProtocolError as error:
            raise Refusal(error.error_status_hint, str(error)) from None

    def _receive_head(self) -> h11.Request | None:
        """The next request's line and headers; None when the client closed between requests."""
        deadline = None
        while True:
            event = self._next_event()
            if event is h11.NEED_DATA:
                data = self._receive(deadline)
                if deadline is None:
                    deadline = time.monotonic() + ARRIVAL_SECONDS
                self.parser.receive_data(data)
            elif isinstance(event, h11.Request):
                return event
            else:
                return None  # ConnectionClosed

    def _receive_request(self) -> RecordedRequest | None:
        """The next request, read whole; None when the client closed between requests."""
        head = self._receive_head()
        if head is None:
            return None
        method, target = head.method.decode("ascii"), head.target.decode("ascii")
        self.request_line = f"{method} {target} HTTP/{head.http_version.decode('ascii')}"
        self.path = target.partition("?")[0]
        self.method = method
        if method not in METHODS:
            raise Refusal(501, f"Unsupported method ({method!r})")
        headers = HTTPMessage()
        for name, value in head.headers.raw_items():
            headers[name.decode("latin-1")] = value.decode("latin-1")
        if "Transfer-Encoding" in headers and "Content-Length" in headers:
            # Only one framing can be believed: refused whole, lest its body be read as
            # the next request by whoever believed the other.
            raise Refusal(400, "conflicting Transfer-Encoding and Content-Length framing")
        try:
            parts = urlsplit(target)
            query = parse_qsl(parts.query, keep_blank_values=True)
        except ValueError as error:
            raise Refusal(400, f"Malformed request target: {error}") from None
        length = int(headers["Content-Length"]) if "Content-Length" in headers else None
        if length is not None and length > MAX_BODY_SIZE:
            raise Refusal(413, f"request body above {MAX_BODY_SIZE} bytes")
        if self.parser.they_are_waiting_for_100_continue:
            self._write(self.parser.send(h11.InformationalResponse(status_code=100, headers=[])) or b"")
        body = self._receive_body(length)
        return RecordedRequest(method=method, path=parts.path, query=query, query_string=parts.query,
                               headers=headers, body=body)

    def _receive_body(self, length: int | None) -> bytes:
        deadline = time.monotonic() + ARRIVAL_SECONDS + (MAX_BODY_SIZE if length is None else length) / \
            MIN_BYTES_PER_SECOND
        pieces, size = [], 0
        while True:
            event = self._next_event()
            if event is h11.NEED_DATA:
                data = self._receive(deadline)
                if not data:
                    # The client closed its side early: what came is not the request it meant.
                    of = "" if length is None else f" of {length}"
                    raise Refusal(400, f"request body ended after {size}{of} bytes")
                self.parser.receive_data(data)
            elif isinstance(event, h11.Data):
                size += len(event.data)
                if size > MAX_BODY_SIZE:
                    raise Refusal(413, f"request body above {MAX_BODY_SIZE} bytes")
                pieces.append(event.data)
            else:
                return b"".join(pieces)  # EndOfMessage

    # ---------------------------------------------------------------- writing

    def _send(self, out: wire.Wire) -> bool:
        """Sends the pieces in turn and ends the connection as the wire says; whether it
        can serve another request."""
        try:
            for pause, data in out:
                if pause and self.host.pause(pause):
                    return False  # stop() hung up
                self._write(data)
        finally:
            out.close()
            if out.out:
                self._log(out.status, out.sent)
        _ENDINGS[out.ending](self)
        return out.ending is Ending.KEEP

    def _write(self, data: bytes) -> None:
        """Sends ``data`` whole; TimeoutError when the client does not take it in time."""
        deadline = time.monotonic() + DEPARTURE_SECONDS + len(data) / MIN_BYTES_PER_SECOND
        view = memoryview(data)
        while view:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"the client did not take the answer to {self.request_line!r} in time")
            self.sock.settimeout(left)
            view = view[self.sock.send(view):]

    def _reset(self) -> None:
        # Closing with a zero linger time sends a reset rather than an orderly close.
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def _drain(self) -> None:
        socket.socket.shutdown(self.sock, socket.SHUT_WR)
        deadline = time.monotonic() + _LINGER_SECONDS
        with contextlib.suppress(TimeoutError):
            while (left := deadline - time.monotonic()) > 0:
                self.sock.settimeout(left)
                if not self.sock.recv(65536):
                    break

    def _log(self, status: int, sent: int) -> None:
        if log.isEnabledFor(logging.INFO):
            # As JSON text, so that control characters in a request line stay escaped.
            log.info("%s %s %d %d", self.connection.address[0], json.dumps(self.request_line), status, sent)


# What each ending does to the connection once the answer is out (CLOSE and KEEP: nothing
# here; the connection's thread closes it, or reads the next request).
_ENDINGS: dict[Ending, Callable[[Exchange], None]] = {
    Ending.KEEP: lambda exchange: None,
    Ending.CLOSE: lambda exchange: None,
    Ending.RESET: Exchange._reset,
    Ending.DRAIN: Exchange._drain,
}
