"""Plain-text views of Accounts answers for people: the tables and lines that the demo
tour and the command-line client print.

Answers come from a server, so nothing here trusts their shape: missing keys give empty
cells, unexpected shapes fall back to JSON, and control characters are shown escaped
rather than sent to the terminal, where they could rewrite the screen. Widths are
terminal columns, not characters: East Asian wide characters and most emoji take two,
combining marks none.
"""

import json
import re
import unicodedata
from typing import Any

import requests

from ._answers import Number, is_html
from . import exceptions
from .exceptions import AccountsApiError

EVENT_COLUMNS = [("ID", "id"), ("TIME", "timestamp"), ("LEVEL", "level"), ("TYPE", "type"),
                 ("USER", "user"), ("MESSAGE", "message")]
ENTRY_COLUMNS = [("TIME", "timestamp"), ("LEVEL", "level"), ("MESSAGE", "message")]
RELEASE_COLUMNS = [("KEY", "key"), ("PRODUCT", "product"), ("VERSION", "version"),
                   ("RELEASED", "releasedAt"), ("PLATFORMS", "platforms")]
# Room that the last column keeps however narrow the terminal, so that it says something.
LAST_COLUMN_MINIMUM = 12
# Room that any other column keeps when the table must shrink to fit (cut with "...").
COLUMN_MINIMUM = 6


def printable(text: object) -> str:
    """``text`` with every non-printable character written as its escape (ESC as \\x1b)."""
    text = str(text)
    if text.isprintable():  # nearly every cell: a scan at C speed instead of a loop
        return text
    return "".join(char if char.isprintable() else char.encode("unicode_escape").decode("ascii") for char in text)


def _char_width(char: str) -> int:
    if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1


def display_width(text: str) -> int:
    """The columns that ``text`` (printable) takes on a terminal."""
    return sum(_char_width(char) for char in text) if not text.isascii() else len(text)


def clip(text: str, width: int) -> str:
    """``text`` cut to ``width`` columns, ending in "..." when cut."""
    if display_width(text) <= width:
        return text
    room, used = max(width - 3, 0), 0
    for index, char in enumerate(text):
        used += _char_width(char)
        if used > room:
            return text[:index] + "..."
    return text  # not reached: the whole text is wider than room


def _pad(text: str, width: int, right: bool = False) -> str:
    fill = " " * max(width - display_width(text), 0)
    return fill + text if right else text + fill


