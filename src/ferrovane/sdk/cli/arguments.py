"""The command line's options and subcommands, and the types that check each value before
anything is sent: a mistyped value is a usage error (exit 2) that names what was typed."""

import argparse
import difflib
import math
import re
from collections.abc import Callable
from typing import Any, NoReturn
from urllib.parse import urlsplit, urlunsplit

from .. import __version__, _tables
from ..accounts_api import DEFAULT_ACCOUNTS_API_VERSION
from . import completion, queries, status
from .urls import credentials_of, without_credentials

PROG = "ferrovane-accounts"
TOKEN_VARIABLE = "FERROVANE_ACCOUNTS_TOKEN"
DEFAULT_TIMEOUT = 30.0
# A day: longer waits are mistakes, and past about 9.2e9 s neither threads nor sockets
# can wait that long.
MAX_TIMEOUT = 86_400.0
SERVER_URL_SHAPE = "it should look like https://accounts.example.com or http://host:port"
# The bound on an answer's body, in MB: far above any Accounts answer, far below what a
# small board can hold.
DEFAULT_MAX_ANSWER_MB = 32
# "." or "..", each dot possibly written as %2E (servers decode it): a path value that is
# one would address the path above it, which the client refuses.
DOT_SEGMENT = re.compile(r"(?:\.|%2[Ee]){1,2}")
# The examples at the end of --help: a command, and what it does.
EXAMPLES = (
    (f"{PROG} --demo events security --search login", "the events of a local stand-in that mention login"),
    (f"{PROG} --server https://accounts.example.com user", f"the user of the token in ${TOKEN_VARIABLE}"),
    (f"{PROG} --server URL --jsonl events security --all > events.jsonl", "every event, one JSON line each"),
    (f"{PROG} -v --server URL releases", "with each request traced on stderr (safe to paste: credentials masked)"),
    (f"{PROG} completion bash > ~/.local/share/bash-completion/completions/{PROG}", "completion for bash"),
)
# argparse's words for a value that is not among the choices, in 3.13 ("(choose from 'a',
# 'b')") and in 3.14 ("(choose from a, b)").
INVALID_CHOICE = re.compile(r"invalid choice: '(?P<value>[^']*)' \(choose from (?P<choices>.*)\)$")
# How a subcommand's answer is printed for people: the answer, the terminal's width (None
# in a file or a pipe) and the parsed options in, the text out.
Show = Callable[[Any, int | None, argparse.Namespace], str]
SUBCOMMAND_EPILOG = (f"Options such as --server, --token and --json may also come after the subcommand; "
                     f"see {PROG} --help.")


class Parser(argparse.ArgumentParser):
    """argparse's parser (its subcommands' too), with a usage error in one line, as every
    failure of the command line is: argparse puts the whole usage before it. It keeps the
    arguments it is given in ``arguments`` (argparse keeps no public list of them), from
    which the completion scripts are made."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.arguments: list[argparse.Action] = []  # before argparse adds --help
        super().__init__(*args, **kwargs)
        self.suggest_on_error = False  # argparse's own (3.14) would suggest twice: error() does it on any version

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
        self.arguments.append(action)
        return action

    def error(self, message: str) -> NoReturn:
        self.exit(status.ExitStatus.USAGE,
                  f"{self.prog}: error: {_tables.printable(message)}{_suggestion(message)} (see {self.prog} --help)\n")


def _suggestion(message: str) -> str:
    """", did you mean 'events'?" for a mistyped choice (a subcommand, a shell) close to one."""
    typed = INVALID_CHOICE.search(message)
    if typed is None:
        return ""
    choices = [choice.strip().strip("'") for choice in typed["choices"].split(",")]
    close = difflib.get_close_matches(typed["value"], choices, n=1)
    return f", did you mean {close[0]!r}?" if close else ""


def count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if number < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {number}")
        return number
    return parse


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    if not 0 < value <= MAX_TIMEOUT:
        raise argparse.ArgumentTypeError(f"must be more than 0 and at most {MAX_TIMEOUT:g} (a day), got {text}")
    return value


def megabytes(text: str) -> int:
    return count(1)(text) * 2**20


def sent_text(text: str) -> str:
    """A value that is sent to the server, so must be text: a byte of an argument that the
    locale's encoding cannot decode comes in as a lone surrogate, which no URL can carry."""
    if any("\ud800" <= char <= "\udfff" for char in text):
        raise argparse.ArgumentTypeError(f"{text!r} holds bytes that are not text in the locale's encoding")
    return text


