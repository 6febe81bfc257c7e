"""The command line's settings and where each comes from: a flag, then the environment,
then the chosen profile of the config file, then the default. It finds and reads the
config file (TOML), picks the profile, finds the token's source and reads the token
from it only when a query needs it, and shows all of it for the ``config`` subcommand.

The config file (``$FERROVANE_ACCOUNTS_CONFIG``, else ``$XDG_CONFIG_HOME/ferrovane/
accounts.toml``, else ``~/.config/ferrovane/accounts.toml``) looks like::

    default = "work"

    [profiles.work]
    server = "https://accounts.example.com"
    token_command = ["pass", "show", "accounts/work"]
    api_version = 3
    timeout = 60
    ca_bundle = "corp-ca.pem"

Every key is checked: a mistyped one is refused with its file and line, never ignored.
"""

import argparse
import dataclasses
import difflib
import math
import os
import re
import shlex
import stat
import subprocess
import sys
import tomllib
from collections.abc import Callable, Collection, Mapping
from pathlib import Path
from typing import Any, BinaryIO

from ..accounts_api import DEFAULT_ACCOUNTS_API_VERSION
from . import output
from .arguments import DEFAULT_TIMEOUT, MAX_TIMEOUT, TOKEN_VARIABLE, server_url
from .session import CA_BUNDLE_VARIABLES

CONFIG_VARIABLE = "FERROVANE_ACCOUNTS_CONFIG"
PROFILE_VARIABLE = "FERROVANE_ACCOUNTS_PROFILE"
SERVER_VARIABLE = "FERROVANE_ACCOUNTS_SERVER"
DEFAULT = "default"
# A token command that waits longer is stuck (a prompt nobody sees, a dead agent); a
# person typing a passphrase into it still has time.
TOKEN_COMMAND_TIMEOUT = 60.0
# More than any token or config file; a device such as /dev/zero named by mistake is not
# read for ever.
MAX_TOKEN_BYTES = 64 * 1024
MAX_CONFIG_BYTES = 1024 * 1024
TABLE_HEADER = re.compile(r"\[\s*([^\[\]]+?)\s*\]\s*(?:#.*)?$")


class SettingsProblem(Exception):
    """A setting that cannot be used; the text names where it came from (a file and its
    line, a variable, a flag) and never holds a token."""


@dataclasses.dataclass(frozen=True)
class Setting:
    value: Any
    source: str  # "flag --timeout", "environment NAME", "profile NAME in FILE" or "default"


@dataclasses.dataclass(frozen=True)
class TokenSource:
    """Where the token comes from; ``read()`` gets it (a file is read, a command run, only then)."""

    source: str  # as failure lines and ``config`` name it
    shown: str  # what ``config`` shows in place of the value
    given: str | None = dataclasses.field(default=None, repr=False)  # a token given whole: a secret
    path: str | None = None  # a token file, "-" for stdin
    command: list[str] | None = None
    directory: Path | None = None  # where a profile's token command runs

    def read(self) -> str:
        if self.given is not None:
            return self.given
        if self.command is not None:
            return _run_token_command(self.command, self.directory, self.source)
        assert self.path is not None
        data = _read_stdin() if self.path == "-" else _read_file(self.path, MAX_TOKEN_BYTES, "token file")
        token = _text_of(data, f"the token from {self.source}")
        if not token:
            raise SettingsProblem(f"the token from {self.source} is empty")
        return token


@dataclasses.dataclass(frozen=True)
class Settings:
    config_file: Setting  # a Path, or None where no home directory is known
    profile: Setting  # a name, or None
    server: Setting  # a URL, or None (none given; or the stand-in of --demo)
    token: Setting  # a TokenSource, or None
    api_version: Setting
    timeout: Setting
    ca_bundle: Setting  # a path, or None for the default bundle

    def ca_bundle_file(self) -> str | None:
        """The CA bundle chosen by a flag or the profile, which must exist; None for the
        environment's (the session checks and names its variable) or the default."""
        path, source = self.ca_bundle.value, self.ca_bundle.source
        if path is None or source.startswith("environment"):
            return None
        if not os.path.exists(path):
            raise SettingsProblem(f"the CA bundle from {source} does not exist: {path!r}")
        return str(path)


