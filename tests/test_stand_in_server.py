import http.client
import json
import subprocess
import sys
import time
from datetime import datetime

import pytest
import requests

from ferrovane.sdk.stand_in_server import EVENTS, StandInServer


@pytest.fixture
def get(server):
    session = requests.Session()
    session.headers["Authorization"] = f"Bearer {server.token}"
    yield lambda path, **params: session.get(server.url + path, params=params)
    session.close()


@pytest.mark.parametrize("authorization", [None, "Bearer wrong", "{token}", "bearer  {token}"])
@pytest.mark.parametrize("path", ["/api/security/v3/user-info", "/api/test/v1/status/200", "/nowhere"])
def test_every_built_in_route_wants_the_bearer_token(server, authorization, path):
    headers = {"Authorization": authorization.format(token=server.token)} if authorization else {}
    response = requests.get(server.url + path, headers=headers)
    assert response.status_code == 401
    assert response.json()["error"] == "Unauthorized"
    assert response.headers["WWW-Authenticate"].startswith("Bearer")


@pytest.mark.parametrize("version", [1, 3, 12])
def test_user_info_for_any_version(get, version):
    assert get(f"/api/security/v{version}/user-info").json()["username"] == "demo.user"


def ids(page):
    return [event["id"] for event in page["content"]]


@pytest.mark.parametrize("app", ["security", "entitlements"])
def test_event_log_pages_cover_every_event_once(get, app):
    whole = get(f"/api/{app}/v3/eventlog", unpaged=True).json()
    assert whole["totalElements"] == whole["numberOfElements"] == 40
    pages = [get(f"/api/{app}/v3/eventlog", pageNumber=number, pageSize=15).json() for number in range(3)]
    assert [page["numberOfElements"] for page in pages] == [15, 15, 10]
    assert [(page["first"], page["last"], page["totalPages"]) for page in pages] == [
        (True, False, 3), (False, False, 3), (False, True, 3)]
    assert sum((ids(page) for page in pages), []) == ids(whole)
    assert ids(get(f"/api/{app}/v3/eventlog", offset=35, pageNumber=0).json()) == ids(whole)[35:]
    assert ids(get(f"/api/{app}/v3/eventlog").json()) == ids(whole)[:20]


def test_event_log_search_and_sort(get):
    found = get("/api/security/v3/eventlog", search="LoCkEd", unpaged=True).json()["content"]
    assert found and all("locked" in event["message"].lower() for event in found)
    stored = get("/api/security/v3/eventlog", unpaged=True, **{"sort.unsorted": True}).json()
    newest_first = get("/api/security/v3/eventlog", unpaged=True, **{"sort.sorted": True}).json()
    stamps = [event["timestamp"] for event in newest_first["content"]]
    assert stamps == sorted(stamps, reverse=True) != [event["timestamp"] for event in stored["content"]]
    assert newest_first["sort"]["sorted"] and stored["sort"]["unsorted"]


@pytest.mark.parametrize("params", [
    {"pageSize": "abc"}, {"pageSize": 0}, {"pageNumber": -1}, {"offset": "1.5"}, {"unpaged": "maybe"},
    {"sort.sorted": True, "sort.unsorted": True}, {"paged": True, "unpaged": True},
])
def test_bad_event_log_options_give_400(get, params):
    response = get("/api/security/v3/eventlog", **params)
    assert response.status_code == 400
    assert next(iter(params)) in response.json()["message"]


@pytest.mark.parametrize("app", ["security", "entitlements"])
def test_event_data_varies_and_is_the_same_in_every_run(app):
    events = EVENTS[app]
    assert len({event["user"] for event in events}) >= 8
    assert len({(event["user"], event["message"]) for event in events}) >= 35
    times = sorted(datetime.fromisoformat(event["timestamp"]) for event in events)
    assert len({later - earlier for earlier, later in zip(times, times[1:])}) >= 35
    # Another interpreter (with another hash seed) makes the same data.
    made_again = subprocess.run(
        [sys.executable, "-c", f"import json; from ferrovane.sdk.stand_in_server import EVENTS; "
                               f"print(json.dumps(EVENTS[{app!r}]))"],
        capture_output=True, text=True, check=True, timeout=60)
    assert json.loads(made_again.stdout) == events


