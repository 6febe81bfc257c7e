"""The shipped type stubs agree with the native modules and serve typed callers."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest
from support import docs

from ferrovane.sdk import accounts_api

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
INSTALLED = Path(accounts_api.__file__).parent


def run_mypy_tool(*args: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy is not installed (bash scripts/setup.sh installs it into .venv)")
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=600, check=False
    )


def test_stubs_and_marker_are_installed_beside_the_modules():
    for name in ("accounts_api.pyi", "utils.pyi", "py.typed"):
        assert (INSTALLED / name).is_file(), f"{name} is missing from the installed package in {INSTALLED}"


def test_stubs_match_the_runtime_modules():
    result = run_mypy_tool(
        "mypy.stubtest",
        "ferrovane.sdk.accounts_api",
        "ferrovane.sdk.utils",
        "--allowlist",
        str(TYPING / "stubtest-allowlist.txt"),
    )
    assert result.returncode == 0, result.stdout + result.stderr


def documented_python_examples(directory: Path) -> list[str]:
    """Writes each Python block of the README and the docs pages to a file of its own,
    named for its page and its place there."""
    paths = []
    for page in docs.PAGES:
        for index, code in enumerate(docs.python_blocks(page.read_text(encoding="utf-8"))):
            path = directory / f"{page.stem.replace('-', '_')}_{index}.py"
            path.write_text(code, encoding="utf-8")
            paths.append(str(path))
    return paths


def test_typed_usage_checks_and_mistakes_are_caught(tmp_path):
    # rejected_usage.py holds mistakes silenced one by one; --strict fails on any
    # silencing comment that no longer silences an error. The installed Python modules
    # that users' code calls must be typed too: mypy checks them only when named as
    # modules (-m, -p), which it takes in a run of their own.
    examples = documented_python_examples(tmp_path)
    assert len(examples) >= 5, "the documented Python examples were not found"
    for targets in (
        [str(TYPING / "example_usage.py"), str(TYPING / "rejected_usage.py"), *examples],
        ["-m", "ferrovane.sdk", "-p", "ferrovane.sdk.exceptions", "-p", "ferrovane.sdk.stand_in_server",
         "-p", "ferrovane.sdk.pytest_plugin", "-p", "ferrovane.sdk.cli", "-m", "ferrovane.sdk._tables",
         "-m", "ferrovane.sdk._answers"],
    ):
        result = run_mypy_tool("mypy", "--strict", *targets)
        assert result.returncode == 0, result.stdout + result.stderr


def stub_instance_attributes(class_name):
    tree = ast.parse((INSTALLED / "accounts_api.pyi").read_text())
    (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name]
    return {
        statement.target.id
        for statement in node.body
        if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name)
    }


# stubtest cannot see attributes that only instances carry: compare them here.
def test_stub_declares_exactly_the_attributes_that_instances_carry():
    client = accounts_api.ApiClient("http://127.0.0.1:9", "token")
    command = accounts_api.Command(client, None)
    assert stub_instance_attributes("ApiClient") == set(vars(client))
    assert stub_instance_attributes("Command") == set(vars(command))
