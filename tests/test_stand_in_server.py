import http.client
import json
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from datetime import datetime

import pytest
import requests

from ferrovane.sdk import stand_in_server
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


def exchange(server, raw):
    """Sends raw bytes, half-closes, and returns the status line's code, the headers and the body."""
    with socket.create_connection(server.url.removeprefix("http://").split(":"), timeout=5) as connection:
        connection.sendall(raw)
        connection.shutdown(socket.SHUT_WR)
        answer = b"".join(iter(lambda: connection.recv(65536), b""))
    head, _, body = answer.partition(b"\r\n\r\n")
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    headers = dict(line.lower().split(": ", 1) for line in header_lines)
    return int(status_line.split()[1]) if status_line else None, headers, body


@pytest.mark.parametrize("raw, status", [
    (b"GET http://[::1 HTTP/1.1\r\nHost: x\r\n\r\n", 400),  # a target that does not parse
    (b"GET http://[zz]/api HTTP/1.1\r\n\r\n", 400),
    (b"POST /api/x/v3/y HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", 400),  # body cut short
    (b"POST /api/x/v3/y HTTP/1.1\r\nContent-Length: 1_0\r\n\r\n0123456789", 400),
    (b"POST /api/x/v3/y HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400),
    (b"POST /api/x/v3/y HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400),
    (b"POST /api/x/v3/y HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 411),
    (b"POST /api/x/v3/y HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", 413),
    (b"NONSENSE\r\n\r\n", 400),
    (b"BREW /api HTTP/1.1\r\n\r\n", 501),
])
def test_unreadable_requests_get_a_json_error_and_are_not_recorded(server, capfd, raw, status):
    code, headers, body = exchange(server, raw)
    assert (code, headers["connection"], headers["content-type"]) == (status, "close", "application/json")
    assert json.loads(body)["status"] == status
    assert server.requests == []
    assert capfd.readouterr().err == ""  # no traceback from the server's threads


def wait_until_refused(url):
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            requests.get(url, timeout=1).close()
        except requests.ConnectionError:
            return
        time.sleep(0.01)
    pytest.fail("the server still accepts connections")


# A body larger than the loopback socket buffers: the server is still writing it when
# the client has read the headers.
BIG = 32 << 20


def test_stop_finishes_answers_already_begun_and_refuses_new_connections():
    server = StandInServer(lifetime=None).start()
    server.route("GET", "/big", body=b"x" * BIG)
    with requests.Session() as session:
        response = session.get(server.url + "/big", stream=True)
        stopping = threading.Thread(target=server.stop)
        stopping.start()
        wait_until_refused(server.url + "/small")
        assert len(response.content) == BIG  # whole, not cut off with IncompleteRead
        stopping.join(timeout=10)
        assert not stopping.is_alive()
        with pytest.raises(requests.ConnectionError):  # the kept-alive connection is gone too
            session.get(server.url + "/big", timeout=5)


def test_stop_cuts_off_an_answer_that_is_not_read_within_the_grace(monkeypatch):
    monkeypatch.setattr(stand_in_server, "STOP_GRACE_SECONDS", 0.2)
    server = StandInServer(lifetime=None).start()
    server.route("GET", "/big", body=b"x" * BIG)
    with requests.get(server.url + "/big", stream=True):
        started = time.monotonic()
        server.stop()
        assert time.monotonic() - started < 2


def test_runs_from_the_command_line_until_interrupted():
    process = subprocess.Popen(
        [sys.executable, "-m", "ferrovane.sdk.stand_in_server", "--token", "cli-token"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://\S+", process.stdout.readline())[0]
        response = requests.get(url + "/api/security/v3/user-info",
                                headers={"Authorization": "Bearer cli-token"}, timeout=5)
        assert response.json()["username"] == "demo.user"
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        process.kill()
    assert process.returncode == 0
    assert re.search(r'127\.0\.0\.1 "GET /api/security/v3/user-info HTTP/1\.1" 200 \d+', err), err
