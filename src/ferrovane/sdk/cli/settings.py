"""The command line's settings and where each comes from: a flag, then the environment,
then the chosen profile of the config file, then the default. ``layers`` says where each
comes from (for the ``config`` subcommand), reading no token; ``resolve`` gives the
Invocation that a query runs with, its token read and checked.

The server and the token are chosen as a pair: a token that a profile gives goes only to
that profile's server. A server named by a flag or the environment takes a token given by
a flag or the environment, and without one it is a usage error, never the profile's token.

The values here are NamedTuples: as immutable as frozen dataclasses, and about ten times
cheaper to define, which every run of the command line pays at start-up.
"""

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Any, NamedTuple

from ..accounts_api import DEFAULT_ACCOUNTS_API_VERSION
from . import checks
from .config_file import DEFAULT, ConfigFile, Setting, config_path
from .inputs import SettingsProblem, read_file, read_stdin, run_command, text_of
from .names import (CA_BUNDLE_VARIABLES, CONFIG_VARIABLE, DEFAULT_MAX_ANSWER_MB, DEFAULT_RETRIES, DEFAULT_TIMEOUT,
                    MAX_TOKEN_BYTES, PROFILE_VARIABLE, SERVER_VARIABLE, TOKEN_VARIABLE)
from .output import Mode

__all__ = ["Flags", "Invocation", "Setting", "Settings", "SettingsProblem", "Token", "TokenSource", "UsageProblem",
           "described", "layers", "resolve"]

GIVE_A_TOKEN = f"--token-file PATH (- for stdin), --token TOKEN or ${TOKEN_VARIABLE}"


class Layer(NamedTuple):
    """Where one setting may come from, in the order of precedence: a flag, then the
    environment's variables in order, then the profile's key, then the default."""

    setting: str  # as config shows it
    flags: tuple[str, ...]  # each with its metavar, as --help shows it
    variables: tuple[str, ...]
    key: str  # of a profile; a text in backticks where it is no single key
    default: str  # as the docs say it


# Read by layers() for the settings picked one by one, and rendered into the docs.
PRECEDENCE = (
    Layer("profile", ("--profile NAME",), (PROFILE_VARIABLE,), "(the file's `default`)", "none"),
    Layer("server", ("--server URL",), (SERVER_VARIABLE,), "server", "none: a usage error"),
    Layer("token", ("--token-file PATH", "--token-file -", "--token TOKEN"), (TOKEN_VARIABLE,),
          "`token_file` or `token_command`, for the profile's own server only", "none: a usage error"),
    Layer("api_version", ("--api-version N",), (), "api_version", str(DEFAULT_ACCOUNTS_API_VERSION)),
    Layer("timeout", ("--timeout SECONDS",), (), "timeout", f"{DEFAULT_TIMEOUT:g}"),
    Layer("ca_bundle", ("--ca-bundle PATH",), CA_BUNDLE_VARIABLES, "ca_bundle", "the system's trust store"),
)
_LAYERS = {layer.setting: layer for layer in PRECEDENCE}


class UsageProblem(SettingsProblem):
    """A setting missing or unusable as given, reported as a usage error with a pointer to --help."""


class Flags(NamedTuple):
    """The options given on the command line: None (or False) where one is not given."""

    server: str | None = None
    demo: bool = False
    profile: str | None = None
    token: str | None = None  # a secret: left out of the repr
    token_file: str | None = None
    api_version: int | None = None
    timeout: float | None = None
    ca_bundle: str | None = None
    insecure: bool = False
    output: Mode = Mode.TABLE
    verbose: bool = False
    max_answer_size: int = DEFAULT_MAX_ANSWER_MB * 2**20
    retries: int = DEFAULT_RETRIES

    def __repr__(self) -> str:
        return _masked(self, "token")


