"""A secret canary for tests: a unique token, and a watch over the places where secrets leak.

While it watches, it sees every log record at every level (from any logger, also those
that do not propagate), every exception raised in Python code on any thread (its repr
and its formatted lines), and what the test reads through capsys or capfd; the pytest
plugin also hands it the output captured for the test's report, and ``watch()`` adds
objects whose repr and str it reads at the end. It reports each place where the token
appeared, with the token blotted out, so that the report itself leaks nothing.
"""

from __future__ import annotations

import logging
import secrets
import sys
import threading
import traceback
import warnings
from collections.abc import Callable
from types import CodeType
from typing import Any

# The sys.monitoring tool ids that Python's own debugger, coverage and profiler tools
# leave free, in the order they are tried.
_TOOL_IDS = (3, 4)
_EXCERPT = 40  # characters shown on each side of a leak
_BLOT = "<canary>"


class SecretCanary:
    """A unique token to plant where secrets go, and the leaks of it seen so far.

    ``token`` is the secret; ``leaks`` holds one line per place it was seen, blotted out.
    """

    def __init__(self) -> None:
        self.token = f"canary-{secrets.token_hex(12)}"
        self.leaks: list[str] = []
        self._watched: list[object] = []
        self._records: list[logging.LogRecord] = []
        self._lock = threading.Lock()
        self._inside = threading.local()
        self._saved_factory: Callable[..., logging.LogRecord] | None = None
        self._saved_levels: dict[logging.Logger, int] = {}
        self._saved_disable = 0
        self._tool: int | None = None

    def __repr__(self) -> str:
        return f"<SecretCanary: {len(self.leaks)} leak(s)>"  # never the token

    def watch(self, *objects: object) -> None:
        """Reads the repr and str of each object when the watch ends."""
        self._watched.extend(objects)

    def scan(self, where: str, text: str | bytes) -> None:
        """Notes a leak if the token is in ``text``, read from ``where``."""
        if isinstance(text, bytes):
            text = text.decode("utf-8", "replace")
        at = text.find(self.token)
        if at < 0:
            return
        excerpt = text[max(0, at - _EXCERPT):at + len(self.token) + _EXCERPT].replace(self.token, _BLOT)
        with self._lock:
            self.leaks.append(f"{where}: ...{excerpt!r}...")

    def start(self) -> None:
        """Begins watching log records and exceptions, in every thread."""
        saved = self._saved_factory = logging.getLogRecordFactory()

        def factory(*args: Any, **kwargs: Any) -> logging.LogRecord:
            record = saved(*args, **kwargs)
            self._records.append(record)
            return record

        logging.setLogRecordFactory(factory)
        # Records below a logger's level are never made: every level is DEBUG while it watches.
        self._saved_disable = logging.root.manager.disable
        logging.disable(logging.NOTSET)
        loggers = [logging.root] + [logger for logger in logging.root.manager.loggerDict.values()
                                    if isinstance(logger, logging.Logger)]
        for logger in loggers:
            if logger.level == logging.NOTSET and logger is not logging.root:
                continue
            self._saved_levels[logger] = logger.level
            logger.setLevel(logging.DEBUG)
        self._watch_raises()

    def stop(self) -> None:
        """Ends the watch and reads what it saw; ``leaks`` is then complete but for what the
        caller scans itself."""
        if self._tool is not None:
            monitoring = sys.monitoring
            monitoring.set_events(self._tool, 0)
            monitoring.register_callback(self._tool, monitoring.events.RAISE, None)
            monitoring.free_tool_id(self._tool)
            self._tool = None
        if self._saved_factory is not None:
            logging.setLogRecordFactory(self._saved_factory)
            self._saved_factory = None
        for logger, level in self._saved_levels.items():
            logger.setLevel(level)
        self._saved_levels.clear()
        logging.disable(self._saved_disable)
        for record in self._records:
            self._scan_record(record)
        self._records.clear()
        for watched in self._watched:
            self.scan(f"repr() of a {type(watched).__name__}", _safely(repr, watched))
            self.scan(f"str() of a {type(watched).__name__}", _safely(str, watched))
        self._watched.clear()

    def _scan_record(self, record: logging.LogRecord) -> None:
        where = f"a {record.levelname} log record of {record.name!r}"
        try:
            message = record.getMessage()
        except Exception:  # a record whose arguments do not fit its message: read both
            message = f"{record.msg!s} {record.args!r}"
        self.scan(where, message)
        if record.exc_info and record.exc_info[1] is not None:
            self.scan(f"the traceback in {where}", "".join(traceback.format_exception(record.exc_info[1])))
        if record.stack_info:
            self.scan(f"the stack in {where}", record.stack_info)

    def _watch_raises(self) -> None:
        monitoring = sys.monitoring
        free = [tool for tool in _TOOL_IDS if monitoring.get_tool(tool) is None]
        if not free:
            warnings.warn("the secret canary cannot watch exceptions: another tool holds the "
                          "sys.monitoring ids it would use", RuntimeWarning, stacklevel=2)
            return
        self._tool = free[0]
        monitoring.use_tool_id(self._tool, "ferrovane secret canary")
        monitoring.register_callback(self._tool, monitoring.events.RAISE, self._raised)
        monitoring.set_events(self._tool, monitoring.events.RAISE)

    def _raised(self, code: CodeType, offset: int, exception: BaseException) -> None:
        if getattr(self._inside, "busy", False):
            return  # an exception raised while reading another one
        self._inside.busy = True
        try:
            where = f"a {type(exception).__name__} raised in {code.co_name}()"
            self.scan(where, _safely(repr, exception))
            self.scan(f"the formatted traceback of {where}",
                      _safely(lambda error: "".join(traceback.format_exception_only(error)), exception))
        finally:
            self._inside.busy = False


def _safely(read: Callable[[Any], str], value: object) -> str:
    try:
        return read(value)
    except Exception as error:
        return f"(unreadable: {type(error).__name__})"
