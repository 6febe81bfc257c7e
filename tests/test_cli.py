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
    code, out, _ = run("events", "security", "--page", "1", "--size", "4", "--search", "LOGIN", "--sorted")
    assert code == 0
    assert server.requests[-1].query == [("pageNumber", "1"), ("pageSize", "4"), ("search", "LOGIN"),
                                         ("sort.sorted", "True")]
    lines = out.splitlines()
    assert lines[0] == "events 5-8 of 17, page 2 of 5"
    header, rows = lines[1], lines[2:]
    assert len(rows) == 4
    # Every row has its MESSAGE where the heading is, whatever the widths before it.
    column = header.index("MESSAGE")
    assert all(row[column - 2:column] == "  " and row[column] != " " for row in rows)


@pytest.mark.parametrize("argv", [["user"], ["events", "entitlements", "--all"], ["releases"]])
def test_json_output_is_the_servers_answer(run, server, argv):
    code, out, _ = run("--json", *argv)
    assert code == 0
    asked = server.requests[-1]
    direct = requests.get(server.url + asked.path, params=asked.query,
                          headers={"Authorization": f"Bearer {server.token}"})
    assert json.loads(out) == direct.json()


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
    (["--demo", "--server", "http://127.0.0.1:9", "user"], "not allowed with"),
    (["--demo", "events", "security", "--size", "0"], "at least 1"),
    (["--demo", "events", "security", "--sorted", "--unsorted"], "not allowed with"),
])
def test_usage_errors_exit_2(monkeypatch, capsys, argv, message):
    monkeypatch.delenv(cli.TOKEN_VARIABLE, raising=False)
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == cli.EXIT_USAGE
    assert message in capsys.readouterr().err


def test_malformed_url_is_a_usage_error(capsys):
    assert cli.main(["--server", "localhost:8080", "--token", "t", "user"]) == cli.EXIT_USAGE
    assert "https://host[:port]" in capsys.readouterr().err


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
    assert result.stdout.splitlines()[0] == "events 1-5 of 17, page 1 of 4"


def test_demo_tour_completes():
    result = subprocess.run([sys.executable, "-m", "ferrovane.sdk.demo"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "All " in result.stdout and "FAILED" not in result.stdout
