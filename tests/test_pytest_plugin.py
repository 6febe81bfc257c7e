"""The pytest plugin that the package registers serves users' own test files."""

import re
import socket
import subprocess
import sys
from pathlib import Path

import pytest
from support import docs

def readme_user_test_files():
    return docs.python_blocks(docs.section("testing", "Testing your code against the stand-in server"))


@pytest.fixture
def hostile_environment(monkeypatch, tmp_path):
    """What a user's environment may hold: a netrc default entry, proxies at a closed port
    and no NO_PROXY, a CA bundle that does not exist; set here and for subprocesses."""
    with socket.socket() as closed:
        closed.bind(("127.0.0.1", 0))
        proxy = f"http://127.0.0.1:{closed.getsockname()[1]}"
    netrc = tmp_path / "netrc"
    netrc.write_text("default login intruder password not-the-token\n")
    netrc.chmod(0o600)
    for name, value in {"NETRC": str(netrc), "HTTP_PROXY": proxy, "HTTPS_PROXY": proxy, "ALL_PROXY": proxy,
                        "http_proxy": proxy, "REQUESTS_CA_BUNDLE": str(tmp_path / "missing.pem")}.items():
        monkeypatch.setenv(name, value)
    for name in ("NO_PROXY", "no_proxy"):
        monkeypatch.delenv(name, raising=False)


def test_the_readmes_user_test_files_pass(pytester, hostile_environment):
    # Every Python block of the testing section is a test file of its own, and passes on a
    # machine with proxies and a netrc file, as many are.
    files = readme_user_test_files()
    assert len(files) >= 2
    pytester.makepyfile(**{f"test_readme_{index}": code for index, code in enumerate(files)})
    # No -p option: pytest must find the plugin through the installed package's entry point.
    result = pytester.runpytest()
    result.assert_outcomes(passed=sum(code.count("\ndef test_") for code in files))


def test_sessions_that_use_no_fixture_start_and_import_nothing(pytester):
    pytester.makepyfile(test_plain="""
        import sys
        import threading

        def test_plain():
            assert "ferrovane.sdk.pytest_plugin" in sys.modules  # loaded, yet:
            for module in ("ferrovane.sdk.stand_in_server", "ferrovane.sdk.accounts_api", "requests"):
                assert module not in sys.modules
            assert not [thread for thread in threading.enumerate() if thread.name.startswith("stand-in-server")]
    """)
    # A fresh interpreter: this one has imported everything already.
    result = pytester.runpytest_subprocess()
    result.assert_outcomes(passed=1)


def test_the_client_fixture_sends_its_token_to_its_server_whatever_the_environment(pytester, hostile_environment):
    pytester.makepyfile(test_environment="""
        def test_token(accounts_server, accounts_client):
            accounts_client.get_current_user()
            assert accounts_server.requests[-1].headers["Authorization"] == f"Bearer {accounts_server.token}"
    """)
    pytester.runpytest().assert_outcomes(passed=1)


