"""The command line from start to end: parse the options, check the token and the
environment, make the query, print the answer, and end with an exit status for every
way that it can end (see status.py), never a traceback."""

import argparse
import contextlib
import sys
from collections.abc import Sequence

from .. import deadline
from . import output, session, settings
from .arguments import TOKEN_VARIABLE, build_parser, token_problem
from .failures import Redirects, failure
from .queries import PRINTED, IncompleteListing, Interrupted
from .status import ExitStatus

DEMO_SERVER_LIFETIME = 300.0


def main(argv: Sequence[str] | None = None) -> int:
    with output.standard_streams():
        return _main(argv)


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    if not (sys.argv[1:] if argv is None else argv):
        return _bare(parser)
    args = parser.parse_args(argv)
    if args.server and args.demo:  # one before the subcommand, the other after it
        parser.error("argument --demo: not allowed with argument --server")
    try:
        if (run_locally := getattr(args, "run_locally", None)) is not None:
            return int(run_locally(parser, args))  # the subcommand's exit status
        with contextlib.ExitStack() as stack:
            try:
                server_url, token = _apply_settings(parser, args)
            except settings.SettingsProblem as problem:
                output.fail(str(problem))
                return ExitStatus.USAGE
            if args.demo:
                # Imported here: only --demo needs the stand-in server.
                from ..stand_in_server import StandInServer
                server = stack.enter_context(StandInServer(lifetime=DEMO_SERVER_LIFETIME))
                return run(args, server.url, token or server.token, environment=False)
            assert server_url is not None and token is not None
            return run(args, server_url, token)
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


def _apply_settings(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[str | None, str | None]:
    """Sets ``args`` from the settings (flags, then environment, then profile, then
    defaults) and returns the server's URL and the token, read from its source (for
    --demo, None where its stand-in's are used). Raises SettingsProblem."""
    chosen = settings.resolve(args)
    args.api_version, args.timeout = chosen.api_version.value, chosen.timeout.value
    args.ca_bundle = None if args.insecure else chosen.ca_bundle_file()
    if not args.demo and chosen.server.value is None:
        parser.error(f"say which server to query: --server URL, ${settings.SERVER_VARIABLE}, a profile's server "
                     "(see config), or --demo for a local stand-in")
    source = chosen.token.value
    if source is None:
        if not args.demo:
            parser.error(f"no token: give --token-file PATH (- for stdin), set {TOKEN_VARIABLE}, or give the "
                         "profile a token_file or token_command")
        return None, None
    return chosen.server.value, _usable_token(parser, source.read(), source.source)


def _bare(parser: argparse.ArgumentParser) -> int:
    """A bare command prints the help and succeeds, as gh and kubectl do: nothing was
    asked that failed (git exits 1 there)."""
    try:
        output.write(parser.format_help())
    except output.OutputFailed as failed:
        return output.failed_status(failed)
    return ExitStatus.SUCCESS


def _usable_token(parser: argparse.ArgumentParser, token: str | None, source: str) -> str | None:
    if token and (problem := token_problem(token)) is not None:
        parser.error(f"the token from {source} {problem}")
    return token


def run(args: argparse.Namespace, server_url: str, token: str, environment: bool = True) -> int:
    """Make the query that ``args`` asks for and print its answer; returns the exit status.
    Without ``environment``, nothing of the user's environment is used (for --demo)."""
    try:
        client = session.client_for(server_url, token, args.api_version, args.timeout, args.insecure,
                                    args.max_answer_size, environment=environment,
                                    ca_bundle_file=getattr(args, "ca_bundle", None), trace=args.verbose)
    except session.UnusableEnvironment as problem:
        output.fail(str(problem))
        return ExitStatus.USAGE
    if environment and (warning := session.httpoxy_warning(server_url)):
        output.fail(warning)
    redirects = Redirects()
    client._session.hooks["response"].append(redirects)
    deadline.watch(client._session)  # an answer that outlasts --timeout is closed, not left to run on
    client.login()
    try:
        answer = args.query(client, args)
    except IncompleteListing as stopped:
        shown, note = _show(args, stopped.listing)  # what came in is not lost
        if shown == ExitStatus.OUTPUT:
            return shown
        fetched = stopped.fetched
        where = (f"--all stopped at page {stopped.page}; the events before it are printed: "
                 f"{fetched} event{'' if fetched == 1 else 's'}{f'; {note}' if note else ''}")
        if isinstance(stopped.cause, Interrupted):
            output.fail(f"interrupted ({where})")
            return ExitStatus.INTERRUPTED
        reported = failure(stopped.cause, args, server_url, redirects.target)
        assert reported is not None  # IncompleteListing holds only failures of a query
        output.fail(f"{reported[0]} ({where})")
        return reported[1]
    except output.OutputFailed as failed:  # events printed as they came (--jsonl)
        return output.failed_status(failed)
    except Exception as error:
        reported = failure(error, args, server_url, redirects.target)
        if reported is None:
            raise
        output.fail(reported[0])
        return reported[1]
    shown, note = _show(args, answer)
    if note:
        output.fail(note)
    return shown


def _show(args: argparse.Namespace, answer: object) -> tuple[ExitStatus, str | None]:
    """The status of printing ``answer`` (a failure reported), and a note to report after it."""
    try:
        if answer is PRINTED:
            output.flush()
            return ExitStatus.SUCCESS, None
        return ExitStatus.SUCCESS, output.show(args, answer)
    except output.OutputFailed as failed:
        return output.failed_status(failed), None