def test_one_event_log(get):
    log = get("/api/entitlements/v3/eventlog/2007").json()
    assert log["eventId"] == 2007 and len(log["entries"]) == 3
    missing = get("/api/entitlements/v3/eventlog/1007")
    assert missing.status_code == 404
    assert missing.json()["message"] == "No event with id 1007"
    assert get("/api/billing/v3/eventlog").status_code == 404


def test_releases_and_distributions(get):
    assert get("/api/entitlements/v3/releases").status_code == 400
    assert get("/api/entitlements/v3/releases", verify="true").status_code == 400
    releases = get("/api/entitlements/v3/releases", verify=True).json()
    assert {release["product"] for release in releases} == {"Orvik", "Braxlin"}
    key, platform = releases[0]["key"], releases[0]["platforms"][0]
    path = f"/api/entitlements/v3/releases/{key}"
    download = get(path, distributionKey=key, platform=platform).json()
    assert (download["distributionKey"], download["platform"], len(download["sha256"])) == (key, platform, 64)
    assert get("/api/entitlements/v3/releases/nope", distributionKey="nope", platform=platform).status_code == 404
    for bad_query in ({"platform": "amiga"}, {}, {"platform": platform, "distributionKey": "other"}):
        assert get(path, **{"distributionKey": key, **bad_query}).status_code == 400


@pytest.mark.parametrize("method", ["GET", "POST", "PUT", "DELETE"])
@pytest.mark.parametrize("code", [200, 204, 400, 500, 503])
def test_status_route(server, method, code):
    response = requests.request(method, f"{server.url}/api/test/v3/status/{code}",
                                headers={"Authorization": f"Bearer {server.token}"})
    assert response.status_code == code
    if code != 204:
        assert response.json()["status"] == code


def test_canned_routes_override_without_token_until_cleared(server):
    path = "/api/security/v3/user-info"
    server.route("GET", path, status=500, body={"message": "boom"}, headers={"X-Trace": "7"})
    server.route("post", "/raw", body=b"\x00\x01")
    server.route("PUT", "/text", status=201, body="plain", headers={"content-type": "text/csv"})
    canned = requests.get(server.url + path)
    assert (canned.status_code, canned.json(), canned.headers["X-Trace"]) == (500, {"message": "boom"}, "7")
    raw = requests.post(server.url + "/raw")
    assert (raw.content, raw.headers["Content-Type"]) == (b"\x00\x01", "application/octet-stream")
    text = requests.put(server.url + "/text")
    assert (text.status_code, text.text, text.headers["Content-Type"]) == (201, "plain", "text/csv")
    server.clear()
    assert server.requests == []
    assert requests.get(server.url + path).status_code == 401


def test_requests_are_recorded_as_sent(server):
    requests.post(f"{server.url}/api/x/v3/y?b=2&a=1&b=%20three", data=b'{"data": 1}',
                  headers={"X-Requested-By": "Accounts"})
    [recorded] = server.requests
    assert (recorded.method, recorded.path) == ("POST", "/api/x/v3/y")
    assert recorded.query == [("b", "2"), ("a", "1"), ("b", " three")]
    assert recorded.query_string == "b=2&a=1&b=%20three"
    assert recorded.headers["x-requested-by"] == "Accounts"
    assert recorded.json() == {"data": 1}


def test_connections_are_kept_alive_until_stop():
    server = StandInServer(lifetime=30).start()
    connection = http.client.HTTPConnection(server.url.removeprefix("http://"), timeout=5)
    for _ in range(2):
        connection.request("GET", "/anything")
        response = connection.getresponse()
        response.read()
        assert response.status == 401 and not response.will_close
    server.stop()
    connection.request("GET", "/anything")
    with pytest.raises((ConnectionError, http.client.HTTPException)):
        connection.getresponse()
    assert len(server.requests) == 2


def test_stops_by_itself_after_its_lifetime():
    started = time.monotonic()
    server = StandInServer(lifetime=0.2).start()
    assert server.wait(timeout=5)
    assert time.monotonic() - started >= 0.2
    with pytest.raises(requests.ConnectionError):
        requests.get(server.url, timeout=2)
    server.stop()  # a late stop is harmless
