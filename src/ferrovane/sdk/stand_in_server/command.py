"""The stand-in server run by hand: options, start, and a clean end on every signal.

``python -m ferrovane.sdk.stand_in_server`` serves in the foreground until Ctrl-C, SIGTERM
or the end of ``--lifetime``, keeping no record of requests, so that its memory stays
bounded however long it runs. ``--fault`` makes a route fail as a real server or network
can, and ``--tls`` serves HTTPS with a self-signed certificate.
"""

from __future__ import annotations

import argparse
import contextlib
import enum
import logging
import math
import signal
import sys
import textwrap
import threading
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import NamedTuple

from . import faults
from .data import EVENTS
from .messages import Answer, RecordedRequest
from .recording import StandInServer
from .transport import MAX_CONNECTIONS, STOP_GRACE_SECONDS

PROG = "python -m ferrovane.sdk.stand_in_server"


class ExitStatus(enum.IntEnum):
    """How a run ends; the --help and the README list these."""

    STOPPED = 0  # by Ctrl-C, SIGTERM or the end of --lifetime
    CANNOT_LISTEN = 1  # the address or port cannot be listened on
    USAGE = 2  # a malformed option (argparse's own status)


_STATUS_HELP = {
    ExitStatus.STOPPED: f"stopped by Ctrl-C, SIGTERM or --lifetime; answers begun are finished "
                        f"for up to {STOP_GRACE_SECONDS:g} s, or cut off at once by a second signal",
    ExitStatus.CANNOT_LISTEN: "it cannot listen on --host and --port",
    ExitStatus.USAGE: "a malformed option",
}


def _lifetime(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if math.isnan(seconds) or seconds <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text}")
    return seconds  # a lifetime too long to wait for (1e300, inf) is as good as none


def _token(text: str) -> str:
    # Any character a header can carry is fine, also beyond Latin-1 (sent as UTF-8, as
    # curl sends what is printed); control characters cannot be sent at all.
    if not text or any(ord(char) < 0x20 or ord(char) == 0x7F for char in text):
        raise argparse.ArgumentTypeError("must be non-empty, without control characters "
                                         "(such as a line break from a file)")
    return text


def _host(text: str) -> str:
    # An empty host would listen on every interface: never what a script whose $HOST
    # was unset meant.
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty (0.0.0.0 or :: listens on every interface)")
    return text


class RouteFault(NamedTuple):
    """A --fault: the route it replaces, its name as given, and what it answers (a fault of
    the body plays out on the route's own answer, made anew for each request)."""

    method: str
    path: str
    name: str
    answer: Answer | faults.Fault


def _fault(text: str) -> RouteFault:
    route, equals, name = text.partition("=")
    method, _, path = route.strip().rpartition(" ")
    if not equals or not path.startswith("/"):
        raise argparse.ArgumentTypeError(f"not [METHOD ]PATH=FAULT, such as /api/security/v3/eventlog=500: {text!r}")
    try:
        return RouteFault((method.strip() or "GET").upper(), path, name, faults.named(name))
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class Growth(NamedTuple):
    """A --grow: the log, and how many events it gains every so many seconds."""

    app: str
    number: int
    seconds: float


# Events a --grow adds at a time at most, and the most a grown log keeps: beyond, its
# oldest are purged, as from a log capped by count, so that memory stays bounded.
MAX_GROWTH = 10_000
MAX_GROWN_LOG = 100_000


def _growth(text: str) -> Growth:
    app, equals, rate = text.partition("=")
    count_text, slash, seconds_text = rate.partition("/")
    try:
        count = int(count_text) if equals and slash and count_text.isascii() else None
    except ValueError:  # also more digits than int() reads
        count = None
    if count is None:
        raise argparse.ArgumentTypeError(f"not APP=N/SECONDS, such as security=5/2: {text!r}")
    if app not in EVENTS:
        raise argparse.ArgumentTypeError(f"no built-in log {app!r}: one of {', '.join(EVENTS)}")
    if not 1 <= count <= MAX_GROWTH:
        raise argparse.ArgumentTypeError(f"N must be from 1 to {MAX_GROWTH}, not {count}")
    try:
        seconds = float(seconds_text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {seconds_text!r}") from None
    if not (math.isfinite(seconds) and 0.01 <= seconds <= faults.MAX_PAUSE_SECONDS):
        raise argparse.ArgumentTypeError(f"SECONDS must be from 0.01 to {faults.MAX_PAUSE_SECONDS}, not {seconds_text}")
    return Growth(app, count, seconds)


def _grow(server: StandInServer, growth: Growth) -> None:
    while not server.wait(growth.seconds):
        server.append_events(growth.app, growth.number, keep=MAX_GROWN_LOG)


def _always(answer: Answer | faults.Fault) -> Callable[[RecordedRequest], Answer | faults.Fault]:
    return lambda request: answer


def _on_the_real_answer(server: StandInServer, name: str) -> Callable[[RecordedRequest], Answer | faults.Fault]:
    """A fault of the wire made of what the route would answer (a trickle of the real page,
    not of a message about it), where that is a fault of the body."""
    return lambda request: faults.named(name, server.built_in(request))


_TLS = {"self-signed": faults.self_signed_context, "client-certificate": faults.client_certificate_context}


def _parser() -> argparse.ArgumentParser:
    statuses = "\n".join(textwrap.fill(text, 78, initial_indent=f"  {status.value}  ", subsequent_indent=" " * 5)
                         for status, text in _STATUS_HELP.items())
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Serve a stand-in Accounts server with a fixed data set, for trying programs\n"
                    "and scripts against it. Prints the URL and token to use, then one line per\n"
                    "request on stderr, until Ctrl-C, SIGTERM or --lifetime. It keeps no record\n"
                    "of requests.",
        epilog=f"faults:\n{faults.NAMES_HELP}\n\nexit statuses:\n{statuses}")
    parser.add_argument("--host", type=_host, default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1; 0.0.0.0 or :: for every interface)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: one the OS picks)")
    parser.add_argument("--token", type=_token, default="demo-token",
                        help="the bearer token it accepts (default demo-token)")
    parser.add_argument("--lifetime", type=_lifetime, metavar="SECONDS",
                        help="stop after this many seconds (default, or too long to wait for such as "
                             "inf: run until Ctrl-C)")
    parser.add_argument("--max-connections", type=int, default=MAX_CONNECTIONS, metavar="N",
                        help=f"connections open at once; beyond, the one idle for the longest is "
                             f"closed (default {MAX_CONNECTIONS})")
    parser.add_argument("--fault", type=_fault, action="append", default=[], metavar="[METHOD ]PATH=FAULT",
                        help="answer METHOD (default GET) on PATH with FAULT (below) instead, such as "
                             "/api/security/v3/eventlog=500 or '/api/security/v3/user-info=cut-short'; "
                             "repeatable")
    parser.add_argument("--grow", type=_growth, action="append", default=[], metavar="APP=N/SECONDS",
                        help=f"append N events to the log APP every SECONDS, such as security=5/2, keeping "
                             f"its newest {MAX_GROWN_LOG} (repeatable)")
    parser.add_argument("--tls", choices=_TLS,
                        help="serve HTTPS with a self-signed certificate, which clients refuse unless given "
                             "it as their CA bundle (the path is printed); client-certificate: also require "
                             "a client certificate (the path of one it accepts is printed)")
    return parser


