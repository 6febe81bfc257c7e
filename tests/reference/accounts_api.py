"""Abstractions to interact with the Ferrovane Accounts REST API."""

import json
import logging

import requests
import urllib3

from .exceptions import BadRequestError, InternalServerError
from .utils import get_params, join_url_parts

logger = logging.getLogger(__name__)

DEFAULT_ACCOUNTS_API_VERSION = 3
ACCESS_TOKEN_REQUIRED_HEADERS = {
    "content-Type": "application/x-www-form-urlencoded",
    "X-Requested-By": "Accounts",
}
REQUIRED_HEADERS = {
    "X-Requested-By": "Accounts",
    "X-FV-REST-CALL": "true",
    "content-type": "application/json",
}


def _check_path_value(method, name, value):
    """A value that a path is made of must fill its segment: no text, or slashes only, would
    leave it empty, and the request would address the listing above it."""
    text = "{}".format(value)
    if not text.strip("/"):
        raise ValueError(f"{method}() argument '{name}' would leave its path segment empty ({text!r})")


class ApiClient:
    """API client to communicate with a Ferrovane Accounts instance."""

    def __init__(self, server_url, authentication_token, api_version=DEFAULT_ACCOUNTS_API_VERSION,
                 session_attributes=None, headers=None, **kwargs):
        self._base_url = server_url
        self._authentication_token = authentication_token
        self._api_version = api_version
        self._session = requests.Session()
        self._session.headers.update(REQUIRED_HEADERS)
        if headers:
            self._session.headers.update(headers)
        if session_attributes:
            for name, value in session_attributes.items():
                setattr(self._session, name, value)
        if not self._session.verify:
            urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)

    def login(self):
        """Put the bearer Authorization header on the session."""
        self._session.headers["Authorization"] = "Bearer {}".format(self._authentication_token)

    def logout(self):
        """Remove the Authorization header from the session."""
        del self._session.headers["Authorization"]

    def get_current_user(self):
        """Get currently logged-in user info."""
        response = self._get(app="security", endpoint="v{0}/user-info".format(self._api_version))
        return Command(self, response)

    def get_event_log(self, app_name, offset=None, pageNumber=None, pageSize=None, paged=None,
                      search=None, sort_sorted=None, sort_unsorted=None, unpaged=None):
        """Get event log for provided app."""
        _check_path_value("get_event_log", "app_name", app_name)
        params = get_params(
            parameters={
                "app_name": app_name, "offset": offset, "pageNumber": pageNumber,
                "pageSize": pageSize, "paged": paged, "search": search, "self": self,
                "sort_sorted": sort_sorted, "sort_unsorted": sort_unsorted, "unpaged": unpaged,
            },
            exclusions=("self", "app_name", "sort_sorted", "sort_unsorted"),
        )
        params.update({"sort.sorted": sort_sorted, "sort.unsorted": sort_unsorted})
        response = self._get(app=app_name, endpoint="v{0}/eventlog".format(self._api_version),
                             params=params)
        return Command(self, response)

    def get_event_log_for_an_event(self, app_name, event_id, offset=None, pageNumber=None,
                                   pageSize=None, paged=None, search=None, sort_sorted=None,
                                   sort_unsorted=None, unpaged=None):
        """Get event log for provided app for an event with passed id."""
        _check_path_value("get_event_log_for_an_event", "app_name", app_name)
        _check_path_value("get_event_log_for_an_event", "event_id", event_id)
        params = get_params(
            parameters={
                "app_name": app_name, "event_id": event_id, "offset": offset,
                "pageNumber": pageNumber, "pageSize": pageSize, "paged": paged, "search": search,
                "self": self, "sort_sorted": sort_sorted, "sort_unsorted": sort_unsorted,
                "unpaged": unpaged,
            },
            exclusions=("self", "event_id", "app_name", "sort_sorted", "sort_unsorted"),
        )
        params.update({"sort.sorted": sort_sorted, "sort.unsorted": sort_unsorted})
        response = self._get(app=app_name,
                             endpoint="v{}/eventlog/{}".format(self._api_version, event_id),
                             params=params)
        return Command(self, response)

    def return_all_releases(self):
        """Get all releases."""
        response = self._get(app="entitlements", endpoint="v{0}/releases".format(self._api_version),
                             params={"verify": True})
        return Command(self, response)

    def get_distribution(self, distribution_key, platform):
        """Get the distribution of a downloadable entity for a platform."""
        _check_path_value("get_distribution", "distribution_key", distribution_key)
        params = get_params(
            parameters={"distribution_key": distribution_key, "platform": platform, "self": self},
            exclusions=("self", "distribution_key", "platform"),
        )
        params.update({"distributionKey": distribution_key, "platform": platform})
        response = self._get(app="entitlements",
                             endpoint="v{}/releases/{}".format(self._api_version, distribution_key),
                             params=params)
        return Command(self, response)

    def _delete(self, app, endpoint, params=None):
        url = join_url_parts(self._base_url, "/api/{}".format(app), endpoint)
        response = self._session.delete(url, params=params or {})
        self._handle_http_error(response)
        return response

    def _get(self, app, endpoint, params=None):
        url = join_url_parts(self._base_url, "/api/{}".format(app), endpoint)
        response = self._session.get(url, params=params or {})
        self._handle_http_error(response)
        return response

    def _post(self, app, endpoint, params=None, data=None, files=None, headers=None):
        url = join_url_parts(self._base_url, "/api/{}".format(app), endpoint)
        if data and not isinstance(data, str):
            data = json.dumps({"data": data})
        response = self._session.post(url, params=params or {}, data=data, files=files,
                                      headers=headers)
        self._handle_http_error(response)
        return response

    def _put(self, app, endpoint, params=None, data=None):
        url = join_url_parts(self._base_url, "/api/{}".format(app), endpoint)
        response = self._session.put(url, params=params or {},
                                     data=json.dumps({"data": data or {}}))
        self._handle_http_error(response)
        return response

    def _handle_http_error(self, response):
        """Specific error handling for Accounts, to make better error reporting where applicable."""
        if response.status_code == 500:
            raise InternalServerError(response)
        if response.status_code == 400:
            raise BadRequestError(response)
        response.raise_for_status()


class Command:
    """Command to allow users to interact with commands submitted through Accounts REST API."""

    def __init__(self, api_client, response):
        self.api_client = api_client
        self.response = response
