"""pytest plugin for the test run under armhf emulation (loaded by scripts/armhf.sh).

Emulation runs everything several times slower than native, so Hypothesis' per-example
deadline and its too-slow health check, which measure wall time, are lifted.

When the kernel cannot hand armhf programs to qemu (no binfmt_misc registration),
scripts/armhf.sh puts the reason in FERROVANE_ARMHF_NO_SUBPROCESS. A test that then tries
to start an armhf program (the interpreter itself, above all) is skipped with that reason
at that moment: under emulation such a start does not fail cleanly, the child just exits
with status 127.
"""

import inspect
import multiprocessing.util
import os
import shlex
import shutil
import subprocess

import pytest

NO_SUBPROCESS_REASON = os.environ.get("FERROVANE_ARMHF_NO_SUBPROCESS", "")
# The armhf root: its programs are the armhf ones. Programs elsewhere are the host's, which
# the kernel runs itself (reading them from here would not tell, since qemu shows the
# root's file wherever one exists at the same path).
ARMHF_ROOT = os.path.realpath(os.environ.get("QEMU_LD_PREFIX", "/nonexistent"))

skipped_for_subprocess = 0


def is_armhf_program(path, follow_shebang=True):
    path = os.path.realpath(path)
    if os.path.commonpath([path, ARMHF_ROOT]) == ARMHF_ROOT:
        return True
    if not follow_shebang:
        return False
    try:
        with open(path, "rb") as program:
            first_line = program.readline(256)
    except OSError:
        return False
    interpreter = first_line[2:].split() if first_line.startswith(b"#!") else []
    return bool(interpreter) and is_armhf_program(os.fsdecode(interpreter[0]), follow_shebang=False)


def program_of(args, executable, env, shell):
    """The file that Popen is about to run, as far as it can be told without running it."""
    if executable is None:
        if isinstance(args, (str, bytes, os.PathLike)):
            args = shlex.split(os.fsdecode(args)) if shell else [args]
        if not args:
            return None
        executable = args[0]
    executable = os.fsdecode(executable)
    if os.sep in executable:
        return executable
    search_path = (env if env is not None else os.environ).get("PATH", os.defpath)
    return shutil.which(executable, path=search_path)


def skip_if_armhf(program):
    if program and is_armhf_program(program):
        pytest.skip(NO_SUBPROCESS_REASON)


def refuse_armhf_programs():
    execute_child = subprocess.Popen._execute_child
    spawnv_passfds = multiprocessing.util.spawnv_passfds

    parameters = inspect.signature(execute_child)

    def checked_execute_child(*args):
        call = parameters.bind(*args).arguments
        skip_if_armhf(program_of(call["args"], call["executable"], call["env"], call["shell"]))
        return execute_child(*args)

    def checked_spawnv_passfds(path, args, passfds):
        skip_if_armhf(os.fsdecode(path))
        return spawnv_passfds(path, args, passfds)

    subprocess.Popen._execute_child = checked_execute_child
    multiprocessing.util.spawnv_passfds = checked_spawnv_passfds


def lift_hypothesis_time_limits():
    try:
        from hypothesis import HealthCheck, settings
    except ImportError:
        return
    current = settings.default
    settings.register_profile(
        "armhf-emulation",
        parent=current,
        deadline=None,
        suppress_health_check=[*current.suppress_health_check, HealthCheck.too_slow],
    )
    settings.load_profile("armhf-emulation")


def pytest_configure(config):
    lift_hypothesis_time_limits()
    if NO_SUBPROCESS_REASON:
        refuse_armhf_programs()


def pytest_runtest_logreport(report):
    global skipped_for_subprocess
    if NO_SUBPROCESS_REASON and report.skipped and NO_SUBPROCESS_REASON in str(report.longrepr):
        skipped_for_subprocess += 1


def pytest_terminal_summary(terminalreporter):
    if NO_SUBPROCESS_REASON:
        terminalreporter.write_line(
            f"armhf: {skipped_for_subprocess} test(s) skipped: {NO_SUBPROCESS_REASON}"
        )
