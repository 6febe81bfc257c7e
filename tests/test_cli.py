import importlib.metadata
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from ferrovane.sdk import cli


@pytest.fixture
def run(server, capsys):
    """Run the command line against the stand-in server; returns (exit code, stdout, stderr)."""
    def run(*argv, token=None):
        code = cli.main(["--server", server.url, "--token", token or server.token, *argv])
        out, err = capsys.readouterr()
        return code, out, err
    return run


@pytest.mark.parametrize("argv, expected", [
    (["user"], ["username", "demo.user", "roles", "USER, EVENTLOG_READER, DOWNLOADER"]),
    (["event", "security", "1008"], ["event 1008: 3 log entries", "Audit record written"]),
    (["releases"], ["KEY", "orvik-4.2.0", "braxlin-2.0.4", "linux-armhf, linux-x86_64"]),
    (["distribution", "braxlin-2.1.0", "linux-armhf"], ["url", "braxlin-2.1.0-linux-armhf.tar.gz"]),
])
def test_subcommands_print_their_answer_for_people(run, argv, expected):
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


@pytest.mark.parametrize("argv", [["user"], ["events", "entitlements", "--offset", "3"], ["releases"]])
def test_json_output_is_the_servers_answer(run, server, argv):
    code, out, _ = run("--json", *argv)
    assert code == 0
    asked = server.requests[-1]
    direct = requests.get(server.url + asked.path, params=asked.query,
                          headers={"Authorization": f"Bearer {server.token}"})
    assert json.loads(out) == direct.json()


def test_all_fetches_every_page_and_prints_them_as_one(run, server):
    code, out, _ = run("--json", "events", "security", "--all", "--size", "15", "--search", "o", "--sorted")
    assert code == 0
    asked = [request.query for request in server.requests]
    assert asked == [[("pageNumber", str(number)), ("pageSize", "15"), ("search", "o"), ("sort.sorted", "True")]
                     for number in range(3)]
    whole = requests.get(server.url + "/api/security/v3/eventlog", params={"unpaged": "true", "search": "o",
                                                                          "sort.sorted": "true"},
                         headers={"Authorization": f"Bearer {server.token}"}).json()
    assert 30 < whole["totalElements"] <= 45  # three pages of 15
    answer = json.loads(out)
    assert answer["content"] == whole["content"]
    assert answer["totalElements"] == answer["numberOfElements"] == whole["totalElements"]


@pytest.mark.parametrize("stdout_is_terminal, stderr_is_terminal, json_output, progress_shown", [
    (True, True, False, True),
    (False, True, False, False),
    (True, False, False, False),
    (True, True, True, False),
])
def test_all_shows_progress_only_to_someone_watching(run, monkeypatch, stdout_is_terminal, stderr_is_terminal,
                                                     json_output, progress_shown):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: stdout_is_terminal)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: stderr_is_terminal)
    code, out, err = run(*["--json"] * json_output, "events", "security", "--all", "--size", "15")
    assert code == 0
    assert out.startswith("{" if json_output else "events 1-40 of 40\n")
    if progress_shown:
        assert "page 1 of 3" in err and "page 3 of 3" in err
        assert err.endswith("\r\x1b[K")  # the line is cleared before the listing
    else:
        assert err == ""


@pytest.mark.parametrize("status, body, exit_code, shown", [
    (401, None, cli.EXIT_UNAUTHORIZED, "401 Unauthorized"),
    (403, {"message": "no EVENTLOG_READER role"}, cli.EXIT_UNAUTHORIZED, "no EVENTLOG_READER role"),
    (404, {"message": "gone"}, cli.EXIT_NOT_FOUND, "404 Not Found"),
    (400, {"message": "bad option"}, cli.EXIT_BAD_REQUEST, "bad option"),
    (500, {"message": "database down"}, cli.EXIT_SERVER_ERROR, "500 Internal Server Error"),
    (503, "maintenance until noon", cli.EXIT_SERVER_ERROR, "maintenance until noon"),
    (418, {"error": "teapot"}, cli.EXIT_OTHER_HTTP, "teapot"),
    (200, "<html>not an API</html>", cli.EXIT_OTHER_HTTP, "not JSON"),
])
def test_failures_give_one_line_and_their_own_exit_code(run, server, status, body, exit_code, shown):
    if status != 401:
        server.route("GET", "/api/security/v3/user-info", status, body)
    code, out, err = run("user", token=None if status != 401 else "wrong-token")
    assert code == exit_code
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("ferrovane-accounts: ")
    assert shown in err
    assert "Traceback" not in err


def test_server_text_cannot_drive_the_terminal(run, server):
    server.route("GET", "/api/security/v3/user-info", 200, {"username": "eve\x1b[2J\x1b]0;owned\x07"})
    server.route("GET", "/api/entitlements/v3/releases", 500, {"message": "oops\x1b[31m\nred"})
    _, out, _ = run("user")
    _, _, err = run("releases")
    assert "\x1b" not in out + err and "\x07" not in out
    assert "eve\\x1b[2J" in out and "oops\\x1b[31m red" in err


