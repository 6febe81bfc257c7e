"""Speed and memory of the native accounts client against its plain-Python twin.

    .venv/bin/python bench/benchmark.py [--quick] [--repeats N] [--strict] [--plot PNG] [--readme MD]
                                        [--stand-in-only] [--walk-only]

Five sections, all in one run on one machine:
  per call    every public method, the request helpers and construction, with a null session
              that answers at once, so only the client's own work is timed; native and plain
              Python alternate on every repeat; each query method and request helper is judged
              by the share of its time that the extension's own code takes, over the floor that
              bench/instruction_profile.py recorded in floors.json (everything else the call must do);
  end to end  get_event_log against the stand-in server (run in a child process so that it does
              not share our interpreter lock) versus a bare requests.Session sending the same GET,
              with a second bare session as the control;
  memory      RSS and tracemalloc growth over many get_event_log calls with the null session;
  stand-in    the stand-in server beside pytest-httpserver: start + stop, and keep-alive GETs
              (bench/stand_in_comparison.py);
  walk        a large event log walked by iter_events and listed by the command line (--jsonl,
              --json, the table) against what a user writes by hand: a plain loop, a 20-line
              requests script; curl and jq for scale; memory (bench/walk_comparison.py).
The exit code is 0 even when a target is missed, unless --strict is given.
"""

import argparse
import datetime
import gc
import importlib
import itertools
import json
import multiprocessing
import os
import platform
import re
import statistics
import sys
import time
import tracemalloc
from dataclasses import dataclass

import requests
from requests.structures import CaseInsensitiveDict

from ferrovane.sdk.paging import PagingError

import stand_in_comparison
import walk_comparison

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
# The plain-Python twin, which the tests hold as the native client's oracle.
sys.path.insert(0, os.path.join(BENCH_DIR, "..", "tests"))

PLAIN_MODULE = "reference.accounts_api"
# Never contacted: the per-call and memory sections replace the session before any request.
NULL_SERVER_URL = "http://127.0.0.1:9/accounts"
TOKEN = "bench-token"
FLOORS_FILE = os.path.join(BENCH_DIR, "floors.json")
# The most of a query call's time that the extension's own code may take; the rest is the floor,
# the work the behaviour requires (see bench/README.md for where each row stands).
OWN_SHARE_TARGET = 0.15
# How much slower than the reference (the required work done in Python, paired with it in the
# same run) the native client may be end to end. Doing that work in C, it should be no slower;
# pairs of runs on a busy machine scatter by up to 0.7 %, and the control by 0.3 %. When the
# control errs by more in a run, that error is the margin. A round trip over loopback is far too
# long for this row to see the per-call costs: it is there to catch a slower way of sending.
END_TO_END_MARGIN = 0.01
MIB = 1 << 20
MEMORY_TARGET_BYTES_PER_MILLION = MIB


class NullSession:
    """Stands in for requests.Session: every request is answered at once with one prepared response."""

    def __init__(self, response):
        self.headers = CaseInsensitiveDict()
        self.verify = True
        self._response = response

    def get(self, url, **kwargs):
        return self._response

    post = put = delete = get


def make_ok_response():
    response = requests.Response()
    response.status_code = 200
    response.reason = "OK"
    response.url = NULL_SERVER_URL
    response._content = b"{}"
    return response


# --------------------------------------------------------------------------- per call

@dataclass(frozen=True)
class Row:
    label: str
    statement: str
    construction: bool = False
    # The per-call target is set for the query methods and the request helpers; construction,
    # login and logout send nothing and are measured for the record.
    targeted: bool = True


ROWS = (
    Row("ApiClient(url, token)", "ApiClient(url, token)", construction=True, targeted=False),
    Row("login", "client.login()", targeted=False),
    Row("login + logout (pair)", "client.login(); client.logout()", targeted=False),
    Row("get_current_user", "client.get_current_user()"),
    Row("get_event_log(app)", "client.get_event_log('security')"),
    Row("get_event_log(app, 8 options by kw)",
        "client.get_event_log('security', offset=0, pageNumber=1, pageSize=10, paged=True,"
        " search='login', sort_sorted=True, sort_unsorted=False, unpaged=False)"),
    Row("get_event_log_for_an_event", "client.get_event_log_for_an_event('security', 'evt-42')"),
    Row("return_all_releases", "client.return_all_releases()"),
    Row("get_distribution", "client.get_distribution('dist-key-1', 'linux-armhf')"),
    Row("_get(app, endpoint, params)", "client._get('security', 'v3/eventlog', params)"),
    Row("_post(app, endpoint, data=dict)", "client._post('security', 'v3/eventlog', data=body)"),
    Row("_put(app, endpoint, data=dict)", "client._put('security', 'v3/eventlog', data=body)"),
)

