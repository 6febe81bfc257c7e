"""iter_events walks a whole event log: every event once, in order, across failures,
checkpoints and a log that grows or is purged while it is walked."""

import json
import warnings

import pytest
from hypothesis import given, strategies as st

from ferrovane.sdk import cli
from ferrovane.sdk.paging import LogChanged, iter_events
from ferrovane.sdk.stand_in_server import EVENTS, Answer

EVENTLOG = "/api/security/v3/eventlog"


class ChangingLog:
    """An event log served as the API pages it (pageNumber from 0, or offset; newest first
    or in stored order), that changes once, after its ``after``-th answer: ``change``
    events are added (newest, so in front when newest first) or, when negative, the
    oldest are purged."""

    def __init__(self, size, newest_first=False, change=0, after=1, fail_at=None):
        self.ids = list(range(1, size + 1))
        self.newest_first, self.change, self.after, self.fail_at = newest_first, change, after, fail_at
        self.answers = 0
        self.ever = set(self.ids)

    def page(self, query):
        self.answers += 1
        if self.answers == self.fail_at:
            raise ConnectionError("the page that fails once")
        listing = sorted(self.ids, reverse=self.newest_first)
        size = int(query.get("pageSize", 20))
        offset = int(query["offset"]) if "offset" in query else int(query.get("pageNumber", 0)) * size
        content = [{"id": number, "timestamp": f"t{number}"} for number in listing[offset:offset + size]]
        page = {"content": content, "totalElements": len(listing), "totalPages": -(-len(listing) // size),
                "number": offset // size, "size": size, "last": offset + size >= len(listing)}
        if self.answers == self.after:
            if self.change > 0:
                newest = max(self.ever, default=0)
                self.ids += range(newest + 1, newest + 1 + self.change)
            else:
                self.ids = sorted(self.ids)[-self.change:]
            self.ever |= set(self.ids)
        return page

    def get_event_log(self, app_name, offset=None, pageNumber=None, pageSize=None, **filters):
        """The client's method, answering without a server (read: the call's own result)."""
        query = {name: value for name, value in
                 (("offset", offset), ("pageNumber", pageNumber), ("pageSize", pageSize)) if value is not None}
        return self.page(query)

    def handler(self, request):
        return Answer(200, self.page(dict(request.query)))


def walk(log, page_size, **options):
    """The ids that a walk yields, and the LogChanged warnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ids = [event["id"] for event in iter_events(log, "security", page_size=page_size,
                                                    read=lambda call: call(), **options)]
    return ids, [warning for warning in caught if issubclass(warning.category, LogChanged)]


@given(size=st.integers(0, 60), page_size=st.integers(1, 12), newest_first=st.booleans(),
       change=st.integers(-30, 30), after=st.integers(1, 8))
def test_a_changing_log_yields_each_event_once_or_warns(size, page_size, newest_first,
                                                                              change, after):
    log = ChangingLog(size, newest_first, change, after)
    before = set(log.ids)
    ids, changed = walk(log, page_size)
    assert set(ids) <= log.ever
    if not changed:  # each event once, in the listing's order, and all that stayed in the log all along
        assert ids == sorted(set(ids), reverse=newest_first) and before & set(log.ids) <= set(ids)


def test_a_failed_page_is_asked_for_again_when_iterating_goes_on():
    log = ChangingLog(25, fail_at=2)
    events = iter_events(log, "security", page_size=10, read=lambda call: call())
    taken = []
    with pytest.raises(ConnectionError):
        taken += events
    taken += events
    assert [event["id"] for event in taken] == list(range(1, 26))


@pytest.mark.parametrize("stop_after", [0, 3, 10, 24, 25])
def test_a_walk_goes_on_from_its_checkpoint_in_a_new_iterator(stop_after):
    log = ChangingLog(25)
    first = iter_events(log, "security", page_size=10, search="o", read=lambda call: call())
    taken = [next(first)["id"] for _ in range(stop_after)]
    checkpoint = json.loads(json.dumps(first.checkpoint))  # as another process would read it
    rest = iter_events(log, "security", start=checkpoint, search="o", read=lambda call: call())
    assert taken + [event["id"] for event in rest] == list(range(1, 26))


def native(server):
    return server.client()


def twin(server):
    from reference import accounts_api
    return server.client(accounts_api.ApiClient)


@pytest.mark.parametrize("make_client", [native, twin])
@pytest.mark.parametrize("options", [{}, {"search": "login", "sort_sorted": True}, {"sort_unsorted": True}])
def test_the_walk_takes_the_stand_ins_whole_log_through_either_client(server, make_client, options):
    client = make_client(server)
    client.login()
    whole = client.get_event_log("security", unpaged=True, **options).response.json()["content"]
    assert list(iter_events(client, "security", page_size=7, **options)) == whole
    assert [request.query[0] for request in server.requests[1:]] == [
        ("pageNumber", str(number)) for number in range(-(-len(whole) // 7) or 1)]


@pytest.mark.parametrize("newest_first, change", [(True, 5), (False, -6)], ids=["grows-in-front", "oldest-purged"])
def test_all_over_a_changing_log_prints_each_event_once(server, capsys, newest_first, change):
    # The log of the report: 39 events, newest first, grows by 5; in stored order, loses its 6 oldest.
    log = ChangingLog(39, newest_first, change, after=1)
    server.route("GET", EVENTLOG, handler=log.handler)
    code = cli.main(["--server", server.url, "--token", server.token, "--json", "events", "security", "--all",
                     "--size", "10", *["--sorted"] * newest_first])
    out, err = capsys.readouterr()
    assert (code, err) == (0, "")
    assert [event["id"] for event in json.loads(out)["content"]] == sorted(range(1, 40), reverse=newest_first)


def test_all_says_so_when_the_walk_loses_its_place(server, capsys):
    log = ChangingLog(30, change=-15, after=1)  # the events taken are purged, and more
    server.route("GET", EVENTLOG, handler=log.handler)
    code = cli.main(["--server", server.url, "--token", server.token, "--json", "events", "security", "--all",
                     "--size", "10"])
    out, err = capsys.readouterr()
    assert code == 0 and len(json.loads(out)["content"]) < 30
    assert err.startswith("ferrovane-accounts: warning: the event log changed while it was walked (30 events, "
                          "then 15)") and err.count("\n") == 1
