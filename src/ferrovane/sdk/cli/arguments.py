"""The command line's parser, built from the subcommand table that it is given: the
options of every query, each subcommand's own arguments, and the types that check each
value before anything is sent (a mistyped value is a usage error, exit 2, that names what
was typed). What it parses comes out as values: the subcommand's row, the Flags and the
subcommand's own arguments."""

import argparse
import re
import sys
import types
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple, NoReturn

from .. import _tables
from ..accounts_api import DEFAULT_ACCOUNTS_API_VERSION
from . import checks, output, status
from .names import DEFAULT_MAX_ANSWER_MB, DEFAULT_RETRIES, DEFAULT_TIMEOUT, MAX_TIMEOUT, PROG, TOKEN_VARIABLE
from .output import Mode
from .queries import Query
from .settings import Flags
from .version import version_line

# argparse's words for a value that is not among the choices, in 3.13 ("(choose from 'a',
# 'b')") and in 3.14 ("(choose from a, b)"). The patterns here are strings, compiled (and
# kept by re) when first used, not at every start.
INVALID_CHOICE = r"invalid choice: '(?P<value>[^']*)' \(choose from (?P<choices>.*)\)$"
SUBCOMMAND_EPILOG = (f"Options such as --server, --token and --json may also come after the subcommand; "
                     f"see {PROG} --help.")
# How a subcommand's answer is printed for people: the answer, the terminal's width (None
# in a file or a pipe) and the subcommand's own arguments in, the text out.
Show = Callable[[Any, int | None, Mapping[str, Any]], str]


class Argument(NamedTuple):
    """One argument of a subcommand: its names ("app" or "--page") and argparse's keywords;
    a ``type`` is a check of checks.py, which raises ValueError."""

    names: tuple[str, ...]
    help: str
    options: Mapping[str, Any] = types.MappingProxyType({})

    @property
    def dest(self) -> str:
        if "dest" in self.options:
            return str(self.options["dest"])
        long = next((name for name in self.names if name.startswith("--")), self.names[0])
        return long.lstrip("-").replace("-", "_")


class Exclusive(NamedTuple):
    """Arguments of which at most one may be given."""

    arguments: tuple[Argument, ...]


class Subcommand(NamedTuple):
    """A row of the subcommand table: a query made through the client (``query``, with
    ``show`` to print its answer for people), or one that runs locally (``run``)."""

    name: str
    help: str
    arguments: tuple[Argument | Exclusive, ...] = ()
    query: Query | None = None
    show: Show | None = None
    run: Callable[[argparse.ArgumentParser, Flags, Mapping[str, Any]], int] | None = None
    description: str | None = None  # else the help, as a sentence
    settings: bool = True  # takes the options of every query after it too

    @property
    def dests(self) -> tuple[str, ...]:
        return tuple(argument.dest for item in self.arguments
                     for argument in (item.arguments if isinstance(item, Exclusive) else (item,)))


class Parsed(NamedTuple):
    subcommand: Subcommand
    flags: Flags
    arguments: Mapping[str, Any]  # the subcommand's own, by name


