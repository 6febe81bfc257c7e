"""``events --follow``: the last events of a log, then each new one as it arrives, walked
with ``paging.follow_events`` until Ctrl-C or SIGTERM; imported only when --follow is given.

With --checkpoint FILE, where the follow stands is written to FILE after each event is
printed (a temporary file in the same directory, synced, then renamed over FILE), so that
a follower stopped by Ctrl-C or SIGTERM and started again with the same FILE prints every
event once. Either signal, while an event is printed and its checkpoint written, ends the
follow right after; at any other moment, at once. SIGTERM (a service manager stopping it)
ends it with success, Ctrl-C as an interruption.
"""

import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, Literal

from .. import _tables, paging
from .._answers import document
from ..accounts_api import ApiClient, Command
from . import output
from .inputs import SettingsProblem
from .names import FOLLOW_INTERVAL, FOLLOW_TAIL_EVENTS, MAX_CHECKPOINT_BYTES
from .queries import PRINTED, fetch
from .settings import Invocation


class _Stopped(KeyboardInterrupt):
    """SIGTERM asked the follow to end: given up on as Ctrl-C is (a request waited for
    too), then ended with success."""


def follow(client: ApiClient, run: Invocation) -> Any:
    """Prints the events as they come (see the module's docstring); returns PRINTED when
    SIGTERM stopped it, raises KeyboardInterrupt for Ctrl-C and what the follow raises."""
    given = run.arguments
    path: str | None = given["checkpoint"]
    stop = threading.Event()

    def read(call: Callable[[], Command]) -> Any:
        return document(fetch(run, call))

    since: paging.Checkpoint | Literal["start"] | None = \
        _saved(path) if path is not None and os.path.exists(path) else None
    if since is None:
        since = _after_id(client, run, read) if given["since"] is not None else _tail(client, run, read)
    try:
        events = paging.follow_events(client, given["app"], since=since, interval=given["interval"] or FOLLOW_INTERVAL,
                                      stop=stop, page_size=given["size"], search=given["search"], read=read)
    except paging.BadCheckpoint as refused:
        raise SettingsProblem(f"the checkpoint file {path} is not usable here: {refused}") from None
    if path is not None:
        _save(path, events.checkpoint)  # a FILE that cannot be written is found before anything is printed
    status = sys.stderr.isatty() and os.environ.get("TERM") != "dumb" and not run.verbose
    lines = run.output is output.Mode.JSONL
    width = shutil.get_terminal_size().columns if sys.stdout.isatty() else None
    printed, header = 0, True
    with _signals(stop) as calm, _log_changes():
        try:
            for event in events:
                with calm():  # printed and kept together, or not at all
                    if status:
                        print("\r\x1b[K", end="", file=sys.stderr, flush=True)
                    if lines:
                        output.write(output.json_text(event, indent=None) + "\n")
                    else:
                        text = _tables.table([event], _tables.EVENT_COLUMNS, width)
                        output.write((text if header else text.partition("\n")[2]) + "\n")
                        header = False
                    if path is not None:
                        _save(path, events.checkpoint)
                    printed += 1
                    if status:
                        print(f"\rfollowing {_tables.printable(given['app'])}: {printed:,} new event"
                              f"{'' if printed == 1 else 's'}, last {time.strftime('%H:%M:%S')}", end="",
                              file=sys.stderr, flush=True)
        except _Stopped:
            pass
        finally:
            if status:
                print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    return PRINTED


