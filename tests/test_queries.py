import pytest
import requests

from ferrovane.sdk import accounts_api
from ferrovane.sdk.accounts_api import ApiClient, Command
from ferrovane.sdk.exceptions import BadRequestError, InternalServerError

EVENT_OPTIONS = dict(offset=5, pageNumber=1, pageSize="10", paged=True, search="locked", sort_sorted=True,
                     sort_unsorted=False, unpaged=False)
EVENT_QUERY = [("offset", "5"), ("pageNumber", "1"), ("pageSize", "10"), ("paged", "True"), ("search", "locked"),
               ("unpaged", "False"), ("sort.sorted", "True"), ("sort.unsorted", "False")]


# --- Requests on the wire ----------------------------------------------------------------------

@pytest.mark.parametrize("method, args, kwargs, path, query", [
    ("get_current_user", (), {}, "/api/security/v3/user-info", []),
    ("get_event_log", ("security",), {}, "/api/security/v3/eventlog", []),
    ("get_event_log", ("entitlements",), EVENT_OPTIONS, "/api/entitlements/v3/eventlog", EVENT_QUERY),
    ("get_event_log", ("security", *EVENT_OPTIONS.values()), {}, "/api/security/v3/eventlog", EVENT_QUERY),
    ("get_event_log", ("security",), dict.fromkeys(EVENT_OPTIONS), "/api/security/v3/eventlog", []),
    ("get_event_log", ("security",), {"sort_unsorted": True}, "/api/security/v3/eventlog",
     [("sort.unsorted", "True")]),
    ("get_event_log_for_an_event", ("security", 1001), {}, "/api/security/v3/eventlog/1001", []),
    ("get_event_log_for_an_event", ("security", "1001", *EVENT_OPTIONS.values()), {},
     "/api/security/v3/eventlog/1001", EVENT_QUERY),
    ("return_all_releases", (), {}, "/api/entitlements/v3/releases", [("verify", "True")]),
    ("get_distribution", ("orvik-4.2.0", "linux-armhf"), {}, "/api/entitlements/v3/releases/orvik-4.2.0",
     [("distributionKey", "orvik-4.2.0"), ("platform", "linux-armhf")]),
    ("get_distribution", (), {"platform": "linux-armhf", "distribution_key": "orvik-4.2.0"},
     "/api/entitlements/v3/releases/orvik-4.2.0", [("distributionKey", "orvik-4.2.0"), ("platform", "linux-armhf")]),
])
def test_query_sends_one_get_and_returns_a_command(server, client, method, args, kwargs, path, query):
    # Wraps the client's own _get to see how the query calls it and what it returns.
    helper_calls = []
    send = client._get
    client._get = lambda **keywords: helper_calls.append((keywords, send(**keywords))) or helper_calls[-1][1]

    result = getattr(client, method)(*args, **kwargs)

    [request] = server.requests
    assert (request.method, request.path, request.query) == ("GET", path, query)
    [(keywords, response)] = helper_calls
    assert list(keywords) == ["app", "endpoint"] + (["params"] if method != "get_current_user" else [])
    assert type(result) is Command and result.api_client is client and result.response is response
    assert response.status_code == 200 and response.json()


@pytest.mark.parametrize("call, path, query, failure", [
    (lambda c: c.get_distribution("orvik-4.2.0", None), "/api/entitlements/v3/releases/orvik-4.2.0",
     [("distributionKey", "orvik-4.2.0")], BadRequestError),
    (lambda c: c.get_distribution(None, "linux-armhf"), "/api/entitlements/v3/releases/None",
     [("platform", "linux-armhf")], requests.HTTPError),
    # Ids and keys go into the path as they are, so a slash is a path separator; but what
    # would end the path is escaped: a value never asks a query or reaches another endpoint.
    (lambda c: c.get_event_log_for_an_event("security", "1015?x=y"), "/api/security/v3/eventlog/1015%3Fx=y", [],
     requests.HTTPError),
    (lambda c: c.get_event_log_for_an_event("security?x=y", "1015#frag"),
     "/api/security%3Fx=y/v3/eventlog/1015%23frag", [], requests.HTTPError),
    (lambda c: c.get_event_log_for_an_event("security", "10/01"), "/api/security/v3/eventlog/10/01", [],
     requests.HTTPError),
    (lambda c: c.get_distribution("a/b", "x"), "/api/entitlements/v3/releases/a/b",
     [("distributionKey", "a/b"), ("platform", "x")], requests.HTTPError),
])
def test_failed_queries_raise_after_sending_the_request(server, client, call, path, query, failure, accounts_canary):
    with pytest.raises(failure) as raised:
        call(client)
    assert type(raised.value) is failure
    [request] = server.requests
    assert (request.path, request.query) == (path, query)


