"""One connection's requests and answers, in turn: framing by h11, refusals, streams and faults.

h11 frames the requests and the kept-alive answers, and refuses what RFC 9112 forbids;
every refusal is answered and its connection closed, so that no byte of a request can be
read as the start of another. A request must arrive whole within a bound, or gets 408.
"""

from __future__ import annotations

import contextlib
import email.utils
import http
import json
import logging
import socket
import struct
import time
from collections.abc import Iterable, Mapping
from http.client import HTTPMessage
from typing import TYPE_CHECKING
from urllib.parse import parse_qsl, urlsplit

import h11

from .faults import Ending, Fault
from .messages import RecordedRequest, error_answer

if TYPE_CHECKING:
    from .transport import Connection, Transport

MAX_BODY_SIZE = 16 * 1024 * 1024
# An idle kept-alive connection is closed, and its thread given back, after this.
IDLE_TIMEOUT_SECONDS = 60.0
# A request's line and headers must arrive within this many seconds of its first byte (a
# TLS handshake too), and its body within as many again plus one for each MiB it declares,
# else 408: a client that sends half a request, or trickles it, holds its slot no longer.
ARRIVAL_SECONDS = 10.0
_BODY_BYTES_PER_SECOND = 1 << 20
# The most that a request's line and headers may take together.
MAX_HEAD_SIZE = 64 * 1024
# The methods the API and the routes answer; any other gets 501.
METHODS = frozenset({"GET", "POST", "PUT", "DELETE", "PATCH"})
SERVER_NAME = "AccountsStandIn/1.0"
# How long a refused request's connection is read from, after its answer, before it closes.
_LINGER_SECONDS = 1.0

log = logging.getLogger(__name__)


