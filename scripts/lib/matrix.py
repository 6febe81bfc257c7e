"""The release matrix of pyproject.toml's [tool.ferrovane.release], for the release scripts.

Imported by scripts/check_dist.py and the tests; the shell scripts ask it on the command line,
one fact per line, words separated by spaces:

    matrix.py wheels                  ARCH PLATFORM PYTHON of every wheel, Python by Python
    matrix.py suite PYTHON            the Debian suite whose roots have PYTHON
    matrix.py pythons SUITE           the Pythons that the roots of SUITE provide
    matrix.py reproducible            ARCH PLATFORM PYTHON of the wheels built twice
    matrix.py install-tests           LANE|LABEL|TARGET|KIND of every install test of a release,
                                      KIND "wheel-PYTHON" or "sdist"
    matrix.py install-test TARGET KIND
                                      TESTS RUNNER PYTHON of one install test (KIND "wheel" or
                                      "sdist"; PYTHON "-" for the sdist on this machine)
    matrix.py core-tests              the test files of a "core" run
    matrix.py architectures           ARCH TRIPLET QEMU of every architecture, QEMU "-" if native
    matrix.py toolchain ARCH          NAME=VALUE of each CMake cache variable that
                                      cmake/toolchain.cmake takes for ARCH
    matrix.py emulator ARCH           QEMU CPU: qemu-user's name for ARCH and the processor
                                      it emulates ("-": its default); "- -" if native
"""

import argparse
import os
import sys
import tomllib
from dataclasses import dataclass
from typing import Any

PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pyproject.toml")
# The sdist built on this machine: no root, no emulation.
HOST_TARGET = "sdist"


@dataclass(frozen=True)
class Architecture:
    name: str  # Debian's
    platform: str  # the wheel's, before auditwheel narrows it to a manylinux one
    triplet: str
    runner: str  # "chroot" or "qemu-user"
    tests: str  # "whole" or "core"
    lane: str
    definitions: tuple[str, ...] = ()  # NAME=VALUE for every translation unit
    qemu: str | None = None  # qemu-user's name for the machine, when emulated
    qemu_cpu: str | None = None

    def __post_init__(self) -> None:
        if self.emulated and not self.qemu:
            raise ValueError(f"the emulated architecture {self.name} names no qemu machine")

    @property
    def machine(self) -> str:
        """The kernel's name for the machine: the wheel tag's, and CMake's processor name."""
        return self.platform.removeprefix("linux-")

    @property
    def emulated(self) -> bool:
        return self.runner != "chroot"

    def toolchain(self) -> dict[str, str]:
        """What cmake/toolchain.cmake takes, as CMake cache variables (a list joined by ";")."""
        return {"FERROVANE_TARGET_PROCESSOR": self.machine, "FERROVANE_TARGET_TRIPLET": self.triplet,
                "FERROVANE_TARGET_DEFINITIONS": ";".join(self.definitions)}


@dataclass(frozen=True)
class InstallTest:
    lane: str
    label: str
    target: str  # an architecture's name, or HOST_TARGET
    kind: str  # "wheel" or "sdist"
    python: str | None  # None: this machine's
    tests: str
    runner: str


def release_table(path: str = PYPROJECT) -> dict[str, Any]:
    with open(path, "rb") as pyproject:
        return tomllib.load(pyproject)["tool"]["ferrovane"]["release"]


def pythons(table: dict[str, Any]) -> dict[str, str]:
    """Each Python of the release and its Debian suite, oldest first."""
    return dict(sorted(table["pythons"].items(), key=lambda item: tuple(map(int, item[0].split(".")))))


def architectures(table: dict[str, Any]) -> dict[str, Architecture]:
    def field(value: Any) -> Any:
        return tuple(value) if isinstance(value, list) else value

    return {name: Architecture(name, **{key.replace("-", "_"): field(value) for key, value in fields.items()})
            for name, fields in table["architectures"].items()}


def wheels(table: dict[str, Any]) -> list[tuple[Architecture, str]]:
    return [(architecture, python) for python in pythons(table) for architecture in architectures(table).values()]


def install_tests(table: dict[str, Any]) -> list[InstallTest]:
    """Every install test of a release: the sdist's first, then each wheel's."""
    known = architectures(table)
    tests = []
    for case in table["sdist-tests"]:
        # A board of an architecture that has no wheels names its runner itself.
        if "runner" in case:
            runner = case["runner"]
        elif case["target"] == HOST_TARGET:
            runner = "this machine"
        else:
            runner = known[case["target"]].runner
        tests.append(InstallTest(case["lane"], case["label"], case["target"], "sdist", case.get("python"),
                                 case["tests"], runner))
    for architecture, python in wheels(table):
        tests.append(InstallTest(architecture.lane, f"cp{python.replace('.', '')} {architecture.name}",
                                 architecture.name, "wheel", python, architecture.tests, architecture.runner))
    return tests


def find_install_test(table: dict[str, Any], target: str, kind: str, python: str | None = None) -> InstallTest:
    for test in install_tests(table):
        if test.target == target and test.kind == kind and (python is None or test.python == python):
            return test
    raise LookupError(f"the release has no {kind} install test on {target}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("question", choices=["wheels", "suite", "pythons", "reproducible", "install-tests",
                                             "install-test", "core-tests", "architectures", "toolchain", "emulator"])
    parser.add_argument("words", nargs="*")
    arguments = parser.parse_args()
    table = release_table()
    question, words = arguments.question, arguments.words
    lines: list[str]
    try:
        if question == "wheels":
            lines = [f"{arch.name} {arch.platform} {python}" for arch, python in wheels(table)]
        elif question == "suite":
            lines = [pythons(table)[words[0]]]
        elif question == "pythons":
            lines = [" ".join(python for python, suite in pythons(table).items() if suite == words[0])]
        elif question == "reproducible":
            known = architectures(table)
            lines = [f"{case['arch']} {known[case['arch']].platform} {case['python']}" for case in table["reproducible"]]
        elif question == "install-tests":
            lines = [f"{test.lane}|{test.label}|{test.target}|"
                     f"{test.kind + '-' + test.python if test.kind == 'wheel' else test.kind}"
                     for test in install_tests(table)]
        elif question == "install-test":
            target, kind = words
            test = find_install_test(table, target, kind)
            lines = [f"{test.tests} {test.runner.replace(' ', '-')} {test.python or '-'}"]
        elif question == "core-tests":
            lines = [" ".join(table["core-tests"])]
        elif question == "architectures":
            lines = [f"{arch.name} {arch.triplet} {arch.qemu or '-'}" for arch in architectures(table).values()]
        elif question == "toolchain":
            lines = [f"{name}={value}" for name, value in architectures(table)[words[0]].toolchain().items()]
        else:
            arch = architectures(table)[words[0]]
            lines = [f"{arch.qemu or '-'} {arch.qemu_cpu or '-'}"]
    except (KeyError, IndexError, LookupError, TypeError, ValueError) as error:
        print(f"matrix.py {question} {' '.join(words)}: not in the release table ({error})", file=sys.stderr)
        return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