@pytest.mark.parametrize("call, refusal", [
    (lambda c: c.get_event_log_for_an_event("security", "../../../entitlements/v3/releases"), "dot segment '..'"),
    (lambda c: c.get_event_log("..", pageSize=3), "dot segment '..'"),
    (lambda c: c.get_distribution("%2E%2E", "linux-armhf"), "dot segment '%2E%2E'"),
    (lambda c: c.get_event_log_for_an_event("security", "..;/..;/..;/entitlements/v3/releases"), "dot segment '..;'"),
    (lambda c: c.get_event_log("%2e;x"), "dot segment '%2e;x'"),
    (lambda c: c.get_event_log(""), r"get_event_log\(\) argument 'app_name' would leave its path segment empty \(''\)"),
    (lambda c: c.get_event_log_for_an_event("/", 7), "argument 'app_name' would leave"),
    (lambda c: c.get_event_log_for_an_event("security", ""), "argument 'event_id' would leave"),
    (lambda c: c.get_distribution("//", "linux-armhf"), "argument 'distribution_key' would leave"),
])
def test_a_value_that_would_climb_or_empty_the_path_sends_nothing(server, implementation, call, refusal):
    client = server.client(implementation[0].ApiClient)
    with pytest.raises(ValueError, match=refusal):
        call(client)
    assert server.requests == []


def test_failing_statuses_raise_instead_of_returning(server, client, accounts_canary):
    server.route("GET", "/api/security/v3/user-info", 500, {"message": "database down"})
    with pytest.raises(InternalServerError, match="database down"):
        client.get_current_user()
    server.route("GET", "/api/entitlements/v3/releases", 400, {"message": "bad"})
    with pytest.raises(BadRequestError):
        client.return_all_releases()
    with pytest.raises(requests.HTTPError) as not_found:
        client.get_event_log("billing")
    assert not_found.value.response.status_code == 404


@pytest.mark.parametrize("call, endpoint", [
    (lambda c: c.get_current_user(), "/api/security/v{}/user-info"),
    (lambda c: c.get_event_log("security"), "/api/security/v{}/eventlog"),
    (lambda c: c.get_event_log_for_an_event("security", 1002), "/api/security/v{}/eventlog/1002"),
    (lambda c: c.return_all_releases(), "/api/entitlements/v{}/releases"),
    (lambda c: c.get_distribution("orvik-4.1.3", "linux-armhf"), "/api/entitlements/v{}/releases/orvik-4.1.3"),
])
def test_api_version_is_read_at_each_call(server, call, endpoint):
    client = ApiClient(server.url, server.token, api_version=2)
    client.login()
    call(client)
    client._api_version = 5
    call(client)
    assert [request.path for request in server.requests] == [endpoint.format(2), endpoint.format(5)]


# --- Login state -----------------------------------------------------------------------------

def test_authorization_header_follows_login_and_logout(server):
    client = ApiClient(server.url, server.token)
    with pytest.raises(requests.HTTPError) as refused:
        client.get_current_user()
    assert type(refused.value) is requests.HTTPError and refused.value.response.status_code == 401
    client.login()
    assert client.get_current_user().response.json()["username"] == "demo.user"
    client.logout()
    with pytest.raises(requests.HTTPError):
        client.get_current_user()
    with pytest.raises(KeyError):
        client.logout()
    sent = [request.headers.get("Authorization") for request in server.requests]
    assert sent == [None, f"Bearer {server.token}", None]
    assert all(request.headers["X-Requested-By"] == "Accounts" for request in server.requests)


