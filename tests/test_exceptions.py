from types import SimpleNamespace

import pytest
import requests

from ferrovane.sdk.exceptions import AccountsApiError, BadRequestError, InternalServerError

URL = "http://127.0.0.1:9/api/security/v3/eventlog?pageSize=abc"


def make_response(status, body, reason="Bad Request", method="GET"):
    response = requests.Response()
    response.status_code = status
    response.reason = reason
    response._content = body
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
    ],
    ids=["none", "bare-object", "unreadable-body", "str-content", "odd-content"],
)
def test_stub_responses_never_break_the_constructor(stub, expected):
    error = BadRequestError(stub)
    assert str(error) == expected
    assert error.response is stub
