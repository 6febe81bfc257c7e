"""Where a native call's instructions go, counted by callgrind, against the plain-Python client.

    .venv/bin/python bench/instruction_profile.py [--row LABEL ...] [--all] [--calls N] [--write] [--functions]

For each row of the benchmark (default: get_event_log(app)) it counts, with the benchmark's null
session, the instructions per call of both clients, and splits the native call into the
extension's own code and each interpreter function that the extension calls (with all that
function runs, Python code included). Everything but the first line is work the method's
behaviour asks for: reading attributes and globals at call time, calling requests' Python code,
making the result; so (native - own) / plain is the ratio the native client would reach if its
own code took no time at all: the row's floor. --write records the counts in floors.json under
this Python's version, where the benchmark reads the floors from. --functions also splits the
extension's own code by function, which needs a build that keeps its symbols. Needs valgrind;
one callgrind run per client measures every row.
"""

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

import benchmark  # noqa: E402  (the rows and the loops are the benchmark's own)

NATIVE_MODULE = "ferrovane.sdk.accounts_api"
WARM_UP_CALLS = 200

# What the interpreter functions that the extension calls are for.
PURPOSES = {
    "PyObject_Vectorcall": "calls: requests' Python code (session method, raise_for_status), classes",
    "PyObject_VectorcallMethod": "a method loaded and called in one step (session method, raise_for_status, handler)",
    "_PyType_Lookup": "method loads read some steps before their call (_get, the session method of _put)",
    "PyObject_GetAttr": "attribute reads at call time (_api_version, _base_url, _session, status_code)",
    "PyDict_GetItemRef": "global lookups at call time (get_params, join_url_parts, Command)",
    "_Py_Dealloc": "freeing the call's temporary objects",
    "PyDict_SetItem": "filling the query dict",
    "_PyDict_NewPresized": "the query dict",
    "PyDict_New": "the query dict",
    "PyUnicode_New": "new texts (URL, endpoint)",
    "PyObject_SetAttr": "the result's two attributes",
    "object_new": "the result object",
    "PyType_GenericAlloc": "the result object",
}


def child(module_name, calls, labels):
    """Runs in the measured process: per row, a warm-up, `calls` runs of the row and as many of an
    empty loop, each followed by a marker call before which callgrind writes out its counts."""
    import gc
    import importlib
    import itertools
    import time

    module = importlib.import_module(module_name)
    empty_loop = benchmark.compile_loop("pass")
    prepared = []
    for label in labels:
        row = next(row for row in benchmark.ROWS if row.label == label)
        prepared.append((benchmark.compile_loop(row.statement), benchmark.loop_names(module, benchmark.NullSession)))
    gc.collect()
    gc.disable()
    marker = os.getppid
    marker()
    for loop, names in prepared:
        loop(WARM_UP_CALLS, time.thread_time_ns, itertools.repeat, **names)
        marker()
        loop(calls, time.thread_time_ns, itertools.repeat, **names)
        marker()
        empty_loop(calls, time.thread_time_ns, itertools.repeat, **names)
        marker()


# The C library's getppid, which os.getppid calls: callgrind writes out the counts so far each
# time it is entered. Being in another library, it cannot be inlined into the interpreter (as
# its own functions can be); only the parts after the child's first marker count, and nothing
# that the rows run calls it. The names are exact: a pattern such as "*getppid" also matches
# the interpreter's own wrapper (os_getppid), which an interpreter with its symbols shows, and
# then every marker writes out two parts. glibc names the function either way.
MARKER_FUNCTIONS = ("getppid", "__getppid")


class ProfileError(Exception):
    """A run that cannot be measured; its message is the one line the user sees."""


def callgrind(arguments, output):
    """The counts of each part of a run, in order."""
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={output}", "--dump-instr=no",
               "--compress-strings=no", "--compress-pos=no",
               *(f"--dump-before={name}" for name in MARKER_FUNCTIONS),
               sys.executable, os.path.abspath(__file__), "--child", *arguments]
    # A fixed hash seed, so that dict lookups probe alike from run to run.
    environment = dict(os.environ, PYTHONHASHSEED="0")
    finished = subprocess.run(command, capture_output=True, text=True, env=environment)
    if finished.returncode != 0:
        last = (finished.stderr.strip().splitlines() or ["no output"])[-1]
        raise ProfileError(f"the callgrind run of {arguments[0]} failed: {last}")
    # The parts are output.1, output.2, ... and, for the last, output itself.
    parts = [path for path in os.listdir(os.path.dirname(output))
             if path == os.path.basename(output) or path.startswith(os.path.basename(output) + ".")]
    return [parse(os.path.join(os.path.dirname(output), path))
            for path in sorted(parts, key=lambda path: int(path.rpartition(".")[2]) if path[-1].isdigit() else 1 << 30)]