# --- Module names looked up at call time ----------------------------------------------------

@pytest.mark.parametrize("call, parameters, exclusions, wire_additions", [
    (lambda c: c.get_event_log("security", offset=3, search="x"),
     ["app_name", "offset", "pageNumber", "pageSize", "paged", "search", "self", "sort_sorted",
      "sort_unsorted", "unpaged"],
     ("self", "app_name", "sort_sorted", "sort_unsorted"), []),
    (lambda c: c.get_event_log_for_an_event("security", 1001, offset=3, search="x", sort_sorted=False),
     ["app_name", "event_id", "offset", "pageNumber", "pageSize", "paged", "search", "self", "sort_sorted",
      "sort_unsorted", "unpaged"],
     ("self", "event_id", "app_name", "sort_sorted", "sort_unsorted"), [("sort.sorted", "False")]),
    (lambda c: c.get_distribution("orvik-4.2.0", "linux-armhf"), ["distribution_key", "platform", "self"],
     ("self", "distribution_key", "platform"), [("distributionKey", "orvik-4.2.0"), ("platform", "linux-armhf")]),
])
def test_get_params_is_called_by_keyword_and_its_result_is_sent(
        server, client, monkeypatch, call, parameters, exclusions, wire_additions):
    calls = []

    def get_params(*args, **kwargs):
        calls.append((args, kwargs))
        return {"extra": "1"}
    monkeypatch.setattr(accounts_api, "get_params", get_params)
    call(client)
    [(args, kwargs)] = calls
    assert args == () and list(kwargs) == ["parameters", "exclusions"]
    assert list(kwargs["parameters"]) == parameters and kwargs["parameters"]["self"] is client
    assert kwargs["exclusions"] == exclusions
    assert server.requests[-1].query == [("extra", "1")] + wire_additions


def test_event_log_options_reach_get_params_unchanged(server, client, monkeypatch):
    seen = []
    monkeypatch.setattr(accounts_api, "get_params", lambda **kwargs: seen.append(kwargs["parameters"]) or {})
    marker = object()
    client.get_event_log("security", marker, paged=False)
    assert seen[0]["offset"] is marker and seen[0]["paged"] is False and seen[0]["app_name"] == "security"
    assert seen[0]["search"] is None


def test_command_is_looked_up_at_call_time(server, client, monkeypatch):
    class Result(Command):
        pass
    monkeypatch.setattr(accounts_api, "Command", Result)
    assert type(client.return_all_releases()) is Result
    built = []
    monkeypatch.setattr(accounts_api, "Command", lambda *args, **kwargs: built.append((args, kwargs)) or "built")
    assert client.get_current_user() == "built"
    [((api_client, response), keywords)] = built
    assert api_client is client and isinstance(response, requests.Response) and keywords == {}


# --- Command ---------------------------------------------------------------------------------

@pytest.mark.parametrize("build", [
    lambda c, r: Command(c, r), lambda c, r: Command(c, response=r), lambda c, r: Command(api_client=c, response=r),
    lambda c, r: Command(response=r, api_client=c)])
def test_command_holds_the_very_objects(build):
    api_client, response = object(), object()
    first, second = build(api_client, response), build(api_client, response)
    assert first.api_client is api_client and first.response is response
    assert first is not second and first != second
    first.note = "callers may attach attributes"
    assert vars(first) == {"api_client": api_client, "response": response, "note": "callers may attach attributes"}


def test_command_accepts_none():
    result = Command(None, None)
    assert result.api_client is None and result.response is None


@pytest.mark.parametrize("args, kwargs", [
    ((1,), {}), ((), {}), ((1, 2, 3), {}), ((1, 2), {"extra": 3}), ((1,), {"api_client": 2}),
    ((1, 2), {"response": 2})])
def test_command_binding_errors(args, kwargs):
    with pytest.raises(TypeError):
        Command(*args, **kwargs)
