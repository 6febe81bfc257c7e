"""Command-line client for an Accounts server: ``ferrovane-accounts`` or
``python -m ferrovane.sdk.cli``.

Each subcommand makes one query through the native client and prints the answer as a
table (or as JSON with --json). Failures end in one line on stderr and an exit code
that tells their kind apart, so scripts can react without parsing text.
"""

import argparse
import contextlib
import itertools
import json
import os
import shutil
import ssl
import sys
from urllib.parse import urlsplit, urlunsplit

import requests
import urllib3
from requests.adapters import HTTPAdapter

from .. import __version__, _tables
from ..accounts_api import DEFAULT_ACCOUNTS_API_VERSION, ApiClient
from ..stand_in_server import StandInServer
from .deadline import call_within

PROG = "ferrovane-accounts"
TOKEN_VARIABLE = "FERROVANE_ACCOUNTS_TOKEN"
DEFAULT_TIMEOUT = 30.0
DEMO_SERVER_LIFETIME = 300.0
ALL_EVENTS_PAGE_SIZE = 100
# --all holds every event in memory: at the default page size this is a million events.
MAX_ALL_PAGES = 10_000
# Accounts answers nest a few levels; a deeper document is no answer, and printing it
# would run out of stack.
MAX_ANSWER_DEPTH = 100
# What OpenSSL reports when the other end answers a TLS hello in plain text.
NOT_TLS_REASONS = {"WRONG_VERSION_NUMBER", "RECORD_LAYER_FAILURE", "PACKET_LENGTH_TOO_LONG", "UNKNOWN_PROTOCOL"}

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
  {EXIT_CONNECTION}  connection failed (refused, unknown host, TLS, no whole answer within --timeout)
  {EXIT_UNAUTHORIZED}  unauthorized (401 or 403): check the token
  {EXIT_NOT_FOUND}  not found (404)
  {EXIT_BAD_REQUEST}  bad request (400)
  {EXIT_SERVER_ERROR}  server error (5xx)
  {EXIT_OTHER_HTTP}  any other HTTP failure, an answer that is not usable JSON (with --all: a page
     that is not one, or pages without end), or a redirect to an unusable URL

