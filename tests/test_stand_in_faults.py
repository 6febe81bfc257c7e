"""The stand-in's faults as a user's suite meets them, through requests and the client, and
its framing under random request streams: one answer per request, or a closed connection."""

import re
import shutil
import socket
import subprocess
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

import pytest
import requests
from hypothesis import given
from hypothesis import strategies as st

import h11

from ferrovane.sdk.exceptions import InternalServerError
from ferrovane.sdk.stand_in_server import Answer, StandInServer, faults, wire
from ferrovane.sdk.stand_in_server.messages import Ending, prepare
from support.sanitizer import UNSANITIZED

USER_INFO = "/api/security/v3/user-info"
HTTP_DATE = datetime(2026, 10, 21, 7, 28, tzinfo=timezone(timedelta(hours=2)))


@pytest.mark.parametrize("answer, status, header, value", [
    (faults.too_many_requests(5), 429, "Retry-After", "5"),
    (faults.unavailable(HTTP_DATE), 503, "Retry-After", "Wed, 21 Oct 2026 05:28:00 GMT"),
    (faults.expired_token(), 401, "WWW-Authenticate", 'error="invalid_token"'),
    (faults.named("unavailable:0"), 503, "Retry-After", "0"),
    (faults.named("too-many-requests:Wed, 21 Oct 2026 05:28:00 GMT"), 429, "Retry-After",
     "Wed, 21 Oct 2026 05:28:00 GMT"),
])
def test_status_faults_carry_what_clients_read(server, answer, status, header, value):
    server.route("GET", "/fault", handler=lambda request: answer)
    response = requests.get(server.url + "/fault", timeout=5)
    assert response.status_code == status and value in response.headers[header]
    assert response.json()["status"] == status


def on_the_wire(answer, method):
    """What the answer to a request of ``method`` sends, with no socket: (status, declared
    Content-Length, body, pauses, ending)."""
    parser = h11.Connection(h11.SERVER)
    parser.receive_data(b"%s /x HTTP/1.1\r\nHost: x\r\n\r\n" % method.encode())
    parser.next_event()
    out = wire.answer(parser, prepare(answer), head_only=method == "HEAD")
    pieces = list(out)
    head, _, body = b"".join(data for _, data in pieces).partition(b"\r\n\r\n")
    length = re.search(rb"\r\ncontent-length: (\d+)", head, re.IGNORECASE)
    status = int(head.split()[1]) if head else 0
    return status, length and int(length[1]), body, {pause for pause, _ in pieces if pause}, out.ending


# Each named fault as the command line gives it: its status, whether its body comes whole,
# the pauses it makes, and how its connection ends.
WIRE_FORMS = {
    "too-many-requests:3": (429, True, set(), Ending.KEEP),
    "unavailable": (503, True, set(), Ending.KEEP),
    "expired-token": (401, True, set(), Ending.KEEP),
    "redirect-to:http://elsewhere.invalid/x": (302, True, set(), Ending.KEEP),
    "reset-before-headers": (0, True, set(), Ending.RESET),
    "reset-mid-body": (200, False, set(), Ending.RESET),
    "cut-short": (200, False, set(), Ending.CLOSE),
    "trickle:2": (200, True, {2.0}, Ending.CLOSE),
    "stall-after-headers:5": (200, True, {5.0}, Ending.CLOSE),
}


def test_every_named_fault_has_its_wire_form_tested():
    assert {name.partition(":")[0] for name in WIRE_FORMS} == {named.name for named in faults.NAMED}


# A route's own answer in wire form: the faults of the body play out on it.
REAL = (200, {"Content-Type": "application/json"}, b'{"username": "demo.user", "roles": []}')


@pytest.mark.parametrize("real", [None, REAL])
@pytest.mark.parametrize("method", ["GET", "HEAD"])
@pytest.mark.parametrize("name", WIRE_FORMS)
def test_every_named_fault_on_the_wire(name, method, real):
    status, length, body, pauses, ending = on_the_wire(faults.named(name, real), method)
    expected_status, whole, expected_pauses, expected_ending = WIRE_FORMS[name]
    assert (status, pauses, ending) == (expected_status, expected_pauses, expected_ending)
    if method == "HEAD":  # as GET, without content
        assert body == b""
    elif status:
        assert (len(body) == length) is whole
        of_body = next(row.of_body for row in faults.NAMED if row.name == name.partition(":")[0])
        assert bool(real and body and REAL[2].startswith(body)) is (real is not None and of_body)


def test_a_redirect_to_another_origin_reaches_it_without_the_token(server):
    with StandInServer(server.token, lifetime=30) as other:
        server.route("GET", USER_INFO, handler=lambda request: faults.redirect_to(other.url + USER_INFO))
        response = requests.get(server.url + USER_INFO, headers={"Authorization": f"Bearer {server.token}"},
                                timeout=5)
        # requests drops the credentials at the other origin, which then refuses.
        assert [r.status_code for r in response.history] == [302] and response.status_code == 401
        assert "Authorization" not in other.requests[0].headers


