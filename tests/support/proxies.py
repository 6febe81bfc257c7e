"""Local proxies for tests: HTTP (CONNECT tunnels and absolute-form forwarding), the
same speaking TLS itself, and SOCKS5. Each listens on 127.0.0.1 at a port the system
picks, records what it was asked for, and stops, with every tunnel it holds, when its
``with`` block ends.
"""

import contextlib
import select
import socket
import ssl
import struct
import threading
from urllib.parse import urlsplit

# How often a waiting thread looks whether its proxy has stopped.
POLL = 0.05
# How long a proxy waits for a client's request (and a TLS handshake) before dropping it.
REQUEST_WAIT = 5.0


class Proxy:
    """A threaded TCP proxy; subclasses say how a client names its target."""

    scheme = ""

    def __init__(self, tls: ssl.SSLContext | None = None) -> None:
        self.tls = tls
        self.requests: list[str] = []  # what clients asked for: "CONNECT host:port", "GET http://...", ...
        self._stopped = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(POLL)
        self._thread = threading.Thread(target=self._accept, name=f"{type(self).__name__}", daemon=True)

    @property
    def url(self) -> str:
        return f"{self.scheme}://127.0.0.1:{self._listener.getsockname()[1]}"

    def __enter__(self) -> "Proxy":
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stopped.set()
        self._thread.join()
        self._listener.close()

    def _accept(self) -> None:
        while not self._stopped.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client: socket.socket) -> None:
        with contextlib.ExitStack() as stack:
            stack.enter_context(client)
            client.settimeout(REQUEST_WAIT)
            try:
                if self.tls is not None:
                    client = stack.enter_context(self.tls.wrap_socket(client, server_side=True))
                target = self._open(client)
                if target is not None:
                    stack.enter_context(target)
                    self._relay(client, target)
            except (OSError, ValueError):
                pass  # the client went away or spoke nonsense: drop it

    def _open(self, client: socket.socket) -> socket.socket | None:
        """Reads what ``client`` asks for and returns the connection to its target."""
        raise NotImplementedError

    def _relay(self, a: socket.socket, b: socket.socket) -> None:
        """Copies bytes both ways until either side closes or the proxy stops."""
        peers = {a: b, b: a}
        for side in peers:
            side.settimeout(REQUEST_WAIT)
        while not self._stopped.is_set():
            # TLS keeps decrypted bytes that select() cannot see.
            ready: list[socket.socket] = [side for side in peers if isinstance(side, ssl.SSLSocket) and side.pending()]
            if not ready:
                ready, _, _ = select.select(list(peers), [], [], POLL)
            for side in ready:
                data = side.recv(65536)
                if not data:
                    return
                peers[side].sendall(data)


def _read_head(sock: socket.socket) -> bytes:
    head = b""
    while b"\r\n\r\n" not in head:
        # One byte at a time: what follows the head is the other side's to read.
        byte = sock.recv(1)
        if not byte or len(head) > 65536:
            raise ValueError("no whole message head")
        head += byte
    return head


class HttpProxy(Proxy):
    """An HTTP proxy: CONNECT opens a tunnel; a request in absolute form is forwarded to its
    host in origin form, and the connection closed after the answer. With ``tls`` it speaks
    TLS to its clients (an https:// proxy)."""

    @property
    def scheme(self) -> str:  # type: ignore[override]
        return "https" if self.tls is not None else "http"

    def _open(self, client: socket.socket) -> socket.socket | None:
        request_line, *headers = _read_head(client).decode("latin-1").split("\r\n")
        method, target, version = request_line.split(" ")
        self.requests.append(f"{method} {target}")
        if method == "CONNECT":
            host, _, port = target.rpartition(":")
            upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=REQUEST_WAIT)
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            return upstream
        parts = urlsplit(target)
        if parts.scheme != "http" or parts.hostname is None:
            client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return None
        upstream = socket.create_connection((parts.hostname, parts.port or 80), timeout=REQUEST_WAIT)
        path = parts.path or "/"
        kept = [line for line in headers if line and not line.lower().startswith(("proxy-", "connection:"))]
        head = "\r\n".join([f"{method} {path}{'?' + parts.query if parts.query else ''} {version}", *kept,
                            "Connection: close", "", ""])
        upstream.sendall(head.encode("latin-1"))
        # The target closes after its answer; the client is told so, or it would send its
        # next request on a connection that is gone.
        status_line, *answer_headers = _read_head(upstream).decode("latin-1").split("\r\n")
        kept = [line for line in answer_headers if line and not line.lower().startswith("connection:")]
        client.sendall("\r\n".join([status_line, *kept, "Connection: close", "", ""]).encode("latin-1"))
        return upstream


class Socks5Proxy(Proxy):
    """A SOCKS5 proxy without authentication that takes CONNECT to an IPv4 or IPv6 address
    or a host name (which it looks up itself: socks5h)."""

    scheme = "socks5"

    def _open(self, client: socket.socket) -> socket.socket | None:
        version, count = _read_exactly(client, 2)
        methods = _read_exactly(client, count)
        if version != 5 or 0 not in methods:
            client.sendall(b"\x05\xff")
            return None
        client.sendall(b"\x05\x00")
        version, command, _, address_type = _read_exactly(client, 4)
        if address_type == 1:
            host = socket.inet_ntop(socket.AF_INET, _read_exactly(client, 4))
        elif address_type == 4:
            host = socket.inet_ntop(socket.AF_INET6, _read_exactly(client, 16))
        else:
            host = _read_exactly(client, _read_exactly(client, 1)[0]).decode("idna")
        (port,) = struct.unpack("!H", _read_exactly(client, 2))
        self.requests.append(f"CONNECT {host}:{port}")
        if command != 1:
            client.sendall(b"\x05\x07\x00\x01" + bytes(6))  # command not supported
            return None
        try:
            upstream = socket.create_connection((host, port), timeout=REQUEST_WAIT)
        except OSError:
            client.sendall(b"\x05\x05\x00\x01" + bytes(6))  # connection refused
            return None
        bound_host, bound_port = upstream.getsockname()[:2]
        family = socket.AF_INET6 if ":" in bound_host else socket.AF_INET
        client.sendall(bytes([5, 0, 0, 4 if family == socket.AF_INET6 else 1])
                       + socket.inet_pton(family, bound_host) + struct.pack("!H", bound_port))
        return upstream


def _read_exactly(client: socket.socket, count: int) -> bytes:
    data = b""
    while len(data) < count:
        chunk = client.recv(count - len(data))
        if not chunk:
            raise ValueError("the client closed mid-handshake")
        data += chunk
    return data

