"""pytest fixtures for testing code that uses the Accounts client, without a real server.

pytest loads this plugin by itself once the package is installed (it is registered as
the ``pytest11`` entry point ``ferrovane-accounts``; ``-p no:ferrovane-accounts`` turns
it off):

- ``accounts_server``: a stand-in Accounts server of its own for each test, a
  ``ferrovane.sdk.stand_in_server.StandInServer``: its ``url`` and ``token``, the
  ``requests`` it has received, and ``route()`` for canned answers and handlers. It is
  strict: after the test, a request that nothing answered or a route handler that failed
  fails it, even when the code under test swallowed the error it got. The marker
  ``@pytest.mark.accounts_server(strict=False)`` (any ``StandInServer`` option) changes that.
  While it runs, requests to it bypass proxies and netrc, however the code built its session
  (``shielded=False`` in the marker: not so, for tests of how code meets the environment).
- ``accounts_client``: an ``ApiClient`` for that server, already logged in; its session
  ignores the environment (netrc, proxies, CA bundles), so it sends the server's token
  to the server itself.
- ``accounts_canary``: a ``SecretCanary`` whose token the server accepts and the client
  sends; the test fails if the token shows in a log record, an exception, a watched
  object's repr or str, or captured output.

Nothing is imported or started until a test asks for one of them, so test sessions
that use neither are neither slowed nor changed.
"""

from __future__ import annotations

import contextlib
import os
import weakref
from collections.abc import Generator, Iterator
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

import pytest

if TYPE_CHECKING:  # imported when a fixture is first used, not with the plugin
    from .accounts_api import ApiClient
    from .secret_canary import SecretCanary
    from .stand_in_server import StandInServer

_CANARY = pytest.StashKey["SecretCanary"]()
# Each test's canary by the test's id, for the warnings that pytest reports after the test
# (the hook is given no item); kept while the test's item keeps it.
_CANARIES: weakref.WeakValueDictionary[str, SecretCanary] = weakref.WeakValueDictionary()
_CAPTURE_FIXTURES = ("capsys", "capfd", "capsysbinary", "capfdbinary")
# The environment as the shield found it, put back once every fixture of the test is gone.
_UNSHIELDED = pytest.StashKey[dict[str, str | None]]()
_SHIELD_VARIABLES = ("NO_PROXY", "no_proxy", "NETRC")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "accounts_server(**options): StandInServer options for the accounts_server fixture, "
                   "such as strict=False for a test that sends requests nothing answers, and "
                   "shielded=False to let the environment's proxies and netrc reach the server")


@pytest.fixture
def accounts_server(request: pytest.FixtureRequest) -> Iterator[StandInServer]:
    """A running stand-in Accounts server for this test alone, stopped and checked after it."""
    from .stand_in_server import StandInServer

    marker = request.node.get_closest_marker("accounts_server")
    # No lifetime: the fixture stops the server, and a test held up in a debugger
    # should not find it gone.
    options: dict[str, Any] = {"lifetime": None, **(marker.kwargs if marker else {})}
    shielded = options.pop("shielded", True)
    canary = _canary_of(request)
    if canary is not None:
        options["token"] = canary.token
    with contextlib.ExitStack() as stack:
        server = stack.enter_context(StandInServer(**options))
        if shielded:
            _shield(request.node, urlsplit(server.url).hostname or "")
        if canary is not None:
            canary.watch(server)
        yield server
    problems = None
    try:
        server.check()
    except AssertionError as error:
        problems = str(error)
    if problems is not None:
        pytest.fail(problems, pytrace=False)


@pytest.fixture
def accounts_client(request: pytest.FixtureRequest, accounts_server: StandInServer) -> Iterator[ApiClient]:
    """An ApiClient for ``accounts_server``, logged in with its token."""
    client = accounts_server.client()  # its session ignores the user's environment
    client.login()
    canary = _canary_of(request)
    if canary is not None:
        canary.watch(client)
    yield client
    client._session.close()


