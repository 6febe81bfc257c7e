"""Command-line client for an Accounts server: ``ferrovane-accounts`` or
``python -m ferrovane.sdk.cli``.

Each subcommand makes one query through the native client and prints the answer as a
table (or as JSON with --json). Failures end in one line on stderr and an exit code
that tells their kind apart, so scripts can react without parsing text.
"""

import argparse
import contextlib
import itertools
import os
import sys
from urllib.parse import urlsplit

import requests
import urllib3
from requests.adapters import HTTPAdapter

from . import __version__, _tables
from .accounts_api import DEFAULT_ACCOUNTS_API_VERSION, ApiClient
from .stand_in_server import StandInServer

PROG = "ferrovane-accounts"
TOKEN_VARIABLE = "FERROVANE_ACCOUNTS_TOKEN"
DEFAULT_TIMEOUT = 30.0
DEMO_SERVER_LIFETIME = 300.0
ALL_EVENTS_PAGE_SIZE = 100

EXIT_USAGE = 2
EXIT_CONNECTION = 3
EXIT_UNAUTHORIZED = 4
EXIT_NOT_FOUND = 5
EXIT_BAD_REQUEST = 6
EXIT_SERVER_ERROR = 7
EXIT_OTHER_HTTP = 8

EXIT_CODES_HELP = f"""\
exit codes:
  0  success
  {EXIT_USAGE}  usage error (bad option, no --server or --demo, no token, malformed URL)
  {EXIT_CONNECTION}  connection failed (refused, unknown host, certificate, timeout)
  {EXIT_UNAUTHORIZED}  unauthorized (401 or 403): check the token
  {EXIT_NOT_FOUND}  not found (404)
  {EXIT_BAD_REQUEST}  bad request (400)
  {EXIT_SERVER_ERROR}  server error (5xx)
  {EXIT_OTHER_HTTP}  any other HTTP failure, or an answer that is not JSON

The token can come from the environment variable {TOKEN_VARIABLE} instead of
--token, which keeps it out of the shell history and the process list."""
SERVER_URL_SHAPE = "it should look like https://accounts.example.com or http://host:port"
SUBCOMMAND_EPILOG = f"Options such as --server, --token and --json go before the subcommand; see {PROG} --help."


class RequestDefaultsAdapter(HTTPAdapter):
    """An HTTP adapter that supplies what the client does not pass with each request.

    A timeout: without one, a server that stops answering would hang the command for ever.
    With ``insecure``, certificate checks off for good: when a call passes no ``verify``,
    requests lets REQUESTS_CA_BUNDLE or CURL_CA_BUNDLE from the environment override the
    session's ``verify=False``.
    """

    def __init__(self, timeout, insecure=False, **kwargs):
        self.timeout = timeout
        self.insecure = insecure
        super().__init__(**kwargs)

    def send(self, request, timeout=None, verify=True, **kwargs):
        return super().send(request, timeout=self.timeout if timeout is None else timeout,
                            verify=False if self.insecure else verify, **kwargs)


def _count(minimum):
    def parse(text):
        try:
            number = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if number < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {number}")
        return number
    return parse


def _seconds(text):
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, got {text}")
    return seconds


def _server_url(text):
    # Checked before anything else, so that a mistyped URL is not reported as something
    # else first, or later in requests' words about the API path built from it.
    try:
        parts = urlsplit(text)
        parts.port  # raises ValueError for a port that is not a number from 0 to 65535
    except ValueError:
        parts = None
    if parts is None or parts.scheme not in ("http", "https") or not parts.hostname:
        raise argparse.ArgumentTypeError(
            f"not a server URL: {text!r} ({SERVER_URL_SHAPE})")
    return text


def _answer_of(call):
    """A query that makes one call and returns its decoded answer."""
    return lambda client, args: call(client, args).response.json()


def _events(client, args):
    if args.all:
        return _every_event(client, args)
    page_number = None if args.page is None else args.page - 1  # the server counts pages from 0
    return client.get_event_log(args.app, offset=args.offset, pageNumber=page_number, pageSize=args.size,
                                **_event_filters(args)).response.json()


