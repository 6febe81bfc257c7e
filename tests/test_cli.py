import importlib.metadata
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from support import docs
import requests

from ferrovane.sdk import _tables, cli
from ferrovane.sdk.cli import ExitStatus as Status, queries, walk_all
from ferrovane.sdk.cli.names import TOKEN_VARIABLE
from ferrovane.sdk.stand_in_server import Answer, StandInServer, faults

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture
def run(server, capsys):
    """Run the command line against the stand-in server; returns (exit code, stdout, stderr)."""
    def run(*argv, token=None):
        code = cli.main(["--server", server.url, "--token", token or server.token, *argv])
        out, err = capsys.readouterr()
        return code, out, err
    return run


EVENTLOG = "/api/security/v3/eventlog"
USER_INFO = "/api/security/v3/user-info"


def answering(answer):
    """A route handler that answers with ``answer(query)``, a (status, body) pair, the
    query as a dict of lists."""
    def handler(request):
        query = {}
        for name, value in request.query:
            query.setdefault(name, []).append(value)
        return Answer(*answer(query))
    return handler


@pytest.mark.parametrize("argv, expected", [
    (["user"], ["username", "demo.user", "roles", "USER, EVENTLOG_READER, DOWNLOADER"]),
    (["event", "security", "1008"], ["event 1008: 3 log entries", "Audit record written"]),
    (["releases"], ["KEY", "orvik-4.2.0", "braxlin-2.0.4", "linux-armhf, linux-x86_64"]),
    (["distribution", "braxlin-2.1.0", "linux-armhf"], ["url", "braxlin-2.1.0-linux-armhf.tar.gz"]),
    (["events", "security", "--page", "9"], ["no events on page 9: the last page is 2, 40 events in all"]),
    # An offset is not a page: labelled by the events it shows, never as "page 2".
    (["events", "security", "--offset", "3", "--size", "5"], ["events 4-8 of 40\nID"]),
    (["events", "security", "--offset", "43", "--size", "5"], ["no events after 43, 40 in all"]),
    (["events", "security", "--search", "no such text"], ["no events mention 'no such text'"]),
    (["events", "security", "--all", "--search", "\x1b[2J"], ["no events mention '\\x1b[2J'"]),
])
def test_subcommands_print_their_answer_for_people(run, argv, expected, accounts_canary):
    code, out, err = run(*argv)
    assert (code, err) == (0, "")
    for text in expected:
        assert text in out
    assert "{" not in out  # a table or a field list, not raw JSON


def test_events_options_reach_the_server_and_rows_line_up(run, server):
    # --page counts from 1, as the summary line does; the server counts from 0.
    code, out, _ = run("events", "security", "--page", "2", "--size", "4", "--search", "LOGIN", "--sorted")
    assert code == 0
    assert server.requests[-1].query == [("pageNumber", "1"), ("pageSize", "4"), ("search", "LOGIN"),
                                         ("sort.sorted", "True")]
    lines = out.splitlines()
    assert lines[0] == "events 5-8 of 22, page 2 of 6"
    header, rows = lines[1], lines[2:]
    assert len(rows) == 4
    # Every row has its MESSAGE where the heading is, whatever the widths before it.
    column = header.index("MESSAGE")
    assert all(row[column - 2:column] == "  " and row[column] != " " for row in rows)


# The options of every query go before the subcommand or after it.
@pytest.mark.parametrize("argv", [["--json", "user"], ["--json", "events", "entitlements", "--offset", "3"],
                                  ["releases", "--json"], ["events", "security", "--size", "3", "--json"],
                                  ["--jsonl", "releases"], ["--jsonl", "user"], ["--jsonl", "events", "security"],
                                  ["events", "security", "--search", "no such text", "--json"]])
def test_json_output_is_the_servers_answer(run, server, argv):
    code, out, _ = run(*argv)
    assert code == 0
    asked = server.requests[-1]
    direct = requests.get(server.url + asked.path, params=asked.query,
                          headers={"Authorization": f"Bearer {server.token}"}).json()
    if "--jsonl" in argv:  # one object a line: an item of a list, an event of a page (not the page)
        expected = direct if isinstance(direct, list) else direct.get("content", [direct])
        assert [json.loads(line) for line in out.splitlines()] == expected
    else:
        assert json.loads(out) == direct