def cell(value: object) -> str:
    """The text of one value: lists joined with commas, None empty, nested data as JSON."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, list) and all(isinstance(item, (str, int, float)) for item in value):
        return printable(", ".join(str(item) for item in value))
    if isinstance(value, (dict, list)):
        return as_json(value, indent=None)
    return printable(value)


def as_json(answer: object, indent: int | None = 2, ascii: bool = True) -> str:
    """``answer`` as strict JSON, indented or (with ``indent`` None) on one line, its numbers
    as the server wrote them. Nothing in it can act on a terminal: it is ASCII, or without
    ``ascii`` it keeps printable text as it is and escapes the rest (controls, format
    characters, lone surrogates).

    One call of the json module's encoder writes it, then one pass escapes what is not
    printable, where a scan finds any. The encoder writes a float by its value, so while an
    answer may hold a number kept as written (a _answers.Number), ``json_walk`` writes it."""
    if Number.alive[0]:
        return json_walk(answer, indent, ascii)
    text = (_ENCODERS.get((indent, ascii)) or _encoder(indent, ascii)).encode(answer)
    if text.isascii():  # the encoder escapes the controls of every string but DEL
        return text if "\x7f" not in text else text.replace("\x7f", "\\u007f")
    # Outside strings the text has no character but ASCII, and newlines only when indented.
    return _NOT_PLAIN.sub(_escape_unprintable, text) if not text.replace("\n", "").isprintable() else text


def _encoder(indent: int | None, ascii: bool) -> json.JSONEncoder:
    return json.JSONEncoder(ensure_ascii=ascii, check_circular=False, allow_nan=False, indent=indent,
                            separators=(",", ":") if indent is None else (",", ": "))


# The encoders of the layouts written: one line, or indented by 2 (--json); ASCII or not.
_ENCODERS = {(indent, ascii): _encoder(indent, ascii) for indent in (None, 2) for ascii in (False, True)}
# Runs of the characters that may not be printable (a newline of the indented layout is kept).
_NOT_PLAIN = re.compile("[^\n -~]+")


def _escape_unprintable(run: re.Match[str]) -> str:
    return "".join(char if char.isprintable() else json_escape(char) for char in run.group())


def json_walk(answer: object, indent: int | None = 2, ascii: bool = True) -> str:
    """``as_json`` written value by value, each Number by its text: for answers that may
    hold one, and the oracle of the encoder's way in the tests. Answers nest at most a few
    levels (see _answers.MAX_DEPTH), so recursion is safe."""
    if isinstance(answer, Number):
        return answer.text
    if not isinstance(answer, (dict, list)) or not answer:
        return _json_scalar(answer, ascii)
    items = ([f"{_json_scalar(str(key), ascii)}:{'' if indent is None else ' '}{json_walk(value, indent, ascii)}"
              for key, value in answer.items()] if isinstance(answer, dict)
             else [json_walk(value, indent, ascii) for value in answer])
    ends = "{}" if isinstance(answer, dict) else "[]"
    if indent is None:
        return ends[0] + ",".join(items) + ends[1]
    pad = " " * indent
    return f"{ends[0]}\n{pad}{',\n'.join(items).replace('\n', '\n' + pad)}\n{ends[1]}"


def _json_scalar(value: object, ascii: bool) -> str:
    text = json.dumps(value, allow_nan=False, ensure_ascii=ascii)  # escapes the ASCII controls but DEL
    return text if text.isprintable() else "".join(char if char.isprintable() else json_escape(char)
                                                   for char in text)


def json_escape(char: str) -> str:
    """``char`` as a JSON escape: \\uXXXX, or a surrogate pair of them past U+FFFF."""
    code = ord(char)
    if code <= 0xFFFF:
        return f"\\u{code:04x}"
    code -= 0x10000
    return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"


def table(rows: list[Any], columns: list[tuple[str, str]], width: int | None = None) -> str:
    """An aligned table of ``rows`` (dicts) under the headings of ``columns``.

    ``columns`` lists (heading, key) pairs; those whose key no row has are left out, and
    when that leaves none, every key of the rows becomes a column. Numeric columns are
    right-aligned. With a ``width``, the lines fit in it: the last column (the free text,
    such as a message) is cut short first, then the widest of the others, each down to a
    minimum; a terminal narrower than those minimums wraps the lines.
    """
    rows = [row if isinstance(row, dict) else {"value": row} for row in rows]
    present = [(heading, key) for heading, key in columns if any(key in row for row in rows)]
    if not present:
        keys = dict.fromkeys(key for row in rows for key in row)
        present = [(printable(key).upper(), key) for key in keys]
    cells = [[cell(row.get(key)) for _, key in present] for row in rows]
    numeric = [bool(rows) and all(_is_number(row.get(key)) for row in rows) for _, key in present]
    widths = [max([display_width(heading)] + [display_width(line[index]) for line in cells])
              for index, (heading, _) in enumerate(present)]
    if width is not None and widths:
        _fit(widths, [heading for heading, _ in present], numeric, width)
        cells = [[clip(text, column_width) for text, column_width in zip(texts, widths)] for texts in cells]

    def line(texts: list[str], align_numbers: bool) -> str:
        parts = [_pad(text, column_width, align_numbers and right)
                 for text, column_width, right in zip(texts, widths, numeric)]
        return "  ".join(parts).rstrip()

    return "\n".join([line([heading for heading, _ in present], False)]
                     + [line(texts, True) for texts in cells])


def _fit(widths: list[int], headings: list[str], numeric: list[bool], width: int) -> None:
    """Narrows ``widths`` in place until the line fits ``width`` or no column can give more.
    Numbers (ids) are never cut: a cut id names another event."""
    minimums = [display_width(heading) if right else max(display_width(heading), COLUMN_MINIMUM)
                for heading, right in zip(headings, numeric)]
    minimums[-1] = max(minimums[-1], LAST_COLUMN_MINIMUM)
    excess = sum(widths) + 2 * (len(widths) - 1) - width
    if excess <= 0:
        return  # fits: a column never grows to fill the terminal
    last = len(widths) - 1
    give = min(excess, max(widths[last] - minimums[last], 0))
    widths[last] -= give
    excess -= give
    while excess > 0:
        shrinkable = [index for index in range(last) if not numeric[index] and widths[index] > minimums[index]]
        if not shrinkable:
            return
        widest = max(shrinkable, key=lambda index: widths[index])
        widths[widest] -= 1
        excess -= 1


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def fields(mapping: object) -> str:
    """One aligned ``name  value`` line per entry of a JSON object."""
    if not isinstance(mapping, dict) or not mapping:
        return as_json(mapping)
    width = max(display_width(printable(name)) for name in mapping)
    return "\n".join(f"{_pad(printable(name), width)}  {cell(value)}".rstrip()
                     for name, value in mapping.items())


def page_summary(page: dict[str, Any]) -> str:
    """Where a page of the event log stands, e.g. "events 6-10 of 17, page 2 of 4"."""
    content = page["content"]
    pageable = page.get("pageable")
    total = page.get("totalElements")
    offset = pageable.get("offset", 0) if isinstance(pageable, dict) else 0
    if not isinstance(total, int) or not isinstance(offset, int):
        return f"{len(content)} events"
    number, pages, size = page.get("number"), page.get("totalPages"), page.get("size")
    # A listing that starts at an offset (--offset) is no page of the server's paging.
    on_page = isinstance(number, int) and isinstance(size, int) and offset == number * size
    if not content:
        if on_page and isinstance(number, int) and isinstance(pages, int) and 0 < pages <= number:
            return f"no events on page {number + 1}: the last page is {pages}, {total} events in all"
        return f"no events on this page, {total} in all" if on_page else f"no events after {offset}, {total} in all"
    summary = f"events {offset + 1}-{offset + len(content)} of {total}"
    if on_page and isinstance(number, int) and isinstance(pages, int) and pages > 1:
        summary += f", page {number + 1} of {pages}"
    return summary


def event_page(page: object, width: int | None = None, search: str | None = None) -> str:
    """A page of an event log: its events as a table (see ``table`` for ``width``) under a
    summary line; an empty listing says so plainly, naming the ``search`` that found nothing."""
    if isinstance(page, list):  # a server that sends the events without a page around them
        page = {"content": page}
    if not isinstance(page, dict) or not isinstance(page.get("content"), list):
        return as_json(page)
    if not page["content"] and page.get("totalElements") == 0:
        return f"no events mention {printable(repr(search))}" if search else "no events in this log"
    summary = page_summary(page)
    return f"{summary}\n{table(page['content'], EVENT_COLUMNS, width)}" if page["content"] else summary


def event_log(log: object, width: int | None = None) -> str:
    """The log of one event: its entries as a table (see ``table`` for ``width``)."""
    entries = log.get("entries") if isinstance(log, dict) else None
    if not isinstance(log, dict) or not isinstance(entries, list):
        return as_json(log)
    return f"event {cell(log.get('eventId'))}: {len(entries)} log entries\n{table(entries, ENTRY_COLUMNS, width)}"


def releases(answer: object, width: int | None = None) -> str:
    """The list of releases as a table (see ``table`` for ``width``)."""
    if not isinstance(answer, list):
        return as_json(answer)
    return table(answer, RELEASE_COLUMNS, width) if answer else "no releases"


def http_failure(error: requests.HTTPError, base_url: str | None = None) -> str:
    """One line for a failed HTTP status: the status, the request and the server's message.
    With the ``base_url`` queried, an HTML page in place of the message says that the
    URL is not an Accounts server's base.

    Works for the client's own exceptions and for the plain ``requests.HTTPError`` that
    other statuses raise, whose text lacks the server's message.
    """
    response = error.response
    if not isinstance(error, AccountsApiError) and response is not None:
        error = AccountsApiError(response)
    text = str(error)
    if base_url is not None and response is not None and is_html(response):
        message = getattr(error, "server_message", None)
        text = (f"{text.removesuffix(f': {message}') if message else text}: "
                f"an HTML page, not an answer of the Accounts API: check the base URL {base_url}")
    return printable(text)


def server_message(error: requests.HTTPError) -> str | None:
    """The message that the server gave with a failed status (escaped for display), or None."""
    message = exceptions.server_message(error)
    return None if message is None else printable(message)
