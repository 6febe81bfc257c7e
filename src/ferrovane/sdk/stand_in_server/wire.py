"""What one request's answer puts on the wire, with no socket: timed byte pieces and an ending.

``answer`` turns a prepared answer or a fault into a ``Wire``; ``refusal`` does so for the
JSON error of a request that cannot be served. An answer with its whole body, or a stream
whose headers declare its length, is framed by h11 and keeps its connection; a stream
without a length ends with its connection; a fault goes as its head, its pieces and its
ending. The caller sends each piece after its pause and then ends the connection as the
wire's ``ending`` says, so every answer and every fault can be read here as bytes.
"""

from __future__ import annotations

import email.utils
import http
import json
import logging
import time
from collections.abc import Iterable, Iterator, Mapping

import h11

from .messages import Ending, Fault, Prepared, error_answer

SERVER_NAME = "AccountsStandIn/1.0"

log = logging.getLogger(__name__)

# A piece of an answer: the seconds to wait before it, and its bytes.
type Piece = tuple[float, bytes]


class Wire:
    """One answer's pieces, to iterate over in turn: each is taken once the one before is sent.

    ``status`` is the status sent (0: none); ``sent`` counts the body's bytes taken so far;
    ``out`` says whether the head was taken; ``ending`` says how the connection ends once
    every piece is out (a stream that fails midway turns it to CLOSE).
    """

    def __init__(self, status: int, ending: Ending) -> None:
        self.status = status
        self.ending = ending
        self.sent = 0
        self.out = False
        self._pieces: Iterator[Piece] = iter(())

    def __iter__(self) -> Iterator[Piece]:
        return self._pieces

    def close(self) -> None:
        """Ends the pieces early (the client hung up): a stream's own close runs."""
        close = getattr(self._pieces, "close", None)
        if callable(close):
            close()

    def _timed(self, head: bytes, body: int, pieces: Iterable[Piece] = ()) -> Wire:
        """The head (``body`` bytes of it being the body), then the pieces."""
        self._pieces = self._played(head, body, pieces)
        return self

    def _played(self, head: bytes, body: int, pieces: Iterable[Piece]) -> Iterator[Piece]:
        yield 0.0, head
        self.out = True
        self.sent += body
        for pause, data in pieces:
            yield pause, data
            self.sent += len(data)


def answer(parser: h11.Connection, prepared: Prepared, *, head_only: bool = False, stopping: bool = False,
           request_line: str = "", path: str = "") -> Wire:
    """The wire form of the answer to the request that ``parser`` read last; ``head_only``
    (for HEAD): as for GET, without the body; ``stopping``: the connection then closes."""
    try:
        if isinstance(prepared, Fault):
            return _fault(prepared, head_only)
        status, headers, body = prepared
        if isinstance(body, bytes):
            return _whole(parser, status, headers, body, head_only, stopping)
        return _stream(parser, status, headers, body, head_only, stopping, request_line)
    except (h11.LocalProtocolError, UnicodeEncodeError) as error:
        # An answer that HTTP cannot carry, such as a line break in a header a route gave:
        # sent as it is, it would be read as more headers, or as another answer.
        log.error("stand-in server cannot send the answer to %s: %s", json.dumps(request_line), error)
        if not isinstance(prepared, Fault) and not isinstance(prepared[2], bytes):
            _close(prepared[2])
        return refusal(500, f"stand-in server fault: the answer cannot be sent: {error}", path, head_only=head_only)


def refusal(status: int, message: str, path: str, *, head_only: bool = False) -> Wire:
    """A JSON error, like the API's own, for a request that cannot be served; the connection
    then drains and closes, so that no byte of the request can be read as another."""
    status, headers, body = error_answer(status, message, path)
    headers["Content-Length"] = str(len(body))
    if head_only:
        body = b""
    return Wire(status, Ending.DRAIN)._timed(raw_head(status, fields(headers, close=True)) + body, len(body))


