"""Failed answers that came from something between the command line and the Accounts
server, named for who gave them: a forward proxy that refused a plain-HTTP request or
could not reach the server, a gateway whose upstream failed, or a TLS port that was sent
plain HTTP. Each gets its own line and exit status, where the server's own answer would
get the server's; anything else is left to the caller (None)."""

import re
from urllib.parse import urlsplit, urlunsplit

import requests

from .._answers import UnusableAnswer, is_html
from .status import ExitStatus
from .urls import without_credentials

# Forward proxies whose error pages name them in the Server header (a page that a proxy
# forwards keeps the server's own Server header).
PROXY_PRODUCTS = ("squid", "tinyproxy", "privoxy")
# The statuses of a gateway whose upstream failed, is down or did not answer in time.
GATEWAY_STATUSES = (502, 503, 504)
# How long a page is read into for the words of a TLS port's refusal.
_PAGE_START = 2048


def intermediary_failure(response: requests.Response, server_url: str,
                         proxy: str | None) -> tuple[str, ExitStatus] | None:
    """The line and exit status of a failed ``response`` that a proxy (``proxy``: the one
    that carried the request, or None), a gateway or a TLS port gave; None for the server's."""
    status, reason = response.status_code, response.reason or ""
    answer = f"{status} {reason}".strip()
    plain = urlsplit(response.url or server_url).scheme == "http"
    if proxy is not None and plain and _from_the_proxy(response):
        shown = without_credentials(proxy)
        if status in (401, 407) or "Proxy-Authenticate" in response.headers:
            return (f"the proxy {shown} refused the request: {answer} (check the user name and password in "
                    "the proxy variable)"), ExitStatus.CONNECTION
        detail = response.headers.get("X-Squid-Error")
        return (f"cannot reach {server_url} through the proxy {shown}: it answered {answer}"
                f"{f' ({detail})' if detail else ''} (check HTTP_PROXY and ALL_PROXY, or name the server's host in "
                "NO_PROXY)"), ExitStatus.CONNECTION
    if plain and status == 400 and _plain_http_to_tls(response):
        secure = urlunsplit(urlsplit(server_url)._replace(scheme="https"))
        return (f"{server_url} refused plain HTTP ({answer}): its port speaks TLS; use {secure}",
                ExitStatus.CONNECTION)
    if status in GATEWAY_STATUSES and is_html(response):
        return (f"{answer} from a gateway in front of {server_url}: the server behind it failed, is down or did "
                "not answer in time (the gateway's page, not the server's answer); try again later",
                ExitStatus.SERVER_ERROR)
    return None


def _from_the_proxy(response: requests.Response) -> bool:
    headers = response.headers
    if response.status_code == 407 or "Proxy-Authenticate" in headers or "X-Squid-Error" in headers:
        return True
    # A proxy known to name itself in the Server header of its own page, or one that names
    # itself there and in the Via header.
    products = [word.split("/")[0].lower() for word in re.split(r"[\s,]+", headers.get("Server", ""))
                if word and not word.startswith("(")]
    return any(product in PROXY_PRODUCTS for product in products) or (
        bool(products) and products[0] in headers.get("Via", "").lower())


def _plain_http_to_tls(response: requests.Response) -> bool:
    # nginx: "The plain HTTP request was sent to HTTPS port"; Apache: "You're speaking
    # plain HTTP to an SSL-enabled server port".
    try:
        page = response.content[:_PAGE_START].decode("utf-8", "replace").lower()
    except (requests.RequestException, UnusableAnswer):  # a body that could not be read whole
        return False
    return "plain http" in page and any(word in page for word in ("https", "ssl", "tls"))
