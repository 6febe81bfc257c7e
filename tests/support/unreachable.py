"""Names that cannot be reached in time, made on this machine alone: a name whose several
addresses never accept a connection, and a name lookup that does not come back.

A listening socket whose accept queue is full drops new connection attempts without a
word, as a dead route does: the client's connect waits until its own timeout. Each such
socket listens on its own loopback address (127.0.0.2, 127.0.0.3, ... and ::1), and the
name is made to resolve to them by replacing ``socket.getaddrinfo`` in this process.
"""

import contextlib
import socket
import threading
from collections.abc import Callable, Iterator
from typing import Any

# A listener with backlog 0 holds one connection in its queue; a few more make sure.
FILLERS = 4


def _family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


@contextlib.contextmanager
def dead_listener(host: str, port: int = 0) -> Iterator[tuple[Any, ...]]:
    """A socket listening on ``host`` whose accept queue is full; yields its address."""
    with contextlib.ExitStack() as stack:
        listener = stack.enter_context(socket.socket(_family(host), socket.SOCK_STREAM))
        listener.bind((host, port))
        listener.listen(0)
        address = listener.getsockname()
        for _ in range(FILLERS):
            filler = stack.enter_context(socket.socket(_family(host), socket.SOCK_STREAM))
            filler.setblocking(False)
            with contextlib.suppress(BlockingIOError):
                filler.connect(address)
        yield address


def _resolving(name: str, answer: Callable[[], list[Any]]) -> Callable[..., list[Any]]:
    real = socket.getaddrinfo

    def getaddrinfo(host: Any, *args: Any, **kwargs: Any) -> list[Any]:
        if host in (name, name.encode()):
            return answer()
        return real(host, *args, **kwargs)
    return getaddrinfo


@contextlib.contextmanager
def name_with_dead_addresses(monkeypatch: Any, name: str, hosts: list[str]) -> Iterator[int]:
    """Makes ``name`` resolve to every host in ``hosts`` in that order, each with a listener
    that never accepts, all on one port; yields that port."""
    with contextlib.ExitStack() as stack:
        addresses = [stack.enter_context(dead_listener(hosts[0]))]
        port = addresses[0][1]
        addresses += [stack.enter_context(dead_listener(host, port)) for host in hosts[1:]]
        infos = [(_family(address[0]), socket.SOCK_STREAM, socket.IPPROTO_TCP, "", address)
                 for address in addresses]
        monkeypatch.setattr(socket, "getaddrinfo", _resolving(name, lambda: list(infos)))
        yield port


@contextlib.contextmanager
def slow_name(monkeypatch: Any, name: str, hold: float = 10.0) -> Iterator[None]:
    """Makes looking ``name`` up wait until the block ends (or ``hold`` seconds, so that a
    caller without a deadline is not stuck for ever), then fail as an unknown name."""
    released = threading.Event()

    def answer() -> list[Any]:
        released.wait(hold)
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

    monkeypatch.setattr(socket, "getaddrinfo", _resolving(name, answer))
    try:
        yield
    finally:
        released.set()