@pytest.mark.parametrize("body", [{"content": [1, 2]}, {"status": 429}, [{"id": 1}, 2]])
@pytest.mark.parametrize("output", [[], ["--jsonl"]])
def test_a_single_page_that_is_no_page_of_events_is_a_failure(server, capsys, body, output):
    server.route("GET", EVENTLOG, 200, body)
    assert cli.main(["--server", server.url, "--token", "t", *output, "events", "security"]) == Status.OTHER_HTTP
    out, err = capsys.readouterr()
    assert out == "" and "it is not a page of events" in err


def test_all_keeps_the_totals_of_a_page_that_does_not_say_whether_it_is_the_last(server, capsys):
    server.route("GET", EVENTLOG, handler=answering(lambda query: (200, {"content": [{"id": 1}], "totalElements": 9,
                                                                         "totalPages": 9})))
    assert cli.main(["--server", server.url, "--token", "t", "--json", "events", "security", "--all"]) == 0
    listing = json.loads(capsys.readouterr().out)
    assert (listing["totalElements"], listing["totalPages"], listing["numberOfElements"]) == (9, 9, 1)


def test_all_fetches_every_page_and_prints_them_as_one(run, server):
    code, out, _ = run("--json", "events", "security", "--all", "--size", "15", "--search", "o", "--sorted")
    assert code == 0
    asked = [request.query for request in server.requests]
    # Page 0, then each page by offset from the last event taken on.
    assert asked == [[("pageNumber", "0"), ("pageSize", "15"), ("search", "o"), ("sort.sorted", "True")]] + [
        [("offset", str(offset)), ("pageSize", "16"), ("search", "o"), ("sort.sorted", "True")] for offset in (14, 29)]
    whole = requests.get(server.url + EVENTLOG, params={"unpaged": "true", "search": "o",
                                                                          "sort.sorted": "true"},
                         headers={"Authorization": f"Bearer {server.token}"}).json()
    assert 30 < whole["totalElements"] <= 45  # three pages of 15
    answer = json.loads(out)
    assert answer["content"] == whole["content"]
    assert answer["totalElements"] == answer["numberOfElements"] == whole["totalElements"]


def paging(last_page=None, **odd_pages):
    """Answers for a fake server: page N (from 1) brings the event N and says that more
    follow (asked for by offset, it begins with the event before); ``page<N>=(status,
    body)`` answers page N so instead, and ``last_page`` makes every page repeat that one."""
    def answer(query):
        number = int(query["offset"][0]) + 2 if "offset" in query else 1
        if f"page{number}" in odd_pages:
            return odd_pages[f"page{number}"]
        numbers = [last_page] if last_page else range(max(number - 1, 1), number + 1)
        return 200, {"content": [{"id": n, "message": f"event {n}"} for n in numbers], "last": False,
                     "totalElements": 9}
    return answer


@pytest.mark.parametrize("answer, exit_code, message, printed", [
    (paging(), Status.OTHER_HTTP, "it says that more pages follow after 5, the most that --all fetches "
                                    "(--all stopped at page 6; the events before it are printed: 5 events)", 5),
    (paging(last_page=1), Status.OTHER_HTTP,
     "it repeats the page before it: the server does not page (--all stopped at page 3; the events before it are "
     "printed: 1 event)", 1),
    (paging(page3=(200, {"status": 429, "message": "slow down"})), Status.OTHER_HTTP,
     'it is not a page of events: {"status":429,"message":"slow down"} (--all stopped at page 3', 2),
    (paging(page3=(200, [1, 2])), Status.OTHER_HTTP, "it is not a page of events: [1,2] (--all stopped at page 3", 2),
    (paging(page3=(200, {"content": [3, 4], "last": False})), Status.OTHER_HTTP,
     'it is not a page of events: {"content":[3,4],"last":false} (--all stopped at page 3', 2),
    (paging(page1=(200, {"status": 429})), Status.OTHER_HTTP, 'it is not a page of events: {"status":429}', 0),
    (paging(page2=(500, {"message": "database down"})), Status.SERVER_ERROR,
     "database down (--all stopped at page 2", 1),
    (paging(page1=(200, {"content": [{"id": 1}], "last": False, "totalPages": 10**6})), Status.OTHER_HTTP,
     "it says the listing has 1000000 pages of 100 events, more than --all fetches (5)", 0),
], ids=["without-end", "same-page", "error-object", "list", "events-not-objects", "first-not-a-page",
        "server-error", "too-many-pages"])
