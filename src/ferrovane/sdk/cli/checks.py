"""Pure checks of the values that the command line takes in, from a flag, a variable or
the config file alike: each returns the value (converted) or raises ValueError whose text
names what is wrong and never quotes a secret. Nothing here reads or prints."""

import math
from collections.abc import Callable
from typing import Any
from urllib.parse import urlsplit, urlunsplit

from ..utils import join_url_parts
from .names import MAX_TIMEOUT, MIN_FOLLOW_INTERVAL, SERVER_URL_SHAPE, TOKEN_VARIABLE
from .urls import credentials_of, without_credentials

# "." or "..", each dot possibly written as %2E (servers decode it): a path value that is
# one would address the path above it, which the client refuses. (A string: re compiles
# and keeps it when first used, not at every start.)


def count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            raise ValueError(f"not a whole number: {text!r}") from None
        if number < minimum:
            raise ValueError(f"must be at least {minimum}, got {number}")
        return number
    parse.__name__ = "count"
    return parse


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if math.isnan(value):
        raise ValueError(f"not a number of seconds: {text!r}")
    if not 0 < value <= MAX_TIMEOUT:
        raise ValueError(f"must be more than 0 and at most {MAX_TIMEOUT:g} (a day), got {text}")
    return value


def interval(text: str) -> float:
    """Seconds between the polls of --follow: at least MIN_FOLLOW_INTERVAL, at most a day."""
    value = seconds(text)
    if value < MIN_FOLLOW_INTERVAL:
        raise ValueError(f"must be at least {MIN_FOLLOW_INTERVAL:g}, got {text}")
    return value


def megabytes(text: str) -> int:
    return count(1)(text) * 2**20


def sent_text(text: str) -> str:
    """A value that is sent to the server, so must be text: a byte of an argument that the
    locale's encoding cannot decode comes in as a lone surrogate, which no URL can carry."""
    if any("\ud800" <= char <= "\udfff" for char in text):
        raise ValueError(f"{text!r} holds bytes that are not text in the locale's encoding")
    return text


def path_value(text: str) -> str:
    """A value that the client puts into the request path as one segment."""
    sent_text(text)
    if "/" in text:
        raise ValueError(f"{text!r} holds '/': a name or id is one part of the request path")
    if not text:
        raise ValueError("'' is not a name or id: it would leave its part of the request path empty")
    try:
        join_url_parts("", text)  # the client's own rule for a part that must not climb
    except ValueError:
        raise ValueError(f"{text!r} is not a name or id: it would address the path above it") from None
    return text


def server_url(text: str) -> str:
    # Checked before anything else, so that a mistyped URL is not reported as something
    # else first, or later in requests' words about the API path built from it.
    shown = without_credentials(text)
    if credentials_of(text):
        # requests would send them as HTTP Basic in place of the bearer token.
        raise ValueError(
            f"not a server URL: {shown!r} holds credentials (user:password@); the server takes the API token "
            f"instead: give it with --token or ${TOKEN_VARIABLE}")
    try:
        parts = urlsplit(text)
        parts.port  # raises ValueError for a port that is not a number from 0 to 65535
    except ValueError:
        parts = None
    if parts is None or parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"not a server URL: {shown!r} ({SERVER_URL_SHAPE})")
    if parts.query or parts.fragment:
        # Pasted from a browser's address bar: the API paths would be put after it.
        base = urlunsplit(parts._replace(query="", fragment=""))
        raise ValueError(
            f"not a server URL: {text!r} has a {'query' if parts.query else 'fragment'} "
            f"({'?' + parts.query if parts.query else '#' + parts.fragment}); give the base URL alone, "
            f"e.g. {base!r}")
    return text


def same_server(one: str, other: str) -> bool:
    """Whether two checked server URLs address the same server and base path, as written
    with or without a default port, a final "/" or capitals in the scheme and host."""
    def key(url: str) -> tuple[str, str | None, int | None, str]:
        parts = urlsplit(url)
        scheme = parts.scheme.lower()
        return scheme, parts.hostname, parts.port or {"http": 80, "https": 443}.get(scheme), parts.path.rstrip("/")
    return key(one) == key(other)


def token_problem(token: str) -> str | None:
    """What makes ``token`` unusable in an Authorization header, in words that never
    quote it (it is a secret), or None when it is usable."""
    if token.endswith(("\r", "\n")):
        return ("ends in a line break (CR or LF), as a token read from a file often does: "
                "strip it, e.g. \"$(tr -d '\\r\\n' < token.txt)\"")
    for where, char in (("begins", token[:1]), ("ends", token[-1:])):
        if char in (" ", "\t"):
            return (f"{where} with {'a space' if char == ' ' else 'a tab'}, which no HTTP header can carry "
                    "(it would be dropped, and the token then differ): strip it")
    for position, char in enumerate(token, 1):
        if ord(char) > 0xFF:
            return (f"has a character outside Latin-1 at position {position} (U+{ord(char):04X}), "
                    "which an HTTP header cannot carry: check that it was copied whole and unchanged")
        if not char.isprintable() and char != "\t":
            return (f"has a control character at position {position} (U+{ord(char):04X}), "
                    "which an HTTP header cannot carry: check that it was copied whole and unchanged")
    return None


# The checks of a config file's values, which come typed by TOML.

def toml_type(value: object) -> str:
    names = {bool: "a boolean", int: "a whole number", float: "a number", str: "a string", list: "an array",
             dict: "a table"}
    return next((name for kind, name in names.items() if isinstance(value, kind)), "a date or time")


def need(kind: type | tuple[type, ...], what: str) -> Callable[[object], Any]:
    def check(value: object) -> object:
        if not isinstance(value, kind) or isinstance(value, bool):
            raise ValueError(f"must be {what}, not {toml_type(value)}")
        return value
    return check


def configured_server(value: object) -> str:
    return server_url(need(str, "a string (a URL)")(value))


def command(value: object) -> list[str]:
    if isinstance(value, str):
        import shlex  # only for a command given as one string: start-up goes without

        try:
            value = shlex.split(value)
        except ValueError as error:
            raise ValueError(f"cannot be split into words: {error}") from None
    if not isinstance(value, list) or not value or not all(isinstance(word, str) and word for word in value):
        raise ValueError("must be a command: a string such as \"pass show accounts\", or a list of words")
    return value


def api_version(value: object) -> int:
    number: int = need(int, "a whole number")(value)
    if number < 1:
        raise ValueError(f"must be at least 1, got {number}")
    return number


def timeout(value: object) -> float:
    number = float(need((int, float), "a number of seconds")(value))
    if math.isnan(number) or not 0 < number <= MAX_TIMEOUT:
        raise ValueError(f"must be more than 0 and at most {MAX_TIMEOUT:g} (a day), got {value}")
    return number