LOOP_NAMES = ("ApiClient", "body", "client", "params", "token", "url")


def python_version_key():
    return "{}.{}".format(*sys.version_info[:2])


def load_floors():
    """Per row, the instruction counts that bench/instruction_profile.py recorded for this Python version
    ({"native", "own", "plain"} per call), or {} when it has none."""
    try:
        with open(FLOORS_FILE) as floors:
            return json.load(floors).get(python_version_key(), {}).get("rows", {})
    except FileNotFoundError:
        return {}


def floor_ratio(counts):
    """The share of the plain client's time that a native call needs without its own code."""
    return (counts["native"] - counts["own"]) / counts["plain"]


def compile_loop(statement):
    """Build a timing loop around statement whose names are locals, as timeit does, so that
    name lookup costs the same for both clients."""
    source = (
        f"def timed_loop(iterations, clock, repeat, {', '.join(LOOP_NAMES)}):\n"
        "    loop = repeat(None, iterations)\n"
        "    start = clock()\n"
        "    for _ in loop:\n"
        f"        {statement}\n"
        "    return clock() - start\n"
    )
    namespace = {}
    exec(compile(source, f"<loop: {statement}>", "exec"), namespace)
    return namespace["timed_loop"]


def loop_names(module, session_factory):
    """The values the timing loops see; the client gets a fresh null session."""
    response = make_ok_response()
    client = module.ApiClient(NULL_SERVER_URL, TOKEN)
    client._session = session_factory(response)
    return {
        "ApiClient": module.ApiClient,
        "body": {"name": "release-notes", "enabled": True},
        "client": client,
        "params": {"pageSize": 10},
        "token": TOKEN,
        "url": NULL_SERVER_URL,
    }


def run_loop(loop, iterations, names):
    gc.collect()
    gc.disable()
    try:
        # The thread's CPU time rather than the wall clock: time spent waiting while other
        # processes run is left out, which a shared machine has plenty of.
        return loop(iterations, time.thread_time_ns, itertools.repeat, **names)
    finally:
        gc.enable()


def spread(samples):
    if len(samples) < 2:
        return samples[0], samples[0]
    quartiles = statistics.quantiles(samples, n=4, method="inclusive")
    return quartiles[0], quartiles[2]


def measure_per_call(native, plain, repeats, calls, construction_calls):
    """Per row: lists of ns per call, one per repeat, for the native client, the plain client
    and the empty loop."""
    empty_loop = compile_loop("pass")
    timings = {row.label: {"native": [], "plain": [], "loop": []} for row in ROWS}
    loops = {row.label: compile_loop(row.statement) for row in ROWS}
    for repeat in range(repeats):
        sides = [("native", native), ("plain", plain)]
        if repeat % 2:
            sides.reverse()
        names = {side: loop_names(module, NullSession) for side, module in sides}
        for row in ROWS:
            iterations = construction_calls if row.construction else calls
            timings[row.label]["loop"].append(run_loop(empty_loop, iterations, names["native"]) / iterations)
            for side, _ in sides:
                elapsed = run_loop(loops[row.label], iterations, names[side])
                timings[row.label][side].append(elapsed / iterations)
    return timings


def best_ns(samples, side):
    """ns per call of one side: its fastest repeat less the fastest empty loop. Other processes
    only ever add time, so the fastest repeat is the one they disturbed least; on a shared
    machine that is far steadier than the median."""
    return min(samples[side]) - min(samples["loop"])


def median_ns(samples, side):
    return statistics.median(samples[side]) - statistics.median(samples["loop"])


@dataclass
class PerCallResult:
    row: Row
    native_ns: float
    plain_ns: float
    ratio: float
    # None when floors.json has no counts for this row and Python version.
    floor: float | None
    own_share: float | None
    verdict: str