@pytest.mark.parametrize("output", ["--json", "--jsonl"])
def test_all_stops_where_the_pages_go_wrong_and_keeps_what_came(server, monkeypatch, capsys, answer, exit_code,
                                                                message, printed, output):
    monkeypatch.setattr(walk_all, "MAX_ALL_PAGES", 5)
    server.route("GET", EVENTLOG, handler=answering(answer))
    code = cli.main(["--server", server.url, "--token", "t", output, "events", "security", "--all"])
    out, err = capsys.readouterr()
    assert code == exit_code
    assert message in err and err.count("\n") == 1
    if output == "--jsonl":  # printed as they came: the events, with no page around them
        assert [json.loads(line)["id"] for line in out.splitlines()] == list(range(1, printed + 1))
    elif printed:
        listing = json.loads(out)
        assert [event["id"] for event in listing["content"]] == list(range(1, printed + 1))
        assert listing["last"] is False and listing["totalElements"] == 9  # not the whole listing
    else:
        assert out == ""


@pytest.mark.parametrize("stdout_is_terminal, stderr_is_terminal, json_output, term, progress_shown", [
    (True, True, False, "xterm", True),
    (False, True, False, "xterm", True),  # the listing goes to a file: watching progress matters most
    (False, True, True, None, True),
    (True, False, False, "xterm", False),
    (True, True, False, "dumb", False),  # a terminal that cannot go back to the start of the line
])
def test_all_shows_progress_whenever_stderr_is_a_terminal(run, monkeypatch, stdout_is_terminal, stderr_is_terminal,
                                                     json_output, term, progress_shown):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: stdout_is_terminal)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: stderr_is_terminal)
    if term is None:
        monkeypatch.delenv("TERM", raising=False)
    else:
        monkeypatch.setenv("TERM", term)
    code, out, err = run(*["--json"] * json_output, "events", "security", "--all", "--size", "15")
    assert code == 0
    assert out.startswith("{" if json_output else "events 1-40 of 40\n")
    if progress_shown:
        assert "page 1 of 3" in err and "page 3 of 3" in err
        assert err.endswith("\r\x1b[K")  # the line is cleared before the listing
    else:
        assert err == ""


# Whole, so that every interpreter reads it as nesting: 3.13's parser stops at its
# recursion limit, newer ones parse it and the command line finds the depth.
DEEP = b"[" * 20_000 + b"]" * 20_000
LONG_NUMBER = b'{"username": ' + b"9" * 5_000 + b"}"
HTML_PAGE = b"<!DOCTYPE html>\n<html><body>\n<h1>Welcome</h1></body></html>"


def charset(name):
    return {"Content-Type": f"application/json; charset={name}"}


@pytest.mark.parametrize("status, body, headers, exit_code, shown", [
    (401, None, None, Status.UNAUTHORIZED, "401 Unauthorized"),
    (403, {"message": "no EVENTLOG_READER role"}, None, Status.UNAUTHORIZED, "no EVENTLOG_READER role"),
    (404, {"message": "gone"}, None, Status.NOT_FOUND, "404 Not Found"),
    (400, {"message": "bad option"}, None, Status.BAD_REQUEST, "bad option"),
    (500, {"message": "database down"}, None, Status.SERVER_ERROR, "500 Internal Server Error"),
    (503, "maintenance until noon", None, Status.SERVER_ERROR, "maintenance until noon"),
    (418, {"error": "teapot"}, None, Status.OTHER_HTTP, "teapot"),
    (200, "not an API", None, Status.OTHER_HTTP, "is not usable: it is not JSON"),
    # Answers that the parser or the decoder refuses.
    (200, DEEP, None, Status.OTHER_HTTP, "nested too deeply"),
    (200, b"[" * 20_000, None, Status.OTHER_HTTP, "is not usable: it is"),  # cut short: too deep or not JSON
    (200, b"[" * 500 + b"]" * 500, None, Status.OTHER_HTTP, "nested too deeply"),
    (200, LONG_NUMBER, None, Status.OTHER_HTTP, "a number too long to read"),
    (200, b'{"username": "x"}', charset("idna"), Status.OTHER_HTTP, "its charset 'idna' cannot decode it"),
    (200, b'{"username": "x"}', charset("rot13"), Status.OTHER_HTTP, "its charset 'rot13' cannot decode it"),
    (200, b'{"username": "x"}', charset("utf-8\u00e9"), Status.OTHER_HTTP, "its charset 'utf-8\u00e9' cannot"),
    (404, DEEP, None, Status.NOT_FOUND, "404 Not Found"),
    (500, LONG_NUMBER, None, Status.SERVER_ERROR, "500 Internal Server Error"),
    (500, b'{"message": "database down"}', charset("undefined"), Status.SERVER_ERROR, "database down"),
    (500, b'\xef\xbb\xbf{"message": "BOM first"}', charset("utf-8"), Status.SERVER_ERROR, "BOM first"),
    # Not an Accounts server, or not its base URL.
    (200, HTML_PAGE, {"Content-Type": "text/html"}, Status.OTHER_HTTP, "an HTML page, not an answer of the Accounts"),
    (200, b"<div>Sign in</div>", {"Content-Type": "text/html"}, Status.OTHER_HTTP, "an HTML page, not an answer"),
    (404, HTML_PAGE, {"Content-Type": "text/html"}, Status.NOT_FOUND, "an HTML page, not an answer of the Accounts"),
    # Redirects that cannot be followed are the server's fault, not the --server given.
    (302, None, {"Location": "http://[::1"}, Status.OTHER_HTTP, "redirected to a URL that cannot be followed: 'http"),
    (302, None, {"Location": "http://127.0.0.1:99999/"}, Status.OTHER_HTTP, "followed: 'http://127.0.0.1:99999/'"),
    (302, None, {"Location": "ftp://me:pw@files.example.com/"}, Status.OTHER_HTTP,
     "followed: 'ftp://***@files.example.com/'"),
    (302, None, {"Location": "http://a..b/"}, Status.OTHER_HTTP, "followed: 'http://a..b/'"),
])
def test_failures_give_one_line_and_their_own_exit_code(run, server, status, body, headers, exit_code, shown,
                                                         accounts_canary):
    if status != 401:
        server.route("GET", USER_INFO, status, body, headers)
    code, out, err = run("user", token=None if status != 401 else "wrong-token")
    assert code == exit_code
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("ferrovane-accounts: ")
    assert shown in err
    assert "Traceback" not in err and "<h1>" not in err and "not a usable server URL" not in err


