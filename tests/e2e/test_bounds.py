"""Resource bounds that no local client can break: what one request may cost, all bodies at
once, idle and trickling connections, and memory handed back afterwards."""

import json
import re
import resource
import select
import socket
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import rawhttp
from conftest import (
    PROVIDER_SVC,
    assert_error_kind,
    make_root,
    message_texts,
    output_of,
    request_body,
    start,
)

# Whatever the document, decoding may take this beside four times the body: each value costs a
# few hundred bytes, and a request may hold 50,000 of them.
VALUES_ALLOWANCE = 24 << 20


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    """At the default log level: the figures are those of a daemon as it runs."""
    root = make_root(tmp_path_factory.mktemp("bounds") / "root", log_level=5)
    running = start(root)
    yield running
    assert running.stop() == 0, running.log_text()[-3000:]


def status_kb(daemon, key: str) -> int:
    text = Path(f"/proc/{daemon.proc.pid}/status").read_text()
    return int(re.search(rf"^{key}:\s+(\d+)", text, re.M)[1])


def reset_peak(daemon) -> None:
    Path(f"/proc/{daemon.proc.pid}/clear_refs").write_text("5")


def body_with_input(input_text: bytes, req_id: str = "1") -> bytes:
    envelope = json.dumps(request_body(PROVIDER_SVC, "get", {"x": 0}, req_id=req_id)).encode()
    return envelope.replace(b'{"x": 0}', input_text)


def post_raw(daemon, body: bytes, timeout: float = 60) -> dict:
    response = daemon.post(body, timeout=timeout)
    assert response.status_code == 200, response.text[:300]
    return response.json()


# --- what one request may cost ---------------------------------------------------------------


@pytest.mark.parametrize(
    "input_text,refused",
    [
        (b'{"x":[' + b"0," * 8_999_999 + b"0]}", True),
        (b'{"x":[' + b"{}," * 39_999 + b"{}]}", False),
        (b'{"x":"' + b"s" * 18_000_000 + b'"}', False),
    ],
    ids=["9-million-values", "40-thousand-objects", "18-MB-string"],
)
def test_decoding_costs_a_small_multiple_of_the_request(daemon, input_text, refused):
    body = body_with_input(input_text)
    reset_peak(daemon)
    before = status_kb(daemon, "VmRSS")

    answer = post_raw(daemon, body)

    if refused:
        assert answer["error"] == {
            "code": -32600,
            "message": "Invalid request: more than 50000 values",
        }
    else:
        error = assert_error_kind(answer, "invalid_argument")
        assert re.search(r"\bx\b", message_texts(error)), error
    assert (status_kb(daemon, "VmHWM") - before) * 1024 < 4 * len(body) + VALUES_ALLOWANCE
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


# --- all bodies together ------------------------------------------------------------------------


def test_concurrent_large_bodies_share_a_bounded_budget(daemon):
    clients = 16
    body = body_with_input(b'{"x":"' + b"b" * 19_000_000 + b'"}')
    reset_peak(daemon)
    before = status_kb(daemon, "VmRSS")

    with ThreadPoolExecutor(clients) as pool:
        answers = list(pool.map(lambda _: post_raw(daemon, body, timeout=300), range(clients)))

    for answer in answers:
        assert_error_kind(answer, "invalid_argument")
    # Sixteen bodies would need 300 MB just to be held; the budget lets 64 MiB in at once.
    assert (status_kb(daemon, "VmHWM") - before) * 1024 < 256 << 20
    # And the memory comes back once the burst is over.
    for _ in range(100):
        if status_kb(daemon, "VmRSS") < before + 8 * 1024:
            break
        time.sleep(0.1)
    else:
        pytest.fail(f"resident {status_kb(daemon, 'VmRSS')} kB ten seconds after, {before} before")


# --- idle and trickling connections ------------------------------------------------------------


def http_config(root, **keys) -> None:
    settings = "".join(f"<{key}>{value}</{key}>" for key, value in keys.items())
    root.edit_config(lambda xml: xml.replace("<http>", "<http>" + settings, 1))


def is_open(sock) -> bool:
    readable, _, _ = select.select([sock], [], [], 0)
    if not readable:
        return True
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except ConnectionResetError:
        return False


@pytest.mark.parametrize("bound", [None, 50], ids=["default-bound", "bound-50"])
def test_idle_connections_never_lock_callers_out(new_root, run_daemon, bound):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 1200:
        pytest.skip(f"the descriptor limit {hard} is too low for 1,000 connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    root = new_root(log_level=5)
    if bound:
        http_config(root, maxConnections=bound)
    daemon = run_daemon(root)
    idle = []
    try:
        for _ in range(1000):
            idle.append(rawhttp.connect(daemon.port))

        assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"

        if bound:
            # Those waiting longest gave way; the newest still wait.
            assert rawhttp.wait_closed(idle[0]) == b""
            assert is_open(idle[-1])
        else:
            assert all(is_open(sock) for sock in idle)
    finally:
        for sock in idle:
            sock.close()


@pytest.mark.parametrize("phase", ["headers", "body"])
def test_trickling_client_is_dropped_at_the_bound(new_root, run_daemon, phase):
    root = new_root(log_level=5)
    http_config(root, headerTimeoutSeconds=2, bodyTimeoutSeconds=2)
    daemon = run_daemon(root)
    body = json.dumps(request_body(PROVIDER_SVC, "get")).encode()
    request = rawhttp.post_head(len(body)) + body
    split = 0 if phase == "headers" else len(request) - len(body)

    with rawhttp.connect(daemon.port) as sock:
        sock.sendall(request[:split])
        # A byte every half second: each comes well within the idle timeout, and 40 of them
        # take ten times the bound.
        for offset in range(split, split + 40):
            if not is_open(sock) or rawhttp.send_quietly(sock, request[offset : offset + 1]) == 0:
                break
            time.sleep(0.5)
        else:
            pytest.fail(f"a client trickling its {phase} was still connected after 20 s")

    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
