"""A guided tour of the Accounts client: ``python -m ferrovane.sdk.demo``.

Starts a stand-in Accounts server on 127.0.0.1, so nothing needs setting up, and walks
the native client through its calls one step at a time. Each step checks what came back;
the tour exits 0 only if every step worked, and stops at the first that did not.
"""

import sys

import requests

from . import _tables
from .exceptions import BadRequestError
from .stand_in_server import StandInServer

APP = "security"
SEARCH = "login"
PAGE_SIZE = 5
LABEL_WIDTH = 22


class StepFailed(Exception):
    """A step got an answer other than the one it expects."""


def check(condition, problem):
    if not condition:
        raise StepFailed(problem)


def expect_failure(call, status, exception_type=requests.HTTPError):
    """Run ``call``, which must fail with ``status``; describe how the failure surfaced."""
    try:
        call()
    except exception_type as error:
        check(error.response is not None and error.response.status_code == status,
              f"expected status {status}, got {error}")
        return f"{type(error).__name__} ({status}): {_tables.server_message(error)}"
    raise StepFailed(f"expected {exception_type.__name__} for status {status}, but the call succeeded")


def tour(server):
    """Yield (step, summary, details) for each step; ``details`` is an indented block or ''."""
    client = server.client()  # its session ignores the user's environment
    yield "Build a client", f"ApiClient({server.url!r}, token, api_version={client._api_version})", ""

    client.login()
    check(client._session.headers.get("Authorization") == f"Bearer {server.token}", "no bearer header")
    yield "Log in", "the session now sends 'Authorization: Bearer <token>'", ""

    user = client.get_current_user().response.json()
    check(user.get("username"), f"no username in {user!r}")
    yield "Current user", f"{user['username']} ({user.get('displayName')}), roles {_tables.cell(user.get('roles'))}", ""

    seen = []
    for number in range(2):
        command = client.get_event_log(APP, pageNumber=number, pageSize=PAGE_SIZE, search=SEARCH,
                                       sort_sorted=True)
        page = command.response.json()
        events = page["content"]
        check(events, f"page {number + 1} is empty")
        check(all(SEARCH in f"{e['message']} {e['user']} {e['type']}".lower() for e in events),
              f"an event on page {number + 1} does not match {SEARCH!r}")
        seen += events
        yield (f"Event log, page {number + 1}",
               f"{APP!r} events matching {SEARCH!r}, newest first: {_tables.page_summary(page)}",
               _tables.table(events, _tables.EVENT_COLUMNS))
    times = [event["timestamp"] for event in seen]
    check(times == sorted(times, reverse=True), "events are not newest first across the pages")
    check(len({event["id"] for event in seen}) == len(seen), "the two pages overlap")

    event_id = seen[0]["id"]
    log = client.get_event_log_for_an_event(APP, event_id).response.json()
    check(log.get("entries"), f"event {event_id} has no log entries")
    yield "One event", f"get_event_log_for_an_event({APP!r}, {event_id})", _tables.event_log(log)

    releases = client.return_all_releases().response.json()
    check(isinstance(releases, list) and releases, "no releases")
    yield "Releases", f"{len(releases)} releases", _tables.releases(releases)

    key, platform = releases[0]["key"], releases[0]["platforms"][0]
    distribution = client.get_distribution(key, platform).response.json()
    check(distribution.get("url"), f"no download URL for {key} on {platform}")
    yield "Distribution", f"{key} for {platform}", _tables.fields(distribution)

    yield ("A 400 answer", f"get_distribution({key!r}, 'solaris-sparc') raised "
           + expect_failure(lambda: client.get_distribution(key, "solaris-sparc"), 400, BadRequestError), "")
    yield ("A 404 answer", f"get_event_log_for_an_event({APP!r}, 99999) raised "
           + expect_failure(lambda: client.get_event_log_for_an_event(APP, 99999), 404), "")

    client.logout()
    check("Authorization" not in client._session.headers, "the bearer header is still there")
    yield "Log out", "header removed; get_current_user() now raises " + expect_failure(
        client.get_current_user, 401), ""


def indent(block, prefix=" " * 6):
    return "\n".join(prefix + line if line else line for line in block.splitlines())


def main():
    with StandInServer(lifetime=120) as server:
        print(f"Accounts client tour, against a stand-in server at {server.url}\n")
        steps = tour(server)
        number = 0
        while True:
            number += 1
            try:
                step, summary, details = next(steps)
            except StopIteration:
                break
            except Exception as problem:  # any fault ends the tour with the reason, not a traceback
                print(f"{number:2}. FAILED: {type(problem).__name__}: {_tables.printable(problem)}")
                print(f"\nThe tour stopped at step {number}.")
                return 1
            print(f"{number:2}. {step.ljust(LABEL_WIDTH)}{summary}")
            if details:
                print(indent(details))
    print(f"\nAll {number - 1} steps worked.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
