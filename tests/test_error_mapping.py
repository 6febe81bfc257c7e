import socket

import pytest
import requests

from ferrovane.sdk import accounts_api
from ferrovane.sdk.accounts_api import ApiClient
from ferrovane.sdk.exceptions import BadRequestError, InternalServerError

HELPERS = {"_get": "GET", "_delete": "DELETE", "_post": "POST", "_put": "PUT"}


class StatusFailure(Exception):
    pass


class FakeResponse:
    """Counts how often the error mapping reads the status and asks raise_for_status."""

    def __init__(self, status):
        self._status = status
        self.status_reads = 0
        self.raise_calls = 0

    @property
    def status_code(self):
        self.status_reads += 1
        return self._status

    def raise_for_status(self):
        self.raise_calls += 1
        if isinstance(self._status, int) and self._status >= 400:
            raise StatusFailure(self._status)


@pytest.fixture
def handle():
    return ApiClient("http://accounts.invalid", "token")._handle_http_error


# --- Mapping one response --------------------------------------------------------------------

class Mapped(Exception):
    """Stands in for a package exception; it keeps its arguments and reads nothing of the response."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args)
        self.kwargs = kwargs


@pytest.mark.parametrize("status, name, status_reads", [
    (500, "InternalServerError", 1), (500.0, "InternalServerError", 1), (400, "BadRequestError", 2)])
def test_mapped_statuses_raise_the_class_bound_in_the_module(handle, monkeypatch, status, name, status_reads):
    for other in ("InternalServerError", "BadRequestError"):
        monkeypatch.setattr(accounts_api, other, type(other, (Mapped,), {}))
    response = FakeResponse(status)
    with pytest.raises(Mapped) as raised:
        handle(response)
    assert type(raised.value).__name__ == name
    assert raised.value.args == (response,) and raised.value.kwargs == {} and raised.value.__cause__ is None
    assert (response.status_reads, response.raise_calls) == (status_reads, 0)


@pytest.mark.parametrize("status", [401, 403, 404, 409, 502, 503])
def test_other_failures_raise_what_raise_for_status_raises(handle, status):
    response = FakeResponse(status)
    with pytest.raises(StatusFailure, match=str(status)):
        handle(response=response)
    assert (response.status_reads, response.raise_calls) == (2, 1)


@pytest.mark.parametrize("status", [200, 201, 204, 302])
def test_passing_statuses_return_none_after_one_check(handle, status):
    response = FakeResponse(status)
    assert handle(response) is None
    assert response.raise_calls == 1


def test_response_without_status_code_raises_attribute_error(handle):
    with pytest.raises(AttributeError, match="status_code"):
        handle(object())


def test_exception_class_returning_a_non_exception_gives_type_error(handle, monkeypatch):
    monkeypatch.setattr(accounts_api, "InternalServerError", lambda response: "not an exception")
    with pytest.raises(TypeError, match="BaseException"):
        handle(FakeResponse(500))


# --- Failed responses of a real server -------------------------------------------------------

@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("status, outcome", [
    (500, InternalServerError), (400, BadRequestError), (401, requests.HTTPError), (404, requests.HTTPError),
    (503, requests.HTTPError), (201, None), (204, None)])
def test_helpers_map_real_responses(server, client, helper, status, outcome):
    call = getattr(client, helper)
    if outcome is None:
        assert call("test", f"v3/status/{status}").status_code == status
        return
    with pytest.raises(outcome) as raised:
        call("test", f"v3/status/{status}")
    # Statuses left to raise_for_status get requests' own exception, not a package one.
    assert type(raised.value) is outcome
    assert raised.value.response.status_code == status


@pytest.mark.parametrize("helper, method", HELPERS.items())
@pytest.mark.parametrize("status, exception_class", [(500, InternalServerError), (400, BadRequestError)])
@pytest.mark.parametrize("body, server_message", [
    ({"status": 0, "error": "Failure", "message": "pageSize must be a number"}, "pageSize must be a number"),
    ("Service temporarily unavailable", "Service temporarily unavailable"),
    (None, None),
])
def test_exception_message_names_status_request_and_server_message(
        server, helper, method, status, exception_class, body, server_message):
    server.route(method, "/api/demo/v3/broken", status, body)
    client = ApiClient(server.url, server.token)
    with pytest.raises(exception_class) as raised:
        getattr(client, helper)("demo", "v3/broken", params={"pageSize": "x"})
    message = str(raised.value)
    assert message.startswith(f"{status} ")
    assert f"{method} {server.url}/api/demo/v3/broken?pageSize=x" in message
    assert message.endswith(f": {server_message}") if server_message else message.endswith("pageSize=x")


def test_connection_error_reaches_the_caller_unchanged():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    client = ApiClient(f"http://127.0.0.1:{port}", "token")
    with pytest.raises(requests.ConnectionError):
        client._get("security", "v3/user-info")
    with pytest.raises(requests.ConnectionError):
        client.get_current_user()
