"""The README and the pages of docs/, read by the tests that hold them to the code."""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RENDERER = ROOT / "scripts" / "render_docs.py"


def page(name: str) -> str:
    """The text of docs/NAME.md, or of the README for "README"."""
    path = ROOT / "README.md" if name == "README" else ROOT / "docs" / f"{name}.md"
    return path.read_text(encoding="utf-8")


def section(name: str, heading: str) -> str:
    """The part of a page under its ``## heading``, up to the next heading of that level."""
    return page(name).split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]


def python_blocks(text: str) -> list[str]:
    """The code of each ```python block in ``text``."""
    return re.findall(r"^```python\n(.*?)^```", text, re.DOTALL | re.MULTILINE)
