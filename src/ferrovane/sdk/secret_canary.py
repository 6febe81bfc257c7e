"""A secret canary for tests: a unique token, and a watch over the places where secrets leak.

While it watches, it sees every call that logs, at every level, whatever the levels and
handlers configured (the message, its arguments and its ``extra``), every warning issued
through ``warnings.warn``, ``warn_explicit`` or ``showwarning`` (pytest's summary would
print it), every exception raised in Python code on any thread (its repr and its
formatted lines), and what the test reads through capsys or capfd; the pytest plugin also
hands it the output captured for the test's report, and ``watch()`` adds objects whose
repr and str it reads at the end. The token is found as it is and base64-encoded (standard
or URL-safe, at any offset, as in a Basic credential); it holds only characters that
URL-encoding keeps, so its URL-encoded form is itself. It reports each place where the
token appeared, with every form of it blotted out, so that the report itself leaks nothing.
"""

from __future__ import annotations

import base64
import functools
import logging
import re
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
# The methods through which code logs; each is read while the canary watches.
_LOG_METHODS = ("debug", "info", "warning", "warn", "error", "exception", "critical", "fatal", "log")
# The functions through which code warns; each is read while the canary watches.
_WARNING_FUNCTIONS = ("warn", "warn_explicit", "showwarning")
_EXCERPT = 40  # characters shown on each side of a leak
_BLOT = "<canary>"


class SecretCanary:
    """A unique token to plant where secrets go, and the leaks of it seen so far.

    ``token`` is the secret; ``leaks`` holds one line per place it was seen, blotted out.
    """

    def __init__(self) -> None:
        self.token = f"canary-{secrets.token_hex(12)}"
        self._forms = re.compile("|".join(re.escape(form) for form in _encoded_forms(self.token)))
        self.leaks: list[str] = []
        self._watched: list[object] = []
        self._lock = threading.Lock()
        self._inside = threading.local()
        self._saved_methods: dict[str, Callable[..., None]] = {}
        self._saved_warnings: dict[str, Callable[..., Any]] = {}
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
        found = self._forms.search(text)
        if found is None:
            return
        excerpt = self.blot(text[max(0, found.start() - _EXCERPT):found.end() + _EXCERPT])
        leak = self.blot(f"{where}{'' if found.group() == self.token else ' (encoded)'}: ...{excerpt!r}...")
        with self._lock:
            if leak not in self.leaks:
                self.leaks.append(leak)

    def blot(self, text: str) -> str:
        """``text`` with the token, and its encoded forms, blotted out."""
        return self._forms.sub(_BLOT, text)

    def start(self) -> None:
        """Begins watching log calls and exceptions, in every thread."""
        for name in _LOG_METHODS:
            original = self._saved_methods[name] = getattr(logging.Logger, name)
            setattr(logging.Logger, name, self._logging_method(name, original))
        for name in _WARNING_FUNCTIONS:
            original = self._saved_warnings[name] = getattr(warnings, name)
            setattr(warnings, name, self._warning_function(name, original))
        self._watch_raises()

    def stop(self) -> None:
        """Ends the watch and reads the watched objects; ``leaks`` is then complete but for
        what the caller scans itself."""
        if self._tool is not None:
            monitoring = sys.monitoring
            monitoring.set_events(self._tool, 0)
            monitoring.register_callback(self._tool, monitoring.events.RAISE, None)
            monitoring.free_tool_id(self._tool)
            self._tool = None
        for name, original in self._saved_methods.items():
            setattr(logging.Logger, name, original)
        self._saved_methods.clear()
        for name, original in self._saved_warnings.items():
            setattr(warnings, name, original)
        self._saved_warnings.clear()
        for watched in self._watched:
            self.scan(f"repr() of a {type(watched).__name__}", _safely(repr, watched))
            self.scan(f"str() of a {type(watched).__name__}", _safely(str, watched))
        self._watched.clear()

    def _logging_method(self, name: str, original: Callable[..., None]) -> Callable[..., None]:
        # Every call is read, whatever the levels of loggers and handlers, so a message
        # at DEBUG level leaks even where DEBUG is off: someone turns it on one day.
        @functools.wraps(original)
        def method(logger: logging.Logger, *args: Any, **kwargs: Any) -> None:
            self._read_log_call(logger, name, args, kwargs)
            # One frame more between the caller and logging: records keep naming the caller.
            kwargs["stacklevel"] = kwargs.get("stacklevel", 1) + 1
            original(logger, *args, **kwargs)
        return method

    def _read_log_call(self, logger: logging.Logger, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
        if getattr(self._inside, "busy", False):
            return
        self._inside.busy = True
        try:
            level, (message, *values) = (args[0], args[1:]) if name == "log" else (name.upper(), args)
            level_name = str(logging.getLevelName(level) if name == "log" else level)
            where = f"{'an' if level_name[:1] in 'AEIOU' else 'a'} {level_name} log message of {logger.name!r}"
            record = logging.LogRecord(logger.name, logging.NOTSET, "", 0, message, tuple(values), None)
            text = _safely(lambda record: record.getMessage(), record)
            self.scan(where, text)
            if self._forms.search(text) is None:  # arguments that the message leaves out, or cannot format
                self.scan(f"the arguments of {where}", _safely(repr, tuple(values)))
            if kwargs.get("extra") is not None:
                self.scan(f"the extra of {where}", _safely(repr, kwargs["extra"]))
            error = kwargs.get("exc_info", name == "exception")
            if error is True:
                error = sys.exc_info()[1]
            elif isinstance(error, tuple):
                error = error[1]
            if isinstance(error, BaseException):
                self.scan(f"the traceback in {where}",
                          _safely(lambda error: "".join(traceback.format_exception(error)), error))
        except (ValueError, IndexError):
            pass  # a malformed call: logging itself reports it
        finally:
            self._inside.busy = False

    def _warning_function(self, name: str, original: Callable[..., Any]) -> Callable[..., Any]:
        # warn passes what it issues to showwarning: both read it, as one leak.
        if name == "warn":
            @functools.wraps(original)
            def warn(message: object, category: Any = None, stacklevel: int = 1, source: Any = None,
                     **kwargs: Any) -> None:
                self.scan("a warning", _safely(str, message))
                # One frame more between the caller and warn: the warning still names the caller.
                original(message, category, stacklevel + 1, source, **kwargs)
            return warn

        @functools.wraps(original)
        def function(message: object, *args: Any, **kwargs: Any) -> Any:
            self.scan("a warning", _safely(str, message))
            return original(message, *args, **kwargs)
        return function

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


def _encoded_forms(token: str) -> set[str]:
    """``token`` and the text that stands for it in base64, standard and URL-safe, at each
    of the three offsets it may have in what is encoded: the characters that its bytes
    alone decide."""
    forms = {token}
    data = token.encode()
    for offset in range(3):
        encoded = base64.b64encode(bytes(offset) + data).decode()
        decided = encoded[(offset * 8 + 5) // 6:(offset + len(data)) * 8 // 6]
        forms |= {decided, decided.replace("+", "-").replace("/", "_")}
    return forms


def _safely(read: Callable[[Any], str], value: object) -> str:
    try:
        return read(value)
    except Exception as error:
        return f"(unreadable: {type(error).__name__})"