class TokenSource(NamedTuple):
    """Where the token comes from; ``read()`` gets it (a file is read, a command run, only then)."""

    source: str  # as failure lines and hints name it
    shown: str  # what ``config`` shows in place of the value
    given: str | None = None  # a token given whole: a secret, left out of the repr
    path: str | None = None  # a token file, "-" for stdin
    command: list[str] | None = None
    directory: Path | None = None  # where a profile's token command runs

    def __repr__(self) -> str:
        return _masked(self, "given")

    def read(self) -> str:
        if self.given is not None:
            return self.given
        if self.command is not None:
            data = run_command(self.command, self.directory, self.source)
            token = text_of(data, f"the output of the {self.source}")
            if not token:
                raise SettingsProblem(f"the {self.source} ({self.command[0]}) printed no token")
            return token
        assert self.path is not None
        data = read_stdin() if self.path == "-" else read_file(self.path, MAX_TOKEN_BYTES, "token file")
        token = text_of(data, f"the token from {self.source}")
        if not token:
            raise SettingsProblem(f"the token from {self.source} is empty")
        return token


class Token(NamedTuple):
    """A token read and checked, with the source that failure lines and hints name."""

    value: str  # a secret, left out of the repr
    source: str

    def __repr__(self) -> str:
        return _masked(self, "value")


class Settings(NamedTuple):
    """Each setting with where it came from, as ``config`` shows them."""

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


class Invocation(NamedTuple):
    """What one run of a subcommand is given, every setting chosen and the token read."""

    command: str
    arguments: Mapping[str, Any]  # the subcommand's own arguments, by name
    server: str | None  # None until the stand-in of --demo is started
    token: Token | None  # None: the stand-in's own (--demo)
    api_version: int
    timeout: float
    insecure: bool
    ca_bundle: str | None  # chosen by a flag or the profile; else the environment's or the default
    max_answer_size: int
    output: Mode
    verbose: bool
    demo: bool
    retries: int = DEFAULT_RETRIES  # tries again of a GET that a busy server or a dropped connection failed


def _masked(value: NamedTuple, secret: str) -> str:
    shown = ", ".join(f"{name}={'***' if name == secret else repr(item)}" for name, item in zip(value._fields, value))
    return f"{type(value).__name__}({shown})"


def layers(flags: Flags, environ: Mapping[str, str] | None = None) -> Settings:
    """The settings that ``flags`` and the environment give, with the config file's
    profile under them. Reads the config file (warning where others can read it) but no
    token. Raises SettingsProblem."""
    environ = os.environ if environ is None else environ
    config_file = config_path(environ)
    path = config_file.value
    config: ConfigFile | None = None
    if path is not None and (config_file.source == f"environment {CONFIG_VARIABLE}" or path.exists()):
        config = ConfigFile(path)  # the one that FERROVANE_ACCOUNTS_CONFIG names must be there
    if flags.profile is not None:
        profile = Setting(flags.profile, "flag --profile")
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

    def pick(setting: str, default: Any) -> Setting:
        layer = _LAYERS[setting]  # its key is the Flags field and the profile's key alike
        if (given := getattr(flags, layer.key, None)) is not None:
            return Setting(given, f"flag {layer.flags[0].split()[0]}")
        for variable in layer.variables:  # an empty variable counts as unset, as for requests
            if environ.get(variable):
                return Setting(environ[variable], f"environment {variable}")
        if layer.key in values:
            return Setting(values[layer.key], in_profile)
        return Setting(default, DEFAULT)

    if flags.demo:
        server = Setting(None, "flag --demo (a local stand-in)")
    else:
        server = pick("server", None)
        if server.source.startswith("environment"):
            try:
                checks.server_url(server.value)
            except ValueError as error:
                raise SettingsProblem(f"{SERVER_VARIABLE}: {error}") from None
    token = _token_source(flags, environ, {} if flags.demo else values, in_profile, directory)
    if token.source == in_profile and server.source != in_profile and server.value is not None:
        token = _withheld(profile.value, values.get("server"), server.value, token)
    ca_bundle = pick("ca_bundle", None)
    if ca_bundle.source == in_profile:
        ca_bundle = Setting(os.path.normpath(directory / os.path.expanduser(ca_bundle.value)), in_profile)
    return Settings(
        config_file=config_file, profile=profile, server=server, token=token,
        api_version=pick("api_version", DEFAULT_ACCOUNTS_API_VERSION),
        timeout=pick("timeout", DEFAULT_TIMEOUT),
        ca_bundle=ca_bundle)