def _whole(parser: h11.Connection, status: int, headers: Mapping[str, str], body: bytes, head_only: bool,
           stopping: bool) -> Wire:
    if status in (204, 304):
        body = b""
    framed = fields(headers, close=stopping)
    if status not in (204, 304):
        framed.append((b"Content-Length", b"%d" % len(body)))
    data = parser.send(h11.Response(status_code=status, headers=framed, reason=reason(status))) or b""
    if body and not head_only:
        data += parser.send(h11.Data(data=body)) or b""
    else:
        body = b""
    data += parser.send(h11.EndOfMessage()) or b""
    return Wire(status, Ending.KEEP)._timed(data, len(body))


def _stream(parser: h11.Connection, status: int, headers: Mapping[str, str], chunks: Iterable[bytes],
            head_only: bool, stopping: bool, request_line: str) -> Wire:
    if head_only:
        _close(chunks)
        chunks = ()
    if any(name.lower() == "content-length" for name in headers):
        # Framed by h11, which ends the answer early if the stream gives more bytes than
        # declared, and closes the connection if it gives fewer.
        response = h11.Response(status_code=status, headers=fields(headers, close=stopping), reason=reason(status))
        wire = Wire(status, Ending.KEEP)
        wire._pieces = _framed(wire, parser, parser.send(response) or b"", chunks, request_line)
        return wire
    # The end of the body is the end of the connection (not chunked, which some clients
    # under test may not expect).
    wire = Wire(status, Ending.CLOSE)
    wire._pieces = _framed(wire, None, raw_head(status, fields(headers, close=True)), chunks, request_line)
    return wire


def _framed(wire: Wire, parser: h11.Connection | None, head: bytes, chunks: Iterable[bytes],
            request_line: str) -> Iterator[Piece]:
    try:
        yield 0.0, head
        wire.out = True
        for chunk in chunks:
            yield 0.0, chunk if parser is None else parser.send(h11.Data(data=chunk)) or b""
            wire.sent += len(chunk)
        if parser is not None:
            yield 0.0, parser.send(h11.EndOfMessage()) or b""
    except (h11.LocalProtocolError, UnicodeEncodeError) as error:
        log.error("stand-in server cut off a streamed answer to %s: %s", json.dumps(request_line), error)
        wire.ending = Ending.CLOSE
    except OSError:
        raise
    except Exception:
        # Headers are out: all that is left to say it failed is to cut the answer off.
        log.exception("stand-in server fault while streaming %s", json.dumps(request_line))
        wire.ending = Ending.CLOSE
    finally:
        _close(chunks)


def _fault(fault: Fault, head_only: bool) -> Wire:
    if fault.head is None:
        wire = Wire(0, fault.ending)
        wire.out = True
        return wire
    status, headers = fault.head
    pieces = tuple((pause, b"") for pause, _ in fault.pieces) if head_only else fault.pieces
    return Wire(status, fault.ending)._timed(raw_head(status, fields(dict(headers), close=True)), 0, pieces)


def _close(chunks: Iterable[bytes]) -> None:
    close = getattr(chunks, "close", None)
    if callable(close):
        close()


def fields(headers: Mapping[str, str], close: bool = False) -> list[tuple[bytes, bytes]]:
    """The headers of an answer as they go on the wire; UnicodeEncodeError for one that
    Latin-1 cannot carry."""
    named = [("Server", SERVER_NAME), ("Date", _http_date()), *headers.items()]
    if close:
        named.append(("Connection", "close"))
    return [(name.encode("latin-1"), value.encode("latin-1")) for name, value in named]


def reason(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


def raw_head(status: int, framed: list[tuple[bytes, bytes]]) -> bytes:
    """A status line and headers, for answers whose connection closes after them; h11's
    Response checks each header as for any other answer."""
    response = h11.Response(status_code=status, headers=framed, reason=reason(status))
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
