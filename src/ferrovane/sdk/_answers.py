"""Reading the body of an Accounts answer: its size, within a bound; its text, by the
charset that the server named (UTF-8 when it named none: JSON is UTF-8); and its JSON
document, refusing what no Accounts server sends. The exceptions (for the server's
message), the command line and its tables read bodies through here alone.

The body, its size, its charset and its nesting come from a server, so nothing here
trusts them: a body may stream without end; a charset may name no codec, a codec that is
not for text, or one that cannot replace what it fails to decode; JSON may nest past the
stack or hold numbers past Python's limit or past a float's range.
"""

import json
from collections.abc import Callable, Iterator, Mapping
from typing import Any, ClassVar

import requests

from ._json_scan import nests_deeper_than

# requests' own guess of a JSON body's UTF (8, 16 or 32) when the server names no charset.
guess_json_utf: Callable[[bytes], str | None] = requests.utils.guess_json_utf
# Accounts answers nest a few levels; a deeper document is no answer, and printing it
# would run out of stack.
MAX_DEPTH = 100


class UnusableAnswer(Exception):
    """An answer that cannot be used; the text says why ("it is not JSON")."""


class AnswerTooLarge(UnusableAnswer):
    """An answer whose body grew past the bound that it is read within."""


class Number(float):
    """A JSON number with a fraction or an exponent, kept as the server wrote it where a
    float would write it otherwise: its value for comparing and aligning, its text for
    showing and for writing it back (1.10 stays 1.10, 1e999 stays 1e999, where a float
    would be inf, which JSON cannot carry). A number that a float writes back as it came
    (2.5) is read as a plain float.

    ``alive`` counts the Numbers that exist: while there are none, no answer holds one,
    and JSON can be written by the json module's encoder, which writes every float by its
    value (see _tables.as_json)."""

    __slots__ = ("text",)
    text: str
    alive: ClassVar[list[int]] = [0]

    def __new__(cls, text: str) -> "Number":
        number = super().__new__(cls, text)
        number.text = text
        cls.alive[0] += 1
        return number

    def __del__(self) -> None:
        self.alive[0] -= 1

    def __repr__(self) -> str:
        return self.text

    __str__ = __repr__


def _number(text: str) -> float:
    value = float(text)
    return value if repr(value) == text else Number(text)


class BoundedBody:
    """The body stream of a response (urllib3's), read at most ``limit`` bytes after
    decoding (so a compressed bomb is bounded too): reading past it raises
    AnswerTooLarge, and so does every read after that. Everything else is the stream's."""

    def __init__(self, raw: Any, limit: int) -> None:
        self._raw, self._limit, self._read = raw, limit, 0

    def __getattr__(self, name: str) -> Any:
        if name == "_raw":  # not set yet (a copy being made): no stream to ask
            raise AttributeError(name)
        return getattr(self._raw, name)

    def _counted(self, data: bytes) -> bytes:
        self._read += len(data)
        if self._read > self._limit:
            raise AnswerTooLarge(f"it is larger than {describe_size(self._limit)}, the most that is read")
        return data

    def stream(self, amt: int | None = 2**16, decode_content: bool | None = None) -> Iterator[bytes]:
        self._counted(b"")
        for chunk in self._raw.stream(amt, decode_content=decode_content):
            yield self._counted(chunk)

    def read(self, amt: int | None = None, *args: Any, **kwargs: Any) -> bytes:
        room = self._limit - self._read + 1  # one byte more than fits shows that it does not
        return self._counted(self._raw.read(room if amt is None else min(amt, room), *args, **kwargs))


def describe_size(size: int) -> str:
    return f"{size / 2**20:g} MB" if size >= 2**20 else f"{size} bytes"


def json_charset(headers: object, content: bytes | bytearray) -> str:
    """The charset to decode a JSON answer by: the one that its Content-Type names, else
    the UTF that its first bytes show, else UTF-8 (RFC 8259). Not requests' rule for a
    text/* type without a charset, Latin-1, which garbles the UTF-8 JSON of a server that
    labels it text/plain."""
    content_type = headers.get("Content-Type") if isinstance(headers, Mapping) else None
    for parameter in (content_type if isinstance(content_type, str) else "").split(";")[1:]:
        name, _, value = parameter.partition("=")
        if name.strip().lower() == "charset" and value.strip(" \t'\""):
            return value.strip(" \t'\"")
    return guess_json_utf(bytes(content[:4])) or "utf-8"  # it reads no more


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
        document = json.loads(text, parse_float=_number, parse_constant=_not_json)
    except RecursionError:
        raise UnusableAnswer("it is JSON nested too deeply") from None
    except json.JSONDecodeError:
        raise UnusableAnswer("it is not JSON") from None
    except ValueError:  # an integer with more digits than Python converts
        raise UnusableAnswer("it holds a number too long to read") from None
    if nests_deeper_than(text, MAX_DEPTH):  # the text, read in one pass, not every value
        raise UnusableAnswer("it is JSON nested too deeply")
    return document


def _not_json(constant: str) -> Any:
    raise json.JSONDecodeError(f"{constant} is no JSON value", constant, 0)


def is_html(response: requests.Response) -> bool:
    """Whether the answer is a web page: the base URL is not that of an Accounts server."""
    # By the body first: JSON that a server mislabels as HTML is still read.
    try:
        start = response.content[:100].lstrip().lower()
    except (requests.RequestException, UnusableAnswer):  # a body that could not be read whole
        return False
    media_type = response.headers.get("Content-Type", "").split(";")[0].strip().lower()
    return start.startswith((b"<!doctype html", b"<html")) or (
        start.startswith(b"<") and media_type in ("text/html", "application/xhtml+xml"))


def document(response: requests.Response) -> Any:
    """The JSON document of a whole answer; UnusableAnswer says why there is none."""
    if is_html(response):
        raise UnusableAnswer("it is an HTML page, not an answer of the Accounts API: check the base URL")
    content = response.content
    return json_document(text_of(content, json_charset(response.headers, content), strict=True))
