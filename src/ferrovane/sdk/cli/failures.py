"""What a failed query says: one line naming the cause (and the fix, where one is known)
and the exit status of its kind."""

import http.client
import ssl
from collections.abc import Iterator
from typing import Any
from urllib.parse import urlsplit, urlunsplit

import requests
import urllib3

from .. import _tables
from .._answers import AnswerTooLarge, UnusableAnswer
from .inputs import SettingsProblem
from .intermediaries import intermediary_failure
from .names import SERVER_URL_SHAPE
from .session import proxy_of
from .settings import Invocation
from .status import ExitStatus
from .urls import without_credentials

# What OpenSSL reports when the other end answers a TLS hello in plain text.
NOT_TLS_REASONS = {"WRONG_VERSION_NUMBER", "RECORD_LAYER_FAILURE", "PACKET_LENGTH_TOO_LONG", "UNKNOWN_PROTOCOL"}
# The errors of requests, urllib3 and urllib.parse about a URL (all ValueErrors).
URL_ERRORS = (requests.exceptions.MissingSchema, requests.exceptions.InvalidSchema, requests.exceptions.InvalidURL,
              urllib3.exceptions.LocationParseError)
# How a TLS server ends a connection that opens in plain HTTP.
PLAIN_TO_TLS_ERRORS = (ConnectionResetError, http.client.RemoteDisconnected, http.client.BadStatusLine)


class Redirects:
    """A response hook that keeps the target of a redirect until the answer to it comes,
    so that a target that cannot be followed is blamed, not the --server given."""

    def __init__(self) -> None:
        self.target: str | None = None

    def __call__(self, response: requests.Response, **kwargs: Any) -> None:
        self.target = response.headers.get("Location") if response.is_redirect else None


def failure(error: BaseException, run: Invocation, server_url: str,
            redirect: str | None) -> tuple[str, ExitStatus] | None:
    """The line and the exit status that report ``error``, or None if it is not a failure of a query."""
    if isinstance(error, SettingsProblem):  # a file that a query reads or keeps (events --checkpoint)
        return str(error), ExitStatus.USAGE
    if isinstance(error, UnusableAnswer):
        hint = " (--max-answer-size raises the bound)" if isinstance(error, AnswerTooLarge) else ""
        return f"the answer from {server_url} is not usable: {error}{hint}", ExitStatus.OTHER_HTTP
    if isinstance(error, requests.HTTPError):
        return _http_failure(error, server_url, run)
    if redirect is not None and isinstance(error, ValueError):
        return (f"the server redirected to a URL that cannot be followed: {without_credentials(redirect)!r}",
                ExitStatus.OTHER_HTTP)
    if isinstance(error, URL_ERRORS):
        return f"not a usable server URL: {server_url!r} ({SERVER_URL_SHAPE})", ExitStatus.USAGE
    if isinstance(error, requests.Timeout) or (  # requests reports a read that times out in the body so
            isinstance(error, requests.ConnectionError) and isinstance(innermost(error), TimeoutError)):
        return f"no whole answer from {server_url} within {run.timeout:g} s", ExitStatus.CONNECTION
    if isinstance(error, requests.exceptions.SSLError):
        return _tls_failure(error, server_url, run.insecure), ExitStatus.CONNECTION
    if isinstance(error, requests.exceptions.ProxyError) or (
            isinstance(error, requests.ConnectionError) and _through_socks_proxy(error)):
        return (f"cannot reach {server_url} through the proxy: {_underlying_reason(error)} (check HTTP_PROXY, "
                "HTTPS_PROXY and ALL_PROXY, or name the server's host in NO_PROXY)"), ExitStatus.CONNECTION
    if isinstance(error, requests.ConnectionError):
        line = f"cannot connect to {server_url}: {_underlying_reason(error)}"
        if (redirect is None and urlsplit(server_url).scheme == "http"
                and isinstance(innermost(error), PLAIN_TO_TLS_ERRORS)):
            line += f"; if the server speaks TLS, use {urlunsplit(urlsplit(server_url)._replace(scheme='https'))}"
        return line, ExitStatus.CONNECTION
    if isinstance(error, requests.RequestException):
        return f"request to {server_url} failed: {error}", ExitStatus.OTHER_HTTP
    return None


def _http_failure(error: requests.HTTPError, server_url: str, run: Invocation) -> tuple[str, ExitStatus]:
    response = error.response
    if response is not None and (named := intermediary_failure(response, server_url, proxy_of(response))):
        return named
    status = getattr(response, "status_code", None)
    line = _tables.http_failure(error, base_url=server_url)
    if status in (401, 403):
        line += f" (check the token from {run.token.source if run.token else 'the stand-in of --demo'})"
    elif status == 404 and urlsplit(server_url).path.rstrip("/").endswith("/api"):
        base = urlunsplit(urlsplit(server_url)._replace(path=urlsplit(server_url).path.rstrip("/")[:-len("/api")]))
        line += f" (the base URL stops before /api/: use --server {base})"
    return line, ExitStatus.for_http_status(status)


def causes(error: BaseException) -> Iterator[BaseException]:
    """``error`` and its causes, outermost first."""
    seen = set()
    inner: BaseException | None = error
    while inner is not None and id(inner) not in seen:
        seen.add(id(inner))
        yield inner
        inner = _cause_of(inner)


def innermost(error: BaseException) -> BaseException:
    """The innermost cause of a connection failure."""
    *_, last = causes(error)
    return last


def _through_socks_proxy(error: BaseException) -> bool:
    # PySocks raises its own errors for a SOCKS proxy that cannot be reached or refuses;
    # its module is imported only when a SOCKS proxy is used.
    return any(type(cause).__module__ == "socks" for cause in causes(error))


def _cause_of(error: BaseException) -> BaseException | None:
    reason = getattr(error, "reason", None)  # urllib3 keeps the cause of a failed retry here
    if isinstance(reason, BaseException):
        return reason
    if error.__cause__ is not None:
        return error.__cause__
    # requests, and urllib3 before 2, pass the cause as an argument.
    for argument in error.args:
        if isinstance(argument, BaseException):
            return argument
    # A context that was suppressed is an attempt given up on (urllib3 1.26 tries a call
    # twice), not the cause.
    return None if error.__suppress_context__ else error.__context__


def _underlying_reason(error: BaseException) -> str:
    """The innermost cause of a connection failure in words, e.g. "Connection refused"."""
    error = innermost(error)
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)


def _tls_failure(error: BaseException, server_url: str, insecure: bool) -> str:
    cause = innermost(error)
    if isinstance(cause, ssl.SSLError) and cause.reason in NOT_TLS_REASONS:
        plain = urlunsplit(urlsplit(server_url)._replace(scheme="http"))
        return f"{server_url} does not speak TLS; if the server speaks plain HTTP, use {plain}"
    hint = ""
    if isinstance(cause, ssl.SSLCertVerificationError) and not insecure:
        hint = " (--insecure skips the certificate check)"
    return f"TLS with {server_url} failed: {_underlying_reason(error)}{hint}"