@contextmanager
def _signals(stop: threading.Event) -> Iterator[Callable[[], Any]]:
    """Ctrl-C and SIGTERM end the follow: at once (KeyboardInterrupt, _Stopped), or, while
    in ``calm()``, right after it. Yields ``calm``."""
    quiet = [False]
    caught: list[int] = []

    def on_signal(number: int, frame: object) -> None:
        stop.set()
        caught.append(number)
        if not quiet[0]:
            _end(number)

    @contextmanager
    def calm() -> Iterator[None]:
        quiet[0] = True
        try:
            yield
        finally:
            quiet[0] = False
        if caught:
            _end(caught[0])

    if threading.current_thread() is not threading.main_thread():  # signals are for the main thread alone
        yield calm
        return
    before = {number: signal.signal(number, on_signal) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield calm
    finally:
        for number, handler in before.items():
            signal.signal(number, handler)


def _end(number: int) -> None:
    raise KeyboardInterrupt if number == signal.SIGINT else _Stopped()


@contextmanager
def _log_changes() -> Iterator[None]:
    """A log that was purged past the follow's place, or restarted, is said in a line on stderr."""
    with warnings.catch_warnings():
        warnings.simplefilter("always", paging.LogChanged)
        shown = warnings.showwarning

        def show(message: Warning | str, category: type[Warning], *rest: Any, **more: Any) -> None:
            if issubclass(category, paging.LogChanged):
                output.fail(f"warning: {message}")
            else:
                shown(message, category, *rest, **more)
        warnings.showwarning = show
        yield


def _saved(path: str) -> paging.Checkpoint:
    """The checkpoint in the file at ``path``; SettingsProblem when it holds none."""
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_CHECKPOINT_BYTES + 1)
        if len(data) > MAX_CHECKPOINT_BYTES:
            raise ValueError(f"it holds more than {MAX_CHECKPOINT_BYTES // 1024} KiB")
        saved = json.loads(data)
        if not isinstance(saved, dict):
            raise ValueError("it holds no JSON object")
        return saved  # type: ignore[return-value]  # follow_events checks every field
    except (OSError, ValueError) as problem:
        reason = problem.strerror if isinstance(problem, OSError) and problem.strerror else \
            f"it is not JSON ({problem.msg} at line {problem.lineno})" if isinstance(problem, json.JSONDecodeError) \
            else str(problem)
        raise SettingsProblem(f"the checkpoint file {path} cannot be read: {reason}") from None


def _save(path: str, checkpoint: paging.Checkpoint) -> None:
    """Writes ``checkpoint`` to ``path`` whole or not at all: a temporary file in the same
    directory, synced, renamed over it."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = None
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            json.dump(checkpoint, file, separators=(",", ":"))
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
        temporary = None
    except OSError as problem:
        raise SettingsProblem(f"the checkpoint file {path} cannot be written: {problem.strerror or problem}") \
            from None
    finally:
        if temporary is not None:
            with _quietly():
                os.unlink(temporary)


@contextmanager
def _quietly() -> Iterator[None]:
    try:
        yield
    except OSError:
        pass


def _page(client: ApiClient, run: Invocation, read: paging.PageReader, **where: Any) -> dict[str, Any]:
    answer = read(lambda: client.get_event_log(run.arguments["app"], search=run.arguments["search"], **where))
    if not isinstance(answer, dict) or not isinstance(answer.get("content"), list):
        raise paging.NotAPage(answer)
    return answer


def _tail(client: ApiClient, run: Invocation, read: paging.PageReader) -> paging.Checkpoint | Literal["start"]:
    """Where the follow starts to print the last FOLLOW_TAIL_EVENTS events (or --size):
    after the event before them."""
    wanted = run.arguments["size"] or FOLLOW_TAIL_EVENTS
    total = _page(client, run, read, pageNumber=0, pageSize=1).get("totalElements")
    if not isinstance(total, int) or isinstance(total, bool) or total <= wanted:
        return "start"
    before = _page(client, run, read, offset=total - wanted - 1, pageSize=1)["content"]
    if not before:
        return "start"
    return {"app": run.arguments["app"], "search": run.arguments["search"], "sort_sorted": None,
            "sort_unsorted": None, "pageSize": run.arguments["size"] or paging.DEFAULT_PAGE_SIZE,
            "offset": total - wanted, "last": before[0], "total": total, "pages": 0, "finished": False}


def _after_id(client: ApiClient, run: Invocation, read: paging.PageReader) -> paging.Checkpoint:
    """Where the follow starts for --since ID: right after that event, found by walking the log."""
    wanted = run.arguments["since"]
    walk = paging.iter_events(client, run.arguments["app"], page_size=run.arguments["size"],
                              search=run.arguments["search"], read=read)
    for event in walk:
        if isinstance(event, dict) and str(event.get("id")) == wanted:
            return walk.checkpoint
    raise SettingsProblem(f"argument --since: no event with id {_tables.printable(repr(wanted))} in the log of "
                          f"{_tables.printable(run.arguments['app'])}")
