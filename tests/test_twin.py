"""The plain-Python twin of the client (tests/reference) as the oracle of the native one.

Both clients are built and called alike, with every session, urllib3 call and header change
recorded: they must make the same calls with the same arguments, and return equal results or
raise the same exception with the same message. Argument binding is the exception: the native
methods word their TypeErrors in the older style of C functions ("takes at most 10 positional
arguments (11 given)"), which test_method_objects checks; here only the type must match.
"""
import os
import sys
import types

import pytest
import requests
from hypothesis import given, settings, strategies as st
from requests.structures import CaseInsensitiveDict

from ferrovane.sdk import accounts_api
from reference import accounts_api as twin

BENCH = os.path.join(os.path.dirname(__file__), "..", "bench")
if os.path.isdir(BENCH):  # the benchmark's rows, where the tree has them
    sys.path.insert(0, BENCH)
    import benchmark
else:
    benchmark = None

URL = "http://accounts.example/base"
TOKEN = "t0ken"


class RecordingHeaders(CaseInsensitiveDict):
    def __init__(self, log):
        self.log = log
        super().__init__()

    def __setitem__(self, name, value):
        self.log.append(("header set", name, value))
        super().__setitem__(name, value)

    def __delitem__(self, name):
        self.log.append(("header del", name))
        super().__delitem__(name)


class RecordingSession:
    """Stands in for requests.Session: notes everything done to it and answers every request
    with a fresh response of the test's status."""

    def __init__(self, log, status):
        vars(self).update(log=log, status=status, headers=RecordingHeaders(log), verify=True)

    def __setattr__(self, name, value):
        self.log.append(("session set", name, value))
        super().__setattr__(name, value)

    def _send(self, method, *args, **kwargs):
        self.log.append((method, args, kwargs))
        return answer(self.status)

    def get(self, *args, **kwargs):
        return self._send("GET", *args, **kwargs)

    def post(self, *args, **kwargs):
        return self._send("POST", *args, **kwargs)

    def put(self, *args, **kwargs):
        return self._send("PUT", *args, **kwargs)

    def delete(self, *args, **kwargs):
        return self._send("DELETE", *args, **kwargs)


def answer(status):
    response = requests.Response()
    response.status_code = status
    response.reason = "Reason"
    response.url = URL + "/api/x"
    response._content = b'{"message": "the server says no"}'
    return response


def comparable(value, client):
    """A result in terms that hold across the two clients."""
    if type(value).__name__ == "Command":
        return ("Command", value.api_client is client, comparable(value.response, client))
    if isinstance(value, requests.Response):
        return ("Response", value.status_code)
    return value


def run(module, monkeypatch, status, construct, call):
    """What one client does: the log of everything recorded, and the outcome of building it and
    making the call (a failure in either ends it)."""
    log = []
    monkeypatch.setattr(module, "requests", types.SimpleNamespace(Session=lambda: RecordingSession(log, status)))
    monkeypatch.setattr(module, "urllib3", types.SimpleNamespace(
        disable_warnings=lambda *args: log.append(("disable_warnings", args)),
        exceptions=types.SimpleNamespace(InsecureRequestWarning=Warning)))
    try:
        client = construct(module)
        outcome = comparable(call(client), client)
    except Exception as error:  # the same failure on both sides is the point
        outcome = (type(error), str(error))
    return log, outcome


def client_with(*args, **kwargs):
    return lambda module: module.ApiClient(*args, **kwargs)


def method_call(name, args, kwargs, refused):
    return pytest.param(lambda client: getattr(client, name)(*args, **kwargs), refused,
                        id=f"{name}{args}{kwargs}".replace(" ", ""))


def call(name, *args, **kwargs):
    return method_call(name, args, kwargs, refused=False)


def misbound(name, *args, **kwargs):
    """A call that argument binding refuses."""
    return method_call(name, args, kwargs, refused=True)


def statement(text):
    namespace = {"url": URL, "token": TOKEN, "params": {"pageSize": 10}, "body": {"name": "notes", "on": True}}
    return pytest.param(lambda client: exec(text, {**namespace, "client": client, "ApiClient": type(client)}), False,
                        id=f"benchmark: {text}")


def binding_failure(result):
    """The result with a binding TypeError's wording left out."""
    log, outcome = result
    assert isinstance(outcome, tuple) and outcome[0] is TypeError, outcome
    return log, TypeError


EVENT_OPTIONS = dict(offset=0, pageNumber=1, pageSize=10, paged=True, search="login", sort_sorted=True,
                     sort_unsorted=False, unpaged=False)