def summarise_per_call(timings, floors):
    results = []
    for row in ROWS:
        samples = timings[row.label]
        native_ns, plain_ns = best_ns(samples, "native"), best_ns(samples, "plain")
        ratio = native_ns / plain_ns
        floor = floor_ratio(floors[row.label]) if row.label in floors else None
        # The time above the floor is the extension's own code (and the instructions' differing speeds).
        own_share = None if floor is None else 1 - floor / ratio
        if not row.targeted:
            verdict = "(info)"
        elif own_share is None:
            verdict = "NO FLOOR"
        else:
            verdict = "PASS" if own_share <= OWN_SHARE_TARGET else "FAIL"
        results.append(PerCallResult(row, native_ns, plain_ns, ratio, floor, own_share, verdict))
    return results


def report_per_call(timings, results):
    print(f"{'row':<36} {'native ns (median)':>19} {'plain ns (median)':>19} {'ratio':>6} "
          f"{'floor':>6} {'own':>5} {'target':>8}  result")
    for result in results:
        samples = timings[result.row.label]
        cells = [f"{best_ns(samples, side):7.0f} ({median_ns(samples, side):7.0f})" for side in ("native", "plain")]
        floor = "" if result.floor is None else f"{result.floor:6.3f}"
        own = "" if result.own_share is None else percent(result.own_share)
        target = f"<= {percent(OWN_SHARE_TARGET)}" if result.row.targeted else ""
        print(f"{result.row.label:<36} {cells[0]:>19} {cells[1]:>19} {result.ratio:6.3f} {floor:>6} {own:>5} "
              f"{target:>8}  {result.verdict}")
    print("ns = fastest repeat (median repeat); ratio = native / plain; floor = the ratio a native call would reach if"
          " the extension's own code took no time\n(instructions of the required work, from floors.json);"
          " own = 1 - floor / ratio, the share of the native call's time above the floor.")
    missing = [result.row.label for result in results if result.verdict == "NO FLOOR"]
    if missing:
        print(f"no floors for Python {python_version_key()} in {FLOORS_FILE}: record them with"
              f" 'bench/instruction_profile.py --all --write'")
    return [result.row.label for result in results if result.verdict in ("FAIL", "NO FLOOR")]


# --------------------------------------------------------------------------- end to end

def serve(server_spec, token, connection, lifetime_seconds):
    """Child process: run the stand-in server until the parent says stop, or the lifetime ends."""
    module_name, _, class_name = server_spec.partition(":")
    server = getattr(importlib.import_module(module_name), class_name)(token=token)
    server.start()
    try:
        connection.send(server.url)
        connection.poll(lifetime_seconds)
    finally:
        server.stop()


def start_server_process(server_spec, lifetime_seconds):
    # Fails here, at once, when the server's module is missing, rather than in the child.
    importlib.import_module(server_spec.partition(":")[0])
    context = multiprocessing.get_context("spawn")
    parent_end, child_end = context.Pipe()
    process = context.Process(target=serve, args=(server_spec, TOKEN, child_end, lifetime_seconds),
                              daemon=True)
    process.start()
    deadline = time.monotonic() + 60
    while not parent_end.poll(0.1):
        if not process.is_alive() or time.monotonic() > deadline:
            process.terminate()
            raise RuntimeError(f"{server_spec} did not report its URL")
    return process, parent_end, parent_end.recv()


def stop_server_process(process, connection):
    connection.send("stop")
    process.join(10)
    if process.is_alive():
        process.terminate()
        process.join()


def time_alternating(first, second, count):
    """Latencies in ns of two calls made alternately, one request each in turn, so that the two
    requests of a pair meet the same state of the machine."""
    clock = time.perf_counter_ns
    first_latencies, second_latencies = [], []
    for _ in itertools.repeat(None, count):
        start = clock()
        first()
        middle = clock()
        second()
        end = clock()
        first_latencies.append(middle - start)
        second_latencies.append(end - middle)
    return first_latencies, second_latencies


def bare_session(headers):
    session = requests.Session()
    session.headers.update(headers)
    session.headers["Authorization"] = f"Bearer {TOKEN}"
    return session


