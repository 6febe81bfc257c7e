from types import SimpleNamespace

import pytest
import requests

from ferrovane.sdk import accounts_api
from ferrovane.sdk.accounts_api import ApiClient

HELPERS = {"_get": "GET", "_delete": "DELETE", "_post": "POST", "_put": "PUT"}
PASSING = SimpleNamespace(status_code=200, raise_for_status=lambda: None)


class RecordingSession:
    """Stands in for a client's session where the exact shape of the session call is the point."""

    def __init__(self, log=None):
        self.calls = []
        self.log = log if log is not None else []

    def __getattr__(self, name):
        self.log.append(f"session.{name}")

        def send(*args, **kwargs):
            self.log.append(f"{name}()")
            self.calls.append((name, args, kwargs))
            return PASSING
        return send


@pytest.fixture
def fake_session_client():
    client = ApiClient("http://accounts.invalid", "token")
    client._session = RecordingSession()
    return client


# --- URL and query string on the wire -------------------------------------------------------

@pytest.mark.parametrize("helper, method", HELPERS.items())
@pytest.mark.parametrize("prefix, suffix, endpoint", [
    ("", "", "v3/thing"), ("", "/", "/v3/thing"), ("/accounts", "", "v3/thing"), ("/accounts", "/", "/v3/thing")])
def test_request_url_is_server_url_app_and_endpoint(server, helper, method, prefix, suffix, endpoint):
    path = f"{prefix}/api/demo/v3/thing"
    server.route(method, path, 200, {"ok": True})
    client = ApiClient(server.url + prefix + suffix, server.token)
    response = getattr(client, helper)("demo", endpoint)
    assert isinstance(response, requests.Response) and response.json() == {"ok": True}
    [request] = server.requests
    assert (request.method, request.path, request.query_string) == (method, path, "")


@pytest.mark.parametrize("helper", HELPERS)
def test_query_parameters_reach_the_wire(server, client, helper):
    getattr(client, helper)("test", "v3/status/200", params={"pageSize": 10, "search": None, "paged": True})
    assert server.requests[-1].query == [("pageSize", "10"), ("paged", "True")]


@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("given", [None, {}, [], (), 0, "", False])
def test_false_params_become_a_fresh_empty_dict(fake_session_client, helper, given):
    for _ in range(2):
        getattr(fake_session_client, helper)("security", "v3/user-info", params=given)
    sent = [kwargs["params"] for _, _, kwargs in fake_session_client._session.calls]
    assert sent == [{}, {}] and all(type(params) is dict for params in sent)
    assert sent[0] is not sent[1] and given is not sent[0]


@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("given", [{"pageSize": 10}, [("pageSize", 10)], "pageSize=10"])
def test_true_params_are_passed_as_the_very_object(fake_session_client, helper, given):
    getattr(fake_session_client, helper)("security", "v3/user-info", params=given)
    [(_, _, kwargs)] = fake_session_client._session.calls
    assert kwargs["params"] is given


# --- The exact session call ----------------------------------------------------------------

@pytest.mark.parametrize("helper, session_method, keywords", [
    ("_get", "get", {"params": {}}),
    ("_delete", "delete", {"params": {}}),
    ("_post", "post", {"params": {}, "data": None, "files": None, "headers": None}),
    ("_put", "put", {"params": {}, "data": '{"data": {}}'}),
])
def test_session_call_passes_the_url_and_exactly_these_keywords(fake_session_client, helper, session_method, keywords):
    response = getattr(fake_session_client, helper)("security", "v3/user-info")
    [(name, args, kwargs)] = fake_session_client._session.calls
    assert (name, args) == (session_method, ("http://accounts.invalid/api/security/v3/user-info",))
    assert list(kwargs.items()) == list(keywords.items())
    assert response is PASSING


def test_post_passes_files_and_headers_unchanged(fake_session_client):
    files, headers = {"upload": ("a.txt", b"x")}, {"X-Extra": "1"}
    fake_session_client._post("security", "v3/x", data="raw", files=files, headers=headers)
    [(_, _, kwargs)] = fake_session_client._session.calls
    assert kwargs["data"] == "raw" and kwargs["files"] is files and kwargs["headers"] is headers


# --- Request bodies ------------------------------------------------------------------------

class StrSubclass(str):
    pass


@pytest.mark.parametrize("helper, data, wire_body", [
    ("_post", {"name": "x"}, '{"data": {"name": "x"}}'),
    ("_post", [1, "é"], '{"data": [1, "\\u00e9"]}'),
    ("_post", "plain text", "plain text"),
    ("_post", StrSubclass("plain"), "plain"),
    ("_post", {}, ""), ("_post", [], ""), ("_post", "", ""), ("_post", None, ""), ("_post", 0, ""),
    ("_put", {"name": "x"}, '{"data": {"name": "x"}}'),
    ("_put", [1, "é"], '{"data": [1, "\\u00e9"]}'),
    ("_put", "plain text", '{"data": "plain text"}'),
    ("_put", {}, '{"data": {}}'), ("_put", [], '{"data": {}}'), ("_put", "", '{"data": {}}'),
    ("_put", None, '{"data": {}}'), ("_put", 0, '{"data": {}}'),
])
def test_request_body_on_the_wire(server, client, helper, data, wire_body):
    getattr(client, helper)("test", "v3/status/201", data=data)
    assert server.requests[-1].body.decode() == wire_body