The token can come from the environment variable {TOKEN_VARIABLE} instead of
--token, which keeps it out of the shell history and the process list."""
SERVER_URL_SHAPE = "it should look like https://accounts.example.com or http://host:port"
SUBCOMMAND_EPILOG = (f"Options such as --server, --token and --json may also come after the subcommand; "
                     f"see {PROG} --help.")


class UnusableAnswer(Exception):
    """An answer that arrived whole but cannot be shown; the text says why."""


class IncompleteListing(Exception):
    """--all stopped at ``page`` (counting from 1) because of ``cause``; ``listing`` holds
    the events of the pages before it."""

    def __init__(self, cause, page, listing):
        super().__init__(cause, page, listing)
        self.cause, self.page, self.listing = cause, page, listing


class RequestDefaultsAdapter(HTTPAdapter):
    """An HTTP adapter that supplies what the client does not pass with each request.

    A timeout for each connect and read, which also leaves no worker of an expired
    deadline waiting for ever (the deadline itself is ``call_within``'s). With
    ``insecure``, certificate checks off for good: when a call passes no ``verify``,
    requests lets REQUESTS_CA_BUNDLE or CURL_CA_BUNDLE from the environment override
    the session's ``verify=False``.
    """

    def __init__(self, timeout, insecure=False, **kwargs):
        self.timeout = timeout
        self.insecure = insecure
        super().__init__(**kwargs)

    def send(self, request, stream=False, timeout=None, verify=True, **kwargs):
        return super().send(request, stream=stream, timeout=self.timeout if timeout is None else timeout,
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
    if parts.query or parts.fragment:
        # Pasted from a browser's address bar: the API paths would be put after it.
        base = urlunsplit(parts._replace(query="", fragment=""))
        raise argparse.ArgumentTypeError(
            f"not a server URL: {text!r} has a {'query' if parts.query else 'fragment'} "
            f"({'?' + parts.query if parts.query else '#' + parts.fragment}); give the base URL alone, "
            f"e.g. {base!r}")
    return text


def _document(response):
    """The JSON document of an answer; UnusableAnswer says why there is none."""
    if _is_html(response):
        raise UnusableAnswer("it is an HTML page, not an answer of the Accounts API: check the base URL")
    content = response.content
    encoding = response.encoding or requests.utils.guess_json_utf(content) or "utf-8"
    try:
        if not encoding.isascii():  # names no codec; looking it up warns from 3.15 on
            raise LookupError(encoding)
        text = content.decode(encoding, errors="replace")
    except (LookupError, ValueError):  # no codec, one not for text, or one that cannot replace (idna)
        raise UnusableAnswer(f"its charset {encoding!r} cannot decode it") from None
    try:
        document = json.loads(text)
    except RecursionError:
        raise UnusableAnswer("it is JSON nested too deeply") from None
    except json.JSONDecodeError:
        raise UnusableAnswer("it is not JSON") from None
    except ValueError:  # an integer with more digits than Python converts
        raise UnusableAnswer("it holds a number too long to read") from None
    if _deeper_than(document, MAX_ANSWER_DEPTH):
        raise UnusableAnswer("it is JSON nested too deeply")
    return document


def _deeper_than(document, limit):
    pending = [(document, 1)]
    while pending:
        value, depth = pending.pop()
        if isinstance(value, (dict, list)):
            if depth > limit:
                return True
            pending.extend((item, depth + 1) for item in (value.values() if isinstance(value, dict) else value))
    return False


def _is_html(response):
    # By the body first: JSON that a server mislabels as HTML is still read.
    start = response.content[:100].lstrip().lower()
    media_type = response.headers.get("Content-Type", "").split(";")[0].strip().lower()
    return start.startswith((b"<!doctype html", b"<html")) or (
        start.startswith(b"<") and media_type in ("text/html", "application/xhtml+xml"))


def _fetch(args, call):
    """The response of ``call()``, a client call, with its body read, within --timeout."""
    def fetch():
        response = call().response
        response.content  # the body is read here, within the deadline
        return response
    return call_within(args.timeout, fetch)


def _answer_of(call):
    """A query that makes one call and returns its decoded answer."""
    return lambda client, args: _document(_fetch(args, lambda: call(client, args)))


def _events(client, args):
    if args.all:
        return _every_event(client, args)
    page_number = None if args.page is None else args.page - 1  # the server counts pages from 0
    return _document(_fetch(args, lambda: client.get_event_log(
        args.app, offset=args.offset, pageNumber=page_number, pageSize=args.size, **_event_filters(args))))


def _event_filters(args):
    return {"search": args.search, "sort_sorted": True if args.order == "sorted" else None,
            "sort_unsorted": True if args.order == "unsorted" else None}


def _every_event(client, args):
    """Every event, fetched a page at a time, returned as one page of the server's shape.

    A page after the first that fails, that is no page, or that repeats the one before
    it (a server that ignores the page number), and more than MAX_ALL_PAGES pages, end
    it with IncompleteListing. When stderr is a terminal, it shows the pages fetched.
    """
    show_progress = sys.stderr.isatty()
    size = args.size or ALL_EVENTS_PAGE_SIZE
    events, previous, total = [], None, None
    try:
        for number in itertools.count():
            try:
                if number == MAX_ALL_PAGES:
                    raise UnusableAnswer(f"it says that more pages follow after {MAX_ALL_PAGES}, "
                                         "the most that --all fetches")
                page = _document(_fetch(args, lambda: client.get_event_log(
                    args.app, pageNumber=number, pageSize=size, **_event_filters(args))))
                if not isinstance(page, dict) or not isinstance(page.get("content"), list):
                    if number == 0:
                        return page  # not a page: shown as it came
                    excerpt = _tables.clip(json.dumps(page, separators=(",", ":")), 100)
                    raise UnusableAnswer(f"it is not a page of events: {excerpt}")
                if page["content"] and page["content"] == previous:
                    raise UnusableAnswer("it repeats the page before it: the server does not page")
            except (requests.RequestException, UnusableAnswer) as error:
                if number == 0:
                    raise
                raise IncompleteListing(error, number + 1, _one_page(events, whole=False, total=total)) from None
            events += page["content"]
            previous = page["content"]
            pages, total = page.get("totalPages"), page.get("totalElements")
            if number == 0 and isinstance(pages, int) and pages > MAX_ALL_PAGES:
                raise UnusableAnswer(f"it says the listing has {pages} pages of {size} events, more than --all "
                                     f"fetches ({MAX_ALL_PAGES}): narrow it with --search, or take a larger --size")
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
    return _one_page(events)


def _one_page(events, whole=True, total=None):
    """``events`` as one page of the server's shape. A listing that is not ``whole`` says
    so ("last": false) and keeps the server's ``total`` of events, when it gave one."""
    if whole or not isinstance(total, int) or total < len(events):
        total = len(events)
    return {"content": events, "totalElements": total, "totalPages": 1, "number": 0, "size": len(events),
            "numberOfElements": len(events), "first": True, "last": whole, "empty": not events}


def _add_global_options(parser, after_command=False):
    """The options of every query. After the subcommand they are accepted too, left out
    of its help and unset unless given, so that they do not undo those given before it."""
    hidden = {"default": argparse.SUPPRESS, "help": argparse.SUPPRESS} if after_command else {}

    def option(container, *names, **settings):
        container.add_argument(*names, **{**settings, **hidden})

    target = parser.add_mutually_exclusive_group()
    option(target, "--server", metavar="URL", type=_server_url,
           help="the server's base URL, e.g. https://accounts.example.com")
    option(target, "--demo", action="store_true",
           help="start a local stand-in server and query it (uses its token unless --token is given)")
    option(parser, "--token", help=f"the API token (default: ${TOKEN_VARIABLE})")
    option(parser, "--api-version", type=_count(1), default=DEFAULT_ACCOUNTS_API_VERSION, metavar="N",
           help="API version in the request paths (default: %(default)s)")
    option(parser, "--insecure", action="store_true", help="do not check the server's TLS certificate")
    option(parser, "--timeout", type=_seconds, default=DEFAULT_TIMEOUT, metavar="SECONDS",
           help="give up when a request, with its redirects, has not brought its whole answer after this long "
                "(with --all, each page has this long) (default: %(default)s)")
    option(parser, "--json", action="store_true",
           help="print the server's answer as JSON instead of a table, and messages whole")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG, description="Query a Ferrovane Accounts server from the command line.",
        epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_global_options(parser)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, help, query, show):
        sub = commands.add_parser(name, help=help, description=help[0].upper() + help[1:] + ".",
                                  epilog=SUBCOMMAND_EPILOG)
        sub.set_defaults(query=query, show=show)
        _add_global_options(sub, after_command=True)
        return sub

    def whole(view):  # field lists are not cut to the terminal: a URL must stay whole
        return lambda answer, width: view(answer)

    command("user", "show the user that the token belongs to",
            _answer_of(lambda client, args: client.get_current_user()), whole(_tables.fields))
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
                           whole(_tables.fields))
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


