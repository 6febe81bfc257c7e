"""Reading the body of an Accounts answer: its text, by the charset that the server named,
and its JSON document, refusing what no Accounts server sends. The exceptions (for the
server's message), the command line and its tables read bodies through here alone.

The body, its charset and its nesting come from a server, so nothing here trusts them:
a charset may name no codec, a codec that is not for text, or one that cannot replace
what it fails to decode; JSON may nest past the stack or hold numbers past Python's limit.
"""

import json
from collections.abc import Callable
from typing import Any

import requests

# requests' own guess of a JSON body's UTF (8, 16 or 32) when the server names no charset.
guess_json_utf: Callable[[bytes], str | None] = requests.utils.guess_json_utf
# Accounts answers nest a few levels; a deeper document is no answer, and printing it
# would run out of stack.
MAX_DEPTH = 100


class UnusableAnswer(Exception):
    """An answer that arrived whole but cannot be used; the text says why ("it is not JSON")."""


def text_of(data: bytes | bytearray, encoding: object, *, strict: bool = False) -> str:
    """``data`` decoded by the charset ``encoding`` (UTF-8 when None), undecodable bytes
    replaced. A charset that cannot decode raises UnusableAnswer when ``strict``, and
    falls back to UTF-8 otherwise."""
    name = encoding if isinstance(encoding, str) else None
    try:
        if name is not None and not name.isascii():  # names no codec; looking it up warns from 3.15 on
            raise LookupError(name)
        return bytes(data).decode(name or "utf-8", errors="replace")
    except (LookupError, TypeError, ValueError):  # no codec, one not for text, or one that cannot replace (idna)
        if strict:
            raise UnusableAnswer(f"its charset {encoding!r} cannot decode it") from None
        return bytes(data).decode("utf-8", errors="replace")


def json_document(text: str) -> Any:
    """The JSON document in ``text``; UnusableAnswer says why there is none."""
    try:
        document = json.loads(text)
    except RecursionError:
        raise UnusableAnswer("it is JSON nested too deeply") from None
    except json.JSONDecodeError:
        raise UnusableAnswer("it is not JSON") from None
    except ValueError:  # an integer with more digits than Python converts
        raise UnusableAnswer("it holds a number too long to read") from None
    if _deeper_than(document, MAX_DEPTH):
        raise UnusableAnswer("it is JSON nested too deeply")
    return document


def _deeper_than(document: object, limit: int) -> bool:
    pending = [(document, 1)]
    while pending:
        value, depth = pending.pop()
        if isinstance(value, (dict, list)):
            if depth > limit:
                return True
            pending.extend((item, depth + 1) for item in (value.values() if isinstance(value, dict) else value))
    return False


def is_html(response: requests.Response) -> bool:
    """Whether the answer is a web page: the base URL is not that of an Accounts server."""
    # By the body first: JSON that a server mislabels as HTML is still read.
    start = response.content[:100].lstrip().lower()
    media_type = response.headers.get("Content-Type", "").split(";")[0].strip().lower()
    return start.startswith((b"<!doctype html", b"<html")) or (
        start.startswith(b"<") and media_type in ("text/html", "application/xhtml+xml"))


def document(response: requests.Response) -> Any:
    """The JSON document of a whole answer; UnusableAnswer says why there is none."""
    if is_html(response):
        raise UnusableAnswer("it is an HTML page, not an answer of the Accounts API: check the base URL")
    content = response.content
    encoding = response.encoding or guess_json_utf(content) or "utf-8"
    return json_document(text_of(content, encoding, strict=True))
