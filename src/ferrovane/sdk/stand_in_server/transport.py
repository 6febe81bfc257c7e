"""The stand-in server's HTTP/1.1 transport: listening, connections, their bound, stopping.

It knows nothing of the API it serves: each request that was read whole goes to the
``respond`` callable it was given, which returns the answer to write, or a fault to play;
``exchange`` reads the requests of each connection and writes their answers. One thread
accepts connections and one thread serves each connection.

The number of connections is bounded. At the bound, or when the process runs out of file
descriptors, the connection idle for the longest is closed to make room, and with none
idle the acceptor waits rather than spins. A connection is idle between requests and while
a request is still arriving (its line, headers or body); it is busy from a request's
arrival whole to the end of its answer. A client cannot keep it busy for long: each write
of an answer must be taken within ``exchange.DEPARTURE_SECONDS`` plus 1 s a MiB, or the
connection is closed.
"""

from __future__ import annotations

import errno
import logging
import selectors
import socket
import ssl
import threading
import time
from collections.abc import Callable

from .exchange import ARRIVAL_SECONDS, Connection, Exchange
from .messages import Prepared, RecordedRequest

# How long stop() lets answers already begun run to their end before it cuts them off.
STOP_GRACE_SECONDS = 2.0
# Open connections at most; beyond it the one idle for the longest is closed.
MAX_CONNECTIONS = 256
# Accept failures that more descriptors or memory would cure: make room, then retry.
_OUT_OF_RESOURCES = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}
# How long the acceptor pauses when it can make no room at once.
_RETRY_SECONDS = 0.1

log = logging.getLogger(__name__)

type Respond = Callable[[RecordedRequest], Prepared]


class Transport:
    """Listens on ``host`` and ``port`` (0: one the OS picks) until ``stop()``."""

    def __init__(self, respond: Respond, host: str, port: int, *,
                 ssl_context: ssl.SSLContext | None = None, max_connections: int = MAX_CONNECTIONS) -> None:
        self.respond = respond
        self._ssl_context = ssl_context
        self._max_connections = max(1, max_connections)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        try:
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._listener.bind((host, port))
            self._listener.listen(128)
            self._listener.setblocking(False)
        except BaseException:
            self._listener.close()
            raise
        self.address: tuple[str, int] = self._listener.getsockname()[:2]
        self._wake_reader, self._wake_writer = socket.socketpair()
        # Ordered by when each connection last became idle: the first idle one is the
        # one idle for the longest.
        self._connections: dict[Connection, None] = {}
        self._changed = threading.Condition()
        self._stopping = False
        self._hung_up = threading.Event()  # set once stop() has hung up on every connection
        self._cut_short = False
        self._short_of_descriptors = False

    @property
    def stopping(self) -> bool:
        return self._stopping

    def serve(self) -> None:
        """Accepts connections until ``stop()``; runs on a thread of its own."""
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_reader, selectors.EVENT_READ)
            while not self._stopping:
                ready = selector.select()
                if any(key.fileobj is self._wake_reader for key, _ in ready):
                    return
                self._accept()

    def _accept(self) -> None:
        with self._changed:
            while len(self._connections) >= self._max_connections and not self._stopping:
                if not self._hang_up_oldest_idle():
                    self._changed.wait()  # every connection is busy: wait for one to end
                else:
                    self._changed.wait(_RETRY_SECONDS)
            if self._stopping:
                return
        try:
            sock, address = self._listener.accept()
        except (BlockingIOError, InterruptedError, ConnectionAbortedError):
            return  # the client gave up before we got to it
        except OSError as error:
            if error.errno not in _OUT_OF_RESOURCES:
                raise
            if not self._short_of_descriptors:
                log.warning("out of file descriptors (%s): closing idle connections", error.strerror)
                self._short_of_descriptors = True
            # The waiting client stays in the listen queue; wait for a descriptor to be
            # given back rather than try again at once.
            with self._changed:
                self._hang_up_oldest_idle()
                self._changed.wait(_RETRY_SECONDS)
            return
        self._short_of_descriptors = False
        connection = Connection(sock, address)
        with self._changed:
            self._connections[connection] = None
        thread = threading.Thread(target=self._serve_connection, args=(connection,),
                                  name=f"stand-in-connection-{address[1]}", daemon=True)
        try:
            thread.start()
        except RuntimeError:  # no more threads: the client sees its connection closed
            self._forget(connection)

    def _hang_up_oldest_idle(self) -> bool:
        for connection in self._connections:
            if not connection.busy:
                # Forgotten now: its thread closes the socket when it sees the hang-up.
                del self._connections[connection]
                _hang_up(connection.sock)
                return True
        return False

    def _serve_connection(self, connection: Connection) -> None:
        try:
            if self._ssl_context is not None:
                wrapped = self._ssl_context.wrap_socket(connection.sock, server_side=True,
                                                        do_handshake_on_connect=False)
                with self._changed:
                    connection.sock = wrapped
                wrapped.settimeout(ARRIVAL_SECONDS)
                wrapped.do_handshake()
            Exchange(connection, self).serve()
        except (OSError, ValueError) as error:
            # Clients that hang up, time out or fail the TLS handshake are routine, and
            # stop() hangs up on purpose.
            log.debug("connection from %s ended: %r", connection.address[0], error)
        except Exception:
            log.exception("stand-in server fault on a connection from %s", connection.address[0])
        finally:
            self._forget(connection)

    def _forget(self, connection: Connection) -> None:
        try:
            connection.sock.close()
        finally:
            with self._changed:
                self._connections.pop(connection, None)
                self._changed.notify_all()

    def begin_request(self, connection: Connection) -> bool:
        """Marks the connection busy; False once it is stopping or hung up: drop the request."""
        with self._changed:
            if self._stopping or connection not in self._connections:
                return False
            connection.busy = True
            return True

    def end_request(self, connection: Connection) -> bool:
        """Marks the connection idle (the newest idle); False once stopping or hung up: close it."""
        with self._changed:
            connection.busy = False
            if connection not in self._connections:
                return False
            del self._connections[connection]
            self._connections[connection] = None
            self._changed.notify_all()
            return not self._stopping

    def stop(self, grace: float, serving: threading.Thread | None) -> None:
        """Refuses new connections, closes idle ones now and busy ones when their answer
        is out, or at ``grace`` seconds, or at ``cut_short()``, whichever comes first."""
        with self._changed:
            self._stopping = True
            self._changed.notify_all()
        self._wake_writer.send(b"\0")
        if serving is not None:
            serving.join()
        self._listener.close()
        self._wake_reader.close()
        self._wake_writer.close()
        deadline = time.monotonic() + grace
        with self._changed:
            while True:
                for connection in self._connections:
                    if not connection.busy:
                        _hang_up(connection.sock)
                left = deadline - time.monotonic()
                if self._cut_short or left <= 0 or not any(c.busy for c in self._connections):
                    break
                self._changed.wait(left)
            for connection in self._connections:
                _hang_up(connection.sock)
            self._hung_up.set()

    def pause(self, seconds: float) -> bool:
        """Waits ``seconds``, or less when stop() hangs up meanwhile; whether it did."""
        return self._hung_up.wait(seconds)

    def cut_short(self) -> None:
        """Ends a stop's grace period now: answers still being written are cut off."""
        with self._changed:
            self._cut_short = True
            self._changed.notify_all()


def _hang_up(sock: socket.socket) -> None:
    try:
        # The plain socket's shutdown, also for a TLS socket: its own would drop the TLS
        # state under a thread that may still be using it.
        socket.socket.shutdown(sock, socket.SHUT_RDWR)
    except OSError:
        pass  # already closed