@pytest.mark.parametrize("fault, error", [
    (faults.reset_before_headers(), requests.ConnectionError),
    (faults.reset_mid_body(), requests.exceptions.ChunkedEncodingError),
    (faults.cut_short(body=b"x" * 100, after=10), requests.exceptions.ChunkedEncodingError),
    (faults.stall_after_headers(1), requests.exceptions.ConnectionError),  # a read timeout
    (faults.trickle(interval=1), requests.exceptions.ConnectionError),
])
def test_wire_faults_fail_the_client_and_the_server_carries_on(server, fault, error):
    server.route("GET", "/fault", handler=lambda request: fault)
    with requests.Session() as session, pytest.raises(error):
        session.get(server.url + "/fault", timeout=(5, 0.3)).content
    assert requests.get(server.url + USER_INFO, timeout=5).status_code == 401


def test_a_trickle_is_slow_but_whole(server):
    body = b"0123456789" * 3
    server.route("GET", "/slow", handler=lambda request: faults.trickle(body=body, chunk_size=10, interval=0.1))
    started = time.monotonic()
    response = requests.get(server.url + "/slow", timeout=5)
    assert response.content == body and time.monotonic() - started >= 0.3


def test_the_native_client_meets_a_cut_short_answer_as_a_connection_error(server, client):
    server.route("GET", USER_INFO, handler=lambda request: faults.cut_short())
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        client.get_current_user()
    server.route("GET", USER_INFO, handler=lambda request: faults.named("500"))
    with pytest.raises(InternalServerError):
        client.get_current_user()


@pytest.mark.parametrize("context, client_options, refused", [
    (faults.self_signed_context, {}, True),
    (faults.self_signed_context, {"verify": faults.SELF_SIGNED_CERTIFICATE}, False),
    (faults.client_certificate_context, {"verify": faults.SELF_SIGNED_CERTIFICATE}, True),
    (faults.client_certificate_context, {"verify": faults.SELF_SIGNED_CERTIFICATE,
                                         "cert": faults.CLIENT_CERTIFICATE}, False),
])
def test_tls_faults(context, client_options, refused):
    with StandInServer("t", lifetime=30, ssl_context=context()) as server, requests.Session() as session:
        session.trust_env = False  # no CA bundle from the environment
        call = lambda: session.get(server.url + USER_INFO, headers={"Authorization": "Bearer t"},  # noqa: E731
                                   timeout=5, **client_options)
        if refused:
            with pytest.raises(requests.ConnectionError):  # SSLError among them
                call()
        else:
            assert call().json()["username"] == "demo.user"


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs the openssl command")
@pytest.mark.parametrize("issuer, key", [("server.pem", "server-key.pem"), ("client.pem", "client.pem")])
@pytest.mark.parametrize("name", ["example.com", "localhost"])
def test_the_shipped_keys_vouch_for_no_other_certificate(tmp_path, issuer, key, name):
    # The keys ship in every copy of the package: what they sign, even for a loopback name,
    # verifies against no shipped certificate, as the server's own certificate does.
    shipped = Path(faults.SELF_SIGNED_CERTIFICATE).parent
    trusted = tmp_path / "trusted.pem"
    trusted.write_bytes((shipped / "server.pem").read_bytes() + (shipped / "client-ca.pem").read_bytes())
    (tmp_path / "ext").write_text(f"subjectAltName=DNS:{name}\n")

    def openssl(*args):
        return subprocess.run(["openssl", *map(str, args)], cwd=tmp_path, capture_output=True, text=True,
                              env=UNSANITIZED)
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", "k.pem",
            "-subj", f"/CN={name}", "-out", "forged.csr")
    made = openssl("x509", "-req", "-in", "forged.csr", "-CA", shipped / issuer, "-CAkey", shipped / key,
                   "-set_serial", "2", "-days", "9", "-extfile", "ext", "-out", "forged.pem")
    assert made.returncode == 0, made.stderr
    assert openssl("verify", "-CAfile", trusted, shipped / "server.pem").returncode == 0
    assert openssl("verify", "-CAfile", trusted, "-verify_hostname", name, "forged.pem").returncode != 0


@pytest.mark.parametrize("make", [
    lambda: faults.unavailable(datetime(2026, 10, 21)),  # naive: local time or UTC?
    lambda: faults.too_many_requests(-1),
    lambda: faults.too_many_requests(True),
    lambda: faults.redirect_to("/relative"),
    lambda: faults.redirect_to("http://other.example/\r\nSet-Cookie: x=1"),
    lambda: faults.redirect_to("http://other.example/", status=200),
    lambda: faults.cut_short(body=b"abc", after=3),  # not short at all
    lambda: faults.trickle(interval=float("nan")),
    lambda: faults.named("teapot"),
    lambda: faults.named("expired-token:soon"),
    lambda: faults.named("600"),
])
def test_faults_that_would_not_be_what_they_claim_are_refused(make):
    with pytest.raises(ValueError):
        make()


