"""The daemon as the Python benchmarks run it: under a temporary dev root with the user
bench:bench-pw, on a free port of 127.0.0.1, at log level 3, with this process's descriptor
limit raised to its hard limit; and what the benchmarks share to call it: service ids, the
JSON-RPC body of a call, the head of a raw POST, a free port, a wait for a port to listen."""

import contextlib
import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Iterator, NamedTuple

REPO = Path(__file__).resolve().parents[1]

TOKEN = "com.tessel.nox.authentication.token"
PROFILES = "com.tessel.nox.authentication.client_profiles"
ISSUERS = "com.tessel.nox.authentication.trust.security_token_issuers"
OAUTH = "com.tessel.orbi.std.security.oauth"
# The user every benchmark root is made with (scripts/dev-root --user root:secret1).
ROOT = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root",
        "password": "secret1"}


def body(service, operation, input, security):
    return {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": service, "operationId": operation, "input": input,
                       "ctx": {"securityCtx": security}}}


def post_head(port: int, length: int, close: bool = False) -> bytes:
    """The head of a POST /api with a body of `length` bytes. The daemon answers only a loopback
    Host (403 otherwise), so it names 127.0.0.1 with the port, as a browser on loopback would."""
    return (b"POST /api HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
            b"Content-Length: %d\r\n%s\r\n"
            % (port, length, b"Connection: close\r\n" if close else b""))


def wait_listening(port: int, tries: int = 200) -> None:
    """Returns once 127.0.0.1:port takes a connection, or after `tries` tries 50 ms apart."""
    for _ in range(tries):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def binary() -> Path:
    """BUILD_DIR/bin/noxtokend, BUILD_DIR being the first argument (default build, taken from the
    repository's top when relative)."""
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build")
    return (build if build.is_absolute() else REPO / build) / "bin" / "noxtokend"


class Running(NamedTuple):
    port: int
    process: subprocess.Popen
    log: Path


@contextlib.contextmanager
def running(daemon: Path, name: str) -> Iterator[Running]:
    """Started and listening inside the block, stopped and removed after it."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    work = Path(tempfile.mkdtemp(prefix=f"nox-{name}."))
    port = free_port()
    subprocess.run([str(REPO / "scripts/dev-root"), str(work / "root"), "--port", str(port),
                    "--log-level", "3", "--user", "bench:bench-pw"],
                   check=True, capture_output=True)
    with open(work / "daemon.log", "wb") as log:
        process = subprocess.Popen([str(daemon)],
                                   env=dict(os.environ, TESSEL_ROOT=str(work / "root")),
                                   stdout=log, stderr=log)
    try:
        wait_listening(port)
        yield Running(port, process, work / "daemon.log")
    finally:
        process.terminate()
        process.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)
