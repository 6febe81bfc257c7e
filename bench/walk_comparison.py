"""The benchmark's walk section: a large event log walked end to end, by the walker and by the
command line, against what a user writes by hand for the same job.

One loopback route (the stand-in server, in a child process) answers pre-encoded pages of a
log by number, and the walker's windows by offset joined from pre-encoded events, so that the
server's cost is small for every subject (and outside the CPU time measured, which is the
subject's own). Each round times every
subject once, the order rotating from round to round; each subject is judged by the median over
rounds of its time over its baseline's in the same round:
  iter_events      paging.iter_events(client, app, page_size=PAGE_SIZE), in this process, against
                   the plain loop over client.get_event_log(app, pageNumber=n, pageSize=PAGE_SIZE)
                   that decodes each page with response.json() and stops on "last";
  --jsonl, --json, the table
                   ferrovane-accounts events APP --all --size PAGE_SIZE in a child process, stdout
                   the null device, against PLAIN_SCRIPT run the same way;
  curl and jq      a shell loop, for scale, where both are installed.
Memory: the peak RSS of --jsonl --all over the whole log against over a tenth of it, and the peak
of tracemalloc's traced memory while iter_events walks the whole log against a tenth of it: a
walk that holds one page at a time takes no more for ten times the pages. The same for
follow_events, following FOLLOWED_EVENTS events appended in bursts to a log that keeps five
bursts (a stand-in in this process), after a tenth of them and after all; and what an idle poll
costs: its requests.
"""

import json
import multiprocessing
import os
import shutil
import statistics
import subprocess
import sys
import time
import tracemalloc

APP, TENTH_APP = "security", "tenth"  # the tenth: a log of a tenth of the events, for the memory rows
PAGE_SIZE = 1_000
TOKEN = "walk-token"
ITER_EVENTS_TARGET = 1.10
TARGETS = {"--jsonl --all": 1.10, "--json --all": 1.25}
# The most that ten times the pages may add: the walk holds one page, whatever the log's length.
JSONL_RSS_GROWTH_LIMIT = 2 * 2**20
WALKER_TRACED_GROWTH_LIMIT = 2**20
FOLLOWED_EVENTS, FOLLOW_BURST, IDLE_POLLS = 1_000_000, 1_000, 20

# What a user writes by hand: page on pageNumber until the last page, one line of JSON per event.
PLAIN_SCRIPT = """\
import json
import sys

import requests

url, token, app, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
session = requests.Session()
session.headers["Authorization"] = f"Bearer {token}"
number = 0
while True:
    page = session.get(f"{url}/api/{app}/v3/eventlog", params={"pageNumber": number, "pageSize": size}).json()
    for event in page["content"]:
        print(json.dumps(event, separators=(",", ":")))
    if page["last"]:
        break
    number += 1
"""
CURL_AND_JQ = """\
for ((n = 0; n < $3; n++)); do
  curl -sf -H "Authorization: Bearer $2" "$1/api/security/v3/eventlog?pageNumber=$n&pageSize=$4" | jq -c '.content[]'
done
"""


