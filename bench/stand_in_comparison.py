"""The benchmark's stand-in section: the stand-in server beside pytest-httpserver, its peer among test servers.

Two rows, each side's runs interleaved with the other's in one run:
  start + stop     a server started and stopped in this process, as a fixture does for each test
                   (the median of the runs; target: at most a fiftieth of the peer's time);
  keep-alive GET   one requests.Session per server sending the same GET, the two alternating
                   request by request, each server in a child process of its own so that it
                   shares no interpreter lock with the client (target: at least 1.2 times the
                   peer's requests per second).
Both servers answer the GET with the same canned JSON body, from a route set up in advance.
"""

import importlib.metadata
import logging
import multiprocessing
import statistics
import time

import requests

START_STOP_TARGET = 1 / 50
KEEP_ALIVE_TARGET = 1.2
PATH = "/bench"
BODY = {"content": [{"id": number, "message": f"event {number}"} for number in range(10)], "totalElements": 10}


def peer_missing():
    """Why the peer cannot be measured, or None."""
    try:
        importlib.import_module("pytest_httpserver")
    except ImportError as error:
        return f"needs pytest-httpserver ({error}): .venv/bin/python -m pip install --group bench"
    return None


def start(kind):
    """A started server of `kind` ("stand-in" or "peer") answering GET PATH, and its URL."""
    if kind == "stand-in":
        from ferrovane.sdk.stand_in_server import StandInServer

        server = StandInServer(lifetime=None).start()
        server.route("GET", PATH, body=BODY)
        return server, server.url + PATH
    from pytest_httpserver import HTTPServer

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # one line per request, as ours when quiet
    server = HTTPServer(host="127.0.0.1", port=0)
    server.expect_request(PATH, method="GET").respond_with_json(BODY)
    server.start()
    return server, server.url_for(PATH)


def serve(kind, connection, lifetime_seconds):
    """Child process: serve until the parent says stop, or the lifetime ends."""
    server, url = start(kind)
    try:
        connection.send(url)
        connection.poll(lifetime_seconds)
    finally:
        server.stop()


def start_and_stop_ms(kind):
    started = time.perf_counter()
    server, _ = start(kind)
    server.stop()
    return (time.perf_counter() - started) * 1e3


def measure(runs, blocks, requests_per_block, latency_blocks):
    """Start+stop times in ms per side, and keep-alive GET latency blocks per side."""
    start_stop = {"stand-in": [], "peer": []}
    for _ in range(runs):
        for kind in start_stop:
            start_stop[kind].append(start_and_stop_ms(kind))
    context = multiprocessing.get_context("spawn")
    children, sessions = [], {}
    try:
        for kind in ("stand-in", "peer"):
            parent_end, child_end = context.Pipe()
            process = context.Process(target=serve, args=(kind, child_end, 600), daemon=True)
            process.start()
            children.append((process, parent_end))
            if not parent_end.poll(60):
                raise RuntimeError(f"the {kind} server did not report its URL")
            url = parent_end.recv()
            session = requests.Session()
            session.trust_env = False
            response = session.get(url)
            if response.status_code != 200 or response.json() != BODY:
                raise RuntimeError(f"the {kind} server answered {response.status_code}: {response.text[:200]}")
            sessions[kind] = (session, url)
        (ours, our_url), (peer, peer_url) = sessions["stand-in"], sessions["peer"]
        gets = latency_blocks(lambda: ours.get(our_url), lambda: peer.get(peer_url), blocks, requests_per_block)
    finally:
        for session, _ in sessions.values():
            session.close()
        for process, connection in children:
            connection.send("stop")
            process.join(10)
            if process.is_alive():
                process.terminate()
    return start_stop, gets


def report(start_stop, gets):
    """Prints the rows; returns whether both targets were met, and the figures by row."""
    ours_ms, peer_ms = (statistics.median(start_stop[kind]) for kind in ("stand-in", "peer"))
    our_blocks, peer_blocks = gets
    rate = lambda blocks: statistics.median(len(block) * 1e9 / sum(block) for block in blocks)  # noqa: E731
    ours_rate, peer_rate = rate(our_blocks), rate(peer_blocks)
    rows = {
        "start + stop (ms, median)": (ours_ms, peer_ms, ours_ms / peer_ms, f"<= 1/{1 / START_STOP_TARGET:.0f}",
                                      ours_ms / peer_ms <= START_STOP_TARGET),
        "keep-alive GET (requests/s)": (ours_rate, peer_rate, ours_rate / peer_rate, f">= {KEEP_ALIVE_TARGET}",
                                        ours_rate / peer_rate >= KEEP_ALIVE_TARGET),
    }
    print(f"{'':<30} {'stand-in':>10} {'pytest-httpserver':>18} {'ratio':>9} {'target':>8}  result")
    for label, (ours, peer, ratio, target, passed) in rows.items():
        print(f"{label:<30} {ours:10.2f} {peer:18.2f} {ratio:9.4f} {target:>8}  {'PASS' if passed else 'FAIL'}")
    return all(row[4] for row in rows.values()), rows


def versions():
    return ", ".join(f"{name} {importlib.metadata.version(name)}" for name in ("pytest-httpserver", "werkzeug", "h11"))


def markdown(rows):
    lines = [f"| Stand-in server beside pytest-httpserver ({versions()}) | stand-in | pytest-httpserver | ratio |"
             " target |", "|---|--:|--:|--:|--:|"]
    lines += [f"| {label} | {ours:,.2f} | {peer:,.2f} | {ratio:.4f} | {target} |"
              for label, (ours, peer, ratio, target, _) in rows.items()]
    return lines
