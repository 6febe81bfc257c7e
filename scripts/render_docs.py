"""Writes the docs' lists that the code holds as tables, between each list's two markers.

    .venv/bin/python scripts/render_docs.py          # rewrite the blocks
    .venv/bin/python scripts/render_docs.py --check  # exit 1, naming each block that differs

A block starts at "<!-- scripts/render_docs.py writes NAME from here to the end marker -->"
and ends at "<!-- end of NAME -->"; everything else on the page stays as it is.
"""

import sys
from collections.abc import Callable
from pathlib import Path

from ferrovane.sdk.stand_in_server import fake_api, faults

ROOT = Path(__file__).resolve().parent.parent


def stand_in_faults() -> str:
    rows = ["| `--fault` | In Python: `faults.` | What the route does instead |", "|---|---|---|",
            f"| a status, such as `500` | `Answer(status, ...)` | {faults.STATUS_TEXT} |"]
    rows += [f"| `{named.usage}` | `{named.call}` | {named.text} |" for named in faults.NAMED]
    return "\n".join(rows) + "\n"


def stand_in_routes() -> str:
    lines = []
    for route in fake_api.ROUTES:
        method = route.method or "Any method on"
        lines.append(f"- {method} `/api/{route.app or '<app>'}/v<N>/{route.endpoint}`: {route.text}.")
    return "\n".join(lines) + "\n"


# Each block: its name, the page it is on, and what writes it.
BLOCKS: list[tuple[str, str, Callable[[], str]]] = [
    ("stand-in faults", "docs/testing.md", stand_in_faults),
    ("stand-in routes", "docs/testing.md", stand_in_routes),
]


def start_marker(name: str) -> str:
    return f"<!-- scripts/render_docs.py writes {name} from here to the end marker -->\n"


def end_marker(name: str) -> str:
    return f"<!-- end of {name} -->"


def main(argv: list[str]) -> int:
    check = argv == ["--check"]
    if argv and not check:
        print("usage: scripts/render_docs.py [--check]", file=sys.stderr)
        return 2
    stale = []
    for name, page, render in BLOCKS:
        path = ROOT / page
        text = path.read_text(encoding="utf-8")
        start, end = text.find(start_marker(name)), text.find(end_marker(name))
        if start < 0 or end < start:
            print(f"render_docs.py: {page} has no block {name!r} to write into", file=sys.stderr)
            return 1
        rendered = text[:start] + start_marker(name) + render() + text[end:]
        if rendered != text:
            stale.append(f"{page}: {name}")
            if not check:
                path.write_text(rendered, encoding="utf-8")
    if check and stale:
        print("render_docs.py: out of date (run scripts/render_docs.py): " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
