"""The release check knows every architecture of the release table in pyproject.toml and
refuses private C API outside the ledger; the documented grid is rendered from that table
(scripts/render_docs.py)."""
import importlib
import os
import re
import sys

import pytest

ROOT = os.path.join(os.path.dirname(__file__), "..")
sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
matrix = pytest.importorskip("matrix", reason="the tree has no scripts/lib")
pytestmark = pytest.mark.tooling


@pytest.mark.parametrize("missing", sorted(matrix.architectures(matrix.release_table())))
def test_release_check_knows_every_architecture_of_the_table(missing):
    """scripts/check_dist.py takes the wheels of every architecture in the table, whatever
    manylinux tag auditwheel gave them, and names the one that is missing."""
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    check_dist = pytest.importorskip("check_dist")
    table = matrix.release_table()
    names = {}
    for architecture, python in matrix.wheels(table):
        tag = f"cp{python.replace('.', '')}"
        names[architecture.name, python] = (f"ferrovane_sdk_accounts-0.1.0-{tag}-{tag}-manylinux2014_{architecture.machine}"
                                            f".manylinux_2_17_{architecture.machine}.whl")
    assert list(check_dist.wheel_set_problems(names.values())) == []
    oldest = next(iter(matrix.pythons(table)))
    del names[missing, oldest]
    machine = matrix.architectures(table)[missing].machine
    assert list(check_dist.wheel_set_problems(names.values())) == [
        f"no cp{oldest.replace('.', '')} wheel for {machine}, which the release table calls for"]


@pytest.mark.parametrize("module", ["accounts_api", "utils", "_json_scan"])  # every native module
def test_the_built_modules_import_no_private_symbol_beyond_the_ledger(module, monkeypatch):
    """Every _Py symbol that a native module imports is in the C API ledger of the maintainers'
    page, which the release check reads; one that is not would be refused at release."""
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    check_dist = pytest.importorskip("check_dist")
    path = importlib.import_module(f"ferrovane.sdk.{module}").__file__
    with open(path, "rb") as built:
        image = built.read()
    assert "PyModuleDef_Init" in check_dist.imported_symbols(image)  # the reader reads the table
    assert list(check_dist.private_api_problems(path, image)) == []
    monkeypatch.setattr(check_dist, "imported_symbols", lambda image: {"_PyObject_GetMethod", "PyDict_New"})
    assert [problem.split(",")[0] for problem in check_dist.private_api_problems(path, image)] == [
        f"{path} imports _PyObject_GetMethod"]