@pytest.mark.parametrize("status, body, headers, argv, escaped", [
    (200, {"username": "eve\x1b[2J\x1b]0;owned\x07"}, None, ["user"], "eve\\x1b[2J"),
    (500, {"message": "oops\x1b[31m\nred"}, None, ["user"], "oops\\x1b[31m red"),
    (302, None, {"Location": "ftp://\x1b[2J"}, ["user"], "ftp://\\x1b[2J"),
    (200, b"{}", charset("\x1b[2J"), ["user"], "charset '\\x1b[2J'"),
    (200, {"content": [{"id": 1, "message": "x" * 200 + "\x1b[2J"}]}, None, ["events", "security"], "\\x1b["),
])
def test_server_text_cannot_drive_the_terminal(run, server, monkeypatch, status, body, headers, argv, escaped):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)  # a table cut to the terminal's width
    monkeypatch.setenv("COLUMNS", "212")
    path = EVENTLOG if argv[0] == "events" else USER_INFO
    server.route("GET", path, status, body, headers)
    _, out, err = run(*argv)
    assert "\x1b" not in out + err and "\x07" not in out + err
    assert escaped in out + err


@pytest.mark.parametrize("terminal, argv, whole", [
    (True, [], False),
    (True, ["--json"], True),
    (False, [], True),  # a file or a pipe: nothing to fit
])
def test_long_messages_are_cut_to_the_terminal_width(run, server, monkeypatch, terminal, argv, whole):
    message = " ".join(["a long message"] * 20)
    server.route("GET", EVENTLOG, 200, {"content": [
        {"id": 1, "timestamp": "2024-04-18T09:00:00Z", "level": "INFO", "message": message},
        {"id": 2, "timestamp": "2024-04-18T09:00:01Z", "level": "INFO", "message": "short"}]})
    monkeypatch.setattr(sys.stdout, "isatty", lambda: terminal)
    monkeypatch.setenv("COLUMNS", "70")
    code, out, _ = run(*argv, "events", "security")
    assert code == 0
    assert (message in out) == whole
    if not whole:
        lines = out.splitlines()
        assert max(len(line) for line in lines) == 70
        assert lines[2].endswith("a lo...") and lines[3].endswith("  short")


def test_connection_refused_and_no_answer(capsys):
    with socket.socket() as silent:  # accepts connections but never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        silent_url = "http://127.0.0.1:%d" % silent.getsockname()[1]
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            refused_url = "http://127.0.0.1:%d" % closed.getsockname()[1]
        assert cli.main(["--server", refused_url, "--token", "t", "user"]) == Status.CONNECTION
        assert "Connection refused" in capsys.readouterr().err
        assert cli.main(["--server", silent_url, "--token", "t", "--timeout", "0.2", "user"]) == Status.CONNECTION
        assert "no whole answer" in capsys.readouterr().err


