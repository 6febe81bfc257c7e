"""Checks a release's files beyond what twine and check-wheel-contents look at.

Usage: check_dist.py FILE...  (wheels and sdists)

- Every file in a wheel has an ordinary mode: 0644, or 0755 when it is executable.
- Every native module in a wheel has the extension suffix of the interpreter and platform
  that the wheel's tags name, so that the interpreter the wheel installs into loads it.
- The client module of a wheel loads methods through the public PyObject_VectorcallMethod
  and imports no _PyObject_GetMethod, which the interpreter declares only internally and
  may stop exporting.
- Every classifier in the metadata is one that the package index knows.
- Given a whole release (the sdist among the files), its wheels are those of the release
  table (pyproject.toml): one for each Python on each architecture, no more, no fewer.
"""

import argparse
import email.parser
import os
import re
import stat
import sys
import tarfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import matrix  # noqa: E402  (the release table, beside this script)

ORDINARY_MODES = {0o644, 0o755}
# Names of imported symbols, as they stand in a module's dynamic string table.
METHOD_LOAD = b"\0PyObject_VectorcallMethod\0"
INTERNAL_METHOD_LOAD = b"\0_PyObject_GetMethod\0"
# The multiarch triplet in CPython's extension suffix on each wheel platform's Linux.
TRIPLETS = {architecture.machine: architecture.triplet
            for architecture in matrix.architectures(matrix.release_table()).values()}


def wheel_problems(path):
    with zipfile.ZipFile(path) as wheel:
        suffix = extension_suffix(os.path.basename(path))
        for entry in wheel.infolist():
            mode = stat.S_IMODE(entry.external_attr >> 16)
            if mode not in ORDINARY_MODES:
                yield f"{entry.filename} has mode {mode:04o}"
            if entry.filename.endswith(".so") and not entry.filename.endswith(suffix):
                yield f"{entry.filename} does not end in {suffix}, which the wheel's tags call for"
            if re.search(r"/accounts_api[.].*so$", entry.filename):
                module = wheel.read(entry)
                if METHOD_LOAD not in module:
                    yield f"{entry.filename} does not load methods through PyObject_VectorcallMethod"
                if INTERNAL_METHOD_LOAD in module:
                    yield f"{entry.filename} imports _PyObject_GetMethod, which no public header declares"
            if entry.filename.endswith(".dist-info/METADATA"):
                yield from metadata_problems(wheel.read(entry))


def wheel_set_problems(paths):
    """The wheels that the release table calls for and that are missing, and those it does not."""
    expected = {(f"cp{python.replace('.', '')}", architecture.machine)
                for architecture, python in matrix.wheels(matrix.release_table())}
    machines = "|".join(map(re.escape, TRIPLETS))
    found = set()
    for path in paths:
        tags = re.fullmatch(rf"[^-]+-[^-]+-(cp3\d+)-[^-]+-(?:.*_)?({machines})\.whl", os.path.basename(path))
        found.add((tags[1], tags[2]) if tags else (os.path.basename(path), "?"))
    for python, machine in sorted(expected - found):
        yield f"no {python} wheel for {machine}, which the release table calls for"
    for python, machine in sorted(found - expected):
        yield f"a wheel that the release table does not call for: {python} {machine}"


def extension_suffix(name):
    """The suffix that the native modules of the wheel file NAME must have."""
    tags = re.fullmatch(r"[^-]+-[^-]+(?:-\d[^-]*)?-(cp3\d+)-(cp3\d+)-(.+)\.whl", name)
    if tags is None or tags[1] != tags[2]:
        return f"(a suffix for one CPython; {name} names none)"
    architectures = {re.sub(r"^(?:many|musl)?linux(?:_\d+_\d+|\d+)?_", "", platform)
                     for platform in tags[3].split(".")}
    if len(architectures) != 1 or not architectures <= TRIPLETS.keys():
        return f"(a suffix for one known Linux architecture; {name} names {sorted(architectures)})"
    return f".cpython-{tags[1][2:]}-{TRIPLETS[architectures.pop()]}.so"


def sdist_problems(path):
    with tarfile.open(path) as sdist:
        pkg_info = next(m for m in sdist.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO"))
        yield from metadata_problems(sdist.extractfile(pkg_info).read())


def metadata_problems(text):
    # The release's tools have the index's list; the rest of this script needs only the table.
    from trove_classifiers import classifiers as known_classifiers

    metadata = email.parser.BytesParser().parsebytes(text)
    for classifier in metadata.get_all("Classifier", []):
        if classifier not in known_classifiers:
            yield f"unknown classifier {classifier!r}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="+")
    failed = False
    for path in parser.parse_args().files:
        problems = list(wheel_problems(path) if path.endswith(".whl") else sdist_problems(path))
        for problem in problems:
            print(f"{path}: {problem}", file=sys.stderr)
        failed = failed or bool(problems)
        print(f"{path}: {'FAILED' if problems else 'ok'}")
    files = parser.parse_args().files
    whole_release = any(path.endswith(".tar.gz") for path in files)
    for problem in wheel_set_problems([path for path in files if path.endswith(".whl")]) if whole_release else ():
        print(f"release: {problem}", file=sys.stderr)
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
