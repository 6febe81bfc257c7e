"""Every Python example of the README and the docs pages runs to its end as it is written.

The testing page's examples are test files, run by test_pytest_plugin.py; mypy --strict
checks them all in test_typing.py."""

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