BODY = b'{"username": "' + b"x" * 400 + b'"}'


def trickle(released, data, pause=0.05, first=0.0):
    """A streamed body: ``data`` a byte every ``pause`` seconds after ``first`` seconds,
    until the test ends."""
    if released.wait(first):
        return
    for byte in data:
        if released.wait(pause):
            return
        yield bytes([byte])


@pytest.mark.parametrize("answer", [
    lambda released: Answer(200, trickle(released, BODY), {"Content-Length": str(len(BODY))}),
    lambda released: Answer(200, trickle(released, BODY)),  # ends with the connection
    lambda released: Answer(200, trickle(released, BODY, first=30)),  # stalls after its headers
    lambda released: released.wait(30) and Answer(),  # no answer at all
], ids=["body", "body-without-length", "stalled-after-headers", "no-answer"])
def test_timeout_bounds_the_whole_request(server, released, capsys, answer):
    # Each byte comes well within the timeout; the whole would take half a minute.
    server.route("GET", USER_INFO, handler=lambda request: answer(released))
    started = time.monotonic()
    code = cli.main(["--server", server.url, "--token", "t", "--timeout", "1", "user"])
    elapsed = time.monotonic() - started
    assert code == Status.CONNECTION
    assert f"no whole answer from {server.url} within 1 s" in capsys.readouterr().err
    assert elapsed < 5  # where the whole answer takes 20 s or more


@pytest.mark.parametrize("insecure", [[], ["--insecure"]])
def test_tls_to_a_plain_http_server_says_so(server, capsys, insecure):
    https_url = server.url.replace("http://", "https://")
    assert cli.main(["--server", https_url, "--token", "t", *insecure, "user"]) == Status.CONNECTION
    err = capsys.readouterr().err
    assert f"{https_url} does not speak TLS; if the server speaks plain HTTP, use {server.url}" in err
    assert "--insecure" not in err


@pytest.fixture
def self_signed_server():
    """An HTTPS server with a self-signed certificate that answers every GET with a user."""
    context = faults.self_signed_context()
    with StandInServer(lifetime=None, ssl_context=context) as server:
        server.route("GET", USER_INFO, 200, {"username": "tls.user"})
        yield server.url


def test_insecure_holds_even_when_the_environment_names_a_ca_bundle(self_signed_server, monkeypatch, capsys):
    # requests would let this variable override the session's verify=False.
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", requests.certs.where())
    argv = ["--server", self_signed_server, "--token", "t", "user"]
    assert cli.main(argv) == Status.CONNECTION
    err = capsys.readouterr().err
    assert "certificate verify failed" in err and "(--insecure skips the certificate check)" in err
    assert cli.main(["--insecure", *argv]) == 0
    assert "tls.user" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["user"], "say which server to query: --server URL"),
    (["--server", "http://127.0.0.1:9", "user"], "no token"),
    # The URL is checked before the token, and the message names what was typed.
    (["--server", "notaurl", "user"], "not a server URL: 'notaurl' (it should look like https://"),
    (["--server", "localhost:8080", "user"], "not a server URL: 'localhost:8080'"),
    (["--server", "http://127.0.0.1:99999", "user"], "not a server URL"),
    (["--demo", "--server", "http://127.0.0.1:9", "user"], "not allowed with"),
    (["--server", "http://127.0.0.1:9", "user", "--demo"], "not allowed with"),
    # Pasted from a browser: the API paths would go after the query or the fragment.
    (["--server", "http://127.0.0.1:9/#/login", "user"], "has a fragment (#/login); give the base URL alone, "
                                                          "e.g. 'http://127.0.0.1:9/'"),
    (["--server", "http://127.0.0.1:9/accounts?tenant=a", "user"], "has a query (?tenant=a)"),
    (["--demo", "events", "security", "--size", "0"], "at least 1"),
    (["--demo", "events", "security", "--page", "0"], "at least 1"),
    (["--demo", "events", "security", "--sorted", "--unsorted"], "not allowed with"),
    (["--demo", "events", "security", "--page", "2", "--offset", "5"], "--offset: not allowed with argument --page"),
    (["--demo", "events", "security", "--all", "--page", "2"], "--page: not allowed with argument --all"),
    (["--demo", "events", "security", "--offset", "5", "--all"], "--all: not allowed with argument --offset"),
    # Waits that no thread or socket can honour.
    (["--demo", "--timeout", "inf", "user"], "--timeout: must be more than 0 and at most 86400 (a day), got inf"),
    (["--demo", "--timeout", "1e10", "user"], "at most 86400"),
    (["--demo", "user", "--timeout", "1e300"], "at most 86400"),
    (["--demo", "--timeout", "nan", "user"], "not a number of seconds: 'nan'"),
    # requests would send them as HTTP Basic in place of the token; never shown.
    (["--server", "http://alice:s3cr/et@host", "--token", "t", "user"],
     "'http://***@host' holds credentials (user:password@); the server takes the API token instead"),
    # A name or id is one segment of the request path: it cannot address another one.
    (["--demo", "event", "security", "../../entitlements"], "argument ID: '../../entitlements' holds '/'"),
    (["--demo", "events", "%2e%2E"], "argument APP: '%2e%2E' is not a name or id: it would address the path above"),
    (["--demo", "distribution", "..", "linux-armhf"], "argument KEY: '..' is not a name or id"),
    (["--demo", "event", "security", "..;"], "argument ID: '..;' is not a name or id"),  # a servlet's ;params
    (["--demo", "events", ""], "argument APP: '' is not a name or id: it would leave its part of the request"),
    # A byte of an argument that the locale cannot decode: no URL can carry it.
    (["--demo", "events", "security", "--search", "\udcff"], "'\\udcff' holds bytes that are not text"),
    (["--demo", "distribution", "orvik-4.2.0", "x\udcff"], "argument PLATFORM: 'x\\udcff' holds bytes"),
    # A mistyped subcommand or choice: the one meant, when one is close.
    (["--demo", "evnts", "security"], "), did you mean 'events'? (see ferrovane-accounts --help)"),
    (["completion", "fsh"], "did you mean 'fish'?"),
])
def test_usage_errors_exit_2(monkeypatch, capsys, argv, message):
    monkeypatch.delenv(TOKEN_VARIABLE, raising=False)
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == Status.USAGE
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and "s3cr" not in err