class Parser(argparse.ArgumentParser):
    """argparse's parser (its subcommands' too), with a usage error in one line, as every
    failure of the command line is: argparse puts the whole usage before it. It keeps the
    arguments it is given in ``arguments`` (argparse keeps no public list of them), from
    which the completion scripts are made.

    A subcommand's parser gets its arguments (``fill``) only when it is used: a run
    parses one subcommand, and adding every option to every subcommand's parser would
    cost each start of the command line more than the rest of its parsing."""

    def __init__(self, *args: Any, fill: Callable[["Parser"], None] | None = None, **kwargs: Any) -> None:
        self._arguments: list[argparse.Action] = []  # before argparse adds --help
        self._fill = fill
        self.subcommands: dict[str, Subcommand] = {}
        super().__init__(*args, **kwargs)
        self.suggest_on_error = False  # argparse's own (3.14) would suggest twice: error() does it on any version

    def filled(self) -> "Parser":
        """This parser with all its arguments."""
        if self._fill is not None:
            fill, self._fill = self._fill, None
            fill(self)
        return self

    @property
    def arguments(self) -> list[argparse.Action]:
        return self.filled()._arguments

    def parse_known_args(self, *args: Any, **kwargs: Any) -> Any:  # how argparse runs a subcommand's parser
        return super(Parser, self.filled()).parse_known_args(*args, **kwargs)

    def add_argument(self, *args: Any, **kwargs: Any) -> argparse.Action:
        return self._kept(super().add_argument(*args, **kwargs))

    def add_subparsers(self, **kwargs: Any) -> Any:  # typed as argparse's private action class
        return self._kept(super().add_subparsers(**kwargs))

    def add_mutually_exclusive_group(self, **kwargs: Any) -> Any:
        group = super().add_mutually_exclusive_group(**kwargs)
        add = group.add_argument
        group.add_argument = lambda *args, **kwargs: self._kept(add(*args, **kwargs))  # type: ignore[method-assign]
        return group

    def _kept[A: argparse.Action](self, action: A) -> A:
        self._arguments.append(action)
        return action

    def print_help(self, file: Any = None) -> None:
        # On stdout through output.write: argparse would drop a failed write and exit 0.
        if file is None:
            output.write(self.format_help())
        else:
            super().print_help(file)

    def error(self, message: str) -> NoReturn:
        self.exit(status.ExitStatus.USAGE,
                  f"{self.prog}: error: {_tables.printable(message)}{_suggestion(message)} (see {self.prog} --help)\n")

    def parse(self, argv: Sequence[str] | None) -> Parsed:
        """The subcommand, the flags and the subcommand's own arguments that ``argv`` gives."""
        given = self.parse_args(argv)
        option = vars(given).get
        if option("server") and option("demo"):  # one before the subcommand, the other after it
            self.error("argument --demo: not allowed with argument --server")
        subcommand = self.subcommands[given.command]
        flags = Flags(
            server=option("server"), demo=bool(option("demo")), profile=option("profile"), token=option("token"),
            token_file=option("token_file"), api_version=option("api_version"), timeout=option("timeout"),
            ca_bundle=option("ca_bundle"), insecure=bool(option("insecure")),
            output=Mode.JSONL if option("jsonl") else Mode.JSON if option("json") else Mode.TABLE,
            verbose=bool(option("verbose")), max_answer_size=given.max_answer_size, retries=given.retries)
        arguments = types.MappingProxyType({dest: option(dest) for dest in subcommand.dests})
        return Parsed(subcommand, flags, arguments)


