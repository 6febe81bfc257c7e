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


def test_the_readmes_user_test_files_pass(pytester):
    # Every Python block of the testing section is a test file of its own.
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
