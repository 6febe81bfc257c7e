"""Checks a release's files beyond what twine and check-wheel-contents look at.

Usage: check_dist.py FILE...  (wheels and sdists)

- Every file in a wheel has an ordinary mode: 0644, or 0755 when it is executable.
- Every native module in a wheel has the extension suffix of the interpreter and platform
  that the wheel's tags name, so that the interpreter the wheel installs into loads it.
- The client module of a wheel loads methods through the public PyObject_VectorcallMethod.
- No native module imports a private symbol of the interpreter (a name that begins with
  _Py) other than those of the C API ledger in docs/maintainers.md: the ones public macros
  expand to, and the private calls kept because they pay.
- Every classifier in the metadata is one that the package index knows.
- Given a whole release (the sdist among the files), its wheels are those of the release
  table (pyproject.toml): one for each Python on each architecture, no more, no fewer.
"""

import argparse
import email.parser
import os
import re
import stat
import struct
import sys
import tarfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import matrix  # noqa: E402  (the release table, beside this script)

ORDINARY_MODES = {0o644, 0o755}
# Names of imported symbols, as they stand in a module's dynamic string table.
METHOD_LOAD = b"\0PyObject_VectorcallMethod\0"
LEDGER_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "maintainers.md")
LEDGER = re.compile(r"<!-- private C API ledger.*?-->(.*?)<!-- end of the private C API ledger -->", re.DOTALL)
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
            if entry.filename.endswith(".so"):
                module = wheel.read(entry)
                if re.search(r"/accounts_api[.].*so$", entry.filename) and METHOD_LOAD not in module:
                    yield f"{entry.filename} does not load methods through PyObject_VectorcallMethod"
                yield from private_api_problems(entry.filename, module)
            if entry.filename.endswith(".dist-info/METADATA"):
                yield from metadata_problems(wheel.read(entry))


def ledger_symbols():
    """The _Py symbols that the C API ledger of docs/maintainers.md allows."""
    with open(LEDGER_FILE, encoding="utf-8") as page:
        table = LEDGER.search(page.read())
    if table is None:
        sys.exit(f"check_dist.py: {LEDGER_FILE} has no C API ledger between its markers")
    return {name for row in table[1].splitlines() if row.startswith("| `")
            for name in re.findall(r"`(_Py\w+)`", row.split("|")[1])}


def private_api_problems(name, module):
    for symbol in sorted(symbol for symbol in imported_symbols(module)
                         if symbol.startswith("_Py") and symbol not in ledger_symbols()):
        yield f"{name} imports {symbol}, a private symbol that the C API ledger of docs/maintainers.md does not list"


def imported_symbols(elf):
    """The names of the symbols that an ELF shared object (32 or 64 bits, either byte
    order) takes from others: its undefined dynamic symbols."""
    if elf[:4] != b"\x7fELF":
        return set()
    wide, order = elf[4] == 2, "<" if elf[5] == 1 else ">"
    header = struct.unpack_from(order + ("16xHHIQQQIHHHHHH" if wide else "16xHHIIIIIHHHHHH"), elf)
    section_offset, entry_size, count = header[5], header[10], header[11]
    section = struct.Struct(order + ("IIQQQQIIQQ" if wide else "IIIIIIIIII"))
    sections = [section.unpack_from(elf, section_offset + index * entry_size) for index in range(count)]
    symbol = struct.Struct(order + ("IBBHQQ" if wide else "IIIBBH"))
    names = set()
    for _, kind, _, _, offset, size, link, _, _, _ in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings_offset = sections[link][4]
        for start in range(offset, offset + size, symbol.size):
            fields = symbol.unpack_from(elf, start)
            name_offset, section_index = fields[0], fields[3] if wide else fields[5]
            if name_offset and section_index == 0:  # SHN_UNDEF
                end = elf.index(b"\0", strings_offset + name_offset)
                names.add(elf[strings_offset + name_offset:end].decode())
    return names


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