def _innermost(error):
    """The innermost cause of a connection failure."""
    seen = set()
    while id(error) not in seen:
        seen.add(id(error))
        reason = getattr(error, "reason", None)  # urllib3 keeps the cause of a failed retry here
        inner = reason if isinstance(reason, BaseException) else error.__cause__ or error.__context__
        if inner is None:
            break
        error = inner
    return error


def _underlying_reason(error):
    """The innermost cause of a connection failure in words, e.g. "Connection refused"."""
    error = _innermost(error)
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)


class _Redirects:
    """A response hook that keeps the target of a redirect until the answer to it comes,
    so that a target that cannot be followed is blamed, not the --server given."""

    def __init__(self):
        self.target = None

    def __call__(self, response, **kwargs):
        self.target = response.headers.get("Location") if response.is_redirect else None


URL_ERRORS = (requests.exceptions.MissingSchema, requests.exceptions.InvalidSchema, requests.exceptions.InvalidURL,
              urllib3.exceptions.LocationParseError)


def _failure(error, args, server_url, redirect):
    """The line and the exit code that report ``error``, or None if it is not a failure of a query."""
    if isinstance(error, UnusableAnswer):
        return f"the answer from {server_url} is not usable: {error}", EXIT_OTHER_HTTP
    if isinstance(error, requests.HTTPError):
        response = error.response
        status = getattr(response, "status_code", None)
        if response is not None and _is_html(response):
            line = _tables.http_failure(error, instead_of_message="an HTML page, not an answer of the Accounts "
                                                                  f"API: check the base URL {server_url}")
        else:
            line = _tables.http_failure(error)
        hint = " (check --token or $" + TOKEN_VARIABLE + ")" if status in (401, 403) else ""
        return line + hint, exit_code_for_status(status)
    # The errors of requests, urllib3 and urllib.parse about a URL are all ValueErrors.
    if redirect is not None and isinstance(error, ValueError):
        return f"the server redirected to a URL that cannot be followed: {redirect!r}", EXIT_OTHER_HTTP
    if isinstance(error, URL_ERRORS):
        return f"not a usable server URL: {server_url!r} ({SERVER_URL_SHAPE})", EXIT_USAGE
    if isinstance(error, requests.Timeout):
        return f"no whole answer from {server_url} within {args.timeout:g} s", EXIT_CONNECTION
    if isinstance(error, requests.exceptions.SSLError):
        return _tls_failure(error, server_url, args.insecure), EXIT_CONNECTION
    if isinstance(error, requests.ConnectionError):
        return f"cannot connect to {server_url}: {_underlying_reason(error)}", EXIT_CONNECTION
    if isinstance(error, requests.RequestException):
        return f"request to {server_url} failed: {error}", EXIT_OTHER_HTTP
    return None


