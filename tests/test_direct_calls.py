"""The client calls the utils module's own functions, and builds some texts, by shorter
routes than the general ones; every result must be the one the general route gives."""

import re

import pytest
import requests
from hypothesis import given, settings, strategies as st

from ferrovane.sdk import accounts_api, utils
from ferrovane.sdk.accounts_api import ApiClient


class RecordingSession:
    def __init__(self):
        self.sent = []
        self.response = requests.Response()
        self.response.status_code = 200

    def get(self, url, params):
        self.sent.append((url, list(params.items())))
        return self.response


def recording_client(api_version=3, server_url="http://h/accounts/"):
    client = ApiClient(server_url, "t", api_version=api_version)
    client._session = RecordingSession()
    return client


QUERIES = [
    lambda c: c.get_event_log("security"),
    lambda c: c.get_event_log("security", 0, 1, "10", True, "login", False, True, False),
    lambda c: c.get_event_log("billing", pageSize=None, search="a/b?c", sort_unsorted=0),
    lambda c: c.get_event_log_for_an_event("security", "evt-42", offset=7, sort_sorted=None),
    lambda c: c.get_distribution("orvik-4.1.3", "linux-armhf"),
    lambda c: c.get_current_user(),
    lambda c: c.return_all_releases(),
]


@pytest.mark.parametrize("query", QUERIES)
def test_requests_match_those_made_through_python_wrappers(query, monkeypatch):
    direct = recording_client()
    query(direct)
    # Wrappers are not the utils module's functions, so they get the general call.
    monkeypatch.setattr(accounts_api, "get_params", lambda **kwargs: utils.get_params(**kwargs))
    monkeypatch.setattr(accounts_api, "join_url_parts", lambda *parts: utils.join_url_parts(*parts))
    general = recording_client()
    query(general)
    assert direct._session.sent == general._session.sent


def test_one_utils_function_is_not_taken_for_the_other(monkeypatch):
    client = recording_client()
    monkeypatch.setattr(accounts_api, "get_params", utils.join_url_parts)
    with pytest.raises(TypeError, match="join_url_parts"):
        client.get_event_log("security")
    monkeypatch.undo()
    monkeypatch.setattr(accounts_api, "join_url_parts", utils.get_params)
    with pytest.raises(TypeError, match=r"get_params\(\) takes 2 arguments \(3 given\)"):
        client.get_current_user()
    assert client._session.sent == []


class Version(int):
    def __format__(self, spec):
        return "seven"


class App(str):
    def __format__(self, spec):
        return "formatted"


@pytest.mark.parametrize("api_version, endpoint", [
    (3, "v3/eventlog"), (0, "v0/eventlog"), (99, "v99/eventlog"), (100, "v100/eventlog"),
    (-1, "v-1/eventlog"), (True, "vTrue/eventlog"), (3.0, "v3.0/eventlog"), (Version(7), "vseven/eventlog"),
    ("x", "vx/eventlog"),
])
def test_endpoint_text_follows_the_api_version_each_call(api_version, endpoint):
    client = recording_client()
    client.get_event_log("security")
    client._api_version = api_version
    client.get_event_log("security")
    client._api_version = 3
    client.get_event_log("security")
    urls = [url for url, _ in client._session.sent]
    assert urls == ["http://h/accounts/api/security/v3/eventlog", "http://h/accounts/api/security/" + endpoint,
                    "http://h/accounts/api/security/v3/eventlog"]


@pytest.mark.parametrize("app, path", [
    ("security", "/api/security/"),
    ("".join(["secu", "rity"]), "/api/security/"),
    ("entitlements", "/api/entitlements/"),
    (App("security"), "/api/formatted/"),
    (42, "/api/42/"),
])
def test_application_path_is_the_formatted_name(app, path):
    client = recording_client()
    client.get_event_log(app)
    [(url, _)] = client._session.sent
    assert url == "http://h/accounts" + path + "v3/eventlog"


def reference_join(*parts):
    if not parts:
        return ""
    joined = parts[0]
    for part in parts[1:]:
        if any(segment in (".", "..") for segment in part.split("/")):
            return ValueError
        part = re.sub(r"[?#]|%(?![0-9A-Fa-f]{2})", lambda match: f"%{ord(match.group()):02X}", part)
        if not part:
            continue
        joined = part if not joined else joined.rstrip("/") + "/" + part.lstrip("/")
    return joined


url_text = st.text(alphabet="/a:.é?#%2F", max_size=12) | st.just("/" * 700) | st.just("b" * 1100)


@settings(max_examples=400, deadline=None)
@given(st.lists(url_text, max_size=5))
def test_join_matches_the_reference_for_short_long_ascii_and_other_parts(parts):
    try:
        joined = utils.join_url_parts(*parts)
    except ValueError:
        joined = ValueError
    assert joined == reference_join(*parts)
