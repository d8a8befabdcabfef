"""Hand-written HTTP/1.1 over a plain socket, for what a well-behaved client library never does:
half bodies, bodies that are never sent, answers that are never read."""

import socket
from typing import Optional, Tuple


def connect(port: int, timeout: float = 10) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.settimeout(timeout)
    return sock


def post_head(content_length: int, content_type: Optional[str] = "application/json",
              path: str = "/api") -> bytes:
    lines = [f"POST {path} HTTP/1.1", "Host: 127.0.0.1", f"Content-Length: {content_length}"]
    if content_type is not None:
        lines.append(f"Content-Type: {content_type}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


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
    status_line = head.split(b"\r\n", 1)[0]
    assert status_line.startswith(b"HTTP/1."), head
    return int(status_line.split()[1]), head


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