def test_the_demo_tour_sends_its_own_token_to_its_own_server_whatever_the_environment(hostile_environment):
    result = subprocess.run([sys.executable, "-m", "ferrovane.sdk.demo"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_by_default_a_swallowed_failure_fails_its_test_at_teardown(pytester):
    pytester.makepyfile(test_strict="""
        import pytest
        import requests
        from ferrovane.sdk.stand_in_server import Answer

        def swallowing(url, **options):
            try:
                requests.get(url, **options).raise_for_status()
            except requests.HTTPError:
                pass  # the fault of the code under test

        def test_unexpected_request(accounts_server):
            swallowing(accounts_server.url + "/api/security/v3/nowhere?page=2")

        def test_raising_handler(accounts_server):
            def handler(request):
                raise LookupError("no such fixture data")
            accounts_server.route("GET", "/data", handler=handler)
            swallowing(accounts_server.url + "/data")

        def test_answered_by_the_api_itself(accounts_server, accounts_client):
            swallowing(accounts_server.url + "/api/security/v3/eventlog/4711",
                       headers={"Authorization": f"Bearer {accounts_server.token}"})
            swallowing(accounts_server.url + "/api/security/v3/user-info")  # no token: 401

        @pytest.mark.accounts_server(strict=False)
        def test_lenient_by_marker(accounts_server):
            swallowing(accounts_server.url + "/nowhere")

        def test_lenient_by_attribute(accounts_server):
            accounts_server.strict = False
            swallowing(accounts_server.url + "/nowhere")
    """)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=5, errors=2)
    result.stdout.fnmatch_lines([
        "*ERROR at teardown of test_unexpected_request*",
        "*unexpected request GET /api/security/v3/nowhere?page=2: no route answers it",
        "*ERROR at teardown of test_raising_handler*",
        "*the route handler for GET /data raised LookupError('no such fixture data')",
        "*raise LookupError*",
    ])


def test_requests_to_the_server_bypass_proxies_and_netrc_and_the_environment_comes_back(pytester,
                                                                                       hostile_environment):
    pytester.makepyfile(test_shield="""
        import os
        import subprocess
        import sys
        import requests
        from ferrovane.sdk.accounts_api import ApiClient

        def test_own_client(accounts_server):
            client = ApiClient(accounts_server.url, accounts_server.token)  # trusts the environment
            client.login()
            client.get_current_user()
            accounts_server.route("GET", "/plain", 204)
            assert requests.get(accounts_server.url + "/plain").status_code == 204
            # A netrc entry would have replaced the bearer token, and given the plain request one.
            assert accounts_server.requests[0].headers["Authorization"] == f"Bearer {accounts_server.token}"
            assert "Authorization" not in accounts_server.requests[1].headers

        def test_child_process(accounts_server):
            accounts_server.route("GET", "/plain", 204)
            code = "import requests, sys; requests.get(sys.argv[1]).raise_for_status()"
            subprocess.run([sys.executable, "-c", code, accounts_server.url + "/plain"], check=True, timeout=60)
            assert "Authorization" not in accounts_server.requests[0].headers

        def test_monkeypatch_set_up_first(monkeypatch, accounts_server):
            for name in ("NO_PROXY", "no_proxy", "NETRC"):
                monkeypatch.setenv(name, "x")

        def test_restored():
            assert "NO_PROXY" not in os.environ and "no_proxy" not in os.environ
            assert os.environ["NETRC"].endswith("netrc")
    """)
    pytester.runpytest("-p", "no:cacheprovider").assert_outcomes(passed=4)


def test_the_canary_fails_each_test_where_its_token_leaks_and_names_the_place(pytester):
    pytester.makepyfile(test_canary="""
        import logging
        import sys
        import threading

        class Config:
            def __init__(self, token):
                self.token = token
            def __repr__(self):
                return f"Config(token={self.token!r})"

        def test_debug_log_of_a_quiet_logger(accounts_canary):
            logging.getLogger("app.quiet").setLevel(logging.ERROR)
            logging.getLogger("app.quiet").debug("sending %s", accounts_canary.token)

        def test_exception_swallowed_on_another_thread(accounts_canary):
            def work():
                try:
                    raise ValueError("bad token " + accounts_canary.token)
                except ValueError:
                    pass
            thread = threading.Thread(target=work)
            thread.start()
            thread.join()

        def test_warned_logged_and_encoded(accounts_canary):
            import base64, warnings
            warnings.warn(f"token {accounts_canary.token}")
            logging.getLogger("app").info("sent", extra={"auth": accounts_canary.token})
            logging.getLogger("app").info("sent", accounts_canary.token)
            basic = base64.b64encode(f"me:{accounts_canary.token}".encode()).decode()
            logging.getLogger("app").info("Authorization: Basic %s", basic)

        def test_printed(accounts_canary):
            print("token:", accounts_canary.token, file=sys.stderr)

        def test_read_through_capsys(accounts_canary, capsys):
            print(accounts_canary.token)
            assert capsys.readouterr().out

        def test_repr_of_a_watched_object(accounts_canary):
            accounts_canary.watch(Config(accounts_canary.token))

        def test_clean_client_and_server(accounts_canary, accounts_client, accounts_server, capfd):
            assert accounts_server.token == accounts_canary.token
            accounts_client.get_current_user()
            accounts_client.logout()
            try:
                accounts_client.get_current_user()
            except Exception:
                pass
            assert accounts_server.requests[0].headers["Authorization"] == "Bearer " + accounts_canary.token
    """)
    result = pytester.runpytest("-p", "no:cacheprovider")
    result.assert_outcomes(passed=7, errors=6)
    result.stdout.fnmatch_lines_random([
        "*a DEBUG log message of 'app.quiet': ...'sending <canary>'...",
        "*a ValueError raised in work(): ...*bad token <canary>*",
        "*Captured stderr call: ...'token: <canary>*",
        "*stdout read through capsys: ...'<canary>*",
        "*repr() of a Config: ...\"Config(token='<canary>')\"...",
        "*- a warning: ...'token <canary>'...",
        "*- the extra of an INFO log message of 'app': ...*'auth': '<canary>'*",
        "*- the arguments of an INFO log message of 'app': ...*<canary>*",
        "*- an INFO log message of 'app' (encoded): ...'Authorization: Basic *<canary>*",
    ])
    assert not re.search(r"canary-[0-9a-f]{24}", result.stdout.str())  # the report itself leaks nothing
