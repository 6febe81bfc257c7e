"""Failures on demand: the answers and the wire-level faults that real servers and networks produce.

A route handler returns one of these as it returns an ``Answer``::

    server.route("GET", "/api/security/v3/eventlog", handler=lambda request: unavailable(retry_after=2))
    server.route("GET", "/api/security/v3/user-info", handler=lambda request: cut_short())

Faults in status only are ordinary ``Answer``s (``too_many_requests``, ``unavailable``,
``expired_token``, ``redirect_to``). What happens on the wire beyond a status (a reset, a
body cut short of its Content-Length, a trickle, a stall) is a ``Fault``, which the
transport plays; the connection closes after each. ``self_signed_context`` and
``client_certificate_context`` give a server the TLS faults. ``named`` reads a fault from
the command line's name for it.
"""

from __future__ import annotations

import enum
import math
import ssl
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import datetime, timezone
from email.utils import format_datetime, parsedate_to_datetime
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

from .messages import Answer, error_payload, prepare

_TLS = Path(__file__).with_name("tls")
# A certificate for 127.0.0.1, ::1 and localhost that signs itself (valid until 2126): a
# client that checks certificates against the usual authorities refuses it; one given
# this file as its CA bundle accepts it, and nothing else: it cannot sign (CA:FALSE), so
# its key, which ships with it, vouches for no other name. scripts/make_stand_in_tls.sh
# makes it, and the client CA (constrained to the loopback names, its key thrown away).
SELF_SIGNED_CERTIFICATE = str(_TLS / "server.pem")
# A client certificate and its key in one PEM file (as requests' ``cert=`` takes it),
# which a server with ``client_certificate_context()`` accepts.
CLIENT_CERTIFICATE = str(_TLS / "client.pem")


class Ending(enum.Enum):
    """How a fault's connection ends."""

    CLOSE = "close"  # an orderly close (FIN), as after a body cut short
    RESET = "reset"  # a reset (RST), as from a server that crashed or a middlebox


@dataclass(frozen=True)
class Fault:
    """What goes on the wire instead of a proper answer.

    ``head``: the status and headers sent first (None: nothing at all); ``pieces``: parts
    of the body, each sent after its pause in seconds; ``ending``: how the connection
    ends then. Build one with the functions of this module rather than by hand.
    """

    head: tuple[int, tuple[tuple[str, str], ...]] | None
    pieces: tuple[tuple[float, bytes], ...]
    ending: Ending


def reset_before_headers() -> Fault:
    """The connection is reset as soon as the request has arrived: no status line at all."""
    return Fault(None, (), Ending.RESET)


def reset_mid_body(status: int = 200, body: object = None, headers: Mapping[str, object] | None = None, *,
                   after: int | None = None) -> Fault:
    """The headers and the first ``after`` bytes of the body (default: half), then a reset."""
    head, content = _encoded(status, body, headers, "reset mid-body")
    return Fault(head, ((0.0, content[:_cut(after, content)]),), Ending.RESET)


def cut_short(status: int = 200, body: object = None, headers: Mapping[str, object] | None = None, *,
              after: int | None = None) -> Fault:
    """The headers with the whole body's Content-Length, the first ``after`` bytes of the
    body (default: half), then an orderly close: the client is left short of bytes."""
    head, content = _encoded(status, body, headers, "cut short")
    return Fault(head, ((0.0, content[:_cut(after, content)]),), Ending.CLOSE)


def trickle(status: int = 200, body: object = None, headers: Mapping[str, object] | None = None, *,
            chunk_size: int = 8, interval: float = 0.1) -> Fault:
    """The headers at once, then the body ``chunk_size`` bytes at a time, one every
    ``interval`` seconds: whole, but slowly."""
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1, not {chunk_size}")
    _seconds(interval, "interval")
    head, content = _encoded(status, body, headers, "trickle")
    return Fault(head, tuple((interval, content[start:start + chunk_size])
                             for start in range(0, len(content), chunk_size)), Ending.CLOSE)


def stall_after_headers(seconds: float = 30.0, status: int = 200, body: object = None,
                        headers: Mapping[str, object] | None = None) -> Fault:
    """The headers at once, then nothing for ``seconds``, then the body. The server's stop
    hangs up on a stall that outlasts its grace."""
    _seconds(seconds, "seconds")
    head, content = _encoded(status, body, headers, "stall after headers")
    return Fault(head, ((seconds, content),), Ending.CLOSE)


def too_many_requests(retry_after: int | datetime = 1) -> Answer:
    """429 with ``Retry-After``: seconds, or an aware datetime sent as an HTTP date."""
    return _retry_later(429, retry_after)


def unavailable(retry_after: int | datetime = 1) -> Answer:
    """503 with ``Retry-After``: seconds, or an aware datetime sent as an HTTP date."""
    return _retry_later(503, retry_after)


def expired_token() -> Answer:
    """401 as a server answers a bearer token that has expired (RFC 6750's invalid_token)."""
    return Answer(401, error_payload(401, "The access token expired", ""), {
        "WWW-Authenticate": 'Bearer realm="accounts", error="invalid_token", '
                            'error_description="The access token expired"'})


