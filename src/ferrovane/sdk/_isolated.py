"""The client whose session takes nothing from the user's environment by itself.

requests reads the environment on every request: a netrc entry replaces the bearer token
with HTTP Basic, a proxy variable routes the request elsewhere, a CA bundle variable
overrides ``verify``. The demo and the test fixtures talk only to their own loopback
server, which none of that may change; the command line honours the environment itself,
as far as it has checked it. All of them make their client here."""

from typing import Any

from .accounts_api import DEFAULT_ACCOUNTS_API_VERSION, ApiClient


def isolated_client(server_url: str, token: str, api_version: int = DEFAULT_ACCOUNTS_API_VERSION, *,
                    verify: bool | str = True, client_class: Any = None) -> ApiClient:
    """An ApiClient (or ``client_class``, of the same signature) whose session ignores the
    environment; not logged in. ``verify`` is given at construction, so that an unverified
    client also silences urllib3's warning about it."""
    attributes: dict[str, object] = {"trust_env": False}
    if verify is not True:
        attributes["verify"] = verify
    client: ApiClient = (client_class or ApiClient)(server_url, token, api_version, session_attributes=attributes)
    return client
