"""The README's grid of wheels and install tests says what the release table in pyproject.toml declares."""
import os
import re
import sys

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..")
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
matrix = pytest.importorskip("matrix", reason="the tree has no scripts/lib")


def readme_grid():
    """The README's Python x architecture table: {(python, machine): cell}."""
    with open(os.path.join(ROOT, "README.md")) as readme:
        lines = readme.read().splitlines()
    start = lines.index(next(line for line in lines if re.fullmatch(r"\| Python \|.*\|", line)))
    header = [cell.strip() for cell in lines[start].strip("|").split("|")]
    grid = {}
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        python, *cells = [cell.strip() for cell in line.strip("|").split("|")]
        grid.update({(python, machine): cell for machine, cell in zip(header[1:], cells)})
    return grid


def test_readme_grid_is_the_release_table():
    table = matrix.release_table()
    suites = matrix.pythons(table)
    expected = {}
    for architecture, python in matrix.wheels(table):
        tests = "core tests" if architecture.tests == "core" else "whole suite"
        if architecture.tests == "whole" and architecture.emulated:
            tests += " but type checks"
        expected[python, architecture.machine] = f"{suites[python]} {architecture.name}, {architecture.runner}: {tests}"
    assert readme_grid() == expected
