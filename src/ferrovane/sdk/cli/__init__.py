"""Command-line client for an Accounts server: ``ferrovane-accounts`` or
``python -m ferrovane.sdk.cli``.

Each subcommand makes one query through the native client and prints the answer as a
table (or as JSON with --json). Failures end in one line on stderr and an exit status
that tells their kind apart, so scripts can react without parsing text. The modules, from
the bottom up:

- names (the program's name, variables, defaults, bounds), status (the exit statuses),
  urls (the server's and the proxies' URLs, read as requests reads them);
- checks (each value's check), output (stdout and stderr), inputs (files, stdin, a
  terminal and a token command, each bounded);
- config_file (the config file and its profiles), settings (each setting from a flag, the
  environment, a profile or the default; the server and token as a pair; the Invocation);
- trace (-v), session (what of the environment is used), queries (the requests, each
  within --timeout), walk_all (events --all), failures (the line and status of each failure);
- arguments (the parser, built from a table), completion, config_command (the config
  subcommand), commands (the table of subcommands), command_line (from start to end).
"""

import sys
from collections.abc import Sequence

from .status import ExitStatus

__all__ = ["ExitStatus", "main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on ``argv`` (default: the process's arguments); returns its
    exit status."""
    if list(sys.argv[1:] if argv is None else argv) == ["--version"] and _print_version():
        return ExitStatus.SUCCESS
    from .command_line import main as run  # imports the rest: the parser, the client, requests

    return run(argv)


def _print_version() -> bool:
    """--version given alone, printed without the parser or requests, at a fraction of the
    start; False when stdout does not take it, and the whole command line reports that."""
    from .names import PROG
    from .version import version_line

    try:
        sys.stdout.write(version_line(PROG))
        sys.stdout.flush()
    except (AttributeError, OSError, ValueError):  # closed at start (None), closed, full
        return False
    return True