@pytest.fixture
def accounts_canary(request: pytest.FixtureRequest) -> Iterator[SecretCanary]:
    """A secret canary: its ``token`` is the server's and the client's in this test, and
    the test fails where it leaks."""
    from .secret_canary import SecretCanary

    canary = SecretCanary()
    request.node.stash[_CANARY] = canary
    _CANARIES[request.node.nodeid] = canary
    captures = [(name, request.getfixturevalue(name)) for name in _CAPTURE_FIXTURES
                if name in request.fixturenames]
    for name, capture in captures:
        _scan_reads(canary, name, capture)
    canary.start()
    try:
        yield canary
    finally:
        canary.stop()
        for name, capture in captures:  # what the test left unread
            out, err = capture.readouterr()
            canary.scan(f"stdout left in {name}", out)
            canary.scan(f"stderr left in {name}", err)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    # The canary's verdict comes with the teardown report: by then every phase's captured
    # output is in the report's sections, and its fixture has stopped watching. The
    # reports show the output with the token blotted out.
    outcome = yield
    canary = item.stash.get(_CANARY, None)
    if canary is None:
        return
    report: pytest.TestReport = outcome.get_result()
    if call.when == "teardown":
        for title, content in report.sections:
            canary.scan(title, content)
    report.sections = [(title, canary.blot(content)) for title, content in report.sections]
    if call.when == "teardown" and canary.leaks:
        found = "the secret canary's token leaked:\n" + "\n".join(f"- {leak}" for leak in canary.leaks)
        earlier = canary.blot(str(report.longrepr)) + "\n\n" if report.failed and report.longrepr else ""
        report.outcome = "failed"
        report.longrepr = earlier + found


@pytest.hookimpl(tryfirst=True)
def pytest_warning_recorded(warning_message: Any, nodeid: str) -> None:
    # Before the terminal keeps it for the warnings summary, which it prints at the end.
    canary = _CANARIES.get(nodeid)
    if canary is None:  # a test without a canary: its warnings are left as they are
        return
    text = str(warning_message.message)
    if canary.blot(text) != text:
        warning_message.message = canary.blot(text)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_teardown(item: pytest.Item) -> Generator[None, Any, None]:
    # After the test's fixtures are torn down in whatever order: a monkeypatch fixture set
    # up before the server's undoes its own changes last, and would put back the shield's.
    yield
    unshielded = item.stash.get(_UNSHIELDED, None)
    if unshielded is not None:
        del item.stash[_UNSHIELDED]
        for name, value in unshielded.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def _canary_of(request: pytest.FixtureRequest) -> SecretCanary | None:
    if "accounts_canary" not in request.fixturenames:
        return None
    canary: SecretCanary = request.getfixturevalue("accounts_canary")
    return canary


def _scan_reads(canary: SecretCanary, name: str, capture: pytest.CaptureFixture[Any]) -> None:
    read = capture.readouterr

    def readouterr() -> Any:
        result = read()
        canary.scan(f"stdout read through {name}", result.out)
        canary.scan(f"stderr read through {name}", result.err)
        return result

    setattr(capture, "readouterr", readouterr)


def _shield(item: pytest.Item, host: str) -> None:
    """Requests to ``host`` bypass any proxy and netrc credentials until the test is over."""
    given = item.stash.setdefault(_UNSHIELDED, {name: os.environ.get(name) for name in _SHIELD_VARIABLES})
    for name in ("NO_PROXY", "no_proxy"):
        # Either spelling may be the one a tool reads first; each keeps its hosts.
        value = given[name]
        kept = value if value is not None else given["no_proxy" if name == "NO_PROXY" else "NO_PROXY"]
        os.environ[name] = ",".join(filter(None, [kept, host]))
    # An empty file: requests, in this process or a child, finds no credentials in it.
    os.environ["NETRC"] = os.devnull