def ours(obj):
    return obj is not None and f"{os.sep}ferrovane{os.sep}sdk{os.sep}" in obj


def parse(path):
    """Of one callgrind run: the total, the extension's own instructions, the instructions of the
    calls made into the extension from outside, and of each interpreter function it calls.
    The extension's functions need no symbols: they are told by the object file they are in."""
    counts = defaultdict(int)
    obj = function = called_obj = called_function = None
    after_calls = False
    with open(path) as data:
        for line in data:
            if line.startswith("ob="):
                obj = line[3:].strip()
            elif line.startswith("fn="):
                function = line[3:].strip()
                called_obj = None
            elif line.startswith("cob="):
                called_obj = line[4:].strip()
            elif line.startswith("cfn="):
                called_function = line[4:].strip()
            elif line.startswith("calls="):
                after_calls = True
            elif line.startswith("totals:") or line.startswith("summary:"):
                counts[TOTAL] = int(line.split()[1])
            elif line[:1].isdigit() or line[:1] in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if after_calls:
                    callee_obj = called_obj or obj
                    if ours(callee_obj) and not ours(obj):
                        counts[ENTERED] += cost
                    elif ours(obj) and not ours(callee_obj):
                        counts[re.sub(r"'\d+$", "", called_function)] += cost
                    after_calls, called_obj = False, None
                elif ours(obj):
                    counts[OWN] += cost
                    counts[OWN_PREFIX + function] += cost
    return counts


TOTAL, ENTERED, OWN = "(total)", "(entered)", "(own)"
# Keys of the extension's own instructions by function (self cost, inlined callees included).
OWN_PREFIX = "own: "
FLOORS_FILE = os.path.join(BENCH_DIR, "floors.json")


def per_call_counts(module_name, labels, calls, scratch):
    """Per row, the counts of one call: the part with the row's loop less the part with the empty
    loop, over the calls. One callgrind run measures every row."""
    output = os.path.join(scratch, module_name, "callgrind.out")
    os.makedirs(os.path.dirname(output))
    parts = callgrind([module_name, str(calls), *labels], output)
    # The start-up, three parts a row (warm-up, row, empty loop), then the interpreter's exit:
    # any other number means that the markers were not the child's alone.
    expected = 3 * len(labels) + 2
    if len(parts) != expected:
        raise ProfileError(f"callgrind wrote {len(parts)} parts where {expected} were expected: something"
                           f" else in this interpreter enters {' or '.join(MARKER_FUNCTIONS)}")
    rows = parts[1:-1]
    counts = {}
    for index, label in enumerate(labels):
        with_row, without = rows[3 * index + 1], rows[3 * index + 2]
        counts[label] = defaultdict(float, {name: (with_row[name] - without.get(name, 0)) / calls
                                            for name in with_row.keys() | without.keys()})
    return counts


def short_name(function):
    """A C++ symbol as the sources name it: no return type, parameters, template arguments,
    clone suffix or namespaces."""
    function = re.sub(r" \[clone [^]]*\]|'\d+$", "", function).strip()
    function = re.sub(r"\(anonymous namespace\)::|ferrovane::", "", function)
    for opening, closing in (("(", ")"), ("<", ">")):
        # Innermost first, so that nested brackets go too.
        previous = None
        while previous != function:
            previous = function
            function = re.sub(re.escape(opening) + r"[^" + re.escape(opening + closing) + r"]*"
                              + re.escape(closing), "", function)
    return function.split(" ")[-1]


def own_functions(counts):
    functions = defaultdict(float)
    for name, cost in counts.items():
        if name.startswith(OWN_PREFIX):
            functions[short_name(name[len(OWN_PREFIX):])] += cost
    return functions


