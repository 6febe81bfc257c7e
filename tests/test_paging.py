"""iter_events walks a whole event log, follow_events follows one as it grows: every
event once, in order, across failures, checkpoints and a log that grows or is purged."""

import contextlib
import functools
import json
import re
import threading
import warnings

import pytest
import requests
from hypothesis import example, given, settings, strategies as st

from ferrovane.sdk import cli
from ferrovane.sdk.deadline import call_within
from ferrovane.sdk.exceptions import AccountsApiError
from ferrovane.sdk.paging import BadCheckpoint, LogChanged, PagingError, follow_events, iter_events
from ferrovane.sdk.stand_in_server import EVENTS, Answer, faults

EVENTLOG = "/api/security/v3/eventlog"


class FailedPage(requests.ConnectionError, ConnectionError):
    """A request that no answer came back to."""


class ChangingLog:
    """An event log served as the API pages it (pageNumber from 0, or offset; newest first
    or in stored order). Before its n-th answer it plays ``changes[n]``: adds events
    (newest, so in front when newest first), purges the oldest, both ("roll"), empties
    and refills itself ("restart"), or fails the request."""

    def __init__(self, size, newest_first=False, changes=(), ignores_offset=False):
        self.ids, self.newest, self.gone = list(range(1, size + 1)), size, set()
        self.newest_first, self.changes, self.ignores_offset = newest_first, dict(changes), ignores_offset
        self.answers = 0

    def page(self, query):
        self.answers += 1
        kind, count = self.changes.get(self.answers, ("append", 0))
        if kind == "fail":
            raise FailedPage("the page that fails once")
        purged, added = (len(self.ids) if kind == "restart" else count * (kind != "append")), count * (kind != "purge")
        self.gone.update(self.ids[:purged])
        self.ids, self.newest = self.ids[purged:] + list(range(self.newest + 1, self.newest + 1 + added)), \
            self.newest + added
        listing = sorted(self.ids, reverse=self.newest_first)
        size = int(query.get("pageSize", 20))
        offset = int(query.get("pageNumber", 0)) * size if self.ignores_offset else \
            int(query["offset"]) if "offset" in query else int(query.get("pageNumber", 0)) * size
        content = [{"id": number, "timestamp": f"t{number}"} for number in listing[offset:offset + size]]
        return {"content": content, "totalElements": len(listing), "totalPages": -(-len(listing) // size),
                "number": offset // size, "size": size, "first": offset == 0, "last": offset + size >= len(listing)}

    def get_event_log(self, app_name, offset=None, pageNumber=None, pageSize=None, **filters):
        """The client's method, answering without a server (read: the call's own result)."""
        query = {name: value for name, value in
                 (("offset", offset), ("pageNumber", pageNumber), ("pageSize", pageSize)) if value is not None}
        self.query = query
        return self.page(query)

    def handler(self, request):
        return Answer(200, self.page(dict(request.query)))


def events_of(log, start=None, app="security", **options):
    return iter_events(log, app, start=start, read=lambda call: call(), **options)


def follow_of(log, start="start", app="security", *, stop, after=12, sort_sorted=None, **options):
    """A follow of ``log`` that is stopped at its first poll that finds nothing new after
    ``after`` answers (or after many more, so that no fault makes it run on)."""
    def read(call):
        answer = call()
        content, offset = answer["content"], log.query.get("offset")
        idle = answer["last"] and (not content or len(content) == 1 and offset == answer["totalElements"] - 1)
        if log.answers > after and idle or log.answers > after + 300:
            stop.set()
        return answer
    return follow_events(log, app, since=start, interval=0.001, max_wait=0.001, stop=stop, read=read, **options)


@settings(max_examples=10 * settings().max_examples)
@example(size=3, page_size=1, newest_first=True, resumes=set(), changes={3: ("append", 1), 4: ("append", 1)},
         follow=False)
@given(size=st.integers(0, 60), page_size=st.integers(1, 12), newest_first=st.booleans(),
       resumes=st.sets(st.integers(1, 60)), changes=st.dictionaries(st.integers(1, 12), st.tuples(
           st.sampled_from(["append", "purge", "roll", "restart", "fail"]), st.integers(0, 25)), max_size=6),
       follow=st.booleans())
def test_each_event_in_the_log_all_along_comes_once_or_the_walk_warns(size, page_size, newest_first, resumes,
                                                                       changes, follow):
    # Ids grow with time, so the listing's order is theirs. After as many events as one of
    # ``resumes``, the walk goes on from its checkpoint in a new iterator. A follow (from
    # the start, in stored order) retries failed pages itself and is stopped once the
    # changes are over and it has caught up.
    newest_first &= not follow
    log, stop = ChangingLog(size, newest_first, changes), threading.Event()
    all_along, options = set(log.ids), {"sort_sorted": newest_first or None}
    walk_of = functools.partial(follow_of, stop=stop) if follow else events_of
    walks, taken = [walk_of(log, page_size=page_size, **options)], []
    with warnings.catch_warnings(record=True) as changed:
        warnings.simplefilter("always")
        while True:
            try:
                taken.append(next(walks[-1])["id"])
            except StopIteration:
                break
            except ConnectionError:
                assert not follow
                continue  # the failed page is asked for again
            if len(taken) in resumes:
                walks.append(walk_of(log, json.loads(json.dumps(walks[-1].checkpoint)), **options))
    assert {w.category for w in changed} <= {LogChanged} and bool(changed) == any(w.log_changed for w in walks)
    assert set(taken) <= set(range(1, log.newest + 1))  # none made up
    if follow:  # never one twice, whatever happens; once caught up, each one in the log
        assert taken == sorted(set(taken)) and log.answers <= 12 + 300
        assert changed or (all_along - log.gone) | set(log.ids) <= set(taken)
        assert len(changed) <= sum(kind in ("purge", "roll", "restart") for kind, _ in changes.values())
    elif not changed:  # none twice, in the listing's order, and each one that was in the log all along
        assert taken == sorted(set(taken), reverse=newest_first) and all_along - log.gone <= set(taken)


def checkpoint_after(taken, log):
    walk = events_of(log, page_size=10, search="o")
    return [next(walk) for _ in range(taken)] and walk.checkpoint


@pytest.mark.parametrize("change, options, refusal", [
    ({}, {"search": None}, "the checkpoint is of a walk with search 'o', not None: it goes on only with the "
                           "application and options that made it"),
    ({}, {"app_name": "entitlements"}, "with app 'security', not 'entitlements'"),
    ({"offset": "15"}, {}, "the checkpoint cannot be read: its 'offset' must be a whole number of 0 or more, not '15'"),
    ({"finished": "no"}, {}, "its 'finished' must be true or false, not 'no'"),
    ({"last": None}, {}, "its 'offset' and its 'last' event do not go together"),
    ({"app": ...}, {}, "the checkpoint cannot be read: it has no 'app'"),
    ({}, {"ignores_offset": True}, "it answers the first page, asked for the events from 14 on: the server ignores "
                                   "offset"),  # it pages by pageNumber alone: noticed at its first answer
])
def test_a_walk_that_cannot_go_on_from_a_checkpoint_says_so_at_once(change, options, refusal):
    log, arguments = ChangingLog(40), {"search": "o", **options}
    checkpoint = {name: value for name, value in {**checkpoint_after(15, log), **change}.items() if value is not ...}
    log.ignores_offset = arguments.pop("ignores_offset", False)
    with pytest.raises((BadCheckpoint, PagingError), match=re.escape(refusal)):
        list(events_of(log, checkpoint, arguments.pop("app_name", "security"), **arguments))
    assert log.answers == 2 + log.ignores_offset  # a refused checkpoint before any request


def test_a_walk_within_call_within_warns_on_the_thread_that_waits():
    walk, shown_on = events_of(ChangingLog(30, changes={2: ("purge", 15)}), page_size=10), []
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = lambda *warning: shown_on.append(threading.current_thread())
        assert not walk.log_changed and len(call_within(60, list, walk)) == 25
    assert walk.log_changed and shown_on == [threading.current_thread()]


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
    # Page 0, then each page from the last event taken on.
    assert [dict(request.query).get("offset") for request in server.requests[1:]] == [
        None, *(str(7 * number - 1) for number in range(1, -(-len(whole) // 7)))]


@pytest.mark.parametrize("newest_first, change", [(True, 5), (False, -6)], ids=["grows-in-front", "oldest-purged"])
def test_all_over_a_changing_log_prints_each_event_once(server, capsys, newest_first, change):
    # The log of the report: 39 events, newest first, grows by 5; in stored order, loses its 6 oldest.
    log = ChangingLog(39, newest_first, {2: ("append", change) if change > 0 else ("purge", -change)})
    server.route("GET", EVENTLOG, handler=log.handler)
    code = cli.main(["--server", server.url, "--token", server.token, "--json", "events", "security", "--all",
                     "--size", "10", *["--sorted"] * newest_first])
    out, err = capsys.readouterr()
    assert (code, err) == (0, "")
    assert [event["id"] for event in json.loads(out)["content"]] == sorted(range(1, 40), reverse=newest_first)


def test_all_says_so_when_the_walk_loses_its_place(server, capsys):
    log = ChangingLog(30, changes={2: ("purge", 15)})  # the events taken are purged, and more
    server.route("GET", EVENTLOG, handler=log.handler)
    code = cli.main(["--server", server.url, "--token", server.token, "--json", "events", "security", "--all",
                     "--size", "10"])
    out, err = capsys.readouterr()
    assert code == 0 and len(json.loads(out)["content"]) < 30
    assert err.startswith("ferrovane-accounts: warning: the event log changed while it was walked (30 events, "
                          "then 15)") and err.count("\n") == 1


@pytest.mark.parametrize("since, ids", [(None, [6, 7, 8]), ("start", [1, 2, 3, 4, 5, 6, 7, 8]),
                                        ("walk", [4, 5, 6, 7, 8]), ("follow", [5, 6, 7, 8])])
def test_a_follow_starts_where_it_is_told_and_stops_when_told(since, ids):
    # Three events come in at the fourth answer; a checkpoint is taken after three events.
    log, stop = ChangingLog(5, changes={4: ("append", 3)}), threading.Event()
    if since == "walk":
        walk = events_of(ChangingLog(5))
        since = [next(walk) for _ in range(3)] and walk.checkpoint
    elif since == "follow":
        earlier = follow_of(ChangingLog(5), stop=threading.Event())
        since = [next(earlier) for _ in range(4)] and json.loads(json.dumps(earlier.checkpoint))
    follow = follow_of(log, since, stop=stop)
    assert [event["id"] for event in follow] == ids
    # Stopped between polls, however long they are apart; a checkpoint of another search is refused.
    stop.clear()
    resumed = follow_events(log, "security", since=follow.checkpoint, interval=3600, stop=stop,
                            read=lambda call: call())
    threading.Timer(0.05, stop.set).start()
    assert call_within(600, list, resumed) == [] and resumed.checkpoint["offset"] == len(log.ids)
    with pytest.raises(BadCheckpoint, match="with search None, not 'o'"):
        follow_events(log, "security", since=resumed.checkpoint, search="o")


PAGE = {"content": [{"id": 1}], "last": True}


@pytest.mark.parametrize("walk, answers, ends", [
    ("follow", [Answer(503, None, {"Retry-After": "0"}),
                Answer(429, None, {"Retry-After": "Wed, 21 Oct 2015 07:28:00 GMT"})], None),
    ("follow", [faults.cut_short(200, PAGE)], None), ("iter", [faults.reset_mid_body(200, PAGE)], None),
    ("iter", [faults.cut_short(200, PAGE), faults.reset_mid_body(200, PAGE)], None),
    ("follow", [Answer(401, {"message": "the token expired"})], requests.HTTPError),
    ("follow", [Answer(200, {"content": "none"})], PagingError),
])
def test_a_walk_retries_a_busy_server_or_a_cut_answer_and_ends_at_a_refusal(server, caplog, walk, answers, ends):
    client = server.client()
    client.login()
    server.route("GET", EVENTLOG, answers=answers)
    whole = [event["id"] for event in server.events("security")]
    events = iter_events(client, "security", page_size=7) if walk == "iter" else \
        follow_events(client, "security", since="start", interval=0.01)
    caplog.set_level("INFO", "ferrovane.sdk.paging")
    with pytest.raises(ends) if ends else contextlib.nullcontext():
        assert [next(events)["id"] for _ in whole] == whole
    if not ends:  # each wait said once
        assert len(caplog.records) == len(answers) and "waiting" in caplog.records[0].getMessage()
