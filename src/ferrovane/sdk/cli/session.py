"""The client's session as the command line sets it up: what it takes from the user's
environment, checked before anything is sent, and what it never takes.

requests would read the environment on every request, and a netrc entry would replace
the bearer token with HTTP Basic. The command line turns that off and honours the
environment itself: the proxy variables (with NO_PROXY) and the CA bundle variables,
each checked up front so that a broken one is named with its value (without its
credentials). Where no CA bundle is chosen, certificates are checked against the
system's trust store (through truststore, as pip does), not requests' own bundle: a
root that the administrator added (a company's CA) is trusted. A netrc file is never
read: the token given is the one sent. The stand-in of --demo is never reached through a
proxy. Every answer's body is read within a size bound, the body of a failed status and
of a redirect too.
"""

import os
import ssl
from typing import Any

import requests
from requests.utils import select_proxy
from urllib3.response import BaseHTTPResponse  # where urllib3 2.0 has it too

from .. import retries
from .._answers import BoundedBody
from .._isolated import isolated_client
from ..accounts_api import ApiClient
from .names import CA_BUNDLE_VARIABLES
from .trace import traced
from .urls import proxy_problem, without_credentials

# A read may wait this much longer than the deadline: the deadline, not a read that times
# out with it, ends a slow request (and says so), and a worker left behind still ends.
READ_TIMEOUT_MARGIN = 2.0


class UnusableEnvironment(Exception):
    """A variable of the environment that the command line cannot honour; the text names
    it, its value (without a password) and the fix."""


class TimeoutAdapter(retries.TimeoutAdapter):
    """Gives each connect and each read a timeout (the client passes none), which also
    leaves no worker of an expired deadline waiting for ever, reads each body within
    ``max_body`` bytes (AnswerTooLarge past it), and with ``trace`` traces each request.
    ``proxies`` are the session's, for saying which proxy carried a request; with
    ``ssl_context``, servers' certificates are checked by it alone (through a proxy too)."""

    def __init__(self, timeout: float, max_body: int, trace: bool = False,
                 proxies: dict[str, str] | None = None, ssl_context: ssl.SSLContext | None = None) -> None:
        self.max_body, self.trace, self.proxies = max_body, trace, dict(proxies or {})
        self.ssl_context = ssl_context
        super().__init__(timeout)

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        if self.ssl_context is not None:
            kwargs["ssl_context"] = self.ssl_context
        super().init_poolmanager(*args, **kwargs)

    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any:
        if self.ssl_context is not None:
            proxy_kwargs["ssl_context"] = self.ssl_context
        return super().proxy_manager_for(proxy, **proxy_kwargs)

    def cert_verify(self, conn: Any, url: str, verify: Any, cert: Any) -> None:
        super().cert_verify(conn, url, verify, cert)  # type: ignore[no-untyped-call]  # untyped in types-requests
        if verify is True and self.ssl_context is not None:
            conn.ca_certs = None  # requests names its own bundle, which the context would trust besides

    def build_response(self, req: requests.PreparedRequest, resp: BaseHTTPResponse) -> requests.Response:
        response = super().build_response(req, resp)
        response.raw = BoundedBody(response.raw, self.max_body)
        return response

    def send(self, request: requests.PreparedRequest, stream: bool = False, timeout: Any = None,
             verify: bool | str = True, cert: Any = None, proxies: Any = None) -> requests.Response:
        def send() -> requests.Response:
            return super(TimeoutAdapter, self).send(
                request, stream=stream, timeout=self.timeout if timeout is None else timeout, verify=verify,
                cert=cert, proxies=proxies)
        return traced(send, request, proxies) if self.trace else send()


def client_for(server_url: str, token: str, api_version: int, timeout: float, insecure: bool,
               max_answer_size: int, environment: bool = True, ca_bundle_file: str | None = None,
               trace: bool = False) -> ApiClient:
    """A client whose session takes only what this module allows from the environment
    (nothing at all without ``environment``), and ``ca_bundle_file`` where the settings
    chose one over the environment's, else the system's trust store; with ``trace``, each
    request it sends is written to the trace (see trace.py). Raises UnusableEnvironment."""
    proxies = proxies_for(server_url) if environment else {}
    verify: bool | str = False if insecure else ((ca_bundle_file or ca_bundle()) if environment else True)
    client = isolated_client(server_url, token, api_version, verify=verify)
    session = client._session
    session.proxies = proxies
    system_trust = None
    if environment and verify is True:
        import truststore  # only for a client that sends requests: --version and --help go without

        system_trust = truststore.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    adapter = TimeoutAdapter(timeout + READ_TIMEOUT_MARGIN, max_answer_size, trace, proxies, system_trust)
    session.mount("http://", adapter)
    session.mount("https://", adapter)
    return client


def proxy_of(response: requests.Response) -> str | None:
    """The proxy that carried the request of ``response``; None where it went direct."""
    adapter = response.connection
    if not isinstance(adapter, TimeoutAdapter) or not response.url:
        return None
    return select_proxy(response.url, adapter.proxies) or None


def ca_bundle() -> bool | str:
    """The CA bundle that a variable names (True: the default one)."""
    for name in CA_BUNDLE_VARIABLES:
        path = os.environ.get(name)
        if path:
            if not os.path.exists(path):
                raise UnusableEnvironment(
                    f"{name} names a CA bundle that does not exist: {path!r}; point it at a bundle, or unset it")
            return path
    return True


def proxies_for(server_url: str) -> dict[str, str]:
    """The proxies that the environment gives for ``server_url`` (none when NO_PROXY
    names its host), each checked. Raises UnusableEnvironment."""
    proxies = {scheme: url for scheme, url in requests.utils.get_environ_proxies(server_url).items()
               if scheme in ("http", "https", "all")}
    for scheme, url in proxies.items():  # all of them: a redirect may change the scheme
        _check_proxy(scheme, url)
    return proxies


def httpoxy_warning(server_url: str) -> str | None:
    """A warning where an upper-case HTTP_PROXY alone would name the proxy for
    ``server_url`` in a CGI program: a request's Proxy header sets it there (httpoxy), so
    Python ignores it, as curl always does; requests reads it elsewhere, and so do we."""
    if ("REQUEST_METHOD" in os.environ and os.environ.get("HTTP_PROXY") and "http_proxy" not in os.environ
            and server_url.lower().startswith("http://")):
        return ("warning: HTTP_PROXY is ignored in a CGI program (REQUEST_METHOD is set), where a request's "
                "Proxy header sets it (httpoxy); set http_proxy to use a proxy")
    return None


def _check_proxy(scheme: str, url: str) -> None:
    problem = proxy_problem(url)
    if problem is not None:
        raise UnusableEnvironment(f"the proxy variable {_variable_of(scheme)}={without_credentials(url)!r} is not "
                                  f"usable: {problem}; fix or unset it (or add the server's host to NO_PROXY)")


def _variable_of(scheme: str) -> str:
    # The name as the user set it: lower case wins over upper case, as when it is read.
    wanted = f"{scheme}_proxy"
    names = [name for name in os.environ if name.lower() == wanted]
    return wanted if wanted in names else (names[0] if names else wanted.upper())

