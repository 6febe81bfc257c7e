"""A server that answers every request with the bytes it is given, framing and all: for
answers that no well-behaved server sends (a body cut short, one that streams without
end, a Content-Type that lies), which the stand-in server's own framing would mend."""

import contextlib
import socket
import threading
from collections.abc import Iterable, Iterator


class RawAnswers:
    """Answers each request, read up to the end of its headers, with ``answer``: bytes, or
    an iterable of chunks sent as they come, until the client hangs up. Then it closes the
    connection, which ends a body without a length."""

    def __init__(self) -> None:
        self.answer: bytes | Iterable[bytes] = b""
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:{}".format(self._listener.getsockname()[1])
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        with contextlib.suppress(OSError):
            while True:
                connection, _ = self._listener.accept()
                threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _answer(self, connection: socket.socket) -> None:
        with connection, contextlib.suppress(OSError):
            request = b""
            while b"\r\n\r\n" not in request:
                data = connection.recv(65536)
                if not data:
                    return
                request += data
            answer = self.answer
            for chunk in [answer] if isinstance(answer, bytes) else answer:
                connection.sendall(chunk)
            connection.shutdown(socket.SHUT_WR)

    def close(self) -> None:
        self._listener.close()


@contextlib.contextmanager
def raw_answers() -> Iterator[RawAnswers]:
    server = RawAnswers()
    try:
        yield server
    finally:
        server.close()
