"""The command line from start to end: parse the arguments, resolve the settings (the token
read and checked), make the query, print the answer, and end with an exit status for
every way that it can end (see status.py), never a traceback."""

import contextlib
import logging
import sys
from collections.abc import Iterator, Sequence

from .. import deadline, retries
from ..accounts_api import ApiClient
from . import commands, output, session, settings
from .arguments import Parser, Subcommand
from .failures import Redirects, failure
from .names import DEMO_SERVER_LIFETIME
from .queries import PRINTED, IncompleteListing, Interrupted
from .settings import Invocation, Token
from .status import ExitStatus


def main(argv: Sequence[str] | None = None) -> int:
    with output.standard_streams():
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    parser = commands.parser()
    if not (sys.argv[1:] if argv is None else argv):
        return _bare(parser)
    try:
        parsed = parser.parse(argv)
    except output.OutputFailed as failed:  # --help or --version could not be written
        return output.failed_status(failed)
    subcommand = parsed.subcommand
    try:
        if subcommand.run is not None:
            return int(subcommand.run(parser, parsed.flags, parsed.arguments))  # the subcommand's exit status
        with contextlib.ExitStack() as stack:
            try:
                invocation = settings.resolve(parsed.flags, subcommand.name, parsed.arguments)
            except settings.UsageProblem as problem:
                parser.error(str(problem))
            except settings.SettingsProblem as problem:
                output.fail(str(problem))
                return ExitStatus.USAGE
            if invocation.demo:
                # Imported here: only --demo needs the stand-in server.
                from ..stand_in_server import StandInServer
                server = stack.enter_context(StandInServer(lifetime=DEMO_SERVER_LIFETIME))
                invocation = invocation._replace(
                    server=server.url,
                    token=invocation.token or Token(server.token, "the stand-in of --demo"))
            return run(subcommand, invocation)
    except KeyboardInterrupt:
        output.fail("interrupted")
        return ExitStatus.INTERRUPTED
    except BrokenPipeError:
        # The reader (e.g. head) has gone; the rest of the output has nowhere to go.
        output.discard_stdout()
        return ExitStatus.SUCCESS
    except Exception as error:  # a fault of the command line itself: still one line
        output.fail(f"internal error: {type(error).__name__}: {error} (please report it)")
        return ExitStatus.INTERNAL_ERROR


def _bare(parser: Parser) -> int:
    """A bare command prints the help and succeeds, as gh and kubectl do: nothing was
    asked that failed (git exits 1 there)."""
    try:
        output.write(parser.format_help())
    except output.OutputFailed as failed:
        return output.failed_status(failed)
    return ExitStatus.SUCCESS


def run(subcommand: Subcommand, invocation: Invocation) -> int:
    """Make the query of ``subcommand`` and print its answer; returns the exit status. For
    --demo, nothing of the user's environment is used."""
    server_url, token = invocation.server, invocation.token
    assert subcommand.query is not None and server_url is not None and token is not None
    try:
        client = session.client_for(server_url, token.value, invocation.api_version, invocation.timeout,
                                    invocation.insecure, invocation.max_answer_size,
                                    environment=not invocation.demo, ca_bundle_file=invocation.ca_bundle,
                                    trace=invocation.verbose)
    except session.UnusableEnvironment as problem:
        output.fail(str(problem))
        return ExitStatus.USAGE
    if not invocation.demo and (warning := session.httpoxy_warning(server_url)):
        output.fail(warning)
    redirects = Redirects()
    client._session.hooks["response"].append(redirects)
    deadline.watch(client._session)  # an answer that outlasts --timeout is closed, not left to run on
    if invocation.retries:  # each wait is cut short by the --timeout deadline of the request
        policy = retries.mount_retries(client, retries=invocation.retries, max_wait=invocation.timeout)
        policy.connect = 0  # a server that refuses or cannot be reached is said at once
    with _waits_said(invocation.retries > 0 and sys.stderr.isatty() and not invocation.verbose):
        return _query(subcommand, invocation, client, server_url, redirects)


def _query(subcommand: Subcommand, invocation: Invocation, client: ApiClient, server_url: str,
           redirects: Redirects) -> int:
    assert subcommand.query is not None
    client.login()
    try:
        answer = subcommand.query(client, invocation)
    except IncompleteListing as stopped:
        shown, note = _show(subcommand, invocation, stopped.listing)  # what came in is not lost
        if shown == ExitStatus.OUTPUT:
            return shown
        fetched = stopped.fetched
        where = (f"--all stopped at page {stopped.page}; the events before it are printed: "
                 f"{fetched} event{'' if fetched == 1 else 's'}{f'; {note}' if note else ''}")
        if isinstance(stopped.cause, Interrupted):
            output.fail(f"interrupted ({where})")
            return ExitStatus.INTERRUPTED
        reported = failure(stopped.cause, invocation, server_url, redirects.target)
        assert reported is not None  # IncompleteListing holds only failures of a query
        output.fail(f"{reported[0]} ({where})")
        return reported[1]
    except output.OutputFailed as failed:  # events printed as they came (--jsonl)
        return output.failed_status(failed)
    except Exception as error:
        reported = failure(error, invocation, server_url, redirects.target)
        if reported is None:
            raise
        output.fail(reported[0])
        return reported[1]
    shown, note = _show(subcommand, invocation, answer)
    if note:
        output.fail(note)
    return shown


class _Waits(logging.Handler):
    """Says each wait between tries of a request in a line on stderr."""

    def emit(self, record: logging.LogRecord) -> None:
        wait = getattr(record, "wait", None)
        if isinstance(wait, float):
            set_by = getattr(record, "set_by", "backoff")
            why = "answer cut short" if set_by == "cut short" else "server busy"
            output.fail(f"{why}: waiting {wait:.3g} s ({'backoff' if set_by == 'cut short' else set_by}), "
                        f"try {getattr(record, 'attempt', '?')} of {getattr(record, 'attempts', '?')}")


@contextlib.contextmanager
def _waits_said(said: bool) -> Iterator[None]:
    if not said:
        yield
        return
    logger, handler = logging.getLogger(retries.__name__), _Waits(logging.INFO)
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


def _show(subcommand: Subcommand, invocation: Invocation, answer: object) -> tuple[ExitStatus, str | None]:
    """The status of printing ``answer`` (a failure reported), and a note to report after it."""
    try:
        if answer is PRINTED:
            output.flush()
            return ExitStatus.SUCCESS, None
        show = subcommand.show
        assert show is not None
        return ExitStatus.SUCCESS, output.show(answer, invocation.output,
                                               lambda answer, width: show(answer, width, invocation.arguments))
    except output.OutputFailed as failed:
        return output.failed_status(failed), None
