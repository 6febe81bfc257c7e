from types import SimpleNamespace

import pytest
import requests
from hypothesis import example, given, settings, strategies as st

from ferrovane.sdk.exceptions import (EXCERPT_LENGTH, JSON_PARSE_LIMIT, AccountsApiError, BadRequestError,
                                      InternalServerError, server_message)

URL = "http://127.0.0.1:9/api/security/v3/eventlog?pageSize=abc"


def make_response(status, body, reason="Bad Request", method="GET", content_type=None):
    response = requests.Response()
    response.status_code = status
    response.reason = reason
    response._content = body
    if content_type is not None:  # as requests' adapter sets it from the headers
        response.headers["Content-Type"] = content_type
        response.encoding = requests.utils.get_encoding_from_headers(response.headers)
    response.url = URL
    response.request = requests.Request(method, URL).prepare()
    return response


HUGE_JSON = b'{"message": "' + b"x" * 5_000_000 + b'"}'


@pytest.mark.parametrize(
    "body, expected",
    [
        (b'{"status": 400, "error": "Bad Request", "message": "pageSize must be a number"}',
         "pageSize must be a number"),
        (b'{"error": "invalid_token"}', "invalid_token"),
        (b'{"message": "  ", "error": "Bad Request"}', "Bad Request"),
        (b'{"message": {"nested": 1}}', '{"message": {"nested": 1}}'),
        (b'{"status": 400}', '{"status": 400}'),
        (b'["message", "error"]', '["message", "error"]'),
        (b"Service   temporarily\r\n\tunavailable\n", "Service temporarily unavailable"),
        ("Größe ungültig".encode(), "Größe ungültig"),
        (b"", None),
        (bytes(range(256)) * 4, None),
        # Too big to parse: the excerpt shows the raw text, cut short.
        (HUGE_JSON, ('{"message": "' + "x" * 200)[:197] + "..."),
    ],
    ids=["message", "error", "blank-message", "non-text-message", "json-without-message", "json-list",
         "text", "utf8-text", "empty", "binary", "huge"],
)
def test_server_message_comes_from_the_body(body, expected):
    error = BadRequestError(make_response(400, body))
    assert error.server_message == expected
    assert str(error).endswith(f": {expected}" if expected else URL)


@pytest.mark.parametrize(
    "reason, method, expected",
    [
        ("Internal Server Error", "POST", f"500 Internal Server Error for POST {URL}: database down"),
        (None, "DELETE", f"500 Internal Server Error for DELETE {URL}: database down"),
        (b"Server Kaput", "GET", f"500 Server Kaput for GET {URL}: database down"),
    ],
)
def test_message_names_status_request_and_server_message(reason, method, expected):
    response = make_response(500, b'{"message": "database down"}', reason=reason, method=method)
    assert str(InternalServerError(response)) == expected


@pytest.mark.parametrize("error_class, status", [(BadRequestError, 400), (InternalServerError, 500)])
def test_is_a_requests_http_error_that_keeps_the_response(error_class, status):
    response = make_response(status, b"")
    with pytest.raises(requests.HTTPError) as raised:
        raise error_class(response)
    error = raised.value
    assert isinstance(error, AccountsApiError)
    assert not isinstance(error, BadRequestError if status == 500 else InternalServerError)
    assert error.response is response
    assert error.request is response.request
    assert error.status_code == status


class UnreadableBody:
    status_code = 500

    @property
    def content(self):
        raise RuntimeError("the content for this response was already consumed")


@pytest.mark.parametrize(
    "stub, expected",
    [
        (None, "HTTP error"),
        (object(), "HTTP error"),
        (UnreadableBody(), "500 Internal Server Error"),
        (SimpleNamespace(status_code=400, content="plain text", reason=b"Bad Request"),
         "400 Bad Request: plain text"),
        (SimpleNamespace(status_code=400, content=12345, url="http://x/y"), "400 Bad Request for http://x/y"),
        (SimpleNamespace(status_code=400.0), "400.0"),  # equal to 400, so the client raises this class
    ],
    ids=["none", "bare-object", "unreadable-body", "str-content", "odd-content", "float-status"],
)
def test_stub_responses_never_break_the_constructor(stub, expected):
    error = BadRequestError(stub)
    assert str(error) == expected
    assert error.response is stub
    # Always an int: the response's own, else the status that the class stands for.
    assert error.status_code == getattr(stub, "status_code", 400) and type(error.status_code) is int


@pytest.mark.parametrize("status, body, expected", [
    (503, b'{"status": 503, "message": "maintenance until noon"}', "maintenance until noon"),
    (404, b"No   such\nevent", "No such event"),
    (401, b"", None),
    (400, b'{"message": "bad option"}', "bad option"),
])
def test_server_message_is_read_for_any_failed_status(status, body, expected):
    response = make_response(status, body)
    with pytest.raises(requests.HTTPError) as raised:
        response.raise_for_status()
    assert server_message(raised.value) == expected
    assert server_message(AccountsApiError(response)) == expected
    assert server_message(requests.HTTPError("no response")) is None


def around(size):
    """Sizes just under, at and over ``size``."""
    return st.integers(size - 8, size + 8)


SERVER_BODIES = st.one_of(
    st.binary(max_size=300),
    st.text(max_size=300).map(str.encode),
    st.integers(1, 60_000).map(lambda depth: b"[" * depth),  # deeper than the parser's stack
    st.integers(4_000, 40_000).map(lambda digits: b'{"message": "m", "n": ' + b"7" * digits + b"}"),
    around(JSON_PARSE_LIMIT).map(lambda size: (b'{"message": "' + b"x" * size)[:size - 2] + b'"}'),
)
CHARSETS = st.one_of(
    st.sampled_from(["utf-8", "utf-16", "latin-1", "idna", "undefined", "rot13", "zlib", "base64", "punycode",
                     "no-such-codec", "utf-8\x00", ""]),
    st.text(max_size=20),
)


@pytest.mark.filterwarnings("error")  # as in test suites that make warnings errors
@settings(max_examples=200, deadline=None, derandomize=True, database=None)
@given(error_class=st.sampled_from([BadRequestError, InternalServerError]), body=SERVER_BODIES,
       charset=CHARSETS, reason=st.one_of(st.none(), st.text(max_size=40), st.binary(max_size=40)))
@example(error_class=BadRequestError, body=b"[" * 20_000, charset="utf-8", reason=None)
@example(error_class=InternalServerError, body=b'{"message": "database down"}', charset="idna", reason=None)
@example(error_class=BadRequestError, body=b"\xff\xfe not text", charset="undefined", reason=None)
@example(error_class=InternalServerError, body=b'{"message": "m"}', charset="utf-8\u00e9", reason=None)
def test_building_never_fails_whatever_the_server_sends(error_class, body, charset, reason):
    response = make_response(error_class is BadRequestError and 400 or 500, body, reason=reason,
                             content_type=f"application/json; charset={charset}")
    error = error_class(response)
    assert isinstance(error, requests.HTTPError) and error.response is response
    assert error.server_message is None or len(error.server_message) <= EXCERPT_LENGTH
    assert str(error).startswith(str(error.status_code))
