"""Packs a cross-built package into a wheel: the Python packages that pyproject.toml lists
for the wheel, the native modules from a CMake install tree, and the project's metadata.

Usage: pack_wheel.py INSTALL_TREE WHEEL_TAG DIST_DIR  (run from the project's root)
Prints the wheel's path.
"""

import base64
import hashlib
import re
import sys
import tomllib
import zipfile
from pathlib import Path

# Native modules come from the install tree only: any in src/ were built for this machine.
SKIPPED_SUFFIXES = {".so", ".pyc"}


def package_files(packages, install_tree):
    """(path inside the wheel, file on disk) for every file the wheel carries."""
    for package in map(Path, packages):
        for path in sorted(package.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in SKIPPED_SUFFIXES:
                yield path.relative_to(package.parent).as_posix(), path
    native = sorted(install_tree.rglob("*.so"))
    if not native:
        sys.exit(f"pack_wheel: no native modules under {install_tree}")
    for path in native:
        yield path.relative_to(install_tree).as_posix(), path


def metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"' for requirement in requirements]
    text = "\n".join(lines) + "\n"
    readme = Path(project["readme"]) if isinstance(project.get("readme"), str) else None
    if readme and readme.is_file():
        text += "Description-Content-Type: text/markdown\n\n" + readme.read_text(encoding="utf-8")
    return text


def entry_points(project):
    """entry_points.txt: the console scripts and every group of [project.entry-points]."""
    groups = {"console_scripts": project.get("scripts", {}), **project.get("entry-points", {})}
    text = "".join(f"[{group}]\n" + "".join(f"{name} = {target}\n" for name, target in entries.items()) + "\n"
                   for group, entries in groups.items() if entries)
    return text or None


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main():
    install_tree, tag, dist_dir = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
    pyproject = tomllib.loads(Path("pyproject.toml").read_text(encoding="utf-8"))
    project = pyproject["project"]
    packages = pyproject["tool"]["scikit-build"]["wheel"]["packages"]
    distribution = re.sub(r"[-_.]+", "_", project["name"]).lower()
    dist_info = f"{distribution}-{project['version']}.dist-info"

    contents = {name: path.read_bytes() for name, path in package_files(packages, install_tree)}
    contents[f"{dist_info}/METADATA"] = metadata(project).encode()
    wheel_info = f"Wheel-Version: 1.0\nGenerator: pack_wheel.py\nRoot-Is-Purelib: false\nTag: {tag}\n"
    contents[f"{dist_info}/WHEEL"] = wheel_info.encode()
    if (scripts := entry_points(project)) is not None:
        contents[f"{dist_info}/entry_points.txt"] = scripts.encode()
    record = [record_line(name, data) for name, data in contents.items()]
    contents[f"{dist_info}/RECORD"] = ("\n".join([*record, f"{dist_info}/RECORD,,"]) + "\n").encode()

    dist_dir.mkdir(parents=True, exist_ok=True)
    wheel = dist_dir / f"{distribution}-{project['version']}-{tag}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in contents.items():
            archive.writestr(name, data)
    print(wheel)


if __name__ == "__main__":
    main()