def encoded_log(total, size):
    """A log of `total` made-up events, newest first, as the server sends it: each page of
    `size` by its number, pre-encoded, and each event pre-encoded for an answer by offset."""
    import json

    events = [json.dumps({"id": total - index, "timestamp": f"2026-03-{1 + index % 28:02d}T08:{index % 60:02d}:00Z",
                          "level": ("INFO", "WARN", "ERROR")[index % 3], "type": "LOGIN", "user": f"user{index % 97}",
                          "message": f"User user{index % 97} logged in from 10.20.{index % 250}.9"}).encode()
              for index in range(total)]
    pages = [page_text(events, number * size, size, total) for number in range(-(-total // size))]
    return pages, events


def page_text(events, first, size, total):
    """The answer that holds `size` events from `first` on, framed as a Spring page is."""
    content = events[first:first + size]
    number = first // size
    return (b'{"content":[' + b",".join(content) + b"]," + (
        f'"pageable":{{"pageNumber":{number},"pageSize":{size},"offset":{first},"paged":true,"unpaged":false}},'
        f'"totalElements":{total},"totalPages":{-(-total // size)},"number":{number},"size":{size},'
        f'"numberOfElements":{len(content)},"first":{str(first == 0).lower()},'
        f'"last":{str(first + size >= total).lower()},"empty":{str(not content).lower()}}}').encode())


def serve(total, size, connection, lifetime_seconds):
    """Child process: serve the log and its tenth until the parent says stop, or the lifetime ends."""
    from ferrovane.sdk.stand_in_server import Answer, StandInServer

    def route(log):
        pages, events = log

        def handler(request):
            query = dict(request.query)
            if "offset" in query:  # the walker's overlapping windows, joined from pre-encoded events
                body = page_text(events, int(query["offset"]), int(query.get("pageSize", size)), len(events))
            else:
                body = pages[min(int(query.get("pageNumber", 0)), len(pages) - 1)]
            return Answer(200, body, {"Content-Type": "application/json"})
        return handler

    server = StandInServer(token=TOKEN, lifetime=None, record=False).start()
    try:
        for app, events in ((APP, total), (TENTH_APP, max(size, total // 10))):
            server.route("GET", f"/api/{app}/v3/eventlog", handler=route(encoded_log(events, size)))
        connection.send(server.url)
        connection.poll(lifetime_seconds)
    finally:
        server.stop()


def command_line():
    """How to start ferrovane-accounts: its script beside this interpreter, else the module."""
    script = os.path.join(os.path.dirname(sys.executable), "ferrovane-accounts")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "ferrovane.sdk.cli"]


# Starts each measured command and reports its CPU time and peak RSS. A command started from
# this process would report this one's peak RSS when that is larger (Linux keeps the peak of
# the memory a process had before exec), and this process grows over the benchmark; the
# launcher stays small, so what a command reports is its own.
LAUNCHER = """\
import json, os, subprocess, sys
for line in sys.stdin:
    process = subprocess.Popen(json.loads(line), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    error = process.stderr.read().decode(errors="replace")[-300:]
    _, status, usage = os.wait4(process.pid, 0)
    print(json.dumps([usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024,
                      os.waitstatus_to_exitcode(status), error]), flush=True)
"""
launcher = None


def run_child(argv):
    """CPU seconds (its own and its children's) and peak RSS in bytes of a child process whose
    stdout goes to the null device."""
    global launcher
    if launcher is None:
        launcher = subprocess.Popen([sys.executable, "-c", LAUNCHER], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
    launcher.stdin.write(json.dumps(argv) + "\n")
    launcher.stdin.flush()
    seconds, peak, code, error = json.loads(launcher.stdout.readline())
    if code != 0:
        raise RuntimeError(f"{' '.join(argv[:6])}... exited {code}: {error}")
    return seconds, peak


def listing(url, app, *options):
    """ferrovane-accounts listing the whole log of `app` with `options`."""
    return [*command_line(), "--server", url, "--token", TOKEN, *options, "events", app, "--all",
            "--size", str(PAGE_SIZE)]


def subjects(url, total):
    """The child-process subjects: label, argv."""
    found = {
        "plain script": [sys.executable, "-c", PLAIN_SCRIPT, url, TOKEN, APP, str(PAGE_SIZE)],
        "--jsonl --all": listing(url, APP, "--jsonl"),
        "--json --all": listing(url, APP, "--json"),
        "table --all": listing(url, APP),
    }
    if shutil.which("curl") and shutil.which("jq") and shutil.which("bash"):
        found["curl and jq"] = ["bash", "-c", CURL_AND_JQ, "walk", url, TOKEN, str(-(-total // PAGE_SIZE)),
                                str(PAGE_SIZE)]
    return found


def walk_plain(client, app):
    count, number = 0, 0
    while True:
        page = client.get_event_log(app, pageNumber=number, pageSize=PAGE_SIZE).response.json()
        for _ in page["content"]:
            count += 1
        if page["last"]:
            return count
        number += 1


def walk_iter_events(client, app):
    from ferrovane.sdk import paging

    count = 0
    for _ in paging.iter_events(client, app, page_size=PAGE_SIZE):
        count += 1
    return count


def timed(walk, client, app):
    started = time.process_time()
    count = walk(client, app)
    return time.process_time() - started, count


def walker_peak(client, app):
    """The peak of traced memory above the start while iter_events walks `app`'s log."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        walk_iter_events(client, app)
        return tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()


def follow_figures(total=FOLLOWED_EVENTS, burst=FOLLOW_BURST):
    """Traced memory (bytes above the start) after a tenth of `total` events followed and after
    all of them; then the requests per idle poll, over IDLE_POLLS polls that find nothing."""
    import threading

    from ferrovane.sdk.accounts_api import ApiClient
    from ferrovane.sdk.paging import follow_events
    from ferrovane.sdk.stand_in_server import StandInServer

    class Polls(threading.Event):
        """The follow's stop: each wait between polls is counted, and the idle ones end it."""
        idle, waits = False, 0

        def wait(self, timeout=None):
            self.waits += 1
            if self.idle and self.waits >= IDLE_POLLS:
                self.set()
            return super().wait(timeout)

    requests_made = [0]

    def read(call):
        requests_made[0] += 1
        return call().response.json()

    stop, marks = Polls(), []
    with StandInServer(token=TOKEN, record=False) as server:
        client = ApiClient(server.url, TOKEN)
        client.login()
        follow = follow_events(client, APP, interval=0.001, stop=stop, page_size=burst, read=read)
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            server.append_events(APP, burst, keep=5 * burst)
            for seen, _ in enumerate(follow, 1):
                if seen in (total // 10, total):
                    marks.append(tracemalloc.get_traced_memory()[0] - before)
                if seen == total:
                    break
                if seen % burst == 0:
                    server.append_events(APP, burst, keep=5 * burst)
            stop.idle, stop.waits, requests_made[0] = True, 0, 0
            for _ in follow:  # nothing comes: it polls until the stop ends it
                raise RuntimeError("an idle follow yielded an event")
        finally:
            tracemalloc.stop()
    return (marks[0], marks[1]), requests_made[0] / max(stop.waits, 1)


def start_server(total, lifetime_seconds):
    context = multiprocessing.get_context("spawn")
    parent_end, child_end = context.Pipe()
    process = context.Process(target=serve, args=(total, PAGE_SIZE, child_end, lifetime_seconds), daemon=True)
    process.start()
    deadline = time.monotonic() + 120
    while not parent_end.poll(0.1):
        if not process.is_alive() or time.monotonic() > deadline:
            process.terminate()
            raise RuntimeError("the walk's server did not report its URL")
    return process, parent_end, parent_end.recv()


def measure(native, total, rounds):
    """Per subject, its seconds in each round; and the memory figures (tenth, whole) in bytes."""
    process, connection, url = start_server(total, 600 + rounds * 120)
    try:
        client = native.ApiClient(url, TOKEN)
        children = subjects(url, total)
        for walk in (walk_plain, walk_iter_events):  # warms up, and checks that both see every event
            if (count := walk(client, APP)) != total:
                raise RuntimeError(f"{walk.__name__} saw {count} events of {total}")
        in_process = {"plain loop": walk_plain, "iter_events": walk_iter_events}
        times = {label: [] for label in [*in_process, *children]}
        for round_number in range(rounds):
            labels = list(children)
            shift = round_number % len(labels)
            for label in labels[shift:] + labels[:shift]:
                times[label].append(run_child(children[label])[0])
            for label in list(in_process)[::1 if round_number % 2 == 0 else -1]:
                times[label].append(timed(in_process[label], client, APP)[0])
        memory = {
            "--jsonl RSS": (run_child(listing(url, TENTH_APP, "--jsonl"))[1],
                            run_child(listing(url, APP, "--jsonl"))[1]),
            "iter_events traced": (walker_peak(client, TENTH_APP), walker_peak(client, APP)),
        }
        memory["follow_events traced"], memory["requests per idle poll"] = follow_figures()
    finally:
        connection.send("stop")
        process.join(10)
        if process.is_alive():
            process.terminate()
    return times, memory


def ratio(times, label, baseline):
    return statistics.median(subject / base for subject, base in zip(times[label], times[baseline]))


def rows(times, total):
    """Per subject: (baseline, median time ratio, events per second, target or None)."""
    found = {}
    for label in times:
        baseline = "plain loop" if label in ("plain loop", "iter_events") else "plain script"
        target = ITER_EVENTS_TARGET if label == "iter_events" else TARGETS.get(label)
        found[label] = (baseline, ratio(times, label, baseline), total / statistics.median(times[label]), target)
    return found


def report(times, memory, total, rounds):
    """Prints the rows; returns whether every target was met, and the figures for the markdown."""
    table = rows(times, total)
    passed = True
    print(f"{'subject':<18} {'baseline':<14} {'CPU ratio':>10} {'events/CPU s':>12} {'target':>8}  result")
    for label, (baseline, time_ratio, rate, target) in table.items():
        verdict = "(baseline)" if label == baseline else "(info)"
        if target is not None:
            verdict = "PASS" if time_ratio <= target else "FAIL"
            passed &= verdict == "PASS"
        print(f"{label:<18} {baseline:<14} {time_ratio:10.3f} {rate:12,.0f} "
              f"{'' if target is None else f'<= {target:.2f}':>8}  {verdict}")
    print(f"CPU ratio: median over {rounds} rounds of the subject's CPU time over its baseline's in the same round")
    limits = {"--jsonl RSS": JSONL_RSS_GROWTH_LIMIT, "iter_events traced": WALKER_TRACED_GROWTH_LIMIT,
              "follow_events traced": WALKER_TRACED_GROWTH_LIMIT}
    print(f"\n{'memory, peak':<22} {'a tenth':>12} {'whole log':>12} {'growth':>10} {'target':>10}  result")
    for label, (tenth, whole) in _pairs(memory):
        growth = whole - tenth
        verdict = "PASS" if growth < limits[label] else "FAIL"
        passed &= verdict == "PASS"
        print(f"{label:<22} {tenth / 2**20:8.1f} MiB {whole / 2**20:8.1f} MiB {growth / 2**20:6.2f} MiB "
              f"{f'< {limits[label] / 2**20:.0f} MiB':>10}  {verdict}")
    if (idle := memory.get("requests per idle poll")) is not None:
        verdict = "PASS" if idle <= 1 else "FAIL"
        passed &= verdict == "PASS"
        print(f"follow_events: {FOLLOWED_EVENTS:,} events in bursts of {FOLLOW_BURST:,} (a tenth: after "
              f"{FOLLOWED_EVENTS // 10:,}); an idle poll: {idle:.2f} requests (target <= 1)  {verdict}")
    return passed, (table, memory)


def _pairs(memory):
    return [(label, figure) for label, figure in memory.items() if isinstance(figure, tuple)]


def markdown(figures, total):
    table, memory = figures
    lines = [f"| Walk of {total:,} events, pages of {PAGE_SIZE:,} | baseline | CPU time / baseline | events per CPU second | target |",
             "|---|---|--:|--:|--:|"]
    lines += [f"| {label} | {baseline} | {time_ratio:.3f} | {rate:,.0f} | "
              f"{'' if target is None else f'<= {target:.2f}'} |"
              for label, (baseline, time_ratio, rate, target) in table.items()]
    lines += ["", "| Memory, peak | a tenth of the log | the whole log |", "|---|--:|--:|"]
    lines += [f"| {label} | {tenth / 2**20:.1f} MiB | {whole / 2**20:.1f} MiB |"
              for label, (tenth, whole) in _pairs(memory)]
    if (idle := memory.get("requests per idle poll")) is not None:
        lines += ["", f"follow_events follows {FOLLOWED_EVENTS:,} events appended in bursts of {FOLLOW_BURST:,} "
                      f"(its \"tenth\": after {FOLLOWED_EVENTS // 10:,}); a poll that finds nothing costs "
                      f"{idle:.2f} requests."]
    return lines
