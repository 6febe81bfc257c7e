"""The subcommands, one row each: the arguments it takes, the query it makes and how its
answer is printed for people. The parser, --help, the completion scripts and the tests all
read this table; adding a subcommand is adding a row (and its query)."""

import argparse
from collections.abc import Callable, Mapping
from typing import Any

from .. import _tables
from ..accounts_api import ApiClient
from . import queries
from .arguments import Argument, Exclusive, Parser, Show, Subcommand, build_parser
from .checks import count, interval, path_value, sent_text
from .config_command import show_config
from .names import (ALL_EVENTS_PAGE_SIZE, COMPLETE_PROFILES, FOLLOW_INTERVAL, FOLLOW_TAIL_EVENTS,
                    MIN_FOLLOW_INTERVAL, PROG, SHELLS, TOKEN_VARIABLE)
from .settings import Invocation

# The examples at the end of --help: a command, and what it does.
EXAMPLES = (
    (f"{PROG} --demo events security --search login", "the events of a local stand-in that mention login"),
    (f"{PROG} --server https://accounts.example.com user", f"the user of the token in ${TOKEN_VARIABLE}"),
    (f"{PROG} --server URL --jsonl events security --all > events.jsonl", "every event, one JSON line each"),
    (f"{PROG} --server URL --jsonl events security -f --checkpoint security.json >> security.jsonl",
     "follow the log into a file; started again, it goes on without a gap or a repeat"),
    (f"{PROG} -v --server URL releases", "with each request traced on stderr (safe to paste: credentials masked)"),
    (f"{PROG} completion bash > ~/.local/share/bash-completion/completions/{PROG}", "completion for bash"),
)


def _whole(view: Callable[[Any], str]) -> Show:
    # Field lists are not cut to the terminal: a URL must stay whole.
    return lambda answer, width, given: view(answer)


def _table(view: Callable[[Any, int | None], str]) -> Show:
    return lambda answer, width, given: view(answer, width)


def _completion(parser: argparse.ArgumentParser, shell: str, profiles: bool) -> int:
    from . import completion  # imported when asked for: no other subcommand needs it

    return completion.run(parser, shell, profiles)


def _events(client: ApiClient, run: Invocation) -> Any:
    if run.arguments["follow"]:
        from . import follow  # imported for --follow alone, which polls until it is stopped

        return follow.follow(client, run)
    if run.arguments["all"]:
        from . import walk_all  # imported for --all alone, which walks the pages

        return walk_all.every_event(client, run)
    return queries.events(client, run)


def _events_page(answer: Any, width: int | None, given: Mapping[str, Any]) -> str:
    return _tables.event_page(answer, width, search=given["search"])


SUBCOMMANDS = (
    Subcommand("user", "show the user that the token belongs to",
               query=queries.answer_of(lambda client, given: client.get_current_user()), show=_whole(_tables.fields)),
    Subcommand("events", "list the event log of an application, a page at a time", arguments=(
        Argument(("app",), "application name, e.g. security or entitlements", {"metavar": "APP", "type": path_value}),
        Exclusive((
            Argument(("--page",), "page number, counting from 1 (default: 1)", {"type": count(1), "metavar": "N"}),
            Argument(("--offset",), "start after this many events", {"type": count(0), "metavar": "N"}),
            Argument(("--all",), "every event: fetch page after page (of --size events) and print them together",
                     {"action": "store_true"}),
            Argument(("-f", "--follow"), f"print the last {FOLLOW_TAIL_EVENTS} events (or --size), then each new "
                     "one as it arrives, until Ctrl-C or SIGTERM", {"action": "store_true"}))),
        Argument(("--interval",), f"with --follow, the seconds between polls (default: {FOLLOW_INTERVAL:g}; at "
                 f"least {MIN_FOLLOW_INTERVAL:g})", {"type": interval, "metavar": "SECONDS"}),
        Argument(("--since",), "with --follow, start after the event with this id instead of the last events",
                 {"metavar": "ID", "type": sent_text}),
        Argument(("--checkpoint",), "with --follow, go on from where FILE says, if it exists, and keep there "
                 "where the follow stands after each event printed", {"metavar": "FILE"}),
        Argument(("--size",), f"events per page (default: the server's; with --all, {ALL_EVENTS_PAGE_SIZE})",
                 {"type": count(1), "metavar": "N"}),
        Argument(("--search",), "only events that mention TEXT", {"metavar": "TEXT", "type": sent_text}),
        Exclusive((
            Argument(("--sorted",), "sorted by the server (newest first)",
                     {"dest": "order", "action": "store_const", "const": "sorted"}),
            Argument(("--unsorted",), "in the order the server stores them",
                     {"dest": "order", "action": "store_const", "const": "unsorted"}))),
    ), query=_events, show=_events_page),
    Subcommand("event", "show the log entries of one event", arguments=(
        Argument(("app",), "application name", {"metavar": "APP", "type": path_value}),
        Argument(("id",), "event id", {"metavar": "ID", "type": path_value}),
    ), query=queries.answer_of(lambda client, given: client.get_event_log_for_an_event(given["app"], given["id"])),
        show=_table(_tables.event_log)),
    Subcommand("releases", "list all releases",
               query=queries.answer_of(lambda client, given: client.return_all_releases()),
               show=_table(_tables.releases)),
    Subcommand("distribution", "show the download information of a distribution for a platform", arguments=(
        Argument(("key",), "distribution key, e.g. orvik-4.2.0", {"metavar": "KEY", "type": path_value}),
        Argument(("platform",), "platform, e.g. linux-x86_64", {"metavar": "PLATFORM", "type": sent_text}),
    ), query=queries.answer_of(lambda client, given: client.get_distribution(given["key"], given["platform"])),
        show=_whole(_tables.fields)),
    Subcommand("config", "show each setting, its value and where it came from (the token only by its source)",
               description="Show each setting, its value and where it came from: a flag, the environment, a profile "
                           "of the config file, or the default. The token is shown only by its source; no token "
                           "file is read and no token command run.",
               run=lambda parser, flags, given: show_config(flags)),
    Subcommand("completion", "print the shell completion script for bash, zsh or fish",
               arguments=(Argument(("shell",), "bash, zsh or fish", {"metavar": "SHELL", "choices": SHELLS}),
                          Argument((COMPLETE_PROFILES,), "print the names of the config file's profiles instead, "
                                   "one a line: what the script runs to complete --profile", {"action": "store_true"})),
               description="Print the shell completion script for bash, zsh or fish "
                           f"(e.g. {PROG} completion bash > ~/.local/share/bash-completion/completions/{PROG}).",
               run=lambda parser, flags, given: _completion(parser, given["shell"], given["profiles"]),
               settings=False),
)


def parser() -> Parser:
    return build_parser(SUBCOMMANDS, EXAMPLES)
