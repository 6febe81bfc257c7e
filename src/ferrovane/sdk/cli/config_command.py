"""The config subcommand: each setting, its value and where it came from, as a table or
as JSON. The token is shown only by its source: no token file is read, no token command
run."""

from typing import Any

from .. import _tables
from . import output
from .settings import Flags, SettingsProblem, described
from .status import ExitStatus


def show_config(flags: Flags) -> int:
    """The ``config`` subcommand: each setting, its value and where it came from; the
    token only by its source. Reads no token and runs no command."""
    try:
        shown = described(flags)
    except SettingsProblem as problem:
        output.fail(str(problem))
        return ExitStatus.USAGE
    try:
        note = output.show(shown, flags.output, _config_table)  # printed as every answer is, with the same failures
    except output.OutputFailed as failed:
        return output.failed_status(failed)
    if note:
        output.fail(note)
    return ExitStatus.SUCCESS


def _config_table(shown: dict[str, dict[str, Any]], width: int | None) -> str:
    def text(name: str, row: dict[str, Any]) -> str:
        value = row["value"]
        if value is None:
            return "(the system's trust store)" if name == "ca_bundle" else "(none)"
        shown = f"{value:g}" if isinstance(value, float) else _tables.cell(value)
        return shown if row.get("exists", True) else f"{shown} (there is none)"

    rows = [{"setting": name.replace("_", " "), "value": text(name, row), "from": row["from"]}
            for name, row in shown.items()]
    return _tables.table(rows, [("SETTING", "setting"), ("VALUE", "value"), ("FROM", "from")], width)