def _tls_failure(error, server_url, insecure):
    cause = _innermost(error)
    if isinstance(cause, ssl.SSLError) and cause.reason in NOT_TLS_REASONS:
        plain = urlunsplit(urlsplit(server_url)._replace(scheme="http"))
        return f"{server_url} does not speak TLS; if the server speaks plain HTTP, use {plain}"
    hint = ""
    if isinstance(cause, ssl.SSLCertVerificationError) and not insecure:
        hint = " (--insecure skips the certificate check)"
    return f"TLS with {server_url} failed: {_underlying_reason(error)}{hint}"


def run(args, server_url, token):
    """Make the query that ``args`` asks for and print its answer; returns the exit code."""
    client = ApiClient(server_url, token, args.api_version,
                       session_attributes={"verify": False} if args.insecure else None)
    adapter = RequestDefaultsAdapter(args.timeout, insecure=args.insecure)
    client._session.mount("http://", adapter)
    client._session.mount("https://", adapter)
    redirects = _Redirects()
    client._session.hooks["response"].append(redirects)
    client.login()
    try:
        answer = args.query(client, args)
    except IncompleteListing as stopped:
        _show(args, stopped.listing)  # what came in is not lost
        message, code = _failure(stopped.cause, args, server_url, redirects.target)
        fetched = stopped.listing["numberOfElements"]
        return fail(f"{message} (--all stopped at page {stopped.page}; the events before it are printed: "
                    f"{fetched} event{'' if fetched == 1 else 's'})", code)
    except Exception as error:
        failure = _failure(error, args, server_url, redirects.target)
        if failure is None:
            raise
        return fail(*failure)
    _show(args, answer)
    return 0


def _show(args, answer):
    # Tables fit the terminal; in a file or a pipe their lines are whole.
    width = shutil.get_terminal_size().columns if sys.stdout.isatty() else None
    print(_tables.as_json(answer) if args.json else args.show(answer, width))


def fail(message, code):
    print(f"{PROG}: {_tables.printable(message)}", file=sys.stderr)
    return code


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.server and args.demo:  # one before the subcommand, the other after it
        parser.error("argument --demo: not allowed with argument --server")
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
