"""Building a client: its attributes, its session, and the globals it reads when it runs."""
import types
import warnings

import pytest
import requests
import urllib3

import ferrovane.sdk.accounts_api as accounts_api
from ferrovane.sdk.accounts_api import ApiClient

URL = "http://127.0.0.1:9"
REQUIRED = {"X-Requested-By": "Accounts", "X-FV-REST-CALL": "true", "content-type": "application/json"}


def insecure_warnings_ignored():
    return any(action == "ignore" and category is urllib3.exceptions.InsecureRequestWarning
               for action, _, category, *_ in warnings.filters)


@pytest.fixture(autouse=True)
def restore_warning_filters():
    with warnings.catch_warnings():
        warnings.resetwarnings()
        yield


def test_attributes_are_stored_as_given():
    token, version = object(), object()
    client = ApiClient(None, token, version)
    assert vars(client) == {"_base_url": None, "_authentication_token": token, "_api_version": version,
                            "_session": client._session}
    assert isinstance(client._session, requests.Session)
    assert ApiClient(URL, "t")._session is not client._session


def test_session_carries_the_required_headers_after_its_own():
    headers = ApiClient(URL, "token")._session.headers
    assert list(headers.items()) == [*requests.Session().headers.items(), *REQUIRED.items()]


@pytest.mark.parametrize(("caller_headers", "expected"), [
    (None, {}),
    ({}, {}),
    ({"Content-Type": "text/plain"}, {"content-type": "text/plain"}),
    ({"x-requested-by": "me", "X-Extra": "1"}, {"X-Requested-By": "me", "X-Extra": "1"}),
    ([("X-Extra", "pairs")], {"X-Extra": "pairs"}),
])
def test_caller_headers_override_without_regard_to_case(caller_headers, expected):
    headers = ApiClient(URL, "token", headers=caller_headers)._session.headers
    assert sum(name.lower() == "content-type" for name in headers) == 1
    for name, value in {**REQUIRED, **expected}.items():
        assert headers[name] == (expected.get(name.lower()) or expected.get(name) or value)


def test_session_attributes_are_set_after_the_headers():
    client = ApiClient(URL, "token", headers={"X-Extra": "1"},
                       session_attributes={"max_redirects": 3, "headers": {"Only": "this"}})
    assert client._session.max_redirects == 3
    assert dict(client._session.headers) == {"Only": "this"}


@pytest.mark.parametrize(("verify", "ignored"), [(False, True), (None, True), ("", True), (0, True),
                                                 ("/etc/ssl/ca.pem", False), (True, False)])
def test_unverified_sessions_silence_the_insecure_request_warning(verify, ignored):
    client = ApiClient(URL, "token", session_attributes={"verify": verify})
    assert client._session.verify == verify
    assert insecure_warnings_ignored() == ignored


def test_changing_verify_later_leaves_the_warnings_alone():
    ApiClient(URL, "token")._session.verify = False
    assert not insecure_warnings_ignored()


class RefusingSession(requests.Session):
    def __setattr__(self, name, value):
        if name == "refused":
            raise PermissionError("refused")
        super().__setattr__(name, value)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(("kwargs", "error", "message"), [
    ({"session_attributes": [("verify", False)]}, AttributeError, "'list' object has no attribute 'items'"),
    ({"session_attributes": True}, AttributeError, "'bool' object has no attribute 'items'"),
    ({"session_attributes": {"verify": False}.keys()}, AttributeError, "has no attribute 'items'"),
    ({"session_attributes": BadTruth()}, ZeroDivisionError, None),
    ({"headers": BadTruth()}, ZeroDivisionError, None),
    ({"headers": 5}, TypeError, None),
])
def test_bad_arguments_fail_where_they_are_used(kwargs, error, message):
    with pytest.raises(error, match=message):
        ApiClient(URL, "token", **kwargs)


@pytest.mark.parametrize(("items", "error", "message"), [
    ([("verify",)], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ([("a", 1, 2)], ValueError, r"too many values to unpack \(expected 2\)"),
    ([7], TypeError, "cannot unpack non-iterable int object"),
    ([(3, "x")], TypeError, "attribute name must be string"),
])
def test_session_attribute_items_must_be_pairs(items, error, message):
    class Attributes(dict):
        def items(self):
            return items

    with pytest.raises(error, match=message):
        ApiClient(URL, "token", session_attributes=Attributes(x=1))


def test_an_attribute_the_session_refuses(monkeypatch):
    monkeypatch.setattr(accounts_api, "requests", types.SimpleNamespace(Session=RefusingSession))
    with pytest.raises(PermissionError):
        ApiClient(URL, "token", session_attributes={"timeout": 1, "refused": True})


def test_globals_are_read_when_the_constructor_runs(monkeypatch):
    sessions = []

    class RecordingSession(requests.Session):
        def __init__(self):
            super().__init__()
            sessions.append(self)

    monkeypatch.setattr(accounts_api, "requests", types.SimpleNamespace(Session=RecordingSession))
    monkeypatch.setitem(accounts_api.REQUIRED_HEADERS, "X-Requested-By", "Later")
    monkeypatch.setattr(accounts_api, "DEFAULT_ACCOUNTS_API_VERSION", 4)
    client = ApiClient(URL, "token")
    assert sessions == [client._session]
    assert client._session.headers["X-Requested-By"] == "Later"
    assert client._api_version == 3  # the default was taken when the class was built


def test_disable_warnings_is_looked_up_at_call_time(monkeypatch):
    calls = []
    fake = types.SimpleNamespace(disable_warnings=calls.append, exceptions=urllib3.exceptions)
    monkeypatch.setattr(accounts_api, "urllib3", fake)
    ApiClient(URL, "token", session_attributes={"verify": False})
    assert calls == [urllib3.exceptions.InsecureRequestWarning]


@pytest.mark.parametrize("name", ["requests", "REQUIRED_HEADERS", "urllib3"])
def test_a_missing_global_raises_name_error(monkeypatch, name):
    monkeypatch.delattr(accounts_api, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        ApiClient(URL, "token", session_attributes={"verify": False})


def test_a_global_missing_from_the_module_is_found_among_the_builtins(monkeypatch):
    import builtins

    monkeypatch.delattr(accounts_api, "requests")
    monkeypatch.setattr(builtins, "requests", requests, raising=False)
    assert isinstance(ApiClient(URL, "token")._session, requests.Session)
