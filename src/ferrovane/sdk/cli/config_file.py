"""The config file: where it is, and its profiles read and checked whole.

It is ``$FERROVANE_ACCOUNTS_CONFIG``, else ``$XDG_CONFIG_HOME/ferrovane/accounts.toml``,
else ``~/.config/ferrovane/accounts.toml``, and looks like::

    default = "work"

    [profiles.work]
    server = "https://accounts.example.com"
    token_command = ["pass", "show", "accounts/work"]
    api_version = 3
    timeout = 60
    ca_bundle = "corp-ca.pem"

Every key is checked: a mistyped one is refused with its file and line, never ignored.
"""

import os
import re
from collections.abc import Callable, Collection, Mapping
from pathlib import Path
from typing import Any, NamedTuple

from . import checks
from .inputs import SettingsProblem, read_file, text_of
from .names import CONFIG_VARIABLE, MAX_CONFIG_BYTES

DEFAULT = "default"
TABLE_HEADER = r"\[\s*([^\[\]]+?)\s*\]\s*(?:#.*)?$"  # compiled (and kept by re) when first used
# The keys of a profile, each with the check of its value.
PROFILE_KEYS: dict[str, Callable[[object], Any]] = {
    "server": checks.configured_server, "token_file": checks.need(str, "a string (a path)"),
    "token_command": checks.command, "api_version": checks.api_version, "timeout": checks.timeout,
    "ca_bundle": checks.need(str, "a string (a path)"),
}
TOP_KEYS = ("default", "profiles")


class Setting(NamedTuple):
    value: Any
    source: str  # "flag --timeout", "environment NAME", "profile NAME in FILE" or "default"


def config_path(environ: Mapping[str, str]) -> Setting:
    if environ.get(CONFIG_VARIABLE):
        return Setting(Path(environ[CONFIG_VARIABLE]), f"environment {CONFIG_VARIABLE}")
    # A relative XDG_CONFIG_HOME is to be ignored, as the XDG base directories say.
    if (xdg := environ.get("XDG_CONFIG_HOME")) and os.path.isabs(xdg):
        return Setting(Path(xdg, "ferrovane", "accounts.toml"), "environment XDG_CONFIG_HOME")
    home = os.path.expanduser("~")
    return Setting(None if home == "~" else Path(home, ".config", "ferrovane", "accounts.toml"), DEFAULT)


class ConfigFile:
    """A config file read and checked whole: every profile, not only the one in use, so
    that a mistake is found when it is made."""

    def __init__(self, path: Path) -> None:
        self.path = path
        data = read_file(str(path), MAX_CONFIG_BYTES, "config file", holds_secret=_names_a_command)
        self.text = text_of(data, f"the config file {path}")
        import tomllib  # imported when a config file is there to read: most runs have none

        try:
            document = tomllib.loads(self.text)
        except tomllib.TOMLDecodeError as error:  # its text ends in "(at line N, column M)"
            raise SettingsProblem(f"{path}: not valid TOML: {error}") from None
        self._refuse_unknown(document, TOP_KEYS, None)
        default = document.get("default")
        if default is not None and not isinstance(default, str):
            raise self.problem(None, "default",
                               f"default must be the name of a profile, not {checks.toml_type(default)}")
        profiles = document.get("profiles", {})
        if not isinstance(profiles, dict):
            raise self.problem(None, "profiles", "profiles must be a table of profiles, e.g. [profiles.work]")
        self.profiles: dict[str, dict[str, Any]] = {}
        for name, profile in profiles.items():
            table = f"profiles.{name}"
            if not isinstance(profile, dict):
                raise self.problem("profiles", name, f"{table} must be a table of settings, e.g. [{table}]")
            self._refuse_unknown(profile, PROFILE_KEYS, table)
            if "token_file" in profile and "token_command" in profile:
                raise self.problem(table, "token_command", f"[{table}] has both token_file and token_command: keep one")
            checked = {}
            for key, value in profile.items():
                try:
                    checked[key] = PROFILE_KEYS[key](value)
                except ValueError as error:
                    raise self.problem(table, key, f"{key} in [{table}] {error}") from None
            self.profiles[name] = checked
        self.default: str | None = default
        if default is not None and default not in self.profiles:
            raise self.problem(None, "default", f"default = {default!r} names no profile here{self._names()}")

    def _refuse_unknown(self, table: Mapping[str, object], known: Collection[str], name: str | None) -> None:
        for key in table:
            if key not in known:
                import difflib  # only for the line of a mistake

                near = difflib.get_close_matches(key, list(known), n=1)
                where = f"in [{name}]" if name else "at the top"
                raise self.problem(name, key, f"unknown key {key!r} {where}"
                                   + (f" (did you mean {near[0]!r}?)" if near else f"; known: {', '.join(known)}"))

    def problem(self, table: str | None, key: str, message: str) -> SettingsProblem:
        line = _line_of(self.text, table, key)
        return SettingsProblem(f"{self.path}{f', line {line}' if line else ''}: {message}")

    def _names(self) -> str:
        return f" (it has {', '.join(self.profiles)})" if self.profiles else " (it has no [profiles.NAME] table)"

    def profile(self, name: str, chosen_by: str) -> dict[str, Any]:
        if name not in self.profiles:
            raise SettingsProblem(f"{chosen_by} names the profile {name!r}, which {self.path} does not have"
                                  + self._names())
        return self.profiles[name]


def _names_a_command(data: bytes) -> bool:
    """Whether a config file may hold a secret that others must not read: the only one it
    can hold is a token command (with a password in its words, say); a server URL with
    credentials is refused, and a token file's path tells nothing."""
    return b"token_command" in data


def _line_of(text: str, table: str | None, key: str) -> int | None:
    """The line where ``key`` is set in ``table`` (None: the top), as a person writes a
    config file; None where it is written some other way (dotted keys, inline tables)."""
    current: str | None = None
    key_line = re.compile(rf"\s*(?:{re.escape(key)}|\"{re.escape(key)}\"|'{re.escape(key)}')\s*=")
    for number, line in enumerate(text.splitlines(), 1):
        header = re.match(TABLE_HEADER, line.strip())
        if header:
            current = re.sub(r"[\s\"']", "", header.group(1))
            if table is not None and current == f"{table}.{key}":
                return number  # the key is itself a table
        elif current == table and key_line.match(line):
            return number
    return None
