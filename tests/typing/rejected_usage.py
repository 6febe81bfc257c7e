"""Mistakes that the client's types must catch.

Type-checked with ``mypy --strict`` (never run): each line below is a mistake whose
error is silenced by a ``type: ignore`` for that error code. --strict warns about
ignores that silence nothing, so the check fails as soon as the types stop
catching one of these mistakes (a parameter loosened to Any, a renamed keyword).
"""

import requests

from ferrovane.sdk.accounts_api import ApiClient, Command
from ferrovane.sdk.utils import get_params, join_url_parts


def mistakes(client: ApiClient, response: requests.Response) -> None:
    ApiClient("https://accounts.example", "token", api_version="3")  # type: ignore[arg-type]
    ApiClient("https://accounts.example", "token", headers={"X-Retries": 3})  # type: ignore[dict-item]
    ApiClient("https://accounts.example")  # type: ignore[call-arg]
    # Accepted at run time and ignored: a timeout belongs on the session.
    ApiClient("https://accounts.example", "token", timeout=5)  # type: ignore[call-arg]
    # The server's camelCase names are the parameter names.
    client.get_event_log("security", page_number=2)  # type: ignore[call-arg]
    client.get_event_log("security", sort_sorted="asc")  # type: ignore[arg-type]
    client.get_event_log_for_an_event("security")  # type: ignore[call-arg]
    client.get_distribution("orvik-2.1")  # type: ignore[call-arg]
    client.return_all_releases(verify=False)  # type: ignore[call-arg]
    # Queries give a Command, not the response itself.
    client.get_current_user().json()  # type: ignore[attr-defined]
    token = client.login()  # type: ignore[func-returns-value]
    text: str = client._get("security", "v3/user-info").status_code  # type: ignore[assignment]
    client._post("security", "v3/token", headers={"X-Count": 1})  # type: ignore[dict-item]
    client._handle_http_error(None)  # type: ignore[arg-type]
    client._session.verfy = False  # type: ignore[attr-defined]
    name: str = Command(client, response).api_client  # type: ignore[assignment]
    join_url_parts("https://accounts.example", 3)  # type: ignore[arg-type]
    get_params({"a": 1}, exclusions=None)  # type: ignore[arg-type]