def _event_filters(args):
    return {"search": args.search, "sort_sorted": True if args.order == "sorted" else None,
            "sort_unsorted": True if args.order == "unsorted" else None}


def _every_event(client, args):
    """Every event, fetched a page at a time, returned as one page of the server's shape.

    On a terminal (and without --json), stderr shows how many pages have come in.
    """
    show_progress = not args.json and sys.stdout.isatty() and sys.stderr.isatty()
    size = args.size or ALL_EVENTS_PAGE_SIZE
    events = []
    try:
        for number in itertools.count():
            page = client.get_event_log(args.app, pageNumber=number, pageSize=size,
                                        **_event_filters(args)).response.json()
            if not isinstance(page, dict) or not isinstance(page.get("content"), list):
                return page  # not a page: shown as it came
            events += page["content"]
            pages = page.get("totalPages")
            if show_progress:
                out_of = f" of {pages}" if isinstance(pages, int) else ""
                print(f"\rfetching events: page {number + 1}{out_of}", end="", file=sys.stderr, flush=True)
            # A page without "last" is taken as the whole answer, so that a server that
            # ignores the page number cannot keep this loop going.
            if not page["content"] or page.get("last", True) or (isinstance(pages, int) and number + 1 >= pages):
                break
    finally:
        if show_progress:
            print("\r\x1b[K", end="", file=sys.stderr, flush=True)
    return {"content": events, "totalElements": len(events), "totalPages": 1, "number": 0, "size": len(events),
            "numberOfElements": len(events), "first": True, "last": True, "empty": not events}


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Query a Ferrovane Accounts server from the command line.",
        epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    target = parser.add_mutually_exclusive_group()
    target.add_argument("--server", metavar="URL", type=_server_url,
                        help="the server's base URL, e.g. https://accounts.example.com")
    target.add_argument("--demo", action="store_true",
                        help="start a local stand-in server and query it (uses its token unless --token is given)")
    parser.add_argument("--token", help=f"the API token (default: ${TOKEN_VARIABLE})")
    parser.add_argument("--api-version", type=_count(1), default=DEFAULT_ACCOUNTS_API_VERSION, metavar="N",
                        help="API version in the request paths (default: %(default)s)")
    parser.add_argument("--insecure", action="store_true", help="do not check the server's TLS certificate")
    parser.add_argument("--timeout", type=_seconds, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help="give up on a request after this long (default: %(default)s)")
    parser.add_argument("--json", action="store_true", help="print the server's answer as JSON instead of a table")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help, query, show):
        sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                                  epilog=SUBCOMMAND_EPILOG)
        sub.set_defaults(query=query, show=show)
        return sub

    command("user", "show the user that the token belongs to",
            _answer_of(lambda client, args: client.get_current_user()), _tables.fields)
    events = command("events", "list the event log of an application, a page at a time", _events, _tables.event_page)
    events.add_argument("app", metavar="APP", help="application name, e.g. security or entitlements")
    start = events.add_mutually_exclusive_group()
    start.add_argument("--page", type=_count(1), metavar="N", help="page number, counting from 1 (default: 1)")
    start.add_argument("--offset", type=_count(0), metavar="N", help="start after this many events")
    start.add_argument("--all", action="store_true",
                       help="every event: fetch page after page (of --size events) and print them together")
    events.add_argument("--size", type=_count(1), metavar="N",
                        help=f"events per page (default: the server's; with --all, {ALL_EVENTS_PAGE_SIZE})")
    events.add_argument("--search", metavar="TEXT", help="only events that mention TEXT")
    order = events.add_mutually_exclusive_group()
    order.add_argument("--sorted", dest="order", action="store_const", const="sorted",
                       help="sorted by the server (newest first)")
    order.add_argument("--unsorted", dest="order", action="store_const", const="unsorted",
                       help="in the order the server stores them")
    event = command("event", "show the log entries of one event",
                    _answer_of(lambda client, args: client.get_event_log_for_an_event(args.app, args.id)),
                    _tables.event_log)
    event.add_argument("app", metavar="APP", help="application name")
    event.add_argument("id", metavar="ID", help="event id")
    command("releases", "list all releases", _answer_of(lambda client, args: client.return_all_releases()),
            _tables.releases)
    distribution = command("distribution", "show the download information of a distribution for a platform",
                           _answer_of(lambda client, args: client.get_distribution(args.key, args.platform)),
                           _tables.fields)
    distribution.add_argument("key", metavar="KEY", help="distribution key, e.g. orvik-4.2.0")
    distribution.add_argument("platform", metavar="PLATFORM", help="platform, e.g. linux-x86_64")
    return parser


