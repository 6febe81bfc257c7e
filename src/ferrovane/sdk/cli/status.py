"""The exit statuses of the command line, each with its meaning, declared once: the
--help epilog is made from them (and from the examples that commands.py gives), and so
is the documented table (scripts/render_docs.py)."""

import textwrap
from collections.abc import Sequence
from enum import IntEnum


class ExitStatus(IntEnum):
    SUCCESS = 0
    INTERNAL_ERROR = 1
    USAGE = 2
    CONNECTION = 3
    UNAUTHORIZED = 4
    NOT_FOUND = 5
    BAD_REQUEST = 6
    SERVER_ERROR = 7
    OTHER_HTTP = 8
    OUTPUT = 9
    INTERRUPTED = 130

    @property
    def meaning(self) -> str:
        """What the status says, as the README's table says it (with its `code` marks)."""
        return MEANINGS[self]

    @classmethod
    def for_http_status(cls, status: object) -> "ExitStatus":
        if status in (401, 403):
            return cls.UNAUTHORIZED
        if status == 404:
            return cls.NOT_FOUND
        if status == 400:
            return cls.BAD_REQUEST
        if isinstance(status, int) and 500 <= status <= 599:
            return cls.SERVER_ERROR
        return cls.OTHER_HTTP


MEANINGS = {
    ExitStatus.SUCCESS: "success",
    ExitStatus.INTERNAL_ERROR: "an unexpected internal error (one line names it; please report it)",
    ExitStatus.USAGE: "usage error: bad option or token, a name or id that is no single path segment, no "
                      "`--server` or `--demo`, no token, malformed URL or one with credentials, a proxy variable or "
                      "CA bundle variable that is not usable, a config file, profile or token source that is not "
                      "usable",
    ExitStatus.CONNECTION: "connection failed: refused, unknown host, TLS (a certificate, `https://` to a plain-HTTP "
                           "server or `http://` to a TLS one), a proxy that refused or could not reach the server, "
                           "no whole answer within `--timeout`",
    ExitStatus.UNAUTHORIZED: "unauthorized (401 or 403): check the token",
    ExitStatus.NOT_FOUND: "not found (404)",
    ExitStatus.BAD_REQUEST: "bad request (400)",
    ExitStatus.SERVER_ERROR: "server error (5xx)",
    ExitStatus.OTHER_HTTP: "any other HTTP failure; an answer that is not usable JSON (not JSON, HTML, nested too "
                           "deeply, a number too long, a charset that cannot decode it) or larger than "
                           "`--max-answer-size`; with `--all`, a later page "
                           "that is not one, repeats, or pages without end; a redirect to a URL that cannot be "
                           "followed",
    ExitStatus.OUTPUT: "the output could not be written (e.g. a full disk, a closed stdout)",
    ExitStatus.INTERRUPTED: "interrupted (Ctrl-C); with `--all`, the events fetched so far are printed first",
}


def epilog(token_variable: str, examples: Sequence[tuple[str, str]] = ()) -> str:
    """The end of --help: a few ``examples`` (command, what it does), every exit code, and
    where the token may come from."""
    lines = ["examples:"] if examples else []
    for command, what in examples:
        lines += [f"  {command}", f"      {what}"]
    lines += [""] if examples else []
    lines += ["exit codes:"]
    for status in ExitStatus:
        text = status.meaning.replace("`", "")
        lines += textwrap.wrap(text, 79, initial_indent=f"  {status.value:>3}  ", subsequent_indent=" " * 7,
                               break_on_hyphens=False)
    return "\n".join(lines) + (
        f"\n\nThe token can come from --token-file, the environment variable {token_variable}\n"
        "or a profile's token_file or token_command instead of --token, which keeps it out\n"
        "of the shell history and the process list. Each setting is taken from a flag, else\n"
        "the environment, else the profile, else the default: see the config subcommand.\n"
        "A profile's token goes only to the profile's own server.")
