import contextlib
import http.client
import json
import os
import re
import resource
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from datetime import datetime
from pathlib import Path

import pytest
from support import docs
from support.sanitizer import SANITIZED
import requests

from ferrovane.sdk import stand_in_server
from ferrovane.sdk.stand_in_server import EVENTS, Answer, StandInServer, faults
from ferrovane.sdk.stand_in_server.command import ExitStatus


@pytest.fixture
def get(server):
    session = requests.Session()
    session.headers["Authorization"] = f"Bearer {server.token}"
    yield lambda path, **params: session.get(server.url + path, params=params)
    session.close()


@pytest.mark.parametrize("authorization", [None, "Bearer wrong", "{token}", "bearer  {token}"])
@pytest.mark.parametrize("path", ["/api/security/v3/user-info", "/api/test/v1/status/200", pytest.param(
    "/nowhere", marks=pytest.mark.accounts_server(strict=False))])
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


def test_a_built_in_log_grows_and_is_purged_while_served(server, get):
    added = server.append_events("security", 3, keep=41)
    assert [event["id"] for event in added] == [1041, 1042, 1043]
    assert [event["id"] for event in server.purge_events("security", 2)] == [1003, 1004]
    assert ids(get("/api/security/v3/eventlog", unpaged=True).json()) == list(range(1005, 1044))
    assert get("/api/security/v3/eventlog/1042").json()["eventId"] == 1042
    assert len(EVENTS["security"]) == len(server.events("entitlements")) == 40  # its own logs
    with pytest.raises(ValueError):
        server.append_events("billing")


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