def _need(kind: type | tuple[type, ...], what: str) -> Callable[[object], Any]:
    def check(value: object) -> object:
        if not isinstance(value, kind) or isinstance(value, bool):
            raise ValueError(f"must be {what}, not {_toml_type(value)}")
        return value
    return check


def _checked_server(value: object) -> str:
    try:
        return server_url(_need(str, "a string (a URL)")(value))
    except argparse.ArgumentTypeError as error:
        raise ValueError(str(error)) from None


def _checked_command(value: object) -> list[str]:
    if isinstance(value, str):
        try:
            value = shlex.split(value)
        except ValueError as error:
            raise ValueError(f"cannot be split into words: {error}") from None
    if not isinstance(value, list) or not value or not all(isinstance(word, str) and word for word in value):
        raise ValueError("must be a command: a string such as \"pass show accounts\", or a list of words")
    return value


def _checked_api_version(value: object) -> int:
    number: int = _need(int, "a whole number")(value)
    if number < 1:
        raise ValueError(f"must be at least 1, got {number}")
    return number


def _checked_timeout(value: object) -> float:
    number = float(_need((int, float), "a number of seconds")(value))
    if math.isnan(number) or not 0 < number <= MAX_TIMEOUT:
        raise ValueError(f"must be more than 0 and at most {MAX_TIMEOUT:g} (a day), got {value}")
    return number


# The keys of a profile, each with the check of its value.
PROFILE_KEYS: dict[str, Callable[[object], Any]] = {
    "server": _checked_server, "token_file": _need(str, "a string (a path)"), "token_command": _checked_command,
    "api_version": _checked_api_version, "timeout": _checked_timeout, "ca_bundle": _need(str, "a string (a path)"),
}
TOP_KEYS = ("default", "profiles")


class ConfigFile:
    """A config file read and checked whole: every profile, not only the one in use, so
    that a mistake is found when it is made."""

    def __init__(self, path: Path) -> None:
        self.path = path
        data = _read_file(str(path), MAX_CONFIG_BYTES, "config file")
        self.text = _text_of(data, f"the config file {path}")
        try:
            document = tomllib.loads(self.text)
        except tomllib.TOMLDecodeError as error:  # its text ends in "(at line N, column M)"
            raise SettingsProblem(f"{path}: not valid TOML: {error}") from None
        self._refuse_unknown(document, TOP_KEYS, None)
        default = document.get("default")
        if default is not None and not isinstance(default, str):
            raise self.problem(None, "default", f"default must be the name of a profile, not {_toml_type(default)}")
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


def _line_of(text: str, table: str | None, key: str) -> int | None:
    """The line where ``key`` is set in ``table`` (None: the top), as a person writes a
    config file; None where it is written some other way (dotted keys, inline tables)."""
    current: str | None = None
    key_line = re.compile(rf"\s*(?:{re.escape(key)}|\"{re.escape(key)}\"|'{re.escape(key)}')\s*=")
    for number, line in enumerate(text.splitlines(), 1):
        header = TABLE_HEADER.match(line.strip())
        if header:
            current = re.sub(r"[\s\"']", "", header.group(1))
            if table is not None and current == f"{table}.{key}":
                return number  # the key is itself a table
        elif current == table and key_line.match(line):
            return number
    return None


def config_path(environ: Mapping[str, str]) -> Setting:
    if environ.get(CONFIG_VARIABLE):
        return Setting(Path(environ[CONFIG_VARIABLE]), f"environment {CONFIG_VARIABLE}")
    # A relative XDG_CONFIG_HOME is to be ignored, as the XDG base directories say.
    if (xdg := environ.get("XDG_CONFIG_HOME")) and os.path.isabs(xdg):
        return Setting(Path(xdg, "ferrovane", "accounts.toml"), "environment XDG_CONFIG_HOME")
    home = os.path.expanduser("~")
    return Setting(None if home == "~" else Path(home, ".config", "ferrovane", "accounts.toml"), DEFAULT)


