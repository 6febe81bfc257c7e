"""The request trace of -v, on stderr: for each request its method and URL, its headers
with every credential masked, the proxy it goes through (without its credentials), and
the answer's status and how long its headers and its whole body took. It is made to be pasted into a bug report, so
nothing secret goes into it.

Its lines begin as curl -v's do: "> " what was sent, "< " what came back, "* " the rest;
so they are told apart from the one line of a failure, which begins with the program's name.
"""

import threading
import time
from collections.abc import Callable, Mapping

import requests
from requests.utils import select_proxy

from .. import deadline
from . import output
from .urls import without_credentials, without_userinfo

SENT, RECEIVED, NOTE = "> ", "< ", "* "
# Headers whose whole value is a credential; a header whose name has one of the words of
# CREDENTIAL_WORDS is taken for one too (an API key of a gateway, a session token).
CREDENTIAL_HEADERS = frozenset({"authorization", "proxy-authorization", "cookie"})
CREDENTIAL_WORDS = ("auth", "token", "key", "secret", "session", "password", "cookie")
MASK = "***"
# The schemes of an Authorization value, kept in view: "Bearer ***" says what kind was sent.
AUTH_SCHEMES = ("bearer", "basic", "digest", "token")


def masked(name: str, value: str) -> str:
    """A header's value as the trace shows it: a credential as ***, after its scheme word."""
    lowered = name.lower()
    if lowered not in CREDENTIAL_HEADERS and not any(word in lowered for word in CREDENTIAL_WORDS):
        return value
    scheme, _, rest = value.partition(" ")
    return f"{scheme} {MASK}" if rest and scheme.lower() in AUTH_SCHEMES else MASK


def request_lines(request: requests.PreparedRequest, proxies: Mapping[str, str] | None) -> list[str]:
    lines = [f"{SENT}{request.method} {without_userinfo(request.url or '')}"]
    lines += [f"{SENT}{name}: {masked(name, value)}" for name, value in request.headers.items()]
    proxy = select_proxy(request.url or "", dict(proxies or {}))
    if proxy:
        lines.append(f"{NOTE}through the proxy {without_credentials(proxy)}")
    return lines


# Held while trace lines of a request are written: by the worker thread that makes it,
# or by the caller that gave it up (see gave_up).
_in_order = threading.Lock()


def traced(send: Callable[[], requests.Response], request: requests.PreparedRequest,
           proxies: Mapping[str, str] | None) -> requests.Response:
    """``send()``'s response, with ``request`` and its answer written to the trace."""
    _write(request_lines(request, proxies))  # a redirect's next hop comes here too
    started = time.monotonic()
    try:
        response = send()
    except BaseException as error:
        # The failure line says what went wrong; the kind alone is safe to show here.
        _write([f"{RECEIVED}no answer after {time.monotonic() - started:.3f} s ({type(error).__name__})"])
        raise
    _write([f"{RECEIVED}{response.status_code} {response.reason or ''}".rstrip()
            + f" after {time.monotonic() - started:.3f} s"])
    return response


def whole_answer(size: int, seconds: float) -> None:
    """Ends the trace of an answer read whole: its size, and the time from its request (the
    first, where it was redirected) to its last byte; the status line gave the time to its
    headers, so a slow body shows as the gap between the two."""
    _write([f"{RECEIVED}whole answer: {size} bytes after {seconds:.3f} s"])


def _write(lines: list[str]) -> None:
    # A request given up has had its last line from gave_up, written before the failure
    # line; what its worker does or learns later would come after that line, and is left out.
    with _in_order:
        if not deadline.passed():
            for line in lines:
                output.trace(line)


def gave_up(reason: BaseException, seconds: float) -> None:
    """Ends the trace of a request that was given up, at the deadline or at Ctrl-C."""
    with _in_order:
        output.trace(f"{RECEIVED}no whole answer within {seconds:g} s (--timeout)"
                     if isinstance(reason, deadline.DeadlinePassed) else f"{RECEIVED}no answer: interrupted")
