"""Plain-text views of Accounts answers for people: the tables and lines that the demo
tour and the command-line client print.

Answers come from a server, so nothing here trusts their shape: missing keys give empty
cells, unexpected shapes fall back to JSON, and control characters are shown escaped
rather than sent to the terminal, where they could rewrite the screen.
"""

import json

from .exceptions import AccountsApiError

EVENT_COLUMNS = [("ID", "id"), ("TIME", "timestamp"), ("LEVEL", "level"), ("TYPE", "type"),
                 ("USER", "user"), ("MESSAGE", "message")]
ENTRY_COLUMNS = [("TIME", "timestamp"), ("LEVEL", "level"), ("MESSAGE", "message")]
RELEASE_COLUMNS = [("KEY", "key"), ("PRODUCT", "product"), ("VERSION", "version"),
                   ("RELEASED", "releasedAt"), ("PLATFORMS", "platforms")]
# Room that the last column keeps however narrow the terminal, so that it says something.
LAST_COLUMN_MINIMUM = 12


def printable(text):
    """``text`` with every non-printable character written as its escape (ESC as \\x1b)."""
    return "".join(char if char.isprintable() else char.encode("unicode_escape").decode("ascii")
                   for char in str(text))


def cell(value):
    """The text of one value: lists joined with commas, None empty, nested data as JSON."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, list) and all(isinstance(item, (str, int, float)) for item in value):
        return printable(", ".join(str(item) for item in value))
    if isinstance(value, (dict, list)):
        return json.dumps(value, separators=(",", ":"))
    return printable(value)


def clip(text, width):
    """``text`` cut to ``width`` characters, ending in "..." when cut."""
    return text if len(text) <= width else text[:max(width - 3, 0)] + "..."


def as_json(answer):
    """``answer`` as indented JSON (ASCII only, so nothing in it can act on a terminal)."""
    return json.dumps(answer, indent=2)


def table(rows, columns, width=None):
    """An aligned table of ``rows`` (dicts) under the headings of ``columns``.

    ``columns`` lists (heading, key) pairs; those whose key no row has are left out, and
    when that leaves none, every key of the rows becomes a column. Numeric columns are
    right-aligned. With a ``width``, the last column (the free text, such as a message)
    is cut short so that the lines fit in it.
    """
    rows = [row if isinstance(row, dict) else {"value": row} for row in rows]
    present = [(heading, key) for heading, key in columns if any(key in row for row in rows)]
    if not present:
        keys = dict.fromkeys(key for row in rows for key in row)
        present = [(printable(key).upper(), key) for key in keys]
    cells = [[cell(row.get(key)) for _, key in present] for row in rows]
    numeric = [bool(rows) and all(_is_number(row.get(key)) for row in rows) for _, key in present]
    widths = [max([len(heading)] + [len(line[index]) for line in cells])
              for index, (heading, _) in enumerate(present)]
    if width is not None and widths:
        room = width - sum(widths[:-1]) - 2 * (len(widths) - 1)
        widths[-1] = min(widths[-1], max(room, len(present[-1][0]), LAST_COLUMN_MINIMUM))
        cells = [texts[:-1] + [clip(texts[-1], widths[-1])] for texts in cells]

    def line(texts, align_numbers):
        parts = [text.rjust(column_width) if align_numbers and right else text.ljust(column_width)
                 for text, column_width, right in zip(texts, widths, numeric)]
        return "  ".join(parts).rstrip()

    return "\n".join([line([heading for heading, _ in present], False)]
                     + [line(texts, True) for texts in cells])


def _is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def fields(mapping):
    """One aligned ``name  value`` line per entry of a JSON object."""
    if not isinstance(mapping, dict) or not mapping:
        return as_json(mapping)
    width = max(len(printable(name)) for name in mapping)
    return "\n".join(f"{printable(name).ljust(width)}  {cell(value)}".rstrip()
                     for name, value in mapping.items())


def page_summary(page):
    """Where a page of the event log stands, e.g. "events 6-10 of 17, page 2 of 4"."""
    content = page["content"]
    pageable = page.get("pageable")
    total = page.get("totalElements")
    offset = pageable.get("offset", 0) if isinstance(pageable, dict) else 0
    if not isinstance(total, int) or not isinstance(offset, int):
        return f"{len(content)} events"
    number, pages, size = page.get("number"), page.get("totalPages"), page.get("size")
    if not content:
        past_the_last_page = (isinstance(number, int) and isinstance(pages, int) and isinstance(size, int)
                              and 0 < pages <= number and offset == number * size)  # not a start by --offset
        if past_the_last_page:
            return f"no events on page {number + 1}: the last page is {pages}, {total} events in all"
        return f"no events on this page, {total} in all"
    summary = f"events {offset + 1}-{offset + len(content)} of {total}"
    if isinstance(number, int) and isinstance(pages, int) and pages > 1:
        summary += f", page {number + 1} of {pages}"
    return summary


def event_page(page, width=None):
    """A page of an event log: its events as a table (see ``table`` for ``width``) under a summary line."""
    if isinstance(page, list):  # a server that sends the events without a page around them
        page = {"content": page}
    if not isinstance(page, dict) or not isinstance(page.get("content"), list):
        return as_json(page)
    summary = page_summary(page)
    return f"{summary}\n{table(page['content'], EVENT_COLUMNS, width)}" if page["content"] else summary


def event_log(log, width=None):
    """The log of one event: its entries as a table (see ``table`` for ``width``)."""
    entries = log.get("entries") if isinstance(log, dict) else None
    if not isinstance(entries, list):
        return as_json(log)
    return f"event {cell(log.get('eventId'))}: {len(entries)} log entries\n{table(entries, ENTRY_COLUMNS, width)}"


def releases(answer, width=None):
    """The list of releases as a table (see ``table`` for ``width``)."""
    if not isinstance(answer, list):
        return as_json(answer)
    return table(answer, RELEASE_COLUMNS, width) if answer else "no releases"


def http_failure(error, instead_of_message=None):
    """One line for a failed HTTP status: the status, the request and the server's message
    (or ``instead_of_message`` in its place, for a body that holds none worth showing).

    Works for the client's own exceptions and for the plain ``requests.HTTPError`` that
    other statuses raise, whose text lacks the server's message.
    """
    if not isinstance(error, AccountsApiError) and error.response is not None:
        error = AccountsApiError(error.response)
    text = str(error)
    if instead_of_message is not None:
        message = getattr(error, "server_message", None)
        text = f"{text.removesuffix(f': {message}') if message else text}: {instead_of_message}"
    return printable(text)


def server_message(error):
    """The message that the server gave with a failed status (escaped for display), or None."""
    if not isinstance(error, AccountsApiError) and getattr(error, "response", None) is not None:
        error = AccountsApiError(error.response)
    message = getattr(error, "server_message", None)
    return None if message is None else printable(message)