def path_value(text: str) -> str:
    """A value that the client puts into the request path as one segment."""
    sent_text(text)
    if "/" in text:
        raise argparse.ArgumentTypeError(f"{text!r} holds '/': a name or id is one part of the request path")
    if DOT_SEGMENT.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a name or id: it would address the path above it")
    return text


def server_url(text: str) -> str:
    # Checked before anything else, so that a mistyped URL is not reported as something
    # else first, or later in requests' words about the API path built from it.
    shown = without_credentials(text)
    if credentials_of(text):
        # requests would send them as HTTP Basic in place of the bearer token.
        raise argparse.ArgumentTypeError(
            f"not a server URL: {shown!r} holds credentials (user:password@); the server takes the API token "
            f"instead: give it with --token or ${TOKEN_VARIABLE}")
    try:
        parts = urlsplit(text)
        parts.port  # raises ValueError for a port that is not a number from 0 to 65535
    except ValueError:
        parts = None
    if parts is None or parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(
            f"not a server URL: {shown!r} ({SERVER_URL_SHAPE})")
    if parts.query or parts.fragment:
        # Pasted from a browser's address bar: the API paths would be put after it.
        base = urlunsplit(parts._replace(query="", fragment=""))
        raise argparse.ArgumentTypeError(
            f"not a server URL: {text!r} has a {'query' if parts.query else 'fragment'} "
            f"({'?' + parts.query if parts.query else '#' + parts.fragment}); give the base URL alone, "
            f"e.g. {base!r}")
    return text


def token_problem(token: str) -> str | None:
    """What makes ``token`` unusable in an Authorization header, in words that never
    quote it (it is a secret), or None when it is usable."""
    if token.endswith(("\r", "\n")):
        return ("ends in a line break (CR or LF), as a token read from a file often does: "
                "strip it, e.g. \"$(tr -d '\\r\\n' < token.txt)\"")
    for where, char in (("begins", token[:1]), ("ends", token[-1:])):
        if char in (" ", "\t"):
            return (f"{where} with {'a space' if char == ' ' else 'a tab'}, which no HTTP header can carry "
                    "(it would be dropped, and the token then differ): strip it")
    for position, char in enumerate(token, 1):
        if ord(char) > 0xFF:
            return (f"has a character outside Latin-1 at position {position} (U+{ord(char):04X}), "
                    "which an HTTP header cannot carry: check that it was copied whole and unchanged")
        if not char.isprintable() and char != "\t":
            return (f"has a control character at position {position} (U+{ord(char):04X}), "
                    "which an HTTP header cannot carry: check that it was copied whole and unchanged")
    return None


