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
  subcommand), commands (the table of subcommands), main.
"""

from .main import main
from .status import ExitStatus

__all__ = ["ExitStatus", "main"]