def described(flags: Flags, environ: Mapping[str, str] | None = None) -> dict[str, dict[str, Any]]:
    """Each setting as data, as ``config`` shows it: {name: {"value", "from"}} (and "exists"
    for a path), the token only by its source. Reads no token and runs no command."""
    shown: dict[str, dict[str, Any]] = {}
    chosen = layers(flags, environ)
    for name, setting in zip(chosen._fields, chosen):
        value = setting.value
        if isinstance(value, TokenSource):
            value = value.shown
        shown[name] = {"value": str(value) if isinstance(value, Path) else value, "from": setting.source}
        if isinstance(value, Path):
            shown[name]["exists"] = value.exists()
    if flags.insecure:
        shown["ca_bundle"] = {"value": None, "from": "flag --insecure (certificates are not checked)"}
    return shown


def _withheld(profile: str, own_server: str | None, server: str, token: Setting) -> Setting:
    """The token setting for ``server``, named by a flag or the environment, where the
    profile's token would be next: kept where it is the profile's own server, else none."""
    if own_server is not None and checks.same_server(server, own_server):
        return token
    goes_to = f"goes only to its server {own_server}" if own_server else "names no server to send it to"
    return Setting(None, f"none for this server: the token of profile {profile} {goes_to}")


def _token_source(flags: Flags, environ: Mapping[str, str], profile: Mapping[str, Any], in_profile: str,
                  directory: Path) -> Setting:
    token, token_file = flags.token, flags.token_file
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
    if not flags.demo and environ.get(TOKEN_VARIABLE):
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


def _check_follow(flags: Flags, arguments: Mapping[str, Any]) -> None:
    """--follow prints events as they come: not with --json, which prints one document,
    and its own options only with it."""
    if arguments.get("follow"):
        if flags.output is Mode.JSON:
            raise UsageProblem("argument --follow: not allowed with argument --json (--jsonl prints each event)")
        return
    for name in ("interval", "since", "checkpoint"):
        if arguments.get(name) is not None:
            raise UsageProblem(f"argument --{name}: only with --follow")


def resolve(flags: Flags, command: str, arguments: Mapping[str, Any],
            environ: Mapping[str, str] | None = None) -> Invocation:
    """The Invocation of ``command`` with ``arguments``: every setting chosen, the token read
    from its source and checked (for --demo, None unless a flag gives one). Raises
    SettingsProblem, UsageProblem where the fix is an option."""
    _check_follow(flags, arguments)
    chosen = layers(flags, environ)
    ca_bundle = None if flags.insecure else chosen.ca_bundle_file()
    server = chosen.server
    if not flags.demo and server.value is None:
        raise UsageProblem(f"say which server to query: --server URL, ${SERVER_VARIABLE}, a profile's server "
                           "(see config), or --demo for a local stand-in")
    source: TokenSource | None = chosen.token.value
    token = None
    if source is None and not flags.demo:
        if chosen.token.source != DEFAULT:  # a profile's token that is not for this server
            raise UsageProblem(f"no token for {server.value} (from {server.source}): "
                               f"{chosen.token.source.removeprefix('none for this server: ')}; "
                               f"give one for this server with {GIVE_A_TOKEN}")
        raise UsageProblem(f"no token: give --token-file PATH (- for stdin), set {TOKEN_VARIABLE}, or give the "
                           "profile a token_file or token_command")
    if source is not None:
        token = Token(source.read(), source.source)
        if token.value and (problem := checks.token_problem(token.value)) is not None:
            raise UsageProblem(f"the token from {source.source} {problem}")
    return Invocation(
        command=command, arguments=arguments, server=server.value, token=token,
        api_version=chosen.api_version.value, timeout=chosen.timeout.value, insecure=flags.insecure,
        ca_bundle=ca_bundle, max_answer_size=flags.max_answer_size, output=flags.output, verbose=flags.verbose,
        demo=flags.demo, retries=flags.retries)
