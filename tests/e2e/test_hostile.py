"""A hostile local client: forged log lines, echoed megabytes, costly documents, large bodies all
at once, idle and trickling connections. None may break the daemon's bounds."""

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
from conftest import PROVIDER_SVC, assert_error_kind, make_root, message_texts, request_body, start


FORGED = "\n2026-01-01T00:00:00.000Z 3 Forged [admin] forged line\r\x1b[2J"


def test_client_text_cannot_forge_or_color_log_lines(daemon):
    since = daemon.log_offset()
    op = "inject" + FORGED
    for service, operation in ((PROVIDER_SVC + FORGED, "get"), (PROVIDER_SVC, "get" + FORGED)):
        answer = daemon.invoke(service, operation, app={"opId": op})
        assert_error_kind(answer, "operation_not_found")
    daemon.sync_log("inject-sync")

    records = daemon.records(since)
    assert not any(r.logger == "Forged" for r in records)
    raw = daemon.log_path.read_bytes()
    assert b"\x1b" not in raw and b"\r" not in raw
    shown_op = "inject\\n2026-01-01T00:00:00.000Z 3 Forged [admin\\x5d forged line\\r\\x1b[2J"
    mine = [r.text for r in records if r.op_id == shown_op]
    assert f"Invoke-MethodId: {PROVIDER_SVC}\\n2026" in mine[0], mine
    assert sum(t.startswith("MethodResult [FAIL]") for t in mine) == 2, mine


HUGE = 19_000_000


@pytest.mark.parametrize("where", ["serviceId", "operationId", "opId"])
def test_a_huge_client_text_gives_a_small_answer_and_a_small_log(daemon, where):
    texts = {"serviceId": PROVIDER_SVC, "operationId": "get", "opId": f"huge-{where}"}
    texts[where] = "x" * HUGE
    since = daemon.log_offset()
    body = request_body(texts["serviceId"], texts["operationId"], app={"opId": texts["opId"]})
    response = daemon.post(body)
    daemon.sync_log(f"huge-{where}-sync")

    assert response.status_code == 200
    assert len(response.content) < 4096, len(response.content)
    if where != "opId":
        error = assert_error_kind(response.json(), "operation_not_found")
        assert f"\u2026(cut, {HUGE} bytes)" in message_texts(error)
    assert daemon.log_offset() - since < 16384


def body_with_input(input_text: bytes) -> bytes:
    envelope = json.dumps(request_body(PROVIDER_SVC, "get", {"x": 0})).encode()
    return envelope.replace(b'{"x": 0}', input_text)


def post_raw(daemon, body: bytes, timeout: float = 60) -> dict:
    response = daemon.post(body, timeout=timeout)
    assert response.status_code == 200, response.text[:300]
    return response.json()


def reset_peak(daemon) -> None:
    Path(f"/proc/{daemon.proc.pid}/clear_refs").write_text("5")


# Whatever the document, decoding may take this beside four times the body: each value costs a
# few hundred bytes, and a request may hold 50,000 of them.
VALUES_ALLOWANCE = 24 << 20


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
    before = daemon.status_kb("VmRSS")

    answer = post_raw(daemon, body)

    if refused:
        assert answer["error"] == {"code": -32600,
                                   "message": "Invalid request: more than 50000 values"}
    else:
        error = assert_error_kind(answer, "invalid_argument")
        assert re.search(r"\bx\b", message_texts(error)), error
    assert (daemon.status_kb("VmHWM") - before) * 1024 < 4 * len(body) + VALUES_ALLOWANCE
    assert daemon.serves()


def test_concurrent_large_bodies_share_a_bounded_budget(daemon):
    clients = 16
    body = body_with_input(b'{"x":"' + b"b" * 19_000_000 + b'"}')
    reset_peak(daemon)
    before = daemon.status_kb("VmRSS")

    with ThreadPoolExecutor(clients) as pool:
        answers = list(pool.map(lambda _: post_raw(daemon, body, timeout=300), range(clients)))

    for answer in answers:
        assert_error_kind(answer, "invalid_argument")
    # Sixteen bodies would need 300 MB just to be held; the budget lets 64 MiB in at once.
    assert (daemon.status_kb("VmHWM") - before) * 1024 < 256 << 20
    # And the memory comes back once the burst is over.
    for _ in range(100):
        if daemon.status_kb("VmRSS") < before + 8 * 1024:
            break
        time.sleep(0.1)
    else:
        pytest.fail(f"resident {daemon.status_kb('VmRSS')} kB ten seconds after, {before} before")


def is_open(sock) -> bool:
    readable, _, _ = select.select([sock], [], [], 0)
    if not readable:
        return True
    try:
        return sock.recv(1, socket.MSG_PEEK) != b""
    except ConnectionResetError:
        return False


# Which connection gives way at a lower bound is the HTTP server's unit test.
def test_a_thousand_idle_connections_never_lock_callers_out(daemon):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < 1200:
        pytest.skip(f"the descriptor limit {hard} is too low for 1,000 connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    idle = []
    try:
        for _ in range(1000):
            idle.append(rawhttp.connect(daemon.port))
        assert daemon.serves()
        assert all(is_open(sock) for sock in idle)
    finally:
        for sock in idle:
            sock.close()
    assert daemon.serves()


@pytest.fixture(scope="module")
def strict(tmp_path_factory):
    """Headers and bodies have two seconds each."""
    root = make_root(tmp_path_factory.mktemp("strict") / "root", log_level=5)
    root.http_config(headerTimeoutSeconds=2, bodyTimeoutSeconds=2)
    running = start(root)
    yield running
    assert running.stop() == 0, running.log_text()[-3000:]


@pytest.mark.parametrize("phase", ["headers", "body"])
def test_trickling_and_stalled_clients_are_dropped_while_others_are_served(strict, phase):
    body = json.dumps(request_body(PROVIDER_SVC, "get")).encode()
    request = rawhttp.post_head(len(body)) + body
    split = 0 if phase == "headers" else len(request) - len(body)
    # More stalled clients than the daemon has HTTP threads.
    stalled = [rawhttp.connect(strict.port) for _ in range(4)]
    for sock in stalled:
        sock.sendall(request[: split + len(body) // 2])

    with rawhttp.connect(strict.port) as sock:
        sock.sendall(request[:split])
        # A byte every half second: each comes well within the idle timeout, and 40 of them
        # take ten times the bound.
        for offset in range(split, split + 40):
            if not is_open(sock) or rawhttp.send_quietly(sock, request[offset : offset + 1]) == 0:
                break
            assert strict.serves()
            time.sleep(0.5)
        else:
            pytest.fail(f"a client trickling its {phase} was still connected after 20 s")

    for sock in stalled:
        with sock:
            rawhttp.wait_closed(sock)
    assert strict.serves()