@pytest.mark.parametrize("helper, data, encoded", [
    ("_post", {"k": 1}, True), ("_post", [0], True), ("_post", 5, True),
    ("_post", "text", False), ("_post", 0, False), ("_post", {}, False),
    ("_put", {"k": 1}, True), ("_put", "text", True), ("_put", 0, True),
])
def test_json_dumps_is_looked_up_at_call_time(fake_session_client, monkeypatch, helper, data, encoded):
    dumped = []
    monkeypatch.setattr(accounts_api, "json", SimpleNamespace(dumps=lambda *a, **k: dumped.append((a, k)) or "<json>"))
    getattr(fake_session_client, helper)("security", "v3/x", data=data)
    [(_, _, kwargs)] = fake_session_client._session.calls
    if encoded:
        [((envelope,), options)] = dumped
        assert options == {} and list(envelope) == ["data"] and kwargs["data"] == "<json>"
        assert envelope["data"] is data if data else envelope["data"] == {}
    else:
        assert dumped == [] and kwargs["data"] is data


@pytest.mark.parametrize("helper", ["_post", "_put"])
@pytest.mark.parametrize("data", [{1, 2}, b"bytes", {"when": object()}])
def test_data_json_cannot_encode_sends_nothing(server, client, helper, data):
    with pytest.raises(TypeError, match="not JSON serializable"):
        getattr(client, helper)("test", "v3/status/200", data=data)
    assert server.requests == []


# --- Names and methods looked up at call time ----------------------------------------------

@pytest.mark.parametrize("helper", HELPERS)
@pytest.mark.parametrize("app, app_path", [("security", "/api/security"), (7, "/api/7")])
def test_join_url_parts_is_looked_up_at_call_time(server, client, monkeypatch, helper, app, app_path):
    joined = []

    def join_url_parts(*parts, **keywords):
        joined.append((parts, keywords))
        return server.url + "/api/test/v3/status/204"
    monkeypatch.setattr(accounts_api, "join_url_parts", join_url_parts)
    response = getattr(client, helper)(app, "v3/anything")
    assert joined == [((server.url, app_path, "v3/anything"), {})]
    assert response.status_code == 204 and server.requests[-1].path == "/api/test/v3/status/204"


@pytest.mark.parametrize("helper", HELPERS)
def test_join_url_parts_failure_sends_nothing(server, client, monkeypatch, helper):
    monkeypatch.setattr(accounts_api, "join_url_parts", lambda *parts: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        getattr(client, helper)("security", "v3/user-info")
    assert server.requests == []


class TolerantClient(ApiClient):
    def _handle_http_error(self, response):
        self.handled = response


@pytest.mark.parametrize("helper, method", HELPERS.items())
@pytest.mark.parametrize("where", ["subclass", "instance"])
def test_handle_http_error_override_is_used(server, helper, method, where):
    server.route(method, "/api/demo/v3/broken", 500, {"message": "boom"})
    if where == "subclass":
        client = TolerantClient(server.url, server.token)
    else:
        client = ApiClient(server.url, server.token)
        client._handle_http_error = lambda response: setattr(client, "handled", response)
    response = getattr(client, helper)("demo", "v3/broken")
    assert response.status_code == 500 and client.handled is response


class TracedClient(ApiClient):
    """Logs reads of the attributes whose order the helpers fix."""

    def __getattribute__(self, name):
        if name in ("_base_url", "_session", "_handle_http_error") and "log" in self.__dict__:
            self.__dict__["log"].append(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("helper, data, expected", [
    ("_get", None, ["_base_url", "join()", "_session", "session.get", "get()", "_handle_http_error"]),
    ("_delete", None, ["_base_url", "join()", "_session", "session.delete", "delete()", "_handle_http_error"]),
    # _post encodes before it touches the session, _put after reading session.put.
    ("_post", {"k": 1}, ["_base_url", "join()", "dumps()", "_session", "session.post", "post()",
                         "_handle_http_error"]),
    ("_put", {"k": 1}, ["_base_url", "join()", "_session", "session.put", "dumps()", "put()",
                        "_handle_http_error"]),
])
def test_order_of_reads_and_calls(monkeypatch, helper, data, expected):
    client = TracedClient("http://accounts.invalid", "token")
    client.log = log = []
    client._session = RecordingSession(log)
    monkeypatch.setattr(accounts_api, "join_url_parts", lambda *parts: log.append("join()") or "http://x/")
    monkeypatch.setattr(accounts_api, "json", SimpleNamespace(dumps=lambda body: log.append("dumps()") or "{}"))
    getattr(client, helper)("security", "v3/x", **({"data": data} if data else {}))
    assert log == expected



@pytest.mark.parametrize("helper", ["_get", "_delete", "_post", "_put"])
def test_params_are_worked_out_after_the_session_method_is_read(helper):
    # Reading the session method may change the caller's params: an emptied dict
    # is false by the time the rule looks at it, so a new empty one is sent.
    caller_params = {"pageSize": 10}
    sent = []

    class ClearingSession:
        @property
        def get(self):
            caller_params.clear()
            return lambda url, **kwargs: sent.append(kwargs["params"]) or PASSING
        delete = post = put = get

    client = ApiClient("http://accounts.invalid", "token")
    client._session = ClearingSession()
    getattr(client, helper)("security", "v3/x", caller_params)
    assert sent == [{}] and sent[0] is not caller_params