_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


@contextlib.contextmanager
def _stop_signals_blocked() -> Iterator[None]:
    """Threads started within never take Ctrl-C or SIGTERM, which the kernel then gives the
    main thread: a signal that lands on another thread would wait for the main one to wake
    before its handler runs (the main thread waits, which no signal but its own ends)."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    before = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


class _Stopper:
    """The signal handler: the first signal begins a graceful stop, the next cuts it short.

    It never raises, so no signal, however it lands, can end the run in a traceback.
    """

    def __init__(self, server: StandInServer) -> None:
        self.server = server
        self.signals = 0
        self.serving = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        self.signals += 1
        if self.signals > 1:
            self.server.cut_short()
        elif self.serving:
            self.begin()

    def begin(self) -> None:
        # On a thread of its own: the stop waits for answers in flight, and the main
        # thread must stay free to take the next signal.
        with _stop_signals_blocked():
            threading.Thread(target=self.server.stop, name="stand-in-stop", daemon=True).start()


def main(argv: Sequence[str] | None = None) -> int:
    """Serve in the foreground until a signal or the end of the lifetime; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if not 0 <= args.port <= 65535:
        parser.error(f"--port must be from 0 to 65535, not {args.port}")
    if args.max_connections < 1:
        parser.error(f"--max-connections must be at least 1, not {args.max_connections}")

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", datefmt="%H:%M:%S"))
    log = logging.getLogger(__package__)
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False

    server = StandInServer(args.token, lifetime=args.lifetime, host=args.host, port=args.port,
                           record=False, max_connections=args.max_connections,
                           ssl_context=_TLS[args.tls]() if args.tls else None)
    route_faults: list[RouteFault] = args.fault
    for fault in route_faults:
        server.route(fault.method, fault.path, handler=_always(fault.answer) if isinstance(fault.answer, Answer)
                     else _on_the_real_answer(server, fault.name))
    stopper = _Stopper(server)
    # Installed before the server starts: GNU timeout sends its SIGTERM to the process
    # and then to its group, and the second may land at any point.
    for signum in _STOP_SIGNALS:
        signal.signal(signum, stopper)
    try:
        with _stop_signals_blocked():  # every thread of the server's inherits the mask
            server.start()
            growths: list[Growth] = args.grow
            for growth in growths:
                threading.Thread(target=_grow, args=(server, growth), name=f"stand-in-grow-{growth.app}",
                                 daemon=True).start()
    except OSError as error:
        print(f"stand-in server: cannot listen on {args.host} port {args.port}: {error.strerror or error}",
              file=sys.stderr)
        return ExitStatus.CANNOT_LISTEN
    stopper.serving = True
    if stopper.signals:
        stopper.begin()
    if server.stops_by_itself:
        until = f"for {args.lifetime:g} s or until Ctrl-C"
    else:
        until = "until Ctrl-C"
    notes = [f"Fault: {fault.method} {fault.path} answers {fault.name}" for fault in route_faults]
    notes += [f"Growing: the log {growth.app} by {growth.number} events every {growth.seconds:g} s"
              for growth in growths]
    if args.tls:
        notes.append(f"Certificate: {faults.SELF_SIGNED_CERTIFICATE} (self-signed: clients refuse it "
                     f"unless given it as their CA bundle)")
    if args.tls == "client-certificate":
        notes.append(f"Client certificate and key: {faults.CLIENT_CERTIFICATE} (the server requires one)")
    print(f"Stand-in Accounts server at {server.url}\n"
          f"Token: {server.token} (send the header \"Authorization: Bearer {server.token}\")\n"
          + "".join(f"{note}\n" for note in notes) +
          f"Serving {until}; one line per request follows on stderr.", flush=True)
    # In steps, where the main thread cannot be the only one to take the signals.
    while not server.wait(1.0):
        pass
    # The interpreter's shutdown puts back the default handlers, and a second signal (as
    # timeout's to the group) landing then would kill the process: nothing is left to
    # stop, so from here on such signals are ignored.
    for signum in _STOP_SIGNALS:
        signal.signal(signum, signal.SIG_IGN)
    return ExitStatus.STOPPED
