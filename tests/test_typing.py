"""The shipped type stubs agree with the native modules and serve typed callers."""

import ast
import subprocess
import sys
import typing
from pathlib import Path

import pytest
from support import docs

from ferrovane.sdk import accounts_api, answers

ROOT = Path(__file__).resolve().parent.parent
TYPING = ROOT / "tests" / "typing"
INSTALLED = Path(accounts_api.__file__).parent


def run_mypy_tool(*args: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy is not installed (bash scripts/setup.sh installs it into .venv)")
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=600, check=False
    )


def test_stubs_and_marker_are_installed_beside_the_modules():
    for name in ("accounts_api.pyi", "utils.pyi", "_json_scan.pyi", "py.typed"):
        assert (INSTALLED / name).is_file(), f"{name} is missing from the installed package in {INSTALLED}"


def test_stubs_match_the_runtime_modules():
    result = run_mypy_tool(
        "mypy.stubtest",
        "ferrovane.sdk.accounts_api",
        "ferrovane.sdk.utils",
        "ferrovane.sdk._json_scan",
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
         "-m", "ferrovane.sdk._answers", "-m", "ferrovane.sdk.secret_canary", "-m", "ferrovane.sdk.answers",
         "-m", "ferrovane.sdk.paging", "-m", "ferrovane.sdk.deadline", "-m", "ferrovane.sdk.retries"],
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


def misfits(value, shape, where="answer"):
    """Where ``value`` (decoded JSON) lacks a required field of the TypedDict ``shape`` or
    has one that it does not name, looking into nested TypedDicts and lists of them."""
    origin, arguments = typing.get_origin(shape), typing.get_args(shape)
    if origin is list:
        return [found for index, item in enumerate(value) for found in misfits(item, arguments[0], f"{where}[{index}]")]
    if not typing.is_typeddict(shape):  # a plain value, which the checker of the code's types sees to
        return []
    hints = typing.get_type_hints(shape)
    found = [f"{where} lacks {name}" for name in shape.__required_keys__ - value.keys()]
    found += [f"{where} has {name}, which {shape.__name__} does not name" for name in value.keys() - hints.keys()]
    return found + [problem for name in value.keys() & hints.keys()
                    for problem in misfits(value[name], hints[name], f"{where}.{name}")]


# The stand-in serves what the package reads: its answers and the types must not drift apart.
@pytest.mark.parametrize("shape, query", [
    (answers.User, lambda client: client.get_current_user()),
    (answers.EventPage, lambda client: client.get_event_log("security", pageSize=5, sort_sorted=True)),
    (answers.EventPage, lambda client: client.get_event_log("entitlements", unpaged=True)),
    (answers.EventLog, lambda client: client.get_event_log_for_an_event("security", 1008)),
    (list[answers.Release], lambda client: client.return_all_releases()),
    (answers.Distribution, lambda client: client.get_distribution("orvik-4.2.0", "linux-armhf")),
], ids=["user", "event-page", "unpaged", "event-log", "releases", "distribution"])
def test_answer_types_name_what_the_stand_in_serves(client, shape, query):
    assert misfits(query(client).response.json(), shape) == []
