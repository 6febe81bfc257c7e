"""Fills the marked blocks of the README and docs/ from the tables the code declares, so that a
fact is written once and the prose cannot drift from it.

    python scripts/render_docs.py           rewrites every block that is not current
    python scripts/render_docs.py --check   lists the blocks that are not, and exits 1

A block is the text between "<!-- rendered: NAME -->" and "<!-- end of NAME -->"; NAME is one of
RENDERERS below. It runs in the development environment (.venv), which has the package.
"""

import argparse
import ast
import re
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts" / "lib"))

import matrix  # noqa: E402  (scripts/lib, above)

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"(<!-- rendered: ([\w-]+) -->\n)(.*?)(<!-- end of \2 -->)", re.DOTALL)


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines) + "\n"


def exit_statuses() -> str:
    from ferrovane.sdk.cli.status import ExitStatus
    return table(["Exit code", "Meaning"], [[str(status.value), status.meaning] for status in ExitStatus])


def release_grid() -> str:
    """The wheels by Python and machine, each cell the root and how its install test runs."""
    declared = matrix.release_table()
    suites = matrix.pythons(declared)
    machines = [architecture.machine for architecture in matrix.architectures(declared).values()]
    cells: dict[tuple[str, str], str] = {}
    for architecture, python in matrix.wheels(declared):
        tests = "core tests" if architecture.tests == "core" else "whole suite"
        if architecture.tests == "whole" and architecture.emulated:
            tests += " but type checks"
        cells[python, architecture.machine] = f"{suites[python]} {architecture.name}, {architecture.runner}: {tests}"
    return table(["Python", *machines],
                 [[python, *(cells.get((python, machine), "") for machine in machines)] for python in suites])


def _synopsis(names: tuple[str, ...], metavar: str | None) -> str:
    if not names[0].startswith("-"):  # a positional argument is shown by its metavar alone
        return metavar or names[0].upper()
    return ", ".join(f"{name} {metavar}" if metavar else name for name in names)


def global_options() -> str:
    """The options of every query, from the command line's own parser."""
    from ferrovane.sdk.cli import commands
    parser = commands.parser()
    rows = [[f"`{_synopsis(tuple(action.option_strings), action.metavar or (action.dest.upper() if action.nargs != 0 else None))}`",
             action.help or ""] for action in parser.arguments if action.option_strings and action.help]
    return table(["Option", "What it does"], rows)


def subcommands() -> str:
    """Each subcommand with its arguments, and then the arguments, from the subcommand table."""
    from ferrovane.sdk.cli import commands
    from ferrovane.sdk.cli.arguments import Argument, Exclusive

    def metavar(argument: Argument) -> str | None:
        return argument.options.get("metavar")

    def usage(item: Argument | Exclusive) -> str:
        if isinstance(item, Exclusive):
            return "[" + " \\| ".join(_synopsis(argument.names, metavar(argument)) for argument in item.arguments) + "]"
        text = _synopsis(item.names, metavar(item))
        return text if not item.names[0].startswith("-") else f"[{text}]"

    rows, own = [], []
    for row in commands.SUBCOMMANDS:
        rows.append([f"`{' '.join([row.name, *map(usage, row.arguments)])}`", row.help])
        for item in row.arguments:
            for argument in item.arguments if isinstance(item, Exclusive) else (item,):
                own.append([f"`{row.name}`", f"`{_synopsis(argument.names, metavar(argument))}`", argument.help])
    return table(["Subcommand", "What it does"], rows) + "\n" + table(["Subcommand", "Argument", "What it is"], own)


def precedence() -> str:
    """Where each setting of the command line may come from, in order."""
    from ferrovane.sdk.cli.settings import PRECEDENCE

    def code(names: tuple[str, ...], joined: str = ", ") -> str:
        return joined.join(f"`{name}`" for name in names)

    return table(["Setting", "Flag", "Environment", "Profile key", "Default"], [
        [layer.setting.replace("_", " ").replace("ca ", "CA ").replace("api ", "API "), code(layer.flags),
         code(layer.variables, ", then "), layer.key if "`" in layer.key or " " in layer.key else f"`{layer.key}`",
         layer.default] for layer in PRECEDENCE])


def stand_in_faults() -> str:
    from ferrovane.sdk.stand_in_server import faults
    return table(["`--fault`", "In Python: `faults.`", "What the route does instead"],
                 [["a status, such as `500`", "`Answer(status, ...)`", faults.STATUS_TEXT]]
                 + [[f"`{named.usage}`", f"`{named.call}`", named.text] for named in faults.NAMED])


def stand_in_routes() -> str:
    from ferrovane.sdk.stand_in_server import fake_api
    return "".join(f"- {route.method or 'Any method on'} `/api/{route.app or '<app>'}/v<N>/{route.endpoint}`: "
                   f"{route.text}.\n" for route in fake_api.ROUTES)


def first_sentence(text: str) -> str:
    sentence = re.split(r"(?<=\.)\s", " ".join(text.split("\n\n", 1)[0].split()), maxsplit=1)[0]
    return sentence.rstrip(".:").replace("``", "`").replace("|", "\\|")


def what_it_is(path: Path) -> str:
    """A source file's job, as its opening docstring or comment says it."""
    text = path.read_text(encoding="utf-8")
    if path.suffix == ".py":
        return first_sentence(ast.get_docstring(ast.parse(text)) or "")
    comment = []
    for line in text.splitlines():
        if not line.startswith("//"):
            break
        comment.append(line.removeprefix("//").strip())
    return first_sentence("\n".join(comment))


def layout(folder: str, pattern: str) -> Callable[[], str]:
    def render() -> str:
        base = ROOT / folder
        files = sorted(base.rglob(pattern), key=lambda path: (path.parent.relative_to(base).parts, path.name))
        return table(["File", "What it is"], [[f"`{path.relative_to(base)}`", what_it_is(path)]
                                            for path in files if path.name not in {"__init__.py", "__main__.py"}])
    return render


RENDERERS: dict[str, Callable[[], str]] = {
    "python-layout": layout("src/ferrovane/sdk", "*.py"),
    "native-layout": layout("src/native", "*[pc]p"),
    "exit-statuses": exit_statuses,
    "release-grid": release_grid,
    "options": global_options,
    "subcommands": subcommands,
    "precedence": precedence,
    "stand-in-faults": stand_in_faults,
    "stand-in-routes": stand_in_routes,
}


def stale_pages() -> Iterator[tuple[Path, list[str], str]]:
    """(page, the names of its blocks that are not current, its text with every block rendered)."""
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        rendered = BLOCK.sub(lambda block: block[1] + RENDERERS[block[2]]() + block[4], text)
        if rendered != text:
            old, new = (BLOCK.findall(version) for version in (text, rendered))
            yield page, [name for (_, name, was, _), (_, _, now, _) in zip(old, new) if was != now], rendered


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Fills the docs' rendered blocks from the code's tables.")
    parser.add_argument("--check", action="store_true", help="only list the stale blocks; exit 1 if any")
    options = parser.parse_args(argv)
    stale = list(stale_pages())
    for page, names, rendered in stale:
        print(f"{page.relative_to(ROOT)}: {', '.join(names)} {'not current' if options.check else 'rendered anew'}")
        if not options.check:
            page.write_text(rendered, encoding="utf-8")
    return 1 if stale and options.check else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