def test_url_that_only_fails_when_used_is_a_usage_error(capsys):
    assert cli.main(["--server", "http://a..b", "--token", "t", "user"]) == Status.USAGE
    err = capsys.readouterr().err
    assert "not a usable server URL: 'http://a..b' (it should look like https://" in err
    assert "/api/" not in err and "Traceback" not in err


@pytest.mark.parametrize("argv, shown, not_shown", [
    (["--help"], ["exit codes:", TOKEN_VARIABLE, "--version", "examples:\n  ferrovane-accounts --demo events"], []),
    (["events", "--help"], ["--page N", "counting from 1", "with --all", "ferrovane-accounts --help"],
     ["exit codes:", TOKEN_VARIABLE]),
    (["user", "--help"], ["the user that the token belongs to"], ["exit codes:", TOKEN_VARIABLE]),
    (["--version"], [f"ferrovane-accounts {importlib.metadata.version('ferrovane-sdk-accounts')}\n"], []),
])
def test_help_and_version(capsys, argv, shown, not_shown):
    try:
        code = cli.main(argv)
    except SystemExit as exit:  # argparse ends with it; --version alone returns
        code = exit.code
    assert code == 0
    out = capsys.readouterr().out
    assert all(text in out for text in shown)
    assert not any(text in out for text in not_shown)


def test_token_from_the_environment(server, monkeypatch, capsys, accounts_canary):
    monkeypatch.setenv(TOKEN_VARIABLE, server.token)
    assert cli.main(["user", "--server", server.url]) == 0
    assert server.requests[-1].headers["Authorization"] == f"Bearer {server.token}"


def test_demo_ignores_the_environment_token_but_not_an_explicit_one(monkeypatch, capsys):
    monkeypatch.setenv(TOKEN_VARIABLE, "someone-elses-real-token")
    assert cli.main(["--demo", "user"]) == 0
    assert "demo.user" in capsys.readouterr().out
    assert cli.main(["user", "--demo", "--token", "wrong"]) == Status.UNAUTHORIZED