def resolve(args: argparse.Namespace, environ: Mapping[str, str] | None = None) -> Settings:
    """The settings that ``args`` and the environment give, with the config file's
    profile under them. Reads the config file (warning where others can read it) but no
    token. Raises SettingsProblem."""
    environ = os.environ if environ is None else environ
    demo = bool(getattr(args, "demo", False))
    config_file = config_path(environ)
    path = config_file.value
    config: ConfigFile | None = None
    if path is not None and (config_file.source == f"environment {CONFIG_VARIABLE}" or path.exists()):
        config = ConfigFile(path)  # the one that FERROVANE_ACCOUNTS_CONFIG names must be there
    if (name := getattr(args, "profile", None)) is not None:
        profile = Setting(name, "flag --profile")
    elif environ.get(PROFILE_VARIABLE):
        profile = Setting(environ[PROFILE_VARIABLE], f"environment {PROFILE_VARIABLE}")
    elif config is not None and config.default is not None:
        profile = Setting(config.default, f"default in {path}")
    else:
        profile = Setting(None, DEFAULT)
    values: dict[str, Any] = {}
    if profile.value is not None:
        if config is None:
            raise SettingsProblem(f"{profile.source} names the profile {profile.value!r}, but there is no config "
                                  f"file{f' at {path}' if path else ''} (${CONFIG_VARIABLE} can name one)")
        values = config.profile(profile.value, profile.source.replace("flag ", "", 1))
    in_profile = f"profile {profile.value} in {path}"
    directory = path.parent if path is not None else Path.cwd()

    def pick(flag: str, variables: tuple[str, ...], key: str, default: Any) -> Setting:
        if (given := getattr(args, key, None)) is not None:
            return Setting(given, f"flag {flag}")
        for variable in variables:  # an empty variable counts as unset, as for requests
            if environ.get(variable):
                return Setting(environ[variable], f"environment {variable}")
        if key in values:
            return Setting(values[key], in_profile)
        return Setting(default, DEFAULT)

    if demo:
        server = Setting(None, "flag --demo (a local stand-in)")
    else:
        server = pick("--server", (SERVER_VARIABLE,), "server", None)
        if server.source.startswith("environment"):
            try:
                server_url(server.value)
            except argparse.ArgumentTypeError as error:
                raise SettingsProblem(f"{SERVER_VARIABLE}: {error}") from None
    ca_bundle = pick("--ca-bundle", CA_BUNDLE_VARIABLES, "ca_bundle", None)
    if ca_bundle.source == in_profile:
        ca_bundle = Setting(os.path.normpath(directory / os.path.expanduser(ca_bundle.value)), in_profile)
    return Settings(
        config_file=config_file, profile=profile, server=server,
        token=_token_source(args, environ, {} if demo else values, in_profile, directory, demo),
        api_version=pick("--api-version", (), "api_version", DEFAULT_ACCOUNTS_API_VERSION),
        timeout=pick("--timeout", (), "timeout", DEFAULT_TIMEOUT),
        ca_bundle=ca_bundle)


def _token_source(args: argparse.Namespace, environ: Mapping[str, str], profile: Mapping[str, Any],
                  in_profile: str, directory: Path, demo: bool) -> Setting:
    token, token_file = getattr(args, "token", None), getattr(args, "token_file", None)
    if token and token_file:
        raise SettingsProblem("give the token one way: --token or --token-file, not both")
    if token == "-":
        token_file = "-"
    if token_file == "-":
        return Setting(TokenSource("stdin", "read from stdin", path="-"), "flag --token-file -")
    if token_file:
        return Setting(TokenSource(f"--token-file {token_file}", f"read from the file {token_file}", path=token_file),
                       "flag --token-file")
    if token:
        return Setting(TokenSource("--token", "given with --token (visible to other users)", given=token),
                       "flag --token")
    if not demo and environ.get(TOKEN_VARIABLE):
        return Setting(TokenSource(TOKEN_VARIABLE, f"taken from {TOKEN_VARIABLE}", given=environ[TOKEN_VARIABLE]),
                       f"environment {TOKEN_VARIABLE}")
    if "token_file" in profile:
        file = os.path.normpath(directory / os.path.expanduser(profile["token_file"]))
        return Setting(TokenSource(f"token_file of {in_profile}", f"read from the file {file}", path=file),
                       in_profile)
    if "token_command" in profile:
        command = profile["token_command"]
        return Setting(TokenSource(f"token_command of {in_profile}", f"printed by the command {command[0]} (not run "
                                   "by config)", command=command, directory=directory), in_profile)
    return Setting(None, DEFAULT)