def exit_code_for_status(status):
    if status in (401, 403):
        return EXIT_UNAUTHORIZED
    if status == 404:
        return EXIT_NOT_FOUND
    if status == 400:
        return EXIT_BAD_REQUEST
    if isinstance(status, int) and 500 <= status <= 599:
        return EXIT_SERVER_ERROR
    return EXIT_OTHER_HTTP


def _underlying_reason(error):
    """The innermost cause of a connection failure, e.g. "Connection refused"."""
    seen = set()
    while id(error) not in seen:
        seen.add(id(error))
        reason = getattr(error, "reason", None)  # urllib3 keeps the cause of a failed retry here
        inner = reason if isinstance(reason, BaseException) else error.__cause__ or error.__context__
        if inner is None:
            break
        error = inner
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)


def run(args, server_url, token):
    """Make the query that ``args`` asks for and print its answer; returns the exit code."""
    client = ApiClient(server_url, token, args.api_version,
                       session_attributes={"verify": False} if args.insecure else None)
    adapter = RequestDefaultsAdapter(args.timeout, insecure=args.insecure)
    client._session.mount("http://", adapter)
    client._session.mount("https://", adapter)
    client.login()
    try:
        answer = args.query(client, args)
    except requests.HTTPError as error:
        status = error.response.status_code if error.response is not None else None
        hint = " (check --token or $" + TOKEN_VARIABLE + ")" if status in (401, 403) else ""
        return fail(_tables.http_failure(error) + hint, exit_code_for_status(status))
    except (requests.exceptions.MissingSchema, requests.exceptions.InvalidSchema,
            requests.exceptions.InvalidURL, urllib3.exceptions.LocationParseError):
        return fail(f"not a usable server URL: {server_url!r} ({SERVER_URL_SHAPE})", EXIT_USAGE)
    except requests.Timeout:
        return fail(f"no answer from {server_url} within {args.timeout:g} s", EXIT_CONNECTION)
    except requests.exceptions.SSLError as error:
        return fail(f"TLS with {server_url} failed: {_underlying_reason(error)} "
                    "(--insecure skips the certificate check)", EXIT_CONNECTION)
    except requests.ConnectionError as error:
        return fail(f"cannot connect to {server_url}: {_underlying_reason(error)}", EXIT_CONNECTION)
    except requests.exceptions.JSONDecodeError:  # a RequestException too, so it comes first
        return fail(f"the answer from {server_url} is not JSON", EXIT_OTHER_HTTP)
    except requests.RequestException as error:
        return fail(f"request to {server_url} failed: {error}", EXIT_OTHER_HTTP)
    print(_tables.as_json(answer) if args.json else args.show(answer))
    return 0


def fail(message, code):
    print(f"{PROG}: {_tables.printable(message)}", file=sys.stderr)
    return code


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with contextlib.ExitStack() as stack:
            if args.demo:
                server = stack.enter_context(StandInServer(lifetime=DEMO_SERVER_LIFETIME))
                return run(args, server.url, args.token or server.token)
            if not args.server:
                parser.error("say which server to query: --server URL, or --demo for a local stand-in")
            token = args.token or os.environ.get(TOKEN_VARIABLE)
            if not token:
                parser.error(f"no token: give --token TOKEN or set {TOKEN_VARIABLE}")
            return run(args, args.server, token)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader (e.g. head) has gone; the rest of the output has nowhere to go.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