class _Version(argparse.Action):
    """--version, where it is not given alone (see __init__.py)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, argparse.SUPPRESS, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> NoReturn:
        output.write(version_line(parser.prog))
        parser.exit()


def _suggestion(message: str) -> str:
    """", did you mean 'events'?" for a mistyped choice (a subcommand, a shell) close to one."""
    typed = re.search(INVALID_CHOICE, message)
    if typed is None:
        return ""
    choices = [choice.strip().strip("'") for choice in typed["choices"].split(",")]
    import difflib  # only for the line of a mistake

    close = difflib.get_close_matches(typed["value"], choices, n=1)
    return f", did you mean {close[0]!r}?" if close else ""


def typed[T](check: Callable[[str], T]) -> Callable[[str], T]:
    """``check`` as an argparse type: its ValueError becomes the usage error's text."""
    def parse(text: str) -> T:
        try:
            return check(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    parse.__name__ = check.__name__
    return parse


def _add_global_options(parser: argparse.ArgumentParser, after_command: bool = False) -> None:
    """The options of every query. After the subcommand they are accepted too, left out
    of its help and unset unless given, so that they do not undo those given before it."""
    hidden: dict[str, Any] = {"default": argparse.SUPPRESS, "help": argparse.SUPPRESS} if after_command else {}

    def option(container: Any, *names: str, **settings: Any) -> None:
        container.add_argument(*names, **{**settings, **hidden})

    target = parser.add_mutually_exclusive_group()
    option(target, "--server", metavar="URL", type=typed(checks.server_url),
           help="the server's base URL, the part before /api/, e.g. https://accounts.example.com (default: "
                "$FERROVANE_ACCOUNTS_SERVER, else the profile's server)")
    option(target, "--demo", action="store_true",
           help="start a local stand-in server and query it (uses its token unless --token or --token-file is "
                "given; a profile's server and token are not used)")
    option(parser, "--profile", metavar="NAME",
           help="the profile of the config file to use (default: $FERROVANE_ACCOUNTS_PROFILE, else the file's "
                "default); see the config subcommand")
    token = parser.add_mutually_exclusive_group()
    option(token, "--token-file", metavar="PATH",
           help="read the API token from this file, or from stdin with - (default: $FERROVANE_ACCOUNTS_TOKEN, "
                "else the profile's token_file or token_command, for the profile's own server only)")
    option(token, "--token",
           help="the API token itself; visible to other users of the machine in the process list: prefer "
                "--token-file")
    # No default here: a value not given comes from the environment or the profile.
    option(parser, "--api-version", type=typed(checks.count(1)), metavar="N",
           help=f"API version in the request paths (default: {DEFAULT_ACCOUNTS_API_VERSION})")
    option(parser, "--insecure", action="store_true",
           help="do not check the server's TLS certificate (also when a CA bundle is set)")
    option(parser, "--ca-bundle", metavar="PATH",
           help="check the server's TLS certificate against this CA bundle (default: $REQUESTS_CA_BUNDLE, "
                "$CURL_CA_BUNDLE, else the profile's ca_bundle)")
    option(parser, "--timeout", type=typed(checks.seconds), metavar="SECONDS",
           help="give up when a request, with its redirects, has not brought its whole answer after this long "
                f"(with --all, each page has this long; at most {MAX_TIMEOUT:g}) (default: {DEFAULT_TIMEOUT:g})")
    option(parser, "--retries", type=typed(checks.count(0)), default=DEFAULT_RETRIES, metavar="N",
           help="try a GET again this many times when the server is busy (429, 502, 503, 504) or the connection "
                f"is reset, after what its Retry-After says, within --timeout; 0: never (default: {DEFAULT_RETRIES})")
    option(parser, "--json", action="store_true",
           help="print the server's answer as JSON instead of a table, and messages whole")
    option(parser, "--jsonl", action="store_true",
           help="print JSON lines, one object each: an event of events (with --all, as each page arrives), "
                "an item of a list, or the answer")
    option(parser, "-v", "--verbose", action="store_true",
           help="trace each request on stderr: method, URL, headers (credentials masked), proxy, status, time")
    option(parser, "--max-answer-size", type=typed(checks.megabytes), default=DEFAULT_MAX_ANSWER_MB * 2**20,
           metavar="MB", help="give up on an answer larger than this many megabytes (with --all, each page) "
                              f"(default: {DEFAULT_MAX_ANSWER_MB})")


def _add(container: Any, argument: Argument) -> None:
    options = dict(argument.options)
    if "type" in options:
        options["type"] = typed(options["type"])
    container.add_argument(*argument.names, help=argument.help, **options)


def build_parser(subcommands: Sequence[Subcommand], examples: Sequence[tuple[str, str]] = ()) -> Parser:
    """The parser of ``subcommands``, with ``examples`` (a command, what it does) at the end of --help."""
    parser = Parser(
        prog=PROG, description="Query a Ferrovane Accounts server from the command line.",
        epilog=status.epilog(TOKEN_VARIABLE, examples), formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_global_options(parser)
    parser.add_argument("--version", action=_Version, help="show the program's version number and exit")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for row in subcommands:
        parser.subcommands[row.name] = row
        commands.add_parser(
            row.name, help=row.help, description=row.description or row.help[0].upper() + row.help[1:] + ".",
            epilog=SUBCOMMAND_EPILOG if row.settings else None, fill=lambda sub, row=row: _fill(sub, row))
    return parser


def _fill(sub: Parser, row: Subcommand) -> None:
    """The arguments of ``row``'s parser: the options of every query (for a query or
    config), then its own."""
    if row.settings:
        _add_global_options(sub, after_command=True)
    for item in row.arguments:
        if isinstance(item, Exclusive):
            group = sub.add_mutually_exclusive_group()
            for argument in item.arguments:
                _add(group, argument)
        else:
            _add(sub, item)