def _read_file(path: str, limit: int, what: str) -> bytes:
    try:
        with open(path, "rb") as file:
            mode = os.fstat(file.fileno()).st_mode
            # Warned of, never refused: a file that others can change could also run their
            # token command or send the token to their server.
            if stat.S_ISREG(mode) and mode & 0o066:
                output.fail(f"warning: the {what} {path} can be {'read' if mode & 0o044 else 'changed'} by other "
                            f"users (mode {stat.S_IMODE(mode):04o}); chmod 600 {shlex.quote(path)} keeps it yours")
            return _bounded(file, limit, f"the {what} {path}")
    except OSError as error:
        raise SettingsProblem(f"cannot read the {what} {path}: {error.strerror or error}") from None


def _read_stdin() -> bytes:
    stream = sys.stdin
    if stream is None:
        raise SettingsProblem("the token was to come from stdin, but stdin is closed")
    try:
        if stream.isatty():
            output.fail("reading the token from stdin: paste it, then press Enter and Ctrl-D")
        buffer = getattr(stream, "buffer", None)
        if buffer is not None:
            return _bounded(buffer, MAX_TOKEN_BYTES, "stdin")
        return stream.read(MAX_TOKEN_BYTES + 1).encode("utf-8", "surrogateescape")
    except (OSError, ValueError) as error:
        raise SettingsProblem(f"cannot read the token from stdin: {error}") from None


def _bounded(file: BinaryIO, limit: int, what: str) -> bytes:
    data = file.read(limit + 1)
    if len(data) > limit:
        raise SettingsProblem(f"{what} holds more than {limit // 1024} KiB: it is not what was meant")
    return data


def _text_of(data: bytes, what: str) -> str:
    """The text of ``data`` without its final line break (a file's last line ends in one),
    nor the byte order mark that some Windows editors put first."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise SettingsProblem(f"{what} is not UTF-8 text (a byte at offset {error.start})") from None
    return text.removesuffix("\n").removesuffix("\r")


def _run_token_command(command: list[str], directory: Path | None, source: str) -> str:
    """Runs the command without a shell, in the config file's directory; its stdout
    (nothing else) is the token, and is never shown."""
    program = command[0]
    try:
        done = subprocess.run(command, cwd=directory, stdout=subprocess.PIPE, timeout=TOKEN_COMMAND_TIMEOUT,
                              check=False)
    except subprocess.TimeoutExpired:
        raise SettingsProblem(f"the {source} ({program}) did not finish within {TOKEN_COMMAND_TIMEOUT:g} s") from None
    except OSError as error:
        raise SettingsProblem(f"the {source} cannot be run: {program}: {error.strerror or error}") from None
    if done.returncode != 0:
        ended = (f"was ended by signal {-done.returncode}" if done.returncode < 0
                 else f"failed with exit status {done.returncode}")
        raise SettingsProblem(f"the {source} ({program}) {ended}; run it yourself to see why")
    token = _text_of(done.stdout, f"the output of the {source}")
    if not token:
        raise SettingsProblem(f"the {source} ({program}) printed no token")
    return token


def _toml_type(value: object) -> str:
    names = {bool: "a boolean", int: "a whole number", float: "a number", str: "a string", list: "an array",
             dict: "a table"}
    return next((name for kind, name in names.items() if isinstance(value, kind)), "a date or time")
