"""mount_retries: only safe methods, only statuses worth another try, Retry-After
honoured within the total wait bound, and every wait logged."""

import email.utils
import logging
import threading
import time

import pytest
import requests

from ferrovane.sdk.accounts_api import ApiClient
from ferrovane.sdk.deadline import DeadlinePassed, call_within
from ferrovane.sdk.exceptions import InternalServerError
from ferrovane.sdk.retries import PoliteRetry, mount_retries, mount_timeout
from ferrovane.sdk.stand_in_server import Answer

PATH = "/api/test/v3/flaky"


def failing(times, status, headers=None):
    """A handler that answers ``status`` (with ``headers``) ``times`` times, then 200."""
    answered = []

    def handler(request):
        answered.append(request)
        if len(answered) <= times:
            return Answer(status, {"message": "try later"}, headers() if callable(headers) else headers)
        return Answer(200, {"ok": True})
    return handler


def waits(caplog):
    return [record for record in caplog.records if record.name == "ferrovane.sdk.retries"]


def call(client, method):
    return {"GET": lambda: client._get("test", "v3/flaky"), "PUT": lambda: client._put("test", "v3/flaky", data={}),
            "DELETE": lambda: client._delete("test", "v3/flaky"),
            "POST": lambda: client._post("test", "v3/flaky", data={})}[method]()


@pytest.mark.parametrize("method, status, failures, tries, outcome", [
    ("GET", 503, 2, 3, 200),
    ("GET", 413, 9, 1, requests.HTTPError),  # though it says when to come back (urllib3 would retry it)
    ("PUT", 502, 1, 2, 200),
    ("DELETE", 504, 1, 2, 200),
    ("GET", 429, 9, 4, requests.HTTPError),  # more failures than retries: the last answer, as without retries
    ("POST", 503, 9, 1, requests.HTTPError),  # never repeated
    ("GET", 500, 9, 1, InternalServerError),  # not a status that another try mends
    ("GET", 404, 9, 1, requests.HTTPError),
])
def test_only_safe_methods_are_retried_and_only_on_passing_failures(server, client, method, status, failures, tries,
                                                                    outcome):
    server.route(method, PATH, handler=failing(failures, status, {"Retry-After": "0"}))
    mount_retries(client, backoff=0.01)
    if outcome == 200:
        assert call(client, method).status_code == 200
    else:
        with pytest.raises(outcome) as raised:
            call(client, method)
        assert raised.value.response.status_code == status
    assert len(server.requests) == tries


@pytest.mark.parametrize("retry_after", [lambda: "1", lambda: email.utils.formatdate(time.time() + 2, usegmt=True),
                                         lambda: "soon"],  # unreadable: the backoff (urllib3 would raise)
                         ids=["seconds", "http-date", "unreadable"])
def test_retry_after_is_waited_for_and_logged(server, client, caplog, retry_after):
    server.route("GET", PATH, handler=failing(1, 503, lambda: {"Retry-After": retry_after()}))
    mount_retries(client._session, backoff=1)
    started = time.monotonic()
    with caplog.at_level(logging.INFO, logger="ferrovane.sdk"):
        assert client._get("test", "v3/flaky").status_code == 200
    waited = time.monotonic() - started
    (record,) = waits(caplog)
    assert record.levelno == logging.INFO and "/api/test/v3/flaky again (status 503; try 2)" in record.getMessage()
    assert 0.5 < waited < 3.5


def test_a_retry_after_beyond_the_bound_brings_the_answer_back_at_once(server, client, caplog):
    server.route("GET", PATH, handler=failing(1, 503, {"Retry-After": "3600"}))
    mount_retries(client._session, max_wait=30)
    started = time.monotonic()
    with caplog.at_level(logging.INFO, logger="ferrovane.sdk.retries"), pytest.raises(requests.HTTPError) as raised:
        client._get("test", "v3/flaky")
    assert raised.value.response.status_code == 503 and time.monotonic() - started < 1
    assert len(server.requests) == 1 and not waits(caplog)


def test_failed_connections_are_retried_with_a_capped_doubling_backoff(caplog):
    client = ApiClient("http://127.0.0.1:9", "t")  # nothing listens on port 9
    client._session.trust_env = False
    mount_retries(client._session, retries=4, backoff=0.01, max_backoff=0.03)
    with caplog.at_level(logging.INFO, logger="ferrovane.sdk.retries"), pytest.raises(requests.ConnectionError):
        client.get_current_user()
    assert [record.getMessage().split()[1] for record in waits(caplog)] == ["0.01", "0.02", "0.03", "0.03"]
    caplog.clear()
    with pytest.raises(requests.ConnectionError):
        client._post("security", "v3/user-info", data={})  # nothing was sent, and still not repeated
    assert not waits(caplog)



def test_a_deadline_cuts_a_wait_between_tries_and_no_try_follows(server, client):
    server.route("GET", PATH, handler=failing(1, 503, {"Retry-After": "20"}))
    mount_retries(client._session)
    with pytest.raises(DeadlinePassed):
        call_within(0.3, client._get, "test", "v3/flaky")
    (worker,) = [thread for thread in threading.enumerate() if thread.name == "ferrovane-request"]
    worker.join(5)
    assert not worker.is_alive() and len(server.requests) == 1


@pytest.mark.parametrize("on_client", [True, False], ids=["client", "session"])
@pytest.mark.parametrize("timeout_first", [True, False], ids=["timeout-then-retries", "retries-then-timeout"])
def test_a_read_timeout_and_retries_keep_each_other(server, client, released, on_client, timeout_first):
    server.route("GET", PATH, handler=lambda request: released.wait(60) and Answer(200, {}))
    target = client if on_client else client._session
    mounts = [lambda: mount_timeout(target, (5, 0.2)), lambda: mount_retries(target)]
    for mount in mounts if timeout_first else mounts[::-1]:
        mount()
    assert isinstance(client._session.adapters["http://"].max_retries, PoliteRetry)
    with pytest.raises(requests.ReadTimeout):  # a read that timed out is not repeated
        client._get("test", "v3/flaky")
    assert len(server.requests) == 1