def redirect_to(url: str, status: int = 302) -> Answer:
    """A redirect to ``url``, an absolute URL (typically of another origin)."""
    parts = urlsplit(url)
    if not (parts.scheme and parts.netloc) or any(ord(char) < 0x21 or ord(char) == 0x7F for char in url):
        raise ValueError(f"a redirect needs an absolute URL without spaces or control characters, not {url!r}")
    if status not in (301, 302, 303, 307, 308):
        raise ValueError(f"a redirect's status is 301, 302, 303, 307 or 308, not {status}")
    return Answer(status, None, {"Location": url})


def self_signed_context() -> ssl.SSLContext:
    """A server's TLS context with a self-signed certificate (``SELF_SIGNED_CERTIFICATE``)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(_TLS / "server.pem", _TLS / "server-key.pem")
    return context


def client_certificate_context() -> ssl.SSLContext:
    """A server's TLS context, as ``self_signed_context``, that also requires a client
    certificate: ``CLIENT_CERTIFICATE`` is one it accepts; a client without one fails."""
    context = self_signed_context()
    context.verify_mode = ssl.CERT_REQUIRED
    context.load_verify_locations(_TLS / "client-ca.pem")
    return context


def _retry_later(status: int, retry_after: int | datetime) -> Answer:
    if isinstance(retry_after, datetime):
        if retry_after.utcoffset() is None:
            # A naive datetime could be local time or UTC: either guess shifts the date.
            raise ValueError("retry_after must be an aware datetime (with a timezone), or seconds")
        value = format_datetime(retry_after.astimezone(timezone.utc), usegmt=True)
    elif isinstance(retry_after, int) and not isinstance(retry_after, bool) and retry_after >= 0:
        value = str(retry_after)
    else:
        raise ValueError(f"retry_after must be whole seconds from 0 up, or a datetime, not {retry_after!r}")
    return Answer(status, error_payload(status, f"Retry after {value}", ""), {"Retry-After": value})


def _encoded(status: int, body: object, headers: Mapping[str, object] | None,
             name: str) -> tuple[tuple[int, tuple[tuple[str, str], ...]], bytes]:
    if body is None:
        body = {"status": status, "message": f"An answer from the stand-in server, {name}"}
    prepared = prepare(Answer(status, body, headers))
    assert not isinstance(prepared, Fault)
    status, merged, content = prepared
    if not isinstance(content, bytes):
        raise TypeError("a fault's body is sent whole: give bytes, a str or a JSON-able object, not a stream")
    merged["Content-Length"] = str(len(content))
    return (status, tuple(merged.items())), content


def _cut(after: int | None, content: bytes) -> int:
    if after is None:
        return len(content) // 2
    if not 0 <= after < len(content):
        raise ValueError(f"after must be from 0 to {len(content) - 1} (short of the body's "
                         f"{len(content)} bytes), not {after}")
    return after


def _seconds(value: float, name: str) -> None:
    if not (math.isfinite(value) and value >= 0):
        raise ValueError(f"{name} must be a finite number of seconds from 0 up, not {value!r}")


def _retry_argument(text: str) -> int | datetime:
    if text.isdigit():
        return int(text)
    try:
        return parsedate_to_datetime(text)
    except (TypeError, ValueError):
        raise ValueError(f"Retry-After must be whole seconds or an HTTP date, not {text!r}") from None


def _seconds_argument(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"not a number of seconds: {text!r}") from None


# The faults by the names the command line gives them: NAME or NAME:ARGUMENT, the argument
# read by the first function and passed to the second (None: the fault takes none).
_NAMED: dict[str, tuple[Callable[[str], Any] | None, Callable[..., Answer | Fault], str]] = {
    "too-many-requests": (_retry_argument, too_many_requests, "429 with Retry-After (:SECONDS or :HTTP-DATE; 1 s)"),
    "unavailable": (_retry_argument, unavailable, "503 with Retry-After (:SECONDS or :HTTP-DATE; 1 s)"),
    "expired-token": (None, expired_token, "401 as for an expired token"),
    "redirect-to": (str, redirect_to, "a redirect to :URL"),
    "reset-before-headers": (None, reset_before_headers, "the connection reset before any header"),
    "reset-mid-body": (None, reset_mid_body, "the connection reset halfway through the body"),
    "cut-short": (None, cut_short, "the body cut short of its Content-Length, then closed"),
    "trickle": (_seconds_argument, lambda interval=0.1: trickle(interval=interval),
                "the body 8 bytes at a time, one every :SECONDS (0.1)"),
    "stall-after-headers": (_seconds_argument, stall_after_headers, "nothing after the headers for :SECONDS (30)"),
}
NAMES_HELP = "\n".join([f"  {'STATUS':<21} a JSON error with that status (200 to 599)"] +
                       [f"  {name:<21} {text}" for name, (_, _, text) in _NAMED.items()])


def named(text: str) -> Answer | Fault:
    """The fault that ``text`` names (see ``NAMES_HELP``); ValueError when it names none."""
    name, colon, argument = text.partition(":")
    if name.isdigit() and not colon:
        status = int(name)
        if not 200 <= status <= 599:
            raise ValueError(f"a status from 200 to 599, not {status}")
        return Answer(status, error_payload(status, f"Stand-in fault: status {status}", ""))
    if name not in _NAMED:
        raise ValueError(f"no fault named {name!r}: a status or one of {', '.join(_NAMED)}")
    read, make, _ = _NAMED[name]
    if not colon:
        return make()
    if read is None:
        raise ValueError(f"{name} takes no argument")
    return make(read(argument))
