"""Every Python example of the README and the docs pages runs to its end as it is written,
every relative link of theirs leads to a file that exists, and every block rendered from the
code's tables is current.

The testing page's examples are test files, run by test_pytest_plugin.py; mypy --strict
checks them all in test_typing.py."""

import re
import subprocess
import sys

import pytest
from support import docs

EXAMPLES = [pytest.param(code, id=f"{path.stem}-{index}")
            for path in docs.PAGES if path.stem != "testing"
            for index, code in enumerate(docs.python_blocks(path.read_text(encoding="utf-8")))]


@pytest.mark.parametrize("code", EXAMPLES)
def test_example_runs(code, tmp_path):
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("path", docs.PAGES, ids=lambda path: path.name)
def test_relative_links_lead_to_files(path):
    targets = re.findall(r"\]\(([^)\s]+)\)", path.read_text(encoding="utf-8"))
    relative = [target.split("#")[0] for target in targets if not re.match(r"[a-z]+:|#", target)]
    assert [target for target in relative if not (path.parent / target).exists()] == []


@pytest.mark.skipif(not docs.RENDERER.exists(), reason="the tree has no scripts/")
def test_rendered_blocks_are_current():
    result = subprocess.run([sys.executable, str(docs.RENDERER), "--check"], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr + "(python scripts/render_docs.py renders them)"
