"""The requirements of a working environment, as pyproject.toml declares them, one per line.

    requirements.py [--lowest] SOURCE...

SOURCE is one of
    build-system     the build backend ([build-system] requires)
    dependencies     the package's own dependencies
    extra:NAME       an optional dependency set (test)
    group:NAME       a dependency group (in-place-build, release, bench)
    cmake            CMake at the version the build backend asks for
--lowest pins each of the package's own dependencies to the lowest version it declares
(requests>=2.31 gives requests==2.31), so that a run tests the floors; the other sources are
left as they are.
"""

import argparse
import os
import re
import sys
import tomllib
from typing import Any

PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pyproject.toml")


def lowest(requirement: str) -> str:
    """A requirement pinned to its declared floor."""
    match = re.fullmatch(r"\s*([A-Za-z0-9._-]+)\s*>=\s*([^,;\s]+)\s*", requirement)
    if match is None:
        raise ValueError(f"{requirement!r} declares no single lowest version (NAME>=VERSION)")
    return f"{match[1]}=={match[2]}"


def group(project: dict[str, Any], name: str) -> list[str]:
    requirements = []
    for entry in project["dependency-groups"][name]:
        requirements += group(project, entry["include-group"]) if isinstance(entry, dict) else [entry]
    return requirements


def requirements(project: dict[str, Any], source: str, pin_lowest: bool = False) -> list[str]:
    kind, _, name = source.partition(":")
    if source == "build-system":
        return list(project["build-system"]["requires"])
    if source == "dependencies":
        declared = project["project"]["dependencies"]
        return [lowest(requirement) for requirement in declared] if pin_lowest else list(declared)
    if kind == "extra":
        return list(project["project"]["optional-dependencies"][name])
    if kind == "group":
        return group(project, name)
    if source == "cmake":
        return ["cmake" + project["tool"]["scikit-build"]["cmake"]["version"]]
    raise KeyError(source)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lowest", action="store_true", help="pin the package's dependencies to their floors")
    parser.add_argument("sources", nargs="+", metavar="SOURCE")
    arguments = parser.parse_args()
    with open(PYPROJECT, "rb") as pyproject:
        project = tomllib.load(pyproject)
    lines: list[str] = []
    for source in arguments.sources:
        try:
            lines += requirements(project, source, arguments.lowest)
        except KeyError:
            print(f"requirements.py: pyproject.toml declares no {source}", file=sys.stderr)
            return 1
        except ValueError as error:
            print(f"requirements.py: {error}", file=sys.stderr)
            return 1
    print("\n".join(dict.fromkeys(lines)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