def report(label, native, plain, functions):
    print(f"\n{label}")
    print(f"  native {native[TOTAL]:8.0f} instructions per call, plain {plain[TOTAL]:8.0f}:"
          f" ratio {native[TOTAL] / plain[TOTAL]:.3f}")
    print(f"  inside the native code: {native[ENTERED]:8.0f}")
    print(f"    {native[OWN]:8.0f}  the extension's own code")
    if functions:
        for name, cost in sorted(own_functions(native).items(), key=lambda item: -item[1]):
            if cost >= 20:
                print(f"      {cost:8.0f}  {name}")
    callees = {name: cost for name, cost in native.items()
               if name not in (TOTAL, ENTERED, OWN) and not name.startswith(OWN_PREFIX)}
    for name, cost in sorted(callees.items(), key=lambda item: -item[1]):
        if cost >= 20:
            print(f"    {cost:8.0f}  {name:<22} {PURPOSES.get(name, '')}")
    required = native[TOTAL] - native[OWN]
    print(f"  without the extension's own code: {required:.0f} per call, ratio {required / plain[TOTAL]:.3f}"
          f" (the floor); own code {native[OWN] / native[TOTAL]:.1%} of the call")


def write_floors(measured, calls):
    """Records the per-call counts of each row under this Python's version in floors.json."""
    try:
        with open(FLOORS_FILE) as existing:
            floors = json.load(existing)
    except FileNotFoundError:
        floors = {}
    version = benchmark.python_version_key()
    entry = floors.setdefault(version, {"rows": {}})
    entry["measured with"] = (f"bench/instruction_profile.py --calls {calls}: Python {platform.python_version()},"
                              f" requests {benchmark.requests.__version__}")
    for label, (native, plain) in measured.items():
        entry["rows"][label] = {"native": round(native[TOTAL]), "own": round(native[OWN]),
                                "plain": round(plain[TOTAL])}
    with open(FLOORS_FILE, "w") as output:
        json.dump(floors, output, indent=1, sort_keys=True)
        output.write("\n")
    print(f"\nwrote the floors of {len(measured)} rows for Python {version} to {FLOORS_FILE}")


def report_functions(measured):
    """The extension's own instructions by function, summed over the profiled rows."""
    totals = defaultdict(float)
    for native, _ in measured.values():
        for name, cost in own_functions(native).items():
            totals[name] += cost
    if all(re.fullmatch(r"0x[0-9a-f]+", name) for name in totals):
        print("\nthe extension has no symbols: build it with them to split its code by function"
              " (see bench/README.md)")
        return
    overall = sum(totals.values())
    print(f"\nThe extension's own code by function, over {len(measured)} rows"
          f" ({overall:.0f} instructions, one call of each)")
    for name, cost in sorted(totals.items(), key=lambda item: -item[1]):
        if cost >= 20:
            print(f"  {cost:8.0f} {cost / overall:6.1%}  {name}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--row", action="append", help="benchmark row label (repeatable)")
    parser.add_argument("--all", action="store_true", help="every query method and request helper")
    parser.add_argument("--calls", type=int, default=5000, help="calls per run (default: %(default)s)")
    parser.add_argument("--write", action="store_true",
                        help="record the rows' counts as this Python's floors in bench/floors.json")
    parser.add_argument("--functions", action="store_true",
                        help="split the extension's own code by function (needs a build with symbols)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.child:
        module_name, calls, *child_labels = arguments.child
        return child(module_name, int(calls), child_labels)
    if shutil.which("valgrind") is None:
        sys.exit("instruction_profile.py: valgrind is not installed; it counts the instructions"
                 " (Debian: apt-get install valgrind)")
    targeted = [row.label for row in benchmark.ROWS if row.targeted]
    labels = targeted if arguments.all else arguments.row or ["get_event_log(app)"]
    unknown = set(labels) - {row.label for row in benchmark.ROWS}
    if unknown:
        sys.exit(f"unknown rows {sorted(unknown)}; rows: {[row.label for row in benchmark.ROWS]}")
    measured = {}
    try:
        with tempfile.TemporaryDirectory() as scratch:
            native = per_call_counts(NATIVE_MODULE, labels, arguments.calls, scratch)
            plain = per_call_counts(benchmark.PLAIN_MODULE, labels, arguments.calls, scratch)
    except ProfileError as error:
        sys.exit(f"instruction_profile.py: {error}")
    for label in labels:
        report(label, native[label], plain[label], arguments.functions)
        measured[label] = native[label], plain[label]
    if arguments.functions:
        report_functions(measured)
    if arguments.write:
        write_floors(measured, arguments.calls)
    return 0


if __name__ == "__main__":
    sys.exit(main())
