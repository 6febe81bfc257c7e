"""What the stand-in server's parts pass each other: a request as it was read, and an answer or a fault to write.

``RecordedRequest`` is what handlers and tests see; ``Answer`` is what a handler gives back,
and ``prepare`` turns it into the status, headers and bytes (or chunks) that go on the wire.
A handler may also give a ``Fault`` (built by ``faults``), which passes through as it is.
"""

from __future__ import annotations

import enum
import http
import json
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from http.client import HTTPMessage
from typing import Any


class Ending(enum.Enum):
    """How a connection ends once an answer or a fault is out."""

    KEEP = "keep"  # kept alive for the next request
    CLOSE = "close"  # an orderly close (FIN), as after a body cut short
    RESET = "reset"  # a reset (RST), as from a server that crashed or a middlebox
    # Half closed, then read for a moment before it closes: closed at once with a refused
    # request's bytes unread, it would be reset, and the reset could destroy the answer
    # before the client reads it.
    DRAIN = "drain"


@dataclass(frozen=True)
class Fault:
    """What goes on the wire instead of a proper answer.

    ``head``: the status and headers sent first (None: nothing at all); ``pieces``: parts
    of the body, each sent after its pause in seconds; ``ending``: how the connection
    ends then. Build one with the functions of ``faults`` rather than by hand.
    """

    head: tuple[int, tuple[tuple[str, str], ...]] | None
    pieces: tuple[tuple[float, bytes], ...]
    ending: Ending

# An answer ready for the wire: status, headers, and the body whole or as chunks to send
# as they come; or a fault for the transport to play.
type Prepared = tuple[int, dict[str, str], bytes | Iterable[bytes]] | Fault


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


@dataclass(frozen=True)
class Answer:
    """An answer for a route to give: status, body and extra headers.

    ``body`` may be bytes (sent as application/octet-stream), str (text/plain, UTF-8),
    None (an empty body) or any other JSON-able object (application/json). It may also be
    a stream: an iterator of bytes (a generator, which may sleep between chunks) or a list
    or tuple of bytes. A stream's chunks are sent as they are produced, after the status
    line and headers have gone out; the server sends the Content-Length that ``headers``
    gives, if any (so the client waits for the rest), and otherwise closes the connection
    after the last chunk. For any other body the server sets Content-Length itself.
    ``headers`` are added and may replace the Content-Type.
    """

    status: int = 200
    body: object = None
    headers: Mapping[str, object] | None = None


def is_stream(body: object) -> bool:
    if isinstance(body, Iterator):
        return True
    return isinstance(body, (list, tuple)) and bool(body) and all(
        isinstance(chunk, (bytes, bytearray)) for chunk in body)


def prepare(answer: Answer | Fault) -> Prepared:
    """The answer in wire form (a fault as it is); TypeError or ValueError when its body is not JSON-able."""
    if not isinstance(answer, Answer):
        return answer
    body = answer.body
    if is_stream(body):
        assert isinstance(body, Iterable)
        return answer.status, merge_headers(None, answer.headers, keep_length=True), body
    content_type: str | None
    if body is None:
        content, content_type = b"", None
    elif isinstance(body, (bytes, bytearray)):
        content, content_type = bytes(body), "application/octet-stream"
    elif isinstance(body, str):
        content, content_type = body.encode(), "text/plain; charset=utf-8"
    else:
        content, content_type = json.dumps(body).encode(), "application/json"
    return answer.status, merge_headers(content_type, answer.headers), content


def merge_headers(content_type: str | None, extra: Mapping[str, object] | None, *,
                  keep_length: bool = False) -> dict[str, str]:
    merged = {"content-type": ("Content-Type", content_type)} if content_type else {}
    for name, value in (extra or {}).items():
        if keep_length or name.lower() != "content-length":
            merged[name.lower()] = (name, str(value))
    return dict(merged.values())


def error_payload(status: int, message: str, path: str) -> dict[str, object]:
    """An error answer's body, in the form the real server sends."""
    return {"status": status, "error": http.HTTPStatus(status).phrase, "message": message, "path": path}


def error_answer(status: int, message: str, path: str,
                 headers: Mapping[str, str] | None = None) -> tuple[int, dict[str, str], bytes]:
    body = json.dumps(error_payload(status, message, path)).encode()
    return status, merge_headers("application/json", headers), body
