"""The request trace of -v, on stderr: for each request its method and URL, its headers
with every credential masked, the proxy it goes through (without its credentials), and
the answer's status and how long it took. It is made to be pasted into a bug report, so
nothing secret goes into it.

Its lines begin as curl -v's do: "> " what was sent, "< " what came back, "* " the rest;
so they are told apart from the one line of a failure, which begins with the program's name.
"""

import time
from collections.abc import Callable, Mapping

import requests
from requests.utils import select_proxy

from . import output
from .urls import without_credentials

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
    lines = [f"{SENT}{request.method} {without_credentials(request.url or '')}"]
    lines += [f"{SENT}{name}: {masked(name, value)}" for name, value in request.headers.items()]
    proxy = select_proxy(request.url or "", dict(proxies or {}))
    if proxy:
        lines.append(f"{NOTE}through the proxy {without_credentials(proxy)}")
    return lines


def traced(send: Callable[[], requests.Response], request: requests.PreparedRequest,
           proxies: Mapping[str, str] | None) -> requests.Response:
    """``send()``'s response, with ``request`` and its answer written to the trace."""
    for line in request_lines(request, proxies):
        output.trace(line)
    started = time.monotonic()
    try:
        response = send()
    except BaseException as error:
        # The failure line says what went wrong; the kind alone is safe to show here.
        output.trace(f"{RECEIVED}no answer after {time.monotonic() - started:.3f} s ({type(error).__name__})")
        raise
    output.trace(f"{RECEIVED}{response.status_code} {response.reason or ''}".rstrip()
                 + f" after {time.monotonic() - started:.3f} s")
    return response