def test_console_script_runs_the_demo_server_query():
    script = shutil.which("ferrovane-accounts", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.skip("the console script is not installed beside this interpreter")
    result = subprocess.run([script, "--demo", "events", "security", "--size", "5", "--search", "login"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0] == "events 1-5 of 22, page 1 of 5"


def test_demo_tour_completes():
    result = subprocess.run([sys.executable, "-m", "ferrovane.sdk.demo"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "All " in result.stdout and ". FAILED: " not in result.stdout


@pytest.mark.parametrize("token, problem", [
    ("secret-token\n", "ends in a line break (CR or LF)"),
    ("secret-token\r\n", "ends in a line break (CR or LF)"),
    ("secret-token\u2013x", "has a character outside Latin-1 at position 13 (U+2013)"),
    ("secret\x1btoken", "has a control character at position 7 (U+001B)"),
    (" secret-token", "begins with a space, which no HTTP header can carry"),
    ("secret-token\t", "ends with a tab, which no HTTP header can carry"),
])
@pytest.mark.parametrize("from_environment", [False, True])
def test_unusable_tokens_are_refused_unsent_and_unprinted(server, monkeypatch, capsys, token, problem,
                                                         from_environment):
    monkeypatch.setenv(TOKEN_VARIABLE, token)
    argv = ["--server", server.url, *([] if from_environment else ["--token", token]), "user"]
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    err = capsys.readouterr().err
    assert exit.value.code == Status.USAGE
    assert f"the token from {TOKEN_VARIABLE if from_environment else '--token'} {problem}" in err
    assert "secret" not in err
    assert server.requests == []


@pytest.mark.parametrize("base", ["/api", "/api/", "/accounts/api/"])
@pytest.mark.accounts_server(strict=False)  # the misplaced base URL sends its request nowhere
def test_a_base_url_that_ends_in_api_is_named_on_404(server, capsys, base):
    assert cli.main(["--server", server.url + base, "--token", server.token, "user"]) == Status.NOT_FOUND
    err = capsys.readouterr().err
    assert err.count("\n") == 1
    assert f"(the base URL stops before /api/: use --server {server.url}{base[:-4].rstrip('/')})" in err


def test_plain_http_to_a_tls_server_suggests_https(self_signed_server, capsys):
    plain_url = self_signed_server.replace("https://", "http://")
    assert cli.main(["--server", plain_url, "--token", "t", "user"]) == Status.CONNECTION
    assert f"if the server speaks TLS, use {self_signed_server}" in capsys.readouterr().err


def cli_process(*argv, **settings):
    return subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.cli", *argv], text=True, stderr=subprocess.PIPE,
                            **settings)


@pytest.mark.parametrize("argv", [["user"], ["--json", "events", "security", "--all", "--size", "7"]])
def test_a_full_disk_is_one_line_and_its_own_status(argv):
    with open("/dev/full", "w") as full:
        process = cli_process("--demo", *argv, stdout=full)
        _, err = process.communicate(timeout=60)
    assert process.returncode == Status.OUTPUT
    assert err == "ferrovane-accounts: cannot write the output: No space left on device\n"


def test_ctrl_c_during_all_prints_what_came_and_says_it_was_interrupted(server, released):
    asked_for_page_2 = threading.Event()

    def answer(query):
        if "offset" in query:  # the second page
            asked_for_page_2.set()
            released.wait(30)  # the page that never comes
        return 200, {"content": [{"id": 1}], "last": False, "totalElements": 3}

    server.route("GET", EVENTLOG, handler=answering(answer))
    process = cli_process("--server", server.url, "--token", "t", "--json", "events", "security", "--all",
                          stdout=subprocess.PIPE)
    assert asked_for_page_2.wait(30)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=30)
    assert process.returncode == Status.INTERRUPTED
    listing = json.loads(out)
    assert [event["id"] for event in listing["content"]] == [1] and listing["last"] is False
    assert err == ("ferrovane-accounts: interrupted (--all stopped at page 2; the events before it are printed: "
                   "1 event)\n")


def test_an_internal_fault_is_one_line_with_status_1(run, monkeypatch):
    def broken(response):
        raise RuntimeError("boom")
    monkeypatch.setattr(queries, "document", broken)
    assert run("user") == (Status.INTERNAL_ERROR, "", "ferrovane-accounts: internal error: RuntimeError: boom "
                                                      "(please report it)\n")


def test_only_the_demo_loads_the_stand_in_server(server):
    script = ("import sys; from ferrovane.sdk.cli import main; code = main(sys.argv[1:]); "
              "sys.exit(code or any('stand_in' in name for name in sys.modules))")
    result = subprocess.run([sys.executable, "-c", script, "--server", server.url, "--token", server.token, "user"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr


# Each user takes four terminal columns, as the heading USER does.
@pytest.mark.parametrize("user", ["abcd", "日本", "한국", "🎉🎉", "e\u0301e\u0301e\u0301e\u0301", "ｶﾀｶﾅ"])
def test_table_columns_are_measured_in_terminal_columns(user):
    rows = [{"id": 1, "user": user, "message": "x" * 30}, {"id": 22, "user": "wxyz", "message": "y" * 30}]
    assert _tables.table(rows, _tables.EVENT_COLUMNS, width=30).splitlines() == [
        "ID  USER  MESSAGE", f" 1  {user}  {'x' * 17}...", f"22  wxyz  {'y' * 17}..."]


@pytest.mark.parametrize("columns", [50, 60, 75])
def test_tables_fit_narrow_terminals(run, monkeypatch, columns):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True)
    monkeypatch.setenv("COLUMNS", str(columns))
    for argv in (["events", "security", "--size", "8"], ["event", "security", "1008"], ["releases"]):
        code, out, _ = run(*argv)
        assert code == 0
        assert max(len(line) for line in out.splitlines()) <= columns, out


def test_a_follower_stopped_and_started_again_prints_each_event_once(tmp_path):
    stand_in = subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.stand_in_server", "--grow", "security=5/0.2",
                                 "--lifetime", "600"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = stand_in.stdout.readline().split(" at ")[1].strip()
        printed = []
        for _ in range(2):  # stopped by SIGTERM, as a service manager stops it, then started again
            with open(tmp_path / "events.jsonl", "w") as file:
                process = cli_process("--server", url, "--token", "demo-token", "--jsonl", "events", "security", "-f",
                                      "--interval", "0.2", "--checkpoint", str(tmp_path / "at.json"), stdout=file)
                while (tmp_path / "events.jsonl").read_text().count("\n") < 30:
                    assert process.poll() is None
                    time.sleep(0.1)
                process.send_signal(signal.SIGTERM)
                assert process.communicate(timeout=60) == (None, "") and process.returncode == Status.SUCCESS
            printed += [json.loads(line)["id"] for line in (tmp_path / "events.jsonl").read_text().splitlines()]
        assert printed == list(range(printed[0], printed[0] + len(printed)))  # none twice, none missed
    finally:
        stand_in.terminate()
        stand_in.wait(60)


@pytest.mark.parametrize("argv, line", [
    (["--interval", "0.1"], "argument --interval: must be at least 0.2, got 0.1"),
    (["--interval", "nan"], "argument --interval: not a number of seconds: 'nan'"),
    (["--all"], "argument --all: not allowed with argument -f/--follow"),
    (["--json"], "argument --follow: not allowed with argument --json"),
    (["--checkpoint", "{dir}/other.json"], "the checkpoint file {dir}/other.json is not usable here: the checkpoint "
                                           "is of a walk with app 'entitlements', not 'security'"),
    (["--checkpoint", "{dir}/broken.json"], "the checkpoint file {dir}/broken.json cannot be read: it is not JSON"),
    (["--checkpoint", "{dir}/none/at.json"], "the checkpoint file {dir}/none/at.json cannot be written: No such file"),
    (["--since", "no-such-id"], "argument --since: no event with id 'no-such-id' in the log of security"),
])
def test_a_follow_that_cannot_start_says_why_in_one_line(server, capsys, tmp_path, argv, line):
    (tmp_path / "broken.json").write_text("{")
    (tmp_path / "other.json").write_text(json.dumps(
        {"app": "entitlements", "search": None, "sort_sorted": None, "sort_unsorted": None, "pageSize": 10,
         "offset": 0, "last": None, "total": 0, "pages": 0, "finished": False}))
    argv = [value.format(dir=tmp_path) for value in argv]
    try:
        code = cli.main(["--server", server.url, "--token", server.token, "events", "security", "-f", *argv])
    except SystemExit as refused:  # by the parser
        code = refused.code
    out, err = capsys.readouterr()
    assert code == Status.USAGE and out == "" and err.count("\n") == 1 and line.format(dir=tmp_path) in err


@pytest.mark.parametrize("failing, retries, code", [
    ("busy", [], Status.SUCCESS), ("busy", ["--retries", "1"], Status.OTHER_HTTP),
    ("busy", ["--retries", "0"], Status.SERVER_ERROR),
    ("cut short", [], Status.SUCCESS), ("cut short", ["--retries", "0"], Status.OTHER_HTTP)])
def test_a_busy_server_is_asked_again_as_often_as_retries_says(server, failing, retries, code):
    failures = ([faults.unavailable(0), faults.too_many_requests(0)] if failing == "busy"
                else [faults.reset_mid_body(200, {"name": "demo.user"}), faults.cut_short(200, {"name": "demo.user"})])
    server.route("GET", "/api/security/v3/user-info", answers=[*failures, Answer(200, {"name": "demo.user"})])
    assert cli.main(["--server", server.url, "--token", server.token, *retries, "--json", "user"]) == code
    assert len(server.requests) == (1 + int(retries[1]) if retries else 3)
