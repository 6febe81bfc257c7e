import json as json
import logging as logging
from collections.abc import Iterable, Mapping
from typing import IO, TypeAlias

import requests as requests
import urllib3 as urllib3

from .exceptions import BadRequestError as BadRequestError, InternalServerError as InternalServerError
from .utils import get_params as get_params, join_url_parts as join_url_parts

logger: logging.Logger

# Plain module attributes, not Final: a client reads them when it is built (the
# headers) or when the class was built (the version), and callers may rebind them.
DEFAULT_ACCOUNTS_API_VERSION: int
ACCESS_TOKEN_REQUIRED_HEADERS: dict[str, str]
REQUIRED_HEADERS: dict[str, str]

# Query parameters go to the session as they are; it writes each value's text
# form (iterables as repeated parameters) and leaves None-valued ones out.
_Params: TypeAlias = Mapping[str, object]

# What requests takes for multipart uploads: a field name mapped to the content,
# or to (filename, content[, content type[, extra part headers]]).
_FileContent: TypeAlias = IO[bytes] | bytes | str
_FileField: TypeAlias = (
    _FileContent
    | tuple[str | None, _FileContent]
    | tuple[str | None, _FileContent, str | None]
    | tuple[str | None, _FileContent, str | None, Mapping[str, str]]
)
_Files: TypeAlias = Mapping[str, _FileField] | Iterable[tuple[str, _FileField]]

class ApiClient:
    _base_url: str
    _authentication_token: str
    _api_version: int
    # The client's own session, made at construction and never replaced; tune it
    # here (proxies, verify, adapters) after the client is built.
    _session: requests.Session

    # At run time any other keyword is accepted and ignored. It is left out here so
    # that type checkers reject one, such as timeout=5, which would do nothing.
    def __init__(
        self,
        server_url: str,
        authentication_token: str,
        api_version: int = 3,
        session_attributes: Mapping[str, object] | None = None,
        headers: Mapping[str, str] | None = None,
    ) -> None: ...

    # Puts "Authorization: Bearer <token>" on the session; sends nothing.
    def login(self) -> None: ...
    # Takes the header off again; KeyError when the client is not logged in.
    def logout(self) -> None: ...
    def get_current_user(self) -> Command: ...

    # Every option left at None is not sent. pageSize is documented as a string
    # but is a count: an int or its text reach the query string alike.
    def get_event_log(
        self,
        app_name: str,
        offset: int | None = None,
        pageNumber: int | None = None,
        pageSize: int | str | None = None,
        paged: bool | None = None,
        search: str | None = None,
        sort_sorted: bool | None = None,
        sort_unsorted: bool | None = None,
        unpaged: bool | None = None,
    ) -> Command: ...
    # The event id goes into the URL path in its text form, so a numeric id works too.
    def get_event_log_for_an_event(
        self,
        app_name: str,
        event_id: str | int,
        offset: int | None = None,
        pageNumber: int | None = None,
        pageSize: int | str | None = None,
        paged: bool | None = None,
        search: str | None = None,
        sort_sorted: bool | None = None,
        sort_unsorted: bool | None = None,
        unpaged: bool | None = None,
    ) -> Command: ...
    def return_all_releases(self) -> Command: ...
    def get_distribution(self, distribution_key: str, platform: str) -> Command: ...

    # Request helpers: one request to <server URL>/api/<app>/<endpoint> through the
    # session; a failed status is raised (see _handle_http_error), so the response
    # returned always passed the error mapping.
    def _delete(self, app: str, endpoint: str, params: _Params | None = None) -> requests.Response: ...
    def _get(self, app: str, endpoint: str, params: _Params | None = None) -> requests.Response: ...
    # A true non-str data is sent as the JSON text of {"data": data} and so must be
    # JSON-encodable; a str is sent as the body unchanged. Per-request headers are
    # merged by the session, and a header set to None drops the session's own (the
    # JSON content type, say, for a multipart upload).
    def _post(
        self,
        app: str,
        endpoint: str,
        params: _Params | None = None,
        data: object = None,
        files: _Files | None = None,
        headers: Mapping[str, str | bytes | None] | None = None,
    ) -> requests.Response: ...
    # The body is always the JSON text of {"data": data}, {} standing in for false data.
    def _put(self, app: str, endpoint: str, params: _Params | None = None, data: object = None) -> requests.Response: ...

    # Raises InternalServerError for 500, BadRequestError for 400, and whatever
    # response.raise_for_status() raises for any other failing status.
    def _handle_http_error(self, response: requests.Response) -> None: ...

class Command:
    # The client that made the request, for follow-up calls, and its response.
    api_client: ApiClient
    response: requests.Response
    def __init__(self, api_client: ApiClient, response: requests.Response) -> None: ...
