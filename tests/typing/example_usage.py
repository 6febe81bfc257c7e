"""An event-log export and release download tool written against the client.

The test suite type-checks this file with ``mypy --strict`` and never runs it: it
shows that typed code using every part of the client's interface checks cleanly.
"""

import logging
import urllib.parse
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import requests

from ferrovane.sdk import accounts_api
from ferrovane.sdk.accounts_api import ApiClient, Command
from ferrovane.sdk.exceptions import BadRequestError, InternalServerError, server_message
from ferrovane.sdk.utils import get_params, join_url_parts

log = logging.getLogger("event_export")


class NotFoundError(LookupError):
    def __init__(self, response: requests.Response) -> None:
        super().__init__(f"not found: {response.url}")
        self.response = response


class AdminClient(ApiClient):
    """Adds the administration endpoints that the client has no query method for."""

    def _handle_http_error(self, response: requests.Response) -> None:
        if response.status_code == 404:
            raise NotFoundError(response)
        super()._handle_http_error(response)

    def exchange_token(self, refresh_token: str) -> str:
        # The token endpoint takes a form, not the JSON envelope: a str body goes as is.
        response = self._post(
            app="security",
            endpoint=f"v{self._api_version}/token",
            data=urllib.parse.urlencode({"grant_type": "refresh_token", "refresh_token": refresh_token}),
            headers=accounts_api.ACCESS_TOKEN_REQUIRED_HEADERS,
        )
        body: dict[str, Any] = response.json()
        return str(body["access_token"])

    def upload_release_notes(self, release_id: int, notes: Path) -> Command:
        with notes.open("rb") as stream:
            response = self._post(
                "entitlements",
                f"v{self._api_version}/releases/{release_id}/notes",
                params={"overwrite": True},
                files={"file": (notes.name, stream, "text/markdown")},
                # Drop the session's JSON content type so that requests sets the multipart one.
                headers={"content-type": None},
            )
        return Command(self, response)

    def rename_release(self, release_id: int, name: str) -> Command:
        response = self._put("entitlements", f"v{self._api_version}/releases/{release_id}", data={"name": name})
        return accounts_api.Command(self, response)

    def delete_event(self, app_name: str, event_id: int, *, dry_run: bool | None = None) -> None:
        self._delete(app_name, f"v{self._api_version}/eventlog/{event_id}", params=get_params({"dryRun": dry_run}, ()))

    def audit_summary(self, app_name: str, since: str | None = None) -> dict[str, object]:
        params = get_params(parameters={"since": since, "self": self}, exclusions=("self",))
        summary: dict[str, object] = self._get(app_name, "v{0}/eventlog/summary".format(self._api_version), params).json()
        return summary


def connect(server_url: str, token: str, ca_bundle: str | None = None, *, client_id: str = "event-export") -> AdminClient:
    client = AdminClient(
        server_url,
        token,
        api_version=accounts_api.DEFAULT_ACCOUNTS_API_VERSION,
        session_attributes={"verify": ca_bundle} if ca_bundle else None,
        headers={"User-Agent": f"{client_id}/1.0", **accounts_api.REQUIRED_HEADERS},
    )
    client._session.proxies.update({"https": "http://127.0.0.1:3128"})
    log.info("client for %s", join_url_parts(client._base_url, "/api/security"))
    client.login()
    return client


def current_user_name(client: ApiClient) -> str:
    result = client.get_current_user()
    assert result.api_client is client
    user: dict[str, Any] = result.response.json()
    return str(user["username"])


def iter_events(client: ApiClient, app_name: str, search: str | None = None, page_size: int = 100) -> Iterator[dict[str, Any]]:
    page_number = 0
    while True:
        page = client.get_event_log(
            app_name, pageNumber=page_number, pageSize=page_size, search=search, sort_sorted=True, paged=True
        ).response.json()
        yield from page["content"]
        if page["last"]:
            return
        page_number += 1


def event_details(client: ApiClient, app_name: str, event_id: int, offset: int | None = None) -> list[dict[str, Any]]:
    command = client.get_event_log_for_an_event(
        app_name, event_id, offset=offset, pageSize="50", unpaged=False, sort_unsorted=None
    )
    details: list[dict[str, Any]] = command.response.json()["content"]
    return details


def latest_release(client: ApiClient) -> str | None:
    releases: list[dict[str, Any]] = client.return_all_releases().response.json()
    if not releases:
        return None
    return str(max(releases, key=lambda release: str(release["releasedAt"]))["distributionKey"])


def download(client: ApiClient, distribution_key: str, platform: str, target: Path) -> Path:
    info = client.get_distribution(distribution_key, platform=platform).response.json()
    with client._session.get(info["downloadUrl"], stream=True) as response:
        client._handle_http_error(response)
        with target.open("wb") as out:
            for chunk in response.iter_content(chunk_size=1 << 16):
                out.write(chunk)
    return target


def main(server_url: str, token: str, app_name: str, target: Path) -> int:
    accounts_api.logger.setLevel(logging.DEBUG)
    client = connect(server_url, token)
    try:
        log.info("exporting as %s", current_user_name(client))
        failures = [event for event in iter_events(client, app_name, search="FAILED")]
        for event in failures[:10]:
            for line in event_details(client, app_name, int(event["id"])):
                log.info("%s", line)
        key = latest_release(client)
        if key is not None:
            download(client, key, "linux-armhf", target / f"{key}.tar.gz")
            client.rename_release(1, key).response.raise_for_status()
        return 0
    except BadRequestError as error:
        log.error("rejected (%s): %s", error.status_code, error.server_message)
        return 2
    except InternalServerError as error:
        log.error("server failed: %s", error.response.text if error.response is not None else error)
        return 3 if error.status_code >= 500 else 4
    except requests.HTTPError as error:
        log.error("failed: %s", server_message(error) or error)
        return 5
    finally:
        client.logout()