class Refusal(Exception):
    """A request that is refused with an error answer on a connection that then closes."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class Exchange:
    """Serves the requests of one connection in turn, until either side closes it."""

    def __init__(self, connection: Connection, transport: Transport) -> None:
        self.connection = connection
        self.sock = connection.sock
        self.transport = transport
        self.parser = h11.Connection(h11.SERVER, max_incomplete_event_size=MAX_HEAD_SIZE)
        self.request_line = ""  # as logged; empty until a request line was read
        self.path = ""

    def serve(self) -> None:
        # Streamed answers go out in several writes; with Nagle's algorithm and delayed
        # ACKs each would wait about 40 ms.
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while self._serve_one():
            self.parser.start_next_cycle()

    def _serve_one(self) -> bool:
        """Reads one request and answers it; whether the connection can serve another."""
        self.request_line = self.path = ""
        try:
            head = self._receive_head()
        except Refusal as refusal:
            if self.transport.begin_request(self.connection):
                try:
                    self._refuse(refusal)
                finally:
                    self.transport.end_request(self.connection)
            return False
        # From here on the connection is busy until the answer is out, and stop() waits
        # for that; before, a half-sent request keeps no one out.
        if head is None or not self.transport.begin_request(self.connection):
            return False
        keep = False
        try:
            keep = self._serve_request(head)
        finally:
            keep = self.transport.end_request(self.connection) and keep
        return keep and self.parser.our_state is h11.DONE and self.parser.their_state is h11.DONE

    def _serve_request(self, head: h11.Request) -> bool:
        try:
            request = self._receive_request(head)
        except Refusal as refusal:
            return self._refuse(refusal)
        prepared = self.transport.respond(request)
        if isinstance(prepared, Fault):
            return self._play(prepared)
        status, headers, body = prepared
        if isinstance(body, bytes):
            return self._send_whole(status, headers, body)
        return self._send_stream(status, headers, body)

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

    def _receive_request(self, head: h11.Request) -> RecordedRequest:
        method, target = head.method.decode("ascii"), head.target.decode("ascii")
        self.request_line = f"{method} {target} HTTP/{head.http_version.decode('ascii')}"
        self.path = target.partition("?")[0]
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
            self.sock.sendall(self.parser.send(h11.InformationalResponse(status_code=100, headers=[])) or b"")
        body = self._receive_body(length)
        return RecordedRequest(method=method, path=parts.path, query=query, query_string=parts.query,
                               headers=headers, body=body)

    def _receive_body(self, length: int | None) -> bytes:
        deadline = time.monotonic() + ARRIVAL_SECONDS + (MAX_BODY_SIZE if length is None else length) / \
            _BODY_BYTES_PER_SECOND
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

    def _send_whole(self, status: int, headers: Mapping[str, str], body: bytes) -> bool:
        if status in (204, 304):
            body = b""
        try:
            fields = self._fields(headers)
            if status not in (204, 304):
                fields.append((b"Content-Length", b"%d" % len(body)))
            response = h11.Response(status_code=status, headers=fields, reason=_reason(status))
            data = self.parser.send(response) or b""
            data += (self.parser.send(h11.Data(data=body)) or b"") if body else b""
            data += self.parser.send(h11.EndOfMessage()) or b""
        except (h11.LocalProtocolError, UnicodeEncodeError) as error:
            return self._unsendable(error)
        self.sock.sendall(data)
        self._log(status, len(body))
        return True

    def _send_stream(self, status: int, headers: Mapping[str, str], chunks: Iterable[bytes]) -> bool:
        declared = any(name.lower() == "content-length" for name in headers)
        head_out = False
        sent = 0
        try:
            if declared:
                # Framed by h11, which ends the answer early if the stream gives more
                # bytes than declared, and closes the connection if it gives fewer.
                response = h11.Response(status_code=status, headers=self._fields(headers), reason=_reason(status))
                self.sock.sendall(self.parser.send(response) or b"")
                head_out = True
                for chunk in chunks:
                    self.sock.sendall(self.parser.send(h11.Data(data=chunk)) or b"")
                    sent += len(chunk)
                self.sock.sendall(self.parser.send(h11.EndOfMessage()) or b"")
            else:
                # The end of the body is the end of the connection (not chunked, which
                # some clients under test may not expect).
                self.sock.sendall(_raw_head(status, self._fields(headers, close=True)))
                head_out = True
                for chunk in chunks:
                    self.sock.sendall(chunk)
                    sent += len(chunk)
        except (h11.LocalProtocolError, UnicodeEncodeError) as error:
            if not head_out:
                return self._unsendable(error)
            log.error("stand-in server cut off a streamed answer to %s: %s", json.dumps(self.request_line), error)
            return False
        except OSError:
            raise  # the client hung up, or stop() did
        except Exception:
            # Headers are out: all that is left to say it failed is to cut the answer off.
            log.exception("stand-in server fault while streaming %s", json.dumps(self.request_line))
            return False
        finally:
            close = getattr(chunks, "close", None)
            if callable(close):
                close()
            if head_out:
                self._log(status, sent)
        return declared

    def _play(self, fault: Fault) -> bool:
        sent = 0
        if fault.head is not None:
            status, headers = fault.head
            try:
                head = _raw_head(status, self._fields(dict(headers), close=True))
            except (h11.LocalProtocolError, UnicodeEncodeError) as error:
                return self._unsendable(error)
            self.sock.sendall(head)
        for pause, piece in fault.pieces:
            if pause and self.transport.pause(pause):
                return False  # stop() hung up
            self.sock.sendall(piece)
            sent += len(piece)
        if fault.ending is Ending.RESET:
            # Closing with a zero linger time sends a reset rather than an orderly close.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self._log(0 if fault.head is None else fault.head[0], sent)
        return False

    def _refuse(self, refusal: Refusal) -> bool:
        """Answers a request that cannot be served with a JSON error, like the API's own; the
        connection then closes."""
        status, headers, body = error_answer(refusal.status, refusal.message, self.path)
        headers["Content-Length"] = str(len(body))
        self.sock.sendall(_raw_head(status, self._fields(headers, close=True)) + body)
        self._log(status, len(body))
        # Closed at once with unread bytes of the request pending, the connection would be
        # reset, and the reset could destroy the answer before the client reads it: half
        # close, and read what is still coming, for a moment.
        socket.socket.shutdown(self.sock, socket.SHUT_WR)
        deadline = time.monotonic() + _LINGER_SECONDS
        with contextlib.suppress(TimeoutError):
            while (left := deadline - time.monotonic()) > 0:
                self.sock.settimeout(left)
                if not self.sock.recv(65536):
                    break
        return False

    def _unsendable(self, error: h11.LocalProtocolError | UnicodeEncodeError) -> bool:
        # An answer that HTTP cannot carry, such as a line break in a header a route gave:
        # sent as it is, it would be read as more headers, or as another answer.
        log.error("stand-in server cannot send the answer to %s: %s", json.dumps(self.request_line), error)
        return self._refuse(Refusal(500, f"stand-in server fault: the answer cannot be sent: {error}"))

    def _fields(self, headers: Mapping[str, str], close: bool = False) -> list[tuple[bytes, bytes]]:
        """The headers of an answer as they go on the wire; UnicodeEncodeError for one that
        Latin-1 cannot carry."""
        fields = [("Server", SERVER_NAME), ("Date", _http_date()), *headers.items()]
        if close or self.transport.stopping:
            fields.append(("Connection", "close"))
        return [(name.encode("latin-1"), value.encode("latin-1")) for name, value in fields]

    def _log(self, status: int, sent: int) -> None:
        if log.isEnabledFor(logging.INFO):
            # As JSON text, so that control characters in a request line stay escaped.
            log.info("%s %s %d %d", self.connection.address[0], json.dumps(self.request_line), status, sent)


def _reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


def _raw_head(status: int, fields: list[tuple[bytes, bytes]]) -> bytes:
    """A status line and headers, for answers whose connection closes after them; h11's
    Response checks each header as for any other answer."""
    response = h11.Response(status_code=status, headers=fields, reason=_reason(status))
    lines = [b"HTTP/1.1 %d %s\r\n" % (status, response.reason)]
    lines += [name + b": " + value + b"\r\n" for name, value in response.headers.raw_items()]
    return b"".join(lines) + b"\r\n"


_date_cache: tuple[int, str] = (0, "")


def _http_date() -> str:
    """The Date header's value, made once a second."""
    global _date_cache
    now = int(time.time())
    if _date_cache[0] != now:
        _date_cache = (now, email.utils.formatdate(now, usegmt=True))
    return _date_cache[1]
