"""--timeout ends the command within about its seconds, whatever holds the request up
(a slow server, a redirect chain, addresses that never accept, a name lookup that does
not return) and whichever way it goes: direct, through an HTTP, HTTPS or SOCKS proxy."""

import contextlib
import signal
import ssl
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator

import pytest

from ferrovane.sdk import cli
from ferrovane.sdk.stand_in_server import Answer, RecordedRequest, StandInServer, faults
from support import proxies, unreachable

DEADLINE = 1
# The deadline plus what starting the command and a loaded machine's scheduling cost.
ENDS_WITHIN = 2.5
USER_PATH = "/api/security/v3/user-info"
PROXY_VARIABLES = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")
# What the misbehaving routes wait for before they give up; the test's end releases them.
HOLD = 10.0
# The --timeout of a command that should get its answer: room for a slow machine (or an
# emulated one) to set up TLS inside TLS.
ROOMY = 30

Handler = Callable[[RecordedRequest], Answer]


@pytest.fixture(scope="module")
def authority() -> tuple[ssl.SSLContext, str]:
    """A TLS context for servers and proxies on 127.0.0.1, and the file of the CA that signed
    it, which the command line is told to trust: the stand-in's own certificate."""
    return faults.self_signed_context(), faults.SELF_SIGNED_CERTIFICATE


@pytest.fixture(autouse=True)
def no_proxy_from_outside(monkeypatch: pytest.MonkeyPatch) -> None:
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.lower(), raising=False)


def trickles(released: threading.Event, hold: float = HOLD) -> Handler:
    def body() -> Iterator[bytes]:
        for _ in range(int(hold / 0.05)):
            if released.wait(0.05):
                return
            yield b" "
    return lambda request: Answer(200, body(), {"Content-Type": "application/json", "Content-Length": "100000"})


def never_answers(released: threading.Event) -> Handler:
    def handler(request: RecordedRequest) -> Answer:
        released.wait(HOLD)
        return Answer(200, b"{}", {"Content-Type": "application/json"})
    return handler


def stalls_after_headers(released: threading.Event) -> Handler:
    def body() -> Iterator[bytes]:
        released.wait(HOLD)
        yield b"{}"
    return lambda request: Answer(200, body(), {"Content-Type": "application/json", "Content-Length": "100"})


def redirects_slowly(released: threading.Event) -> Handler:
    # Each hop alone is well inside the deadline; the chain is not.
    def handler(request: RecordedRequest) -> Answer:
        released.wait(0.4)
        return Answer(302, b"", {"Location": USER_PATH})
    return handler


def answers(released: threading.Event) -> Handler | None:
    return None  # the stand-in's own answer


@contextlib.contextmanager
def way(kind: str, authority: tuple[ssl.SSLContext, str], monkeypatch: pytest.MonkeyPatch,
        ) -> Iterator[tuple[ssl.SSLContext | None, proxies.Proxy]]:
    """Sets the environment for a way to the server through a proxy; yields the TLS context
    the server needs (None: plain HTTP) and the proxy."""
    context, bundle = authority
    monkeypatch.setenv("REQUESTS_CA_BUNDLE", bundle)
    if kind == "http-proxy":  # forwards plain requests
        with proxies.HttpProxy() as proxy:
            monkeypatch.setenv("HTTP_PROXY", proxy.url)
            yield None, proxy
    elif kind == "http-proxy-tunnel":
        with proxies.HttpProxy() as proxy:
            monkeypatch.setenv("HTTPS_PROXY", proxy.url)
            yield context, proxy
    elif kind == "https-proxy-tls-in-tls":
        with proxies.HttpProxy(tls=context) as proxy:
            monkeypatch.setenv("HTTPS_PROXY", proxy.url)
            yield context, proxy
    elif kind == "socks5-proxy":
        pytest.importorskip("socks", reason="SOCKS proxies need PySocks")
        with proxies.Socks5Proxy() as proxy:
            monkeypatch.setenv("ALL_PROXY", proxy.url)
            yield context, proxy
    else:
        raise AssertionError(kind)


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str, float]:
    started = time.monotonic()
    code = cli.main(argv)
    elapsed = time.monotonic() - started
    out, err = capsys.readouterr()
    return code, out, err, elapsed


