"""Routes of the stand-in server: matching, one-shot and ordered answers, and the checks afterwards."""

import logging
import re
import signal
import subprocess
import sys

import pytest
import requests
from hypothesis import given, strategies as st

from ferrovane.sdk.stand_in_server import Answer, StandInServer

PATH = "/api/security/v3/thing"


@pytest.mark.parametrize("conditions, sent, matched", [
    ({"query": {"a": 1, "b": ["x", "y"]}}, {"params": [("b", "x"), ("a", "1"), ("b", "y")]}, True),
    ({"query": {"a": 1}}, {"params": {"a": 1, "extra": 2}}, False),
    ({"query": {"a": 1}}, {"params": {}}, False),
    ({"query": {"flag": True}}, {"params": {"flag": True}}, True),  # as requests sends True
    ({"request_headers": {"x-tenant": "7"}}, {"headers": {"X-Tenant": "7", "X-Other": "1"}}, True),
    ({"request_headers": {"X-Tenant": 7}}, {"headers": {"X-Tenant": "8"}}, False),
    ({"json": {"data": [1, True]}}, {"json": {"data": [1, True]}}, True),
    ({"json": {"data": [1, True]}}, {"json": {"data": [1, 1]}}, False),  # true is not 1 in JSON
    ({"json": {"n": 1}}, {"json": {"n": 1.0}}, True),
    ({"json": None}, {"data": b"null"}, True),
    ({"json": None}, {"data": b""}, False),
    ({"json": {}}, {"data": b"\xff not JSON"}, False),
])
def test_routes_match_on_query_headers_and_json_body(server, conditions, sent, matched):
    route = server.route("POST", PATH, 201, **conditions)
    # Unmatched, the request passes on to the built-in API, which has no such endpoint.
    server.strict = matched
    response = requests.post(server.url + PATH, **sent)
    assert response.status_code == (201 if matched else 401)
    assert route.call_count == int(matched)
    assert len(server.problems) == int(not matched)


@given(st.dictionaries(st.text("abc=&", min_size=1, max_size=3), st.text("xy &%", max_size=3), max_size=4))
def test_a_query_matches_in_any_order_and_only_whole(params):
    with StandInServer(lifetime=10) as server, requests.Session() as session:
        server.route("GET", PATH, 201, query=params)
        pairs = list(params.items())
        assert session.get(server.url + PATH, params=pairs[::-1]).status_code == 201
        assert session.get(server.url + PATH, params=pairs + [("more", "1")]).status_code == 401


def test_answers_in_order_then_the_route_is_spent(server):
    server.route("GET", "/api/security/v3/user-info", 500, once=True)
    sequence = server.route("GET", PATH, answers=[Answer(503, headers={"Retry-After": "1"}), Answer(200, "ok")])
    get = lambda path: requests.get(server.url + path, headers={"Authorization": f"Bearer {server.token}"})
    assert [get(PATH).status_code for _ in range(2)] == [503, 200]
    assert [get("/api/security/v3/user-info").status_code for _ in range(2)] == [500, 200]
    server.strict = False
    assert get(PATH).status_code == 404  # spent: the built-in API has no such endpoint
    sequence.assert_called_times(2)
    assert [problem.request.path for problem in server.problems] == [PATH]


def test_limited_routes_go_first_in_order_and_a_lasting_one_replaces_its_like(server):
    server.route("GET", PATH, 200, "first lasting")
    server.route("GET", PATH, 200, "second lasting")
    server.route("GET", PATH, 200, "one-shot A", once=True)
    server.route("GET", PATH, 200, "one-shot B", once=True)
    narrower = server.route("GET", PATH, 200, "for a=1", query={"a": "1"})
    texts = [requests.get(server.url + PATH).text for _ in range(3)]
    assert texts == ["one-shot A", "one-shot B", "second lasting"]
    assert requests.get(server.url + PATH, params={"a": 1}).text == "for a=1"
    narrower.assert_called()


def test_route_checks_name_what_happened(server):
    route = server.route("DELETE", PATH, 204)
    route.assert_not_called()
    requests.delete(server.url + PATH + "?id=3")
    with pytest.raises(AssertionError, match=r"expected no call; the first was DELETE /api/security/v3/thing\?id=3"):
        route.assert_not_called()
    with pytest.raises(AssertionError, match="called 1 times>: expected 2 calls"):
        route.assert_called_times(2)


@pytest.mark.parametrize("path, authorization, problem", [
    ("/api/security/v3/nothing?page=1", True, "unexpected request GET /api/security/v3/nothing?page=1"),
    ("/api/billing/v3/eventlog", True, None),  # the API's own 404: no such application
    ("/elsewhere", False, "unexpected request GET /elsewhere"),  # answered 401, yet nothing serves it
    ("/api/security/v3/eventlog/99", True, None),  # the API's own 404: no such event
    ("/api/security/v3/user-info", False, None),  # the API's own 401
    ("/api/entitlements/v3/releases", True, None),  # the API's own 400: verify is missing
])
def test_run_by_hand_problems_are_logged_and_kept_for_check(caplog, path, authorization, problem):
    headers = {"Authorization": "Bearer demo-token"} if authorization else {}
    with StandInServer(lifetime=10) as server:
        requests.get(server.url + path, headers=headers)
    warnings = [record.getMessage() for record in caplog.records if record.levelno == logging.WARNING]
    if problem is None:
        assert (warnings, server.problems) == ([], [])
        server.check()
    else:
        assert [str(found) for found in server.problems] == warnings == [problem + ": no route answers it"]
        with pytest.raises(AssertionError, match="met 1 problem"):
            server.check()
        server.strict = False
        server.check()


def test_run_from_the_command_line_it_logs_what_nothing_answers():
    process = subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.stand_in_server", "--lifetime", "30"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://\S+", process.stdout.readline())[0]
        assert requests.get(url + "/nowhere?x=1", timeout=5).status_code == 401
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=10)
    finally:
        process.kill()
    assert "unexpected request GET /nowhere?x=1: no route answers it" in err and "Traceback" not in err
