"""Failures on demand: the answers and the wire-level faults that real servers and networks produce.

A route handler returns one of these as it returns an ``Answer``::

    server.route("GET", "/api/security/v3/eventlog", handler=lambda request: unavailable(retry_after=2))
    server.route("GET", "/api/security/v3/user-info", handler=lambda request: cut_short())

Faults in status only are ordinary ``Answer``s. What happens on the wire beyond a status
(a reset, a body cut short, a trickle, a stall) is a ``Fault``: a head, timed pieces and an
ending, which ``wire`` turns into bytes; the connection closes after each. ``NAMED`` is the
table of faults by the names the command line gives them, which its help and the docs
list; those of the body (a trickle, a cut) play out on the route's own answer. ``self_signed_context`` and ``client_certificate_context`` give a server the TLS faults.
"""

from __future__ import annotations

import inspect
import math
import ssl
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from datetime import datetime, timezone
from email.utils import format_datetime, parsedate_to_datetime
from pathlib import Path
from typing import Any
from urllib.parse import urlsplit

from .messages import Answer, Ending, Fault, Prepared, error_payload, prepare

__all__ = [
    "CLIENT_CERTIFICATE", "MAX_PAUSE_SECONDS", "NAMED", "NAMES_HELP", "SELF_SIGNED_CERTIFICATE", "Ending", "Fault",
    "Named", "client_certificate_context", "cut_short", "expired_token", "named", "redirect_to",
    "reset_before_headers", "reset_mid_body", "self_signed_context", "stall_after_headers", "too_many_requests",
    "trickle", "unavailable",
]

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
# The longest pause a fault may make: a day is longer than any client waits, and far
# below what a thread can wait for.
MAX_PAUSE_SECONDS = 86_400


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
    if not (math.isfinite(value) and 0 <= value <= MAX_PAUSE_SECONDS):
        raise ValueError(f"{name} must be from 0 to {MAX_PAUSE_SECONDS} s, not {value!r}")


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


@dataclass(frozen=True)
class Named:
    """A fault as the command line names it: ``NAME`` or ``NAME:ARGUMENT``.

    ``make`` gives the fault, called with the argument as ``read`` reads it, or with none
    (``read`` None: it takes none); a fault ``of_body`` also takes the ``status``, ``body``
    and ``headers`` of the answer whose body it slows or cuts. ``function`` is the function
    of this module that it plays (``make`` itself unless given); ``argument`` and ``text``
    are what the help and the docs say of it.
    """

    name: str
    make: Callable[..., Answer | Fault]
    text: str
    read: Callable[[str], Any] | None = None
    argument: str = ""
    function: Callable[..., Answer | Fault] | None = None
    of_body: bool = False

    @property
    def usage(self) -> str:
        """The name as it is given, such as ``trickle[:SECONDS]`` or ``redirect-to:URL``."""
        if not self.argument:
            return self.name
        needed = any(parameter.default is inspect.Parameter.empty and parameter.kind is not parameter.VAR_KEYWORD
                     for parameter in inspect.signature(self.make).parameters.values())
        return f"{self.name}:{self.argument}" if needed else f"{self.name}[:{self.argument}]"

    @property
    def call(self) -> str:
        """The call in Python with the options beyond an Answer's own, such as
        ``trickle(chunk_size=8, interval=0.1)``."""
        function = self.function or self.make
        parameters = inspect.signature(function).parameters.values()
        wire_level = {"status", "body", "headers"} <= {parameter.name for parameter in parameters}
        shown = [parameter.name if parameter.default is inspect.Parameter.empty
                 else f"{parameter.name}={parameter.default!r}"
                 for parameter in parameters
                 if not (wire_level and parameter.name in ("status", "body", "headers"))]
        return f"{function.__name__}({', '.join(shown)})"


# Every fault the command line names, in the order its --help and the docs list them.
NAMED: tuple[Named, ...] = (
    Named("too-many-requests", too_many_requests, "429 with `Retry-After`: RETRY seconds (1) or an HTTP date",
          _retry_argument, "RETRY"),
    Named("unavailable", unavailable, "503 with `Retry-After`: RETRY seconds (1) or an HTTP date",
          _retry_argument, "RETRY"),
    Named("expired-token", expired_token, "401 with `WWW-Authenticate` as for a token that has expired"),
    Named("redirect-to", redirect_to, "a redirect (302) to URL, such as one of another origin", str, "URL"),
    Named("reset-before-headers", reset_before_headers, "the connection reset before any byte of the answer"),
    Named("reset-mid-body", reset_mid_body, "the route's answer: its headers and half its body (or `after` "
                                            "bytes), then a reset", of_body=True),
    Named("cut-short", cut_short, "the route's answer, its body cut short of its `Content-Length` at half (or "
                                  "`after` bytes), then an orderly close", of_body=True),
    Named("trickle", lambda interval=0.1, **answer: trickle(**answer, interval=interval),
          "the route's answer, whole, its body 8 bytes (`chunk_size`) at a time, one every SECONDS (0.1)",
          _seconds_argument, "SECONDS", trickle, of_body=True),
    Named("stall-after-headers", lambda seconds=30.0, **answer: stall_after_headers(seconds, **answer),
          "the route's answer: its headers, then nothing for SECONDS (30), then its body", _seconds_argument,
          "SECONDS", stall_after_headers, of_body=True),
)
STATUS_TEXT = "a JSON error with that status (200 to 599)"
_BY_NAME = {named.name: named for named in NAMED}
NAMES_HELP = "\n".join([f"  {'STATUS':<31} {STATUS_TEXT}"] +
                       [f"  {named.usage:<31} {named.text.replace('`', '')}" for named in NAMED])


def named(text: str, answer: Prepared | None = None) -> Answer | Fault:
    """The fault that ``text`` names (see ``NAMED``); ValueError when it names none. A fault
    of the body plays out on ``answer``, the route's own in wire form, where it is given
    whole (else on a message of the stand-in's)."""
    name, colon, argument = text.partition(":")
    if name.isdigit() and not colon:
        status = int(name)
        if not 200 <= status <= 599:
            raise ValueError(f"a status from 200 to 599, not {status}")
        return Answer(status, error_payload(status, f"Stand-in fault: status {status}", ""))
    if name not in _BY_NAME:
        raise ValueError(f"no fault named {name!r}: a status or one of {', '.join(_BY_NAME)}")
    row = _BY_NAME[name]
    real: dict[str, Any] = {}
    if row.of_body and isinstance(answer, tuple) and isinstance(answer[2], bytes):
        real = {"status": answer[0], "body": answer[2], "headers": answer[1]}
    if not colon:
        return row.make(**real)
    if row.read is None:
        raise ValueError(f"{name} takes no argument")
    return row.make(row.read(argument), **real)