def test_connection_refused_and_no_answer(capsys):
    with socket.socket() as silent:  # accepts connections but never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        silent_url = "http://127.0.0.1:%d" % silent.getsockname()[1]
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            refused_url = "http://127.0.0.1:%d" % closed.getsockname()[1]
        assert cli.main(["--server", refused_url, "--token", "t", "user"]) == cli.EXIT_CONNECTION
        assert "Connection refused" in capsys.readouterr().err
        assert cli.main(["--server", silent_url, "--token", "t", "--timeout", "0.2", "user"]) == cli.EXIT_CONNECTION
        assert "no answer" in capsys.readouterr().err


@pytest.fixture
def self_signed_server(tmp_path):
    """An HTTPS server with a self-signed certificate that answers every GET with a user."""
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("openssl is needed to make a certificate")
    key, certificate = tmp_path / "key.pem", tmp_path / "certificate.pem"
    subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", certificate, "-days", "1", "-subj", "/CN=127.0.0.1"],
                   check=True, capture_output=True)

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            body = b'{"username": "tls.user"}'
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, format, *args):
            pass

    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
    thread.start()
    yield f"https://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()


def test_insecure_holds_even_when_the_environment_names_a_ca_bundle(self_signed_server, monkeypatch, capsys):
    # requests would let this variable override the session's verify=False.
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", requests.certs.where())
    argv = ["--server", self_signed_server, "--token", "t", "user"]
    assert cli.main(argv) == cli.EXIT_CONNECTION
    assert "certificate verify failed" in capsys.readouterr().err
    assert cli.main(["--insecure", *argv]) == 0
    assert "tls.user" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["user"], "--server URL, or --demo"),
    (["--server", "http://127.0.0.1:9", "user"], "no token"),
    # The URL is checked before the token, and the message names what was typed.
    (["--server", "notaurl", "user"], "not a server URL: 'notaurl' (it should look like https://"),
    (["--server", "localhost:8080", "user"], "not a server URL: 'localhost:8080'"),
    (["--server", "http://127.0.0.1:99999", "user"], "not a server URL"),
    (["--demo", "--server", "http://127.0.0.1:9", "user"], "not allowed with"),
    (["--demo", "events", "security", "--size", "0"], "at least 1"),
    (["--demo", "events", "security", "--page", "0"], "at least 1"),
    (["--demo", "events", "security", "--sorted", "--unsorted"], "not allowed with"),
    (["--demo", "events", "security", "--page", "2", "--offset", "5"], "--offset: not allowed with argument --page"),
    (["--demo", "events", "security", "--all", "--page", "2"], "--page: not allowed with argument --all"),
    (["--demo", "events", "security", "--offset", "5", "--all"], "--all: not allowed with argument --offset"),
])
def test_usage_errors_exit_2(monkeypatch, capsys, argv, message):
    monkeypatch.delenv(cli.TOKEN_VARIABLE, raising=False)
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == cli.EXIT_USAGE
    assert message in capsys.readouterr().err


def test_url_that_only_fails_when_used_is_a_usage_error(capsys):
    assert cli.main(["--server", "http://a..b", "--token", "t", "user"]) == cli.EXIT_USAGE
    err = capsys.readouterr().err
    assert "not a usable server URL: 'http://a..b' (it should look like https://" in err
    assert "/api/" not in err and "Traceback" not in err


@pytest.mark.parametrize("argv, shown, not_shown", [
    (["--help"], ["exit codes:", cli.TOKEN_VARIABLE, "--version"], []),
    (["events", "--help"], ["--page N", "counting from 1", "with --all", "ferrovane-accounts --help"],
     ["exit codes:", cli.TOKEN_VARIABLE]),
    (["user", "--help"], ["the user that the token belongs to"], ["exit codes:", cli.TOKEN_VARIABLE]),
    (["--version"], [f"ferrovane-accounts {importlib.metadata.version('ferrovane-sdk-accounts')}\n"], []),
])
def test_help_and_version(capsys, argv, shown, not_shown):
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == 0
    out = capsys.readouterr().out
    assert all(text in out for text in shown)
    assert not any(text in out for text in not_shown)


def test_token_from_the_environment(server, monkeypatch, capsys):
    monkeypatch.setenv(cli.TOKEN_VARIABLE, server.token)
    assert cli.main(["--server", server.url, "user"]) == 0
    assert server.requests[-1].headers["Authorization"] == f"Bearer {server.token}"


def test_demo_ignores_the_environment_token_but_not_an_explicit_one(monkeypatch, capsys):
    monkeypatch.setenv(cli.TOKEN_VARIABLE, "someone-elses-real-token")
    assert cli.main(["--demo", "user"]) == 0
    assert "demo.user" in capsys.readouterr().out
    assert cli.main(["--demo", "--token", "wrong", "user"]) == cli.EXIT_UNAUTHORIZED


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