def test_a_header_http_cannot_carry_gives_a_500_not_a_second_header(server, caplog):
    server.route("GET", "/inject", headers={"X-Note": "a\r\nSet-Cookie: stolen=1"})
    server.route("GET", "/wide", headers={"X-Note": "\u2713"})
    for path in ("/inject", "/wide"):
        response = requests.get(server.url + path, timeout=5)
        assert response.status_code == 500 and "Set-Cookie" not in response.headers
    assert "cannot send the answer" in caplog.text


# --------------------------------------------------------------------------- framing

def chunked(body, sizes):
    pieces, start = [], 0
    for size in sizes:
        if start >= len(body):
            break
        pieces.append(b"%x\r\n%s\r\n" % (len(body[start:start + size]), body[start:start + size]))
        start += size
    if start < len(body):
        pieces.append(b"%x\r\n%s\r\n" % (len(body) - start, body[start:]))
    return b"".join(pieces) + b"0\r\n\r\n"


@st.composite
def good_requests(draw, number):
    # Bodies may hold what looks like a request of its own: read as one, it would desync.
    body = draw(st.one_of(st.binary(max_size=40), st.just(b"GET /echo?n=666 HTTP/1.1\r\nHost: x\r\n\r\n")))
    host = draw(st.sampled_from([b"Host: x\r\n", b"host:x\r\n", b"HOST:  x \r\n"]))
    if draw(st.booleans()):
        return b"GET /echo?n=%d HTTP/1.1\r\n%s\r\n" % (number, host)
    if draw(st.booleans()):
        framing = b"Content-Length: %d\r\n\r\n%s" % (len(body), body)
    else:
        framing = b"Transfer-Encoding: chunked\r\n\r\n" + chunked(body, draw(st.lists(st.integers(1, 9))))
    return b"POST /echo?n=%d HTTP/1.1\r\n%s%s" % (number, host, framing)


BAD_REQUESTS = [
    b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\nGET /echo?n=666 HTTP/1.1\r\nHost: x\r\n\r\n",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding : chunked\r\n\r\n0\r\n\r\n",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n0\r\n\r\n",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 30\r\n\r\nabc",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: +3\r\n\r\nabc",
    b"POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nz\r\nabc\r\n0\r\n\r\n",
    b"GET /echo HTTP/1.1\r\n\r\n",
    b"GET /echo HTTP/1.1\r\nHost: x\r\nHost: y\r\n\r\n",
    b"GET /echo HTTP/1.1 extra\r\nHost: x\r\n\r\n",
    b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n",  # a TLS hello on plain HTTP
]


@st.composite
def request_streams(draw):
    """Requests sent back to back on one connection: some good ones, then perhaps a bad one
    or a good one cut off early; returns (the stream in the pieces it is sent in, good ones
    whole, whether the end is bad)."""
    good = [draw(good_requests(number)) for number in range(draw(st.integers(0, 4)))]
    ending = draw(st.sampled_from(["none", "bad", "cut"]))
    tail = b""
    if ending == "bad":
        tail = draw(st.sampled_from(BAD_REQUESTS))
    elif ending == "cut":
        last = draw(good_requests(len(good)))
        tail = last[:draw(st.integers(1, len(last) - 1))]
    raw = b"".join(good) + tail
    cuts = sorted(draw(st.lists(st.integers(0, len(raw)), max_size=3)))
    return [raw[start:end] for start, end in zip([0, *cuts], [*cuts, len(raw)])], len(good), ending != "none"


def read_answers(connection):
    """The answers on a connection until it closes, as (status, headers, body)."""
    data = b"".join(iter(lambda: connection.recv(65536), b""))
    answers = []
    while data:
        head, separator, data = data.partition(b"\r\n\r\n")
        assert separator, f"half an answer: {head!r}"
        status_line, *lines = head.decode("latin-1").split("\r\n")
        headers = {name.lower(): value for name, _, value in (line.partition(": ") for line in lines)}
        length = int(headers["content-length"])
        answers.append((int(status_line.split()[1]), headers, data[:length]))
        data = data[length:]
    return answers


@pytest.fixture(scope="module")
def echo_server():
    with StandInServer(lifetime=None) as server:
        echo = lambda request: Answer(200, request.query_string.encode() + b":" + request.body)  # noqa: E731
        server.route("GET", "/echo", handler=echo)
        server.route("POST", "/echo", handler=echo)
        yield server


@given(request_streams())
def test_property_every_request_gets_its_own_answer_or_the_connection_closes(echo_server, stream):
    pieces, good, bad_end = stream
    host, port = echo_server.url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port)), timeout=10) as connection:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for piece in pieces:
            connection.sendall(piece)
            time.sleep(0.002)  # so that the server may read it apart from the next
        connection.shutdown(socket.SHUT_WR)
        answers = read_answers(connection)
    assert len(answers) == good + bad_end
    for number, (status, headers, body) in enumerate(answers[:good]):
        assert status == 200 and body.startswith(b"n=%d:" % number)
    if bad_end:
        status, headers, body = answers[-1]
        assert 400 <= status < 600 and headers["connection"] == "close"
