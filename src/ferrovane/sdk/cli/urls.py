"""The URLs that the command line takes in, the server's and each proxy variable's: read
the way requests will read them, so that what passes here is what requests can use, and
shown in messages with their credentials masked whole. A password may hold "/", "?" or
"#" (generated ones do), and the user part of a URL may itself be a token."""

import importlib.util
from urllib.parse import unquote, urlsplit

from urllib3.exceptions import LocationParseError
from urllib3.util import parse_url

PROXY_SCHEMES = ("http", "https", "socks4", "socks4a", "socks5", "socks5h")
# What ends the authority of a URL: in a user name or password it must be percent-encoded.
AUTHORITY_ENDS = "/?#"


def _authority_start(url: str) -> int:
    scheme_end = url.find("://")
    return 0 if scheme_end < 0 else scheme_end + 3


def credentials_of(url: str) -> str:
    """What may be credentials in ``url``: all before the last "@" of it, after the scheme.
    Wider than what a parser would take when a password holds "/", as it must be."""
    start, at = _authority_start(url), url.rfind("@")
    return url[start:at] if at >= start else ""


def without_credentials(url: str) -> str:
    """``url`` with its credentials (see credentials_of) written as ***."""
    start, at = _authority_start(url), url.rfind("@")
    return url[:start] + "***" + url[at:] if at >= start else url


def without_userinfo(url: str) -> str:
    """``url``, one that requests has prepared (its authority well formed), with the user
    name and password of its authority written as ***; an "@" in its path or query, which
    a name or id sent may hold, stays as it is."""
    start = _authority_start(url)
    ends = [index for index in (url.find(char, start) for char in AUTHORITY_ENDS) if index >= 0]
    at = url.rfind("@", start, min(ends, default=len(url)))
    return url[:start] + "***" + url[at:] if at >= 0 else url


def _parse_failure(url: str) -> str:
    """Why urllib.parse cannot read ``url`` (masked), in its words, or a general reason."""
    try:
        urlsplit(url).port
    except ValueError as error:
        return f"it is not a URL ({error})"
    return "it is not a URL"


def proxy_problem(url: str) -> str | None:
    """What makes ``url``, a proxy variable's value, unusable by requests, in words that
    never quote its credentials; None when it is usable."""
    credentials = credentials_of(url)
    if any(char in credentials for char in AUTHORITY_ENDS):
        return (f"its user name or password holds one of {' '.join(AUTHORITY_ENDS)}, which a URL carries only "
                "percent-encoded (%2F, %3F, %23)")
    try:
        unquote(credentials, errors="strict").encode("latin-1")  # as requests sends them to the proxy
    except UnicodeError:
        return "its user name or password holds a character outside Latin-1, which requests cannot send to a proxy"
    try:
        # As requests reads it: http:// is put in front only where urllib3 finds no scheme,
        # and it takes "localhost:" in "localhost:3128" for one.
        parts = parse_url(url)
        if parts.scheme is None:
            parts = parse_url("http://" + url)
    except (LocationParseError, ValueError):
        return _parse_failure(without_credentials(url))
    scheme = (parts.scheme or "").lower()
    if scheme not in PROXY_SCHEMES:
        if "://" not in url:  # requests takes "name:" at the start as a scheme
            return f"it has no scheme (http://, https://, socks5://...): write it as http://{without_credentials(url)}"
        return f"{scheme!r} is not a proxy scheme ({', '.join(PROXY_SCHEMES)})"
    if not parts.host:
        return "it names no host"
    if scheme.startswith("socks") and importlib.util.find_spec("socks") is None:
        return "a SOCKS proxy needs PySocks, which is not installed (pip install PySocks)"
    return None