def latency_blocks(subject_call, bare_call, blocks, requests_per_block):
    """Per block, the latencies of subject_call and of bare_call; even blocks start with the subject."""
    time_alternating(subject_call, bare_call, max(50, requests_per_block // 5))
    subject_blocks, bare_blocks = [], []
    for block in range(blocks):
        if block % 2:
            bare_ns, subject_ns = time_alternating(bare_call, subject_call, requests_per_block)
        else:
            subject_ns, bare_ns = time_alternating(subject_call, bare_call, requests_per_block)
        subject_blocks.append(subject_ns)
        bare_blocks.append(bare_ns)
    return subject_blocks, bare_blocks


NATIVE, CONTROL, REFERENCE = "native client", "bare session (control)", "bare session + required work"
JUDGED = "native client vs the reference"


def measure_end_to_end(native, server_spec, blocks, requests_per_block):
    """Latency blocks of the native client, of a second bare session (which shows how far the
    method errs on equal work) and of the reference, each against a bare session sending the same
    GET; then of the native client against the reference, paired directly so that the judged
    difference is taken between adjacent requests too."""
    lifetime = 120 + 4 * blocks * requests_per_block * 0.01
    process, connection, server_url = start_server_process(server_spec, lifetime)
    try:
        client = native.ApiClient(server_url, TOKEN)
        client.login()
        bare = bare_session(native.REQUIRED_HEADERS)
        other_bare = bare_session(native.REQUIRED_HEADERS)
        request_url = native.join_url_parts(server_url, "/api/security", "v3/eventlog")
        query = {"pageSize": 10}

        def native_call():
            client.get_event_log("security", pageSize=10)

        def bare_call():
            bare.get(request_url, params=query)

        def other_bare_call():
            other_bare.get(request_url, params=query)

        required_bare = bare_session(native.REQUIRED_HEADERS)

        def required_work_call():
            # The bare GET plus, written in Python, the work that any client of this API must do
            # around it: the URL and endpoint built on each call, the two sort entries that the
            # session drops again as None, raise_for_status and the Command result.
            params = {"pageSize": 10}
            params.update({"sort.sorted": None, "sort.unsorted": None})
            url = native.join_url_parts(server_url, "/api/{}".format("security"), "v{0}/eventlog".format(3))
            response = required_bare.get(url, params=params)
            response.raise_for_status()
            native.Command(client, response)

        via_client = client.get_event_log("security", pageSize=10).response
        via_bare = bare.get(request_url, params=query)
        for response in (via_client, via_bare):
            response.raise_for_status()
        if (via_client.request.url, dict(via_client.request.headers)) != (
                via_bare.request.url, dict(via_bare.request.headers)):
            raise RuntimeError(f"the two GETs differ: {via_client.request.url} "
                               f"{dict(via_client.request.headers)} vs {via_bare.request.url} "
                               f"{dict(via_bare.request.headers)}")
        return {
            NATIVE: latency_blocks(native_call, bare_call, blocks, requests_per_block),
            CONTROL: latency_blocks(other_bare_call, bare_call, blocks, requests_per_block),
            REFERENCE: latency_blocks(required_work_call, bare_call, blocks, requests_per_block),
            JUDGED: latency_blocks(native_call, required_work_call, blocks, requests_per_block),
        }
    finally:
        stop_server_process(process, connection)


def crossover_time_ratio(subject_blocks, bare_blocks):
    """1 + the median extra time of the subject's request over the bare one next to it, relative
    to the median bare request. Loopback round trips scatter by several percent from one moment
    to the next; the difference within a pair does not, so this sees a 1 % cost where ratios of
    sums or of medians drown it. The first request of a pair is slower than the second by a
    percent or two, so the blocks alternate which side goes first and the two orders are averaged."""
    extras = []
    for first_block in (0, 1):
        subject = itertools.chain(*subject_blocks[first_block::2])
        bare = itertools.chain(*bare_blocks[first_block::2])
        extras.append(statistics.median(s - b for s, b in zip(subject, bare)))
    return 1 + statistics.fmean(extras) / statistics.median(itertools.chain(*bare_blocks))


def rate_cell(blocks):
    rates = [len(block) * 1e9 / sum(block) for block in blocks]
    low, high = spread(rates)
    return f"{statistics.median(rates):6.0f} ({low:5.0f}-{high:5.0f})"


def median_rate(blocks):
    return statistics.median(len(block) * 1e9 / sum(block) for block in blocks)


def report_end_to_end(results):
    """Prints the rows; returns whether the native client met its target, and per row its
    time ratio and the median requests per second of it and of the bare session."""
    ratios = {label: crossover_time_ratio(*blocks) for label, blocks in results.items()}
    margin = max(END_TO_END_MARGIN, abs(ratios[CONTROL] - 1))
    limit = 1 + margin
    print(f"{'get_event_log over loopback':<36} {'req/s (IQR)':>22} {'baseline req/s (IQR)':>22} "
          f"{'time ratio (IQR)':>20} {'target':>8}  result")
    for label, (subject_blocks, bare_blocks) in results.items():
        low, high = spread([crossover_time_ratio(subject_blocks[block:block + 2], bare_blocks[block:block + 2])
                            for block in range(0, len(subject_blocks), 2)])
        if label == JUDGED:
            target, verdict = f"<= {limit:.4f}", "PASS" if ratios[label] <= limit else "FAIL"
        else:
            target, verdict = "", {NATIVE: "(info)", CONTROL: "(control)", REFERENCE: "(reference)"}[label]
        print(f"{label:<36} {rate_cell(subject_blocks):>22} {rate_cell(bare_blocks):>22} "
              f"{ratios[label]:6.4f} ({low:.3f}-{high:.3f}) {target:>8}  {verdict}")
    print("req/s per block; baseline = the bare session, for the last row the reference; time ratio ="
          " 1 + median of (subject - baseline)\nover adjacent request pairs, over the median baseline"
          " request, both orders averaged (IQR over pairs of blocks).")
    print("reference = the bare GET plus, in Python, the steps every client of this API takes around"
          f" it (URL, None sort entries, raise_for_status,\nCommand); target: the native client at most"
          f" {margin * 100:.2f} % slower than the reference (the larger of {END_TO_END_MARGIN * 100:.0f} % and the"
          " control's error in this run).")
    summary = {label: (ratios[label], median_rate(subject_blocks), median_rate(bare_blocks))
               for label, (subject_blocks, bare_blocks) in results.items()}
    return ratios[JUDGED] <= limit, summary


# --------------------------------------------------------------------------- memory

def resident_set_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def measure_memory(module, calls):
    """Growth in bytes of RSS and of tracemalloc's traced memory over `calls` get_event_log calls.

    The two are taken in separate passes since tracemalloc's own tables would show up in RSS."""
    client = module.ApiClient(NULL_SERVER_URL, TOKEN)
    client._session = NullSession(make_ok_response())
    get_event_log = client.get_event_log
    for _ in itertools.repeat(None, min(calls, 50_000)):
        get_event_log("security")
    gc.collect()
    rss_before = resident_set_bytes()
    for _ in itertools.repeat(None, calls):
        get_event_log("security")
    gc.collect()
    rss_growth = resident_set_bytes() - rss_before
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in itertools.repeat(None, calls):
            get_event_log("security")
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    return rss_growth, traced_growth


def report_memory(results, calls):
    print(f"{'':<36} {'RSS growth':>14} {'traced growth':>14} {'per million calls':>22} "
          f"{'target':>10}  result")
    passed = True
    for side, (rss_growth, traced_growth) in results.items():
        scale = 1_000_000 / calls
        worst = max(rss_growth, traced_growth) * scale
        if side == "native":
            verdict = "PASS" if worst < MEMORY_TARGET_BYTES_PER_MILLION else "FAIL"
            passed = verdict == "PASS"
            target = "< 1 MiB"
        else:
            verdict, target = "(control)", ""
        print(f"{f'{side}: {calls:,} get_event_log calls':<36} {rss_growth / 1024:11.1f} KiB "
              f"{traced_growth / 1024:11.1f} KiB {worst / MIB:18.3f} MiB {target:>10}  {verdict}")
    return passed


# --------------------------------------------------------------------------- publishing

README_START = "<!-- bench/benchmark.py --readme writes from here to the end marker -->"
README_END = "<!-- end of bench/benchmark.py's output -->"


def machine_description():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next(line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{model}, {os.cpu_count()} cores"


def percent(share):
    return f"{share * 100:.0f} %"


def markdown_report(run, per_call, end_to_end, stand_in, walk, failed):
    """The README's tables of a run: per call, then end to end, the stand-in's, the walk's, then the verdict."""
    lines = [
        f"Measured on {run['date']} with `bench/benchmark.py`: Python {platform.python_version()} on"
        f" {machine_description()}, load average {run['load']:.2f} at the start. Per call: ns of CPU with a"
        f" session that answers at once, the fastest of {run['repeats']} repeats of {run['calls']:,} calls.",
        "",
        "| Call (null session) | native ns | plain ns | native / plain | floor | own code |",
        "|---|--:|--:|--:|--:|--:|",
    ]
    for result in per_call:
        floor = "" if result.floor is None else f"{result.floor:.3f}"
        own = "" if result.own_share is None else percent(result.own_share)
        lines.append(f"| `{result.row.label}` | {result.native_ns:,.0f} | {result.plain_ns:,.0f} |"
                     f" {result.ratio:.3f} | {floor} | {own} |")
    lines.append("")
    if end_to_end is None:
        lines.append("End to end: not run.")
    else:
        lines += [
            "| `get_event_log` over loopback | requests/s | baseline requests/s | time / baseline |",
            "|---|--:|--:|--:|",
        ]
        for label, (ratio, rate, bare_rate) in end_to_end.items():
            lines.append(f"| {label} | {rate:,.0f} | {bare_rate:,.0f} | {ratio:.4f} |")
        lines += ["", "Baseline: a bare `requests.Session` sending the same GET; in the last row, the reference:"
                  " that session plus, in Python, the work any client must do around the GET."]
    if stand_in is not None:
        lines += ["", *stand_in_comparison.markdown(stand_in)]
    if walk is not None:
        lines += ["", *walk_comparison.markdown(walk, run["walk_events"])]
    lines += ["", f"Targets: the extension's own code at most {percent(OWN_SHARE_TARGET)} of each query call;"
              f" end to end, the native client at most {END_TO_END_MARGIN * 100:.1f} % slower than the reference"
              f" (or by the control's error, when that is larger); the walk's, as its table says."
              f" {'Missed: ' + ', '.join(failed) if failed else 'All met'}."]
    return "\n".join(lines) + "\n"


README_BLOCK = re.compile(re.escape(README_START) + r".*?" + re.escape(README_END), re.DOTALL)


def readme_problem(path):
    """Why --readme cannot write into path, or None; asked before the run rather than after it."""
    try:
        with open(path) as readme:
            content = readme.read()
    except OSError as error:
        return str(error)
    if not README_BLOCK.search(content):
        return f"{path} has no block from '{README_START}' to '{README_END}' to write into"
    return None


def write_readme(path, text):
    with open(path) as readme:
        content = readme.read()
    content = README_BLOCK.sub(lambda _: f"{README_START}\n{text}{README_END}", content, count=1)
    with open(path, "w") as readme:
        readme.write(content)


def plot_per_call(path, per_call):
    """Bars of native and plain ns per query call, with the floor marked on the native bar."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot

    shown = [result for result in per_call if result.row.targeted]
    figure, axes = pyplot.subplots(figsize=(9, 0.62 * len(shown) + 1.6), layout="constrained")
    height = 0.38
    for index, result in enumerate(shown):
        axes.barh(index - height / 2, result.native_ns, height, color="#2a6fb0",
                  label="native" if index == 0 else None)
        axes.barh(index + height / 2, result.plain_ns, height, color="#b8b8b8",
                  label="plain Python" if index == 0 else None)
        label = f" {result.ratio:.2f}x plain" + ("" if result.own_share is None else f", own code {percent(result.own_share)}")
        axes.text(result.native_ns, index - height / 2, label, va="center", fontsize=8)
        if result.floor is not None:
            floor_ns = result.floor * result.plain_ns
            axes.plot([floor_ns, floor_ns], [index - height, index], color="black", linewidth=2,
                      label="floor: the work the call requires" if index == 0 else None)
    axes.set_yticks(range(len(shown)), [result.row.label for result in shown], fontsize=8)
    axes.invert_yaxis()
    # Room on the right for the labels.
    axes.set_xlim(0, 1.45 * max(max(result.native_ns, result.plain_ns) for result in shown))
    axes.set_xlabel("ns of CPU per call with a session that answers at once (fastest repeat)")
    axes.set_title(f"Per call, native client vs plain Python: Python {platform.python_version()},"
                   f" {machine_description()}", fontsize=9)
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.09), ncol=3, fontsize=8, frameon=False)
    axes.grid(axis="x", alpha=0.3)
    # No timestamp in the file, so that a rerun changes it only when the numbers change.
    figure.savefig(path, dpi=110, metadata={"Software": None})
    pyplot.close(figure)


# --------------------------------------------------------------------------- main

def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run with small counts")
    parser.add_argument("--repeats", type=int, help="per-call repeats of every row (15; quick 5)")
    parser.add_argument("--calls", type=int, help="calls per repeat and row (10000; quick 2000)")
    parser.add_argument("--memory-calls", type=int,
                        help="get_event_log calls per memory pass (1000000; quick 100000)")
    parser.add_argument("--e2e-blocks", type=int, help="end-to-end blocks of each row (18; quick 6)")
    parser.add_argument("--e2e-requests", type=int, help="requests per end-to-end block (500; quick 200)")
    parser.add_argument("--native-module", default="ferrovane.sdk.accounts_api",
                        help="module measured as the native client (default: %(default)s)")
    parser.add_argument("--server", default="ferrovane.sdk.stand_in_server:StandInServer",
                        help="module:Class of the loopback server for the end-to-end run (default: %(default)s)")
    parser.add_argument("--stand-in-runs", type=int, help="start + stop runs of each server (10; quick 4)")
    parser.add_argument("--stand-in-only", action="store_true",
                        help="run only the stand-in server's comparison with pytest-httpserver")
    parser.add_argument("--walk-events", type=int,
                        help="events of the walk section's log (100000, quick too: a command's start weighs on fewer)")
    parser.add_argument("--walk-rounds", type=int, help="interleaved rounds of the walk section (5; quick 3)")
    parser.add_argument("--walk-only", action="store_true", help="run only the walk section")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    parser.add_argument("--plot", metavar="PNG", help="draw the per-call chart into this file (needs matplotlib)")
    parser.add_argument("--readme", metavar="MARKDOWN",
                        help="write the results as tables into this file's block between the benchmark's markers")
    arguments = parser.parse_args()
    quick = arguments.quick
    arguments.repeats = arguments.repeats or (5 if quick else 15)
    arguments.calls = arguments.calls or (2_000 if quick else 10_000)
    # Blocks alternate which side goes first, so their number is even.
    arguments.e2e_blocks = 2 * max(1, (arguments.e2e_blocks or (6 if quick else 18)) // 2)
    arguments.memory_calls = arguments.memory_calls or (100_000 if quick else 1_000_000)
    arguments.e2e_requests = arguments.e2e_requests or (200 if quick else 500)
    arguments.stand_in_runs = arguments.stand_in_runs or (4 if quick else 10)
    arguments.walk_events = arguments.walk_events or 100_000
    arguments.walk_rounds = arguments.walk_rounds or (3 if quick else 5)
    if (arguments.stand_in_only or arguments.walk_only) and (arguments.plot or arguments.readme):
        parser.error("--plot and --readme need the whole run, not --stand-in-only or --walk-only")
    return arguments


def measure_client(arguments, native, plain, failed):
    """The per-call, end-to-end and memory sections; returns the per-call and end-to-end figures."""
    construction_calls = max(1, arguments.calls // 10)
    print(f"\nPer call, null session: {arguments.repeats} interleaved repeats of {arguments.calls:,} "
          f"calls ({construction_calls:,} for construction), loop overhead subtracted, gc off while timing")
    timings = measure_per_call(native, plain, arguments.repeats, arguments.calls, construction_calls)
    per_call = summarise_per_call(timings, load_floors())
    failed += report_per_call(timings, per_call)

    blocks = arguments.e2e_blocks
    print(f"\nEnd to end over loopback: {blocks} interleaved blocks of {arguments.e2e_requests:,} "
          f"requests, server {arguments.server} in a child process")
    try:
        results = measure_end_to_end(native, arguments.server, blocks, arguments.e2e_requests)
    except (ImportError, RuntimeError, OSError, requests.RequestException) as error:
        print(f"NOT RUN: {type(error).__name__}: {error}")
        failed.append("end to end (not run)")
        end_to_end = None
    else:
        passed, end_to_end = report_end_to_end(results)
        if not passed:
            failed.append("end to end")

    print("\nMemory, null session, after warm-up (RSS and tracemalloc in separate passes)")
    results = {side: measure_memory(module, arguments.memory_calls)
               for side, module in (("native", native), ("plain", plain))}
    if not report_memory(results, arguments.memory_calls):
        failed.append("memory")

    return per_call, end_to_end


def measure_stand_in(arguments, failed):
    """The stand-in section; returns its figures, or None when it did not run."""
    print(f"\nStand-in server beside pytest-httpserver: {arguments.stand_in_runs} interleaved starts and stops"
          f" of each; keep-alive GETs in {arguments.e2e_blocks} blocks of {arguments.e2e_requests:,}, alternating")
    if problem := stand_in_comparison.peer_missing():
        print(f"NOT RUN: {problem}")
        failed.append("stand-in (not run)")
    else:
        try:
            figures = stand_in_comparison.measure(arguments.stand_in_runs, arguments.e2e_blocks,
                                                  arguments.e2e_requests, latency_blocks)
        except (RuntimeError, OSError, requests.RequestException) as error:
            print(f"NOT RUN: {type(error).__name__}: {error}")
            failed.append("stand-in (not run)")
        else:
            passed, stand_in = stand_in_comparison.report(*figures)
            if not passed:
                failed.append("stand-in")
            return stand_in
    return None


def measure_walk(arguments, native, failed):
    """The walk section; returns its figures, or None when it did not run."""
    print(f"\nWalk: {arguments.walk_events:,} events in pages of {walk_comparison.PAGE_SIZE:,} from one loopback"
          f" route, {arguments.walk_rounds} interleaved rounds, CPU time")
    try:
        times, memory = walk_comparison.measure(native, arguments.walk_events, arguments.walk_rounds)
    except (RuntimeError, OSError, requests.RequestException, PagingError) as error:  # the rest's results stand
        print(f"NOT RUN: {type(error).__name__}: {error}")
        failed.append("walk (not run)")
        return None
    passed, walk = walk_comparison.report(times, memory, arguments.walk_events, arguments.walk_rounds)
    if not passed:
        failed.append("walk")
    return walk


def main():
    arguments = parse_arguments()
    try:
        native = importlib.import_module(arguments.native_module)
    except ImportError as error:
        sys.exit(f"cannot import {arguments.native_module} ({error}): build it with 'bash scripts/setup.sh',"
                 f" or name another module with --native-module")
    plain = importlib.import_module(PLAIN_MODULE)
    if arguments.plot:
        try:
            import matplotlib  # noqa: F401  (checked before the run rather than after it)
        except ImportError:
            sys.exit("--plot needs matplotlib: .venv/bin/python -m pip install --group bench (pyproject.toml's group)")
    if arguments.readme and (problem := readme_problem(arguments.readme)):
        sys.exit(f"--readme: {problem}")
    run = {"date": datetime.date.today().isoformat(), "repeats": arguments.repeats, "calls": arguments.calls,
           "load": os.getloadavg()[0], "walk_events": arguments.walk_events}
    print(f"Python {platform.python_version()} ({platform.python_implementation()}) on "
          f"{platform.machine()}, {machine_description()} ({len(os.sched_getaffinity(0))} usable), "
          f"load average {run['load']:.2f}")
    print(f"native: {arguments.native_module} ({native.__file__})")
    print(f"plain:  {PLAIN_MODULE} ({plain.__file__})")
    failed = []
    per_call = end_to_end = stand_in = walk = None
    if not (arguments.stand_in_only or arguments.walk_only):
        per_call, end_to_end = measure_client(arguments, native, plain, failed)
    if not arguments.walk_only:
        stand_in = measure_stand_in(arguments, failed)
    if not arguments.stand_in_only:
        walk = measure_walk(arguments, native, failed)

    if arguments.plot:
        plot_per_call(arguments.plot, per_call)
        print(f"\nchart written to {arguments.plot}")
    if arguments.readme:
        write_readme(arguments.readme, markdown_report(run, per_call, end_to_end, stand_in, walk, failed))
        print(f"results written to {arguments.readme}")
    print(f"\n{'FAIL: ' + ', '.join(failed) if failed else 'PASS: every target met'}")
    return 1 if arguments.strict and failed else 0


if __name__ == "__main__":
    sys.exit(main())
