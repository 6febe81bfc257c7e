"""Command-line client for an Accounts server: ``ferrovane-accounts`` or
``python -m ferrovane.sdk.cli``.

Each subcommand makes one query through the native client and prints the answer as a
table (or as JSON with --json). Failures end in one line on stderr and an exit status
that tells their kind apart, so scripts can react without parsing text. The modules:
arguments (options and their types), settings (each setting from a flag, the
environment, a profile of the config file or the default; the token's sources),
config_command (the config subcommand), urls (the server's and the proxies' URLs, read as
requests reads them), session (what of the environment is used), queries (the requests,
each within --timeout, and --all), failures (the line and status
of each failure), status (the exit statuses), output (stdout and stderr), command (main).
"""

from .command import main
from .status import ExitStatus

__all__ = ["ExitStatus", "main"]