CALLS = [
    # The benchmark's rows, as it runs them.
    *(statement(row.statement) for row in (benchmark.ROWS if benchmark else ()) if not row.construction),
    call("login"),
    call("logout"),
    call("get_current_user"),
    call("get_event_log", "security", **EVENT_OPTIONS),
    call("get_event_log", "security", *EVENT_OPTIONS.values()),
    misbound("get_event_log", "security", *EVENT_OPTIONS.values(), 1),
    call("get_event_log", app_name="entitlements", search=None, sort_unsorted=True),
    misbound("get_event_log"),
    misbound("get_event_log", "security", page=2),
    misbound("get_event_log", "security", app_name="security"),
    call("get_event_log_for_an_event", "security", 1001),
    call("get_event_log_for_an_event", "security", "10/01", pageSize=5, sort_sorted=False),
    misbound("get_event_log_for_an_event", "security"),
    call("return_all_releases"),
    misbound("return_all_releases", 1),
    call("get_distribution", "orvik-4.2.0", "linux-armhf"),
    call("get_distribution", platform="linux-armhf", distribution_key="orvik-4.2.0"),
    call("get_distribution", None, None),
    call("_get", "security", "v3/eventlog"),
    call("_get", "security", "/v3/eventlog/", {"pageSize": 10}),
    call("_get", app="", endpoint="", params={}),
    call("_post", "security", "v3/items", {"q": 1}, {"name": "x"}, {"f": b"data"}, {"X-One": "1"}),
    call("_post", "security", "v3/items", data="raw text"),
    call("_post", "security", "v3/items", data={}),
    call("_post", "security", "v3/items", data=[1, 2]),
    call("_post", "security", "v3/items", data=b"bytes"),
    call("_put", "security", "v3/items", data={"name": "x"}),
    call("_put", "security", "v3/items", {"q": 1}),
    call("_put", "security", "v3/items", data="text"),
    call("_delete", "security", "v3/items/7", {"force": True}),
    call("_delete", "security", "v3/items/7"),
    misbound("_delete", "security"),
    call("_handle_http_error", answer(404)),
    call("_handle_http_error", answer(400)),
    call("_handle_http_error", None),
]


@pytest.mark.parametrize("status", [200, 400, 404, 500])
@pytest.mark.parametrize("action, refused", CALLS)
def test_calls_match_the_twin(monkeypatch, status, action, refused):
    construct = client_with(URL, TOKEN)
    native = run(accounts_api, monkeypatch, status, construct, action)
    plain = run(twin, monkeypatch, status, construct, action)
    if refused:
        native, plain = binding_failure(native), binding_failure(plain)
    assert native == plain


@pytest.mark.parametrize("construct, refused", [
    (client_with(URL, TOKEN), False),
    (client_with(URL + "/", TOKEN, 4, {"verify": False, "proxies": {"https": "http://proxy:3128"}}, {"X-A": "1"}),
     False),
    (client_with(URL, TOKEN, api_version="v9", headers={"content-type": "text/plain"}, session_attributes={}), False),
    (client_with(URL, TOKEN, timeout=5, retries=3), False),
    (client_with(URL, TOKEN, session_attributes={"verify": ""}, headers={}), False),
    (client_with("", None, None), False),
    (client_with(URL, TOKEN, session_attributes=[("verify", False)]), False),
    (client_with(URL), True),
    (client_with(URL, TOKEN, 3, None, None, "extra"), True),
])
def test_construction_and_a_query_match_the_twin(monkeypatch, construct, refused):
    def query(client):
        client.login()
        return client.get_event_log_for_an_event("security", 7, pageSize=1)

    native = run(accounts_api, monkeypatch, 200, construct, query)
    plain = run(twin, monkeypatch, 200, construct, query)
    if refused:
        native, plain = binding_failure(native), binding_failure(plain)
    assert native == plain


# The path segment of one item, in every shape the URL's join treats apart: plain ASCII, with
# a slash (leading or inside), a dot segment, a character to escape, non-ASCII, or a number.
ITEMS = st.one_of(st.integers(-3, 10**20), st.text(st.sampled_from("a7/.?#%;é€\U0001F600 "), max_size=8))


@settings(max_examples=300, deadline=None, derandomize=True, database=None)
@given(method=st.sampled_from(["get_event_log_for_an_event", "get_distribution"]), item=ITEMS,
       base=st.sampled_from([URL, URL + "/", "http://h", ""]),
       version=st.sampled_from([3, 0, 99, 100, 10**30, "v9", "3/..", -1]))
def test_an_item_query_goes_where_the_twin_sends_it(method, item, base, version):
    def query(client):
        client.login()
        if method == "get_distribution":
            return client.get_distribution(item, "linux-armhf")
        return client.get_event_log_for_an_event("security", item)

    with pytest.MonkeyPatch.context() as monkeypatch:
        native = run(accounts_api, monkeypatch, 200, client_with(base, TOKEN, version), query)
        plain = run(twin, monkeypatch, 200, client_with(base, TOKEN, version), query)
    assert native == plain
