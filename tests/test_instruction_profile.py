"""The benchmark's instruction profiler: it measures a row where valgrind is, and refuses in one line where not."""
import os
import re
import shutil
import subprocess
import sys

import pytest
from support.sanitizer import SANITIZED

PROFILER = os.path.join(os.path.dirname(__file__), "..", "bench", "instruction_profile.py")

pytestmark = [pytest.mark.tooling,
              pytest.mark.skipif(not os.path.exists(PROFILER), reason="the tree has no bench/")]


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif(SANITIZED, reason="valgrind cannot run a sanitized process")
def test_profiles_one_row():
    # Markers that something else in the interpreter also enters cut the run into the wrong
    # parts: the counts come out absurd, or the parse fails.
    result = subprocess.run([sys.executable, PROFILER, "--row", "get_current_user", "--calls", "100"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    native, plain = map(int, re.search(r"native +(\d+) instructions per call, plain +(\d+)", result.stdout).groups())
    own = int(re.search(r"(\d+)  the extension's own code", result.stdout)[1])
    floor = float(re.search(r"ratio (0\.\d+) \(the floor\)", result.stdout)[1])
    # A call runs thousands of instructions, the plain one more than the native one.
    assert 2000 < native < plain and 0 < own < native
    assert floor == pytest.approx((native - own) / plain, abs=0.002)


def test_refuses_plainly_without_valgrind(tmp_path):
    result = subprocess.run([sys.executable, PROFILER], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PATH=str(tmp_path)))
    assert result.returncode == 1
    assert result.stderr.strip().splitlines() == [
        "instruction_profile.py: valgrind is not installed; it counts the instructions (Debian: apt-get install valgrind)"]
