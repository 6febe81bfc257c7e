"""Exceptions that the Accounts API client raises for failed responses, and the server's
message of any failed status."""

import http
import re
from typing import Any, ClassVar

import requests

from ._answers import UnusableAnswer, json_charset, json_document, text_of

# Bodies above this size are not parsed as JSON: an error body that large is not a
# structured message, and parsing it would only cost time while an error is raised.
JSON_PARSE_LIMIT = 64 * 1024
EXCERPT_LENGTH = 200


class AccountsApiError(requests.HTTPError):
    """A response of the Accounts server whose status marks a failure.

    Built from the response alone. Keeps ``response`` (and ``request``, as
    ``requests.HTTPError`` does), ``status_code`` and ``server_message``: the
    message the server gave in its body, or None when it gave none. Building the
    exception never fails, whatever the body holds or the response lacks.
    """

    # The status that a class stands for: its ``status_code`` when the response has no
    # integer one (a stub, or a status of 500.0, which the client takes for 500).
    STATUS: ClassVar[int | None] = None

    def __init__(self, response: requests.Response) -> None:
        status = _attribute(response, "status_code")
        is_integer = isinstance(status, int) and not isinstance(status, bool)
        self.status_code: int | None = status if is_integer else self.STATUS
        self.server_message: str | None = _server_message(response)
        super().__init__(_describe(response, status, self.server_message), response=response)


class BadRequestError(AccountsApiError):
    """The server rejected the request as malformed (status 400)."""

    STATUS = 400
    status_code: int


class InternalServerError(AccountsApiError):
    """The server failed while handling the request (status 500)."""

    STATUS = 500
    status_code: int


def server_message(error: requests.HTTPError) -> str | None:
    """The message that the server gave with the failed status of ``error``, whatever the
    status, or None when it gave none: the "message" (or else "error") of a JSON body, or
    else an excerpt of a text body, with whitespace collapsed and cut to EXCERPT_LENGTH."""
    if isinstance(error, AccountsApiError):
        return error.server_message
    return None if error.response is None else _server_message(error.response)


def _attribute(obj: object, name: str) -> Any:
    # Reading e.g. ``content`` may touch the network or a consumed stream; an error
    # while describing an error must not hide the one being reported.
    try:
        return getattr(obj, name, None)
    except Exception:
        return None


def _describe(response: object, status_code: object, server_message: str | None) -> str:
    reason = _attribute(response, "reason")
    if isinstance(reason, bytes):
        reason = reason.decode("utf-8", errors="replace")
    if not reason and isinstance(status_code, int) and status_code in http.HTTPStatus:
        reason = http.HTTPStatus(status_code).phrase
    status = " ".join(str(part) for part in (status_code, reason) if part) or "HTTP error"
    request = _attribute(response, "request")
    method = _attribute(request, "method")
    url = _attribute(request, "url") or _attribute(response, "url")
    target = " ".join(str(part) for part in (method, url) if part)
    text = f"{status} for {target}" if target else status
    return f"{text}: {server_message}" if server_message else text


def _server_message(response: object) -> str | None:
    content = _attribute(response, "content")
    if isinstance(content, str):
        content = content.encode("utf-8", errors="replace")
    if not isinstance(content, (bytes, bytearray)) or not content:
        return None
    encoding = json_charset(_attribute(response, "headers"), content)
    if len(content) <= JSON_PARSE_LIMIT:
        try:
            document = json_document(text_of(content, encoding))
        except UnusableAnswer:
            document = None
        if isinstance(document, dict):
            for key in ("message", "error"):
                if isinstance(document.get(key), str) and document[key].strip():
                    return _shorten(document[key])
    # Only a prefix is decoded: enough for the excerpt even after whitespace collapses.
    excerpt = _shorten(text_of(content[: EXCERPT_LENGTH * 8], encoding))
    return excerpt if excerpt and not _looks_binary(excerpt) else None


def _looks_binary(text: str) -> bool:
    unreadable = sum(1 for char in text if char == "\ufffd" or not char.isprintable())
    return unreadable * 10 > len(text)


def _shorten(text: str) -> str:
    text = re.sub(r"\s+", " ", text).strip()
    return text if len(text) <= EXCERPT_LENGTH else text[: EXCERPT_LENGTH - 3] + "..."
