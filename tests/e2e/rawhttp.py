"""Hand-written HTTP/1.1 over a plain socket, for what a well-behaved client library never does:
half bodies, bodies that are never sent, answers that are never read."""

import socket
from typing import Tuple


def connect(port: int, timeout: float = 10) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.settimeout(timeout)
    return sock


def post_head(content_length: int) -> bytes:
    return (b"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n"
            b"Content-Type: application/json\r\n\r\n" % content_length)


def send_quietly(sock: socket.socket, data: bytes, chunk: int = 1 << 16) -> int:
    """Sends as much as the peer takes; returns the byte count sent before it refused more."""
    sent = 0
    try:
        while sent < len(data):
            sent += sock.send(data[sent:sent + chunk])
    except (BrokenPipeError, ConnectionResetError):
        pass
    return sent


def read_status(sock: socket.socket) -> Tuple[int, bytes]:
    """Reads up to the end of the response head; returns the status code and the head."""
    head = b""
    while b"\r\n\r\n" not in head:
        piece = sock.recv(4096)
        if not piece:
            break
        head += piece
    assert head.startswith(b"HTTP/1."), head
    return int(head.split(b" ", 2)[1]), head


def wait_closed(sock: socket.socket, limit: int = 1 << 20) -> bytes:
    """Reads until the peer closes; a socket timeout means the peer kept it open."""
    received = b""
    try:
        while len(received) < limit:
            piece = sock.recv(4096)
            if not piece:
                return received
            received += piece
    except ConnectionResetError:
        return received
    raise AssertionError("peer sent more than expected without closing")