def _add_global_options(parser: argparse.ArgumentParser, after_command: bool = False) -> None:
    """The options of every query. After the subcommand they are accepted too, left out
    of its help and unset unless given, so that they do not undo those given before it."""
    hidden: dict[str, Any] = {"default": argparse.SUPPRESS, "help": argparse.SUPPRESS} if after_command else {}

    def option(container: Any, *names: str, **settings: Any) -> None:
        container.add_argument(*names, **{**settings, **hidden})

    target = parser.add_mutually_exclusive_group()
    option(target, "--server", metavar="URL", type=server_url,
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
                "else the profile's token_file or token_command)")
    option(token, "--token",
           help="the API token itself; visible to other users of the machine in the process list: prefer "
                "--token-file")
    # No default here: a value not given comes from the environment or the profile.
    option(parser, "--api-version", type=count(1), metavar="N",
           help=f"API version in the request paths (default: {DEFAULT_ACCOUNTS_API_VERSION})")
    option(parser, "--insecure", action="store_true",
           help="do not check the server's TLS certificate (also when a CA bundle is set)")
    option(parser, "--ca-bundle", metavar="PATH",
           help="check the server's TLS certificate against this CA bundle (default: $REQUESTS_CA_BUNDLE, "
                "$CURL_CA_BUNDLE, else the profile's ca_bundle)")
    option(parser, "--timeout", type=seconds, metavar="SECONDS",
           help="give up when a request, with its redirects, has not brought its whole answer after this long "
                f"(with --all, each page has this long; at most {MAX_TIMEOUT:g}) (default: {DEFAULT_TIMEOUT:g})")
    option(parser, "--json", action="store_true",
           help="print the server's answer as JSON instead of a table, and messages whole")
    option(parser, "--jsonl", action="store_true",
           help="print JSON on one line; with events --all, one event per line as each page arrives")
    option(parser, "-v", "--verbose", action="store_true",
           help="trace each request on stderr: method, URL, headers (credentials masked), proxy, status, time")
    option(parser, "--max-answer-size", type=megabytes, default=DEFAULT_MAX_ANSWER_MB * 2**20, metavar="MB",
           help="give up on an answer larger than this many megabytes (with --all, each page) "
                f"(default: {DEFAULT_MAX_ANSWER_MB})")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG, description="Query a Ferrovane Accounts server from the command line.",
        epilog=status.epilog(TOKEN_VARIABLE, EXAMPLES), formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_global_options(parser)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, query: queries.Query, show: Show) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name, help=help, description=help[0].upper() + help[1:] + ".", epilog=SUBCOMMAND_EPILOG)
        sub.set_defaults(query=query, show=show)
        _add_global_options(sub, after_command=True)
        return sub

    def whole(view: Callable[[Any], str]) -> Show:
        # Field lists are not cut to the terminal: a URL must stay whole.
        return lambda answer, width, args: view(answer)

    def table(view: Callable[[Any, int | None], str]) -> Show:
        return lambda answer, width, args: view(answer, width)

    command("user", "show the user that the token belongs to",
            queries.answer_of(lambda client, args: client.get_current_user()), whole(_tables.fields))
    events = command("events", "list the event log of an application, a page at a time", queries.events,
                     lambda answer, width, args: _tables.event_page(answer, width, search=args.search))
    events.add_argument("app", metavar="APP", type=path_value, help="application name, e.g. security or entitlements")
    start = events.add_mutually_exclusive_group()
    start.add_argument("--page", type=count(1), metavar="N", help="page number, counting from 1 (default: 1)")
    start.add_argument("--offset", type=count(0), metavar="N", help="start after this many events")
    start.add_argument("--all", action="store_true",
                       help="every event: fetch page after page (of --size events) and print them together")
    events.add_argument("--size", type=count(1), metavar="N",
                        help=f"events per page (default: the server's; with --all, {queries.ALL_EVENTS_PAGE_SIZE})")
    events.add_argument("--search", metavar="TEXT", type=sent_text, help="only events that mention TEXT")
    order = events.add_mutually_exclusive_group()
    order.add_argument("--sorted", dest="order", action="store_const", const="sorted",
                       help="sorted by the server (newest first)")
    order.add_argument("--unsorted", dest="order", action="store_const", const="unsorted",
                       help="in the order the server stores them")
    event = command("event", "show the log entries of one event",
                    queries.answer_of(lambda client, args: client.get_event_log_for_an_event(args.app, args.id)),
                    table(_tables.event_log))
    event.add_argument("app", metavar="APP", type=path_value, help="application name")
    event.add_argument("id", metavar="ID", type=path_value, help="event id")
    command("releases", "list all releases", queries.answer_of(lambda client, args: client.return_all_releases()),
            table(_tables.releases))
    distribution = command("distribution", "show the download information of a distribution for a platform",
                           queries.answer_of(lambda client, args: client.get_distribution(args.key, args.platform)),
                           whole(_tables.fields))
    distribution.add_argument("key", metavar="KEY", type=path_value, help="distribution key, e.g. orvik-4.2.0")
    distribution.add_argument("platform", metavar="PLATFORM", type=sent_text, help="platform, e.g. linux-x86_64")
    from .config_command import show_config  # the settings read this module's types: imported once both exist

    config = commands.add_parser(
        "config", help="show each setting, its value and where it came from (the token only by its source)",
        description="Show each setting, its value and where it came from: a flag, the environment, a profile of "
                    "the config file, or the default. The token is shown only by its source; no token file is "
                    "read and no token command run.", epilog=SUBCOMMAND_EPILOG)
    config.set_defaults(run_locally=show_config)
    _add_global_options(config, after_command=True)
    shell = commands.add_parser("completion", help="print the shell completion script for bash, zsh or fish",
                                description="Print the shell completion script for bash, zsh or fish "
                                            f"(e.g. {PROG} completion bash > ~/.local/share/bash-completion/"
                                            f"completions/{PROG}).")
    shell.add_argument("shell", metavar="SHELL", choices=completion.SHELLS, help="bash, zsh or fish")
    shell.set_defaults(run_locally=completion.run)
    return parser