@pytest.mark.accounts_server(strict=False)
@pytest.mark.parametrize("body", [b'{"data": 1}', iter([b'{"data"', b": 1}"])], ids=["whole", "chunked"])
def test_requests_are_recorded_as_sent(server, body):
    requests.post(f"{server.url}/api/x/v3/y?b=2&a=1&b=%20three", data=body,
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
    lengths = []
    for method in ("GET", "HEAD"):  # HEAD as GET, without content
        connection.request(method, "/api/security/v3/user-info")
        response = connection.getresponse()
        lengths.append((response.getheader("Content-Length"), len(response.read())))
        assert response.status == 401 and not response.will_close
    assert lengths[1] == (lengths[0][0], 0) and lengths[0][1] > 0
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


POST = b"POST /api/x/v3/y HTTP/1.1\r\nHost: x\r\n"


@pytest.mark.parametrize("raw, status", [
    (b"GET http://[::1 HTTP/1.1\r\nHost: x\r\n\r\n", 400),  # a target that does not parse
    (b"GET http://[zz]/api HTTP/1.1\r\nHost: x\r\n\r\n", 400),
    (b"GET /api HTTP/1.1\r\n\r\n", 400),  # HTTP/1.1 without Host
    (POST + b"Content-Length: 10\r\n\r\nabc", 400),  # body cut short
    (POST + b"Transfer-Encoding: chunked\r\n\r\n5\r\nhel", 400),
    (POST + b"Content-Length: 1_0\r\n\r\n0123456789", 400),
    (POST + b"Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", 400),
    (POST + b"Content-Length: -1\r\n\r\n", 400),
    # Framings that cannot be believed: reading the body as none would take it for the
    # next request.
    (POST + b"Transfer-Encoding: gzip\r\n\r\nGET /api/x/v3/z HTTP/1.1\r\nHost: x\r\n\r\n", 501),
    (POST + b"Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n", 400),
    (POST + b"Transfer-Encoding: identity\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 501),
    (POST + b"Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 400),
    (POST + b"Content-Length: 99999999999\r\n\r\n", 413),
    (POST + b"Transfer-Encoding: chunked\r\n\r\n1000001\r\n" + b"x" * 0x1000001 + b"\r\n0\r\n\r\n", 413),
    (POST + b"X-Long: " + b"x" * 200_000 + b"\r\n\r\n", 431),
    (b"NONSENSE\r\n\r\n", 400),
    (b"BREW /api HTTP/1.1\r\nHost: x\r\n\r\n", 501),
], ids=lambda value: value[:90] if isinstance(value, bytes) else str(value))
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


def sleeping_handler(request):
    time.sleep(30)
    return Answer(200, b"late")


def stalling_stream(request):
    def chunks():
        yield b"first"
        time.sleep(30)
        yield b"never"
    return Answer(200, chunks(), {"Content-Length": "100"})


@pytest.mark.parametrize("route", [
    {"body": b"x" * BIG},  # an answer the client does not read
    {"handler": sleeping_handler},
    {"handler": stalling_stream},
    {"handler": lambda request: faults.stall_after_headers(30)},
])
def test_stop_cuts_off_an_answer_that_is_not_out_within_the_grace(route):
    server = StandInServer(lifetime=None).start()
    server.route("GET", "/slow", **route)
    with socket.create_connection(server.url.removeprefix("http://").split(":"), timeout=5) as connection:
        connection.sendall(b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.3)  # the answer is under way, and not read
        started = time.monotonic()
        server.stop(grace=0.2)
        assert time.monotonic() - started < 2
        with contextlib.suppress(ConnectionError):  # hung up on, not left waiting
            while connection.recv(1 << 20):
                pass


EXCHANGE = "ferrovane.sdk.stand_in_server.exchange"


@pytest.mark.parametrize("holding", [
    b"GET /api/security/v3/user-info HTTP/1.1\r\nHo",  # a head still arriving
    POST + b"Content-Length: 100\r\n\r\nabc",  # a body still arriving
    b"GET /big HTTP/1.1\r\nHost: x\r\n\r\n",  # an answer that is not read
], ids=["head", "body", "unread answer"])
def test_slow_clients_lock_no_one_out_and_get_408_when_late(monkeypatch, holding):
    monkeypatch.setattr(f"{EXCHANGE}.DEPARTURE_SECONDS", 0.5)
    monkeypatch.setattr(f"{EXCHANGE}.MIN_BYTES_PER_SECOND", 1 << 30)
    with StandInServer(lifetime=60, max_connections=2) as server:
        server.route("GET", "/big", body=b"x" * BIG)
        address = server.url.removeprefix("http://").split(":")
        late = []
        for _ in range(2):
            late.append(socket.socket())
            late[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            late[-1].connect((address[0], int(address[1])))
            late[-1].sendall(holding)
        time.sleep(0.1)
        # Each holds its slot for 10 s at most, or half a second for an unread answer.
        assert requests.get(server.url + "/api/security/v3/user-info", timeout=5).status_code == 401
        monkeypatch.setattr(f"{EXCHANGE}.ARRIVAL_SECONDS", 0.5)
        trickled = socket.create_connection(address, timeout=5)
        for byte in b"POST /api/x/v3/y HTTP/1.1\r\nHost: x\r\n":
            trickled.send(bytes([byte]))
            time.sleep(0.02)
        with trickled:
            answer = b"".join(iter(lambda: trickled.recv(65536), b""))
        assert answer.startswith(b"HTTP/1.1 408 ")
        for connection in late:
            connection.close()


@pytest.mark.parametrize("authorization", [b"Bearer {token} ", b"Bearer {token}\t", b"Bearer  {token}  "])
def test_whitespace_around_the_authorization_value_is_not_part_of_it(server, authorization):
    header = authorization.replace(b"{token}", server.token.encode())
    code, _, _ = exchange(server, b"GET /api/security/v3/user-info HTTP/1.1\r\nHost: x\r\nAuthorization:"
                                  + header + b"\r\n\r\n")
    assert code == (401 if header.startswith(b"Bearer  ") else 200)


def test_route_handlers_see_the_request_and_answer_with_their_headers(server):
    server.route("POST", "/echo", handler=lambda request: Answer(
        201, {"got": request.json(), "query": request.query}, {"X-Seen": request.headers["X-Mark"]}))
    response = requests.post(server.url + "/echo?a=1", json={"n": 2}, headers={"X-Mark": "m"})
    assert (response.status_code, response.headers["X-Seen"]) == (201, "m")
    assert response.json() == {"got": {"n": 2}, "query": [["a", "1"]]}


def failing_handler(request):
    raise RuntimeError("handler bug")


@pytest.mark.parametrize("handler, message", [
    (failing_handler, "handler bug"),
    (lambda request: (200, b"not an Answer"), "must return an Answer"),
    (lambda request: Answer(200, {"not": object()}), "not JSON serializable"),
])
@pytest.mark.accounts_server(strict=False)
def test_a_faulty_handler_gives_a_500_and_the_server_carries_on(server, caplog, handler, message):
    server.route("GET", "/faulty", handler=handler)
    with requests.Session() as session:
        response = session.get(server.url + "/faulty")
        assert response.status_code == 500 and message in response.json()["message"]
        assert session.get(server.url + "/faulty").status_code == 500  # the same connection still serves
    assert message in caplog.text


@pytest.mark.parametrize("headers, kept_alive", [({"Content-Length": "10"}, True), ({}, False)])
def test_streamed_answers_send_their_headers_first_and_each_chunk_as_it_comes(server, headers, kept_alive):
    release = threading.Event()

    def trickle(request):
        def chunks():
            yield b"01234"
            release.wait(10)
            yield b"56789"
        return Answer(200, chunks(), headers)

    server.route("GET", "/trickle", handler=trickle)
    connection = http.client.HTTPConnection(server.url.removeprefix("http://"), timeout=5)
    connection.request("GET", "/trickle")
    response = connection.getresponse()  # the headers came before the stream ended
    assert response.read1() == b"01234" and not release.is_set()
    release.set()
    assert response.read() == b"56789"
    assert response.will_close is not kept_alive
    if kept_alive:
        connection.request("GET", "/api/security/v3/user-info")
        assert connection.getresponse().status == 401


@pytest.mark.parametrize("chunks", [[b"abc"], [], [b"0123456789ab"]], ids=["short", "empty", "long"])
def test_a_stream_that_breaks_its_content_length_is_cut_off(server, chunks):
    server.route("GET", "/stream", handler=lambda request: Answer(200, iter(chunks), {"Content-Length": "10"}))
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        requests.get(server.url + "/stream", timeout=5)
    assert requests.get(server.url + "/api/security/v3/user-info", timeout=5).status_code == 401


def test_serves_https_with_an_ssl_context():
    context = faults.self_signed_context()
    with StandInServer(token="t", lifetime=30, ssl_context=context) as server:
        assert server.url.startswith("https://127.0.0.1:")
        with pytest.raises(requests.ConnectionError):
            requests.get(server.url.replace("https", "http", 1) + "/x", timeout=5)  # plain HTTP gets nowhere
        response = requests.get(server.url + "/api/security/v3/user-info", verify=faults.SELF_SIGNED_CERTIFICATE,
                                headers={"Authorization": "Bearer t"}, timeout=5)
        assert response.json()["username"] == "demo.user"


def start_by_hand(*args, nofile=None):
    """Runs ``python -m`` the stand-in in a session of its own; returns the process and its URL."""
    def limit():
        if nofile is not None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    process = subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.stand_in_server", *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=limit, start_new_session=True)
    line = process.stdout.readline()
    if not line:
        process.kill()
        pytest.fail(f"the stand-in did not start: {process.communicate()[1]}")
    return process, re.search(r"https?://\S+", line)[0]


def ended(process, timeout=10):
    try:
        out, err = process.communicate(timeout=timeout)
    finally:
        process.kill()
    assert "Traceback" not in err, err
    return process.returncode, err


def test_runs_from_the_command_line_until_interrupted():
    process, url = start_by_hand("--token", "cli-token")
    response = requests.get(url + "/api/security/v3/user-info", headers={"Authorization": "Bearer cli-token"},
                            timeout=5)
    assert response.json()["username"] == "demo.user"
    process.send_signal(signal.SIGINT)
    status, err = ended(process)
    assert status == 0
    assert re.search(r'127\.0\.0\.1 "GET /api/security/v3/user-info HTTP/1\.1" 200 \d+', err), err


def test_runs_from_the_command_line_with_faults_and_tls():
    process, url = start_by_hand("--tls", "self-signed", "--fault", "/api/security/v3/eventlog=503",
                                 "--fault", "post /api/x/v3/y=reset-before-headers", "--grow", "entitlements=2/0.05",
                                 "--fault", "/api/security/v3/user-info=trickle:0.001")
    try:
        with requests.Session() as session:
            session.verify, session.trust_env = faults.SELF_SIGNED_CERTIFICATE, False
            assert session.get(url + "/api/security/v3/eventlog", timeout=5).status_code == 503
            with pytest.raises(requests.ConnectionError):
                session.post(url + "/api/x/v3/y", timeout=5)
            assert session.get(url + "/api/security/v3/user-info", timeout=5).status_code == 401
            # The route's own answer, slowly: not a message about a trickle.
            assert session.get(url + "/api/security/v3/user-info", headers={"Authorization": "Bearer demo-token"},
                               timeout=30).json()["username"] == "demo.user"
            grown = f"{url}/api/entitlements/v3/eventlog?unpaged=true"
            deadline = time.monotonic() + 30
            while session.get(grown, headers={"Authorization": "Bearer demo-token"},
                              timeout=5).json()["totalElements"] <= 40:
                assert time.monotonic() < deadline, "the log did not grow"
                time.sleep(0.05)
    finally:
        process.send_signal(signal.SIGINT)
        status, err = ended(process)
    assert status == 0 and '"GET /api/security/v3/eventlog HTTP/1.1" 503' in err


def threads_taking(pid, signum):
    """The ids of the threads of process ``pid`` that do not block ``signum``."""
    takers = []
    for task in sorted(Path(f"/proc/{pid}/task").iterdir()):
        blocked = int(re.search(r"SigBlk:\s+([0-9a-f]+)", (task / "status").read_text())[1], 16)
        if not blocked >> (signum - 1) & 1:
            takers.append(int(task.name))
    return takers


@pytest.mark.parametrize("first, second, args", [
    (signal.SIGINT, signal.SIGINT, ()),
    (signal.SIGTERM, signal.SIGTERM, ()),
    (signal.SIGTERM, signal.SIGINT, ("--lifetime", "1e10")),
    (signal.SIGINT, None, ("--lifetime", "inf")),
])
def test_every_signal_ends_it_cleanly_also_during_the_stops_grace(first, second, args):
    process, url = start_by_hand("--fault", "/slow=stall-after-headers:60", *args)
    with socket.create_connection(url.removeprefix("http://").split(":"), timeout=5) as pending:
        # An answer that stalls: it stays pending through the grace.
        pending.sendall(b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n")
        time.sleep(0.2)
        if Path(f"/proc/{process.pid}/task").exists():  # no thread of the server's takes it
            assert threads_taking(process.pid, first) == [process.pid]
        process.send_signal(first)
        time.sleep(0.2)
        if second is not None:
            process.send_signal(second)
        started = time.monotonic()
        assert ended(process)[0] == 0
        assert second is None or time.monotonic() - started < 1.5  # cut short, not the whole grace


def test_sigterm_as_gnu_timeout_sends_it_never_gives_a_traceback():
    # To the process, then to its group: two signals moments apart, at any point of the run.
    for attempt in range(20):
        process, url = start_by_hand()
        if attempt % 2:
            requests.get(url + "/api/security/v3/user-info", timeout=5)
        time.sleep(attempt % 5 * 0.01)
        os.kill(process.pid, signal.SIGTERM)
        os.killpg(process.pid, signal.SIGTERM)
        assert ended(process)[0] == 0


@pytest.mark.parametrize("args, message", [
    (["--lifetime", "nan"], "--lifetime: must be a positive number"),
    (["--lifetime", "0"], "--lifetime: must be a positive number"),
    (["--token", "t0ken\n"], "--token: must be non-empty, without control characters"),
    (["--max-connections", "0"], "--max-connections must be at least 1"),
    (["--host", ""], "--host: must not be empty"),
    (["--fault", "/api/x"], "not [METHOD ]PATH=FAULT"),
    (["--fault", "api/x=500"], "not [METHOD ]PATH=FAULT"),
    (["--fault", "/api/x=teapot"], "no fault named 'teapot'"),
    (["--fault", "/api/x=unavailable:soon"], "Retry-After must be whole seconds or an HTTP date"),
    (["--fault", "/api/x=stall-after-headers:1e10"], "seconds must be from 0 to 86400 s, not 10000000000.0"),
    (["--fault", "/api/x=trickle:inf"], "interval must be from 0 to 86400 s"),
    (["--tls", "plain"], "--tls: invalid choice"),
    (["--grow", "billing=1/1"], "no built-in log 'billing'"),
    (["--grow", "security=0/1"], "N must be from 1 to 10000"),
    (["--grow", "security=5/0"], "SECONDS must be from 0.01 to 86400"),
    (["--grow", "security=5"], "not APP=N/SECONDS"),
])
def test_unusable_options_are_usage_errors(capsys, args, message):
    with pytest.raises(SystemExit) as exit:
        stand_in_server.main(args)
    assert exit.value.code == 2
    assert message in capsys.readouterr().err


def test_the_docs_list_every_exit_status():
    section = docs.section("testing", "Running the stand-in server by hand")
    assert {int(code) for code in re.findall(r"^\| (\d+) \|", section, re.MULTILINE)} == set(ExitStatus)


@pytest.mark.parametrize("token, sent", [
    ("t\u00f8ken\u2713", "t\u00f8ken\u2713".encode()),  # beyond Latin-1: as UTF-8, as curl sends it
    ("caf\u00e9", "caf\u00e9".encode()),
    ("caf\u00e9", "caf\u00e9".encode("latin-1")),  # as requests sends a str header
])
def test_a_token_is_accepted_as_the_server_prints_it(token, sent):
    with StandInServer(token, lifetime=30) as server:
        response = requests.get(server.url + "/api/security/v3/user-info",
                                headers={"Authorization": b"Bearer " + sent}, timeout=5)
        assert response.status_code == 200
        wrong = requests.get(server.url + "/api/security/v3/user-info",
                             headers={"Authorization": b"Bearer " + sent[:-1]}, timeout=5)
        assert wrong.status_code == 401


def rss_bytes(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmRSS:\s+(\d+) kB", status)[1]) * 1024


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="reads memory use from /proc")
@pytest.mark.skipif(SANITIZED,
                    reason="the sanitizer's allocator holds freed memory back, so memory use says nothing")
def test_run_by_hand_its_memory_stays_bounded():
    process, url = start_by_hand()
    try:
        with requests.Session() as session:
            upload = b"u" * (4 << 20)
            session.post(url + "/api/x/v3/upload", data=upload, timeout=10)
            before = rss_bytes(process.pid)
            for _ in range(25):
                session.post(url + "/api/x/v3/upload", data=upload, timeout=10)
            for _ in range(300):
                session.get(url + "/api/security/v3/user-info", timeout=10)
            assert rss_bytes(process.pid) - before < 24 << 20
    finally:
        process.send_signal(signal.SIGINT)
        ended(process)


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads CPU time from /proc")
@pytest.mark.parametrize("args, nofile", [(["--max-connections", "16"], None), ([], 64)])
def test_idle_connections_lock_no_one_out_and_cost_no_cpu(args, nofile):
    process, url = start_by_hand(*args, nofile=nofile)
    address = url.removeprefix("http://").split(":")
    idle = []
    try:
        for _ in range(120):  # well beyond the bound, and beyond the descriptors it may have
            idle.append(socket.create_connection(address, timeout=5))
        time.sleep(0.3)
        cpu_before = cpu_seconds(process.pid)
        time.sleep(1)
        assert cpu_seconds(process.pid) - cpu_before < 0.3  # waits, rather than spins
        response = requests.get(url + "/api/security/v3/user-info", timeout=5)
        assert response.status_code == 401
    finally:
        for connection in idle:
            connection.close()
        process.send_signal(signal.SIGINT)
        ended(process)