# Direct connections to these servers are test_cli's; the deadline does not depend on how the
# server stalls, so each way is tried once, with a stall of its own, and one answers.
@pytest.mark.parametrize("kind, behaviour, status", [
    ("http-proxy", trickles, 3), ("http-proxy-tunnel", never_answers, 3),
    ("https-proxy-tls-in-tls", stalls_after_headers, 3), ("socks5-proxy", redirects_slowly, 3),
    ("http-proxy-tunnel", answers, 0)])
def test_the_command_ends_within_the_deadline_through_every_proxy(kind, behaviour, status, authority, released,
                                                                  monkeypatch, capsys):
    with way(kind, authority, monkeypatch) as (tls, proxy):
        with StandInServer(ssl_context=tls) as server:
            if (handler := behaviour(released)) is not None:
                server.route("GET", USER_PATH, handler=handler)
            try:
                code, out, err, elapsed = run(["--server", server.url, "--token", server.token,
                                               "--timeout", str(DEADLINE if status else ROOMY), "user"], capsys)
            finally:
                released.set()
    assert (code, elapsed < ENDS_WITHIN or not status) == (status, True), err
    if status:
        assert err.count("\n") == 1 and f"within {DEADLINE} s" in err and not out
    assert proxy.requests, "the proxy was not used"


@pytest.mark.parametrize("hosts", [
    pytest.param([f"127.0.0.{n}" for n in range(2, 7)], id="five-dead-addresses"),
    pytest.param(["::1", "127.0.0.2", "127.0.0.3"], id="dual-stack-ipv6-first"),
])
def test_a_name_whose_addresses_never_accept_gets_one_deadline(hosts, monkeypatch, capsys):
    with unreachable.name_with_dead_addresses(monkeypatch, "accounts.test", hosts) as port:
        code, out, err, elapsed = run(["--server", f"http://accounts.test:{port}", "--token", "t",
                                       "--timeout", str(DEADLINE), "user"], capsys)
    assert (code, elapsed < ENDS_WITHIN) == (3, True), err
    assert err.count("\n") == 1


def test_a_name_lookup_that_does_not_return_is_given_up(monkeypatch, capsys):
    with unreachable.slow_name(monkeypatch, "accounts.test"):
        code, out, err, elapsed = run(["--server", "http://accounts.test", "--token", "t",
                                       "--timeout", str(DEADLINE), "user"], capsys)
    assert (code, elapsed < ENDS_WITHIN) == (3, True), err


def test_ctrl_c_ends_the_wait_at_once(released, capsys):
    with StandInServer() as server:
        server.route("GET", USER_PATH, handler=never_answers(released))
        main_thread = threading.main_thread().ident
        assert main_thread is not None
        interrupt = threading.Timer(0.5, signal.pthread_kill, (main_thread, signal.SIGINT))
        interrupt.start()
        try:
            code, out, err, elapsed = run(["--server", server.url, "--token", server.token, "--timeout", "30",
                                           "user"], capsys)
        finally:
            interrupt.cancel()
            released.set()
    assert (code, elapsed < ENDS_WITHIN) == (130, True), err
    assert err == "ferrovane-accounts: interrupted\n" and not out


def test_the_process_ends_with_the_deadline_though_its_request_goes_on(released):
    # The request left behind on its worker thread must not hold the process.
    with StandInServer() as server:
        server.route("GET", USER_PATH, handler=trickles(released, hold=3 * HOLD))
        started = time.monotonic()
        try:
            finished = subprocess.run([sys.executable, "-m", "ferrovane.sdk.cli", "--server", server.url,
                                       "--token", server.token, "--timeout", str(DEADLINE), "user"],
                                      capture_output=True, text=True, timeout=6 * HOLD)
        finally:
            released.set()
    # Well before the request would end; starting an interpreter takes a while on a slow machine.
    assert (finished.returncode, time.monotonic() - started < HOLD) == (3, True), finished.stderr
