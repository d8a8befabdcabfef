"""A hostile local client: forged log lines, echoed megabytes, costly documents, large bodies all
at once, idle and trickling connections. None may break the daemon's bounds."""

import json
import os
import re
import resource
import select
import signal
import socket
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import rawhttp
from conftest import (DAEMON, PROVIDER_SVC, TOKEN_SVC, VERIFY_SVC, Daemon, Root,
                      as_user, assert_error_kind, message_texts, oauth, post_as, request_body,
                      serve, user_pass, wait_until)


FORGED = "\n2026-01-01T00:00:00.000Z 3 Forged [admin] forged line\r\x1b[2J"
SHOWN = "\\n2026-01-01T00:00:00.000Z 3 Forged [admin\\x5d forged line\\r\\x1b[2J"
HUGE = 19_000_000


@pytest.mark.parametrize("where", ["serviceId", "operationId", "opId"])
@pytest.mark.parametrize("text", [FORGED, "x" * HUGE], ids=["forged-line", "huge"])
def test_client_text_is_quoted_and_cut_in_answers_and_log(daemon, where, text):
    texts = {"serviceId": PROVIDER_SVC, "operationId": "get", "opId": where}
    texts[where] += text
    since = daemon.log_offset()
    body = request_body(texts["serviceId"], texts["operationId"], app={"opId": texts["opId"]})
    response = daemon.post(body)
    daemon.sync_log("quoted-sync")

    assert response.status_code == 200
    assert len(response.content) < 4096, len(response.content)
    if where != "opId":
        error = assert_error_kind(response.json(), "operation_not_found")
        if text != FORGED:
            assert f"\u2026(cut, {len(texts[where])} bytes)" in message_texts(error)
    assert daemon.log_offset() - since < 16384
    records = daemon.records(since)
    assert not any(r.logger == "Forged" for r in records)
    assert not any(c in r.text for r in records for c in "\r\x1b")
    if text == FORGED:
        shown = {**texts, where: texts[where].replace(FORGED, SHOWN)}
        lines = [r.text for r in records if r.op_id == shown["opId"]]
        # Only the op id's brackets escape "]" as well.
        method = f"Invoke-MethodId: {shown['serviceId']}.{shown['operationId']}"
        assert lines[0] == method.replace("\\x5d", "]"), lines
        assert sum(t.startswith("MethodResult [FAIL]") for t in lines) == (where != "opId")


# Whatever the document, decoding may take this beside four times the body: each value costs a
# few hundred bytes, and a request may hold 50,000 of them.
VALUES_ALLOWANCE = 24 << 20
TOO_MANY = {"code": -32600, "message": "Invalid request: more than 50000 values"}


@pytest.mark.parametrize("input_text,clients", [
    (b'{"x":[' + b"0," * 8_999_999 + b"0]}", 1),
    (b'{"x":[' + b"{}," * 39_999 + b"{}]}", 1),
    (b'{"x":"' + b"s" * 18_000_000 + b'"}', 1),
    # Sixteen bodies would need 300 MB just to be held; the budget lets 64 MiB in at once.
    (b'{"x":"' + b"b" * 19_000_000 + b'"}', 16),
], ids=["9-million-values", "40-thousand-objects", "18-MB-string", "16-bodies-of-19-MB"])
def test_requests_cost_a_bounded_multiple_of_their_size(daemon, input_text, clients):
    envelope = json.dumps(request_body(PROVIDER_SVC, "get", {"x": 0})).encode()
    body = envelope.replace(b'{"x": 0}', input_text)
    Path(f"/proc/{daemon.proc.pid}/clear_refs").write_text("5")  # resets the peak
    before = status_kb(daemon, "VmRSS")

    with ThreadPoolExecutor(clients) as pool:
        answers = list(pool.map(lambda _: daemon.post(body, timeout=300).json(), range(clients)))

    for answer in answers:
        if input_text.startswith(b'{"x":[0'):
            assert answer["error"] == TOO_MANY
        else:
            error = assert_error_kind(answer, "invalid_argument")
            assert re.search(r"\bx\b", message_texts(error)), error
    if os.environ.get("NOX_SANITIZED") != "1":  # resident figures mean nothing under sanitizers
        bound = 4 * len(body) + VALUES_ALLOWANCE if clients == 1 else 256 << 20
        assert (status_kb(daemon, "VmHWM") - before) * 1024 < bound
        # And the memory comes back once the burst is over.
        wait_until(lambda: status_kb(daemon, "VmRSS") < before + 8 * 1024, lambda: (
            f"resident {status_kb(daemon, 'VmRSS')} kB ten seconds after, {before} before"),
            pause=0.1)
    assert daemon.serves()


def status_kb(daemon, key: str) -> int:
    """A figure of /proc/PID/status, e.g. VmRSS or VmHWM."""
    status = Path(f"/proc/{daemon.proc.pid}/status").read_text()
    return int(re.search(rf"^{key}:\s+(\d+)", status, re.M)[1])


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
    root = Root(tmp_path_factory.mktemp("strict") / "root", log_level=5)
    root.add_config("<headerTimeoutSeconds>2</headerTimeoutSeconds>"
                    "<bodyTimeoutSeconds>2</bodyTimeoutSeconds>", before="</http>")
    yield from serve(root)


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


SLOTS = 64  # what a descriptor limit of 192 leaves for connections
ATTACKERS = 100


@pytest.fixture
def crowded(tmp_path):
    """A daemon whose descriptor limit leaves it 64 connections."""
    yield from serve(Root(tmp_path / "root", log_level=5), binary=Path("/usr/bin/prlimit"),
                     args=[f"--nofile={SLOTS + 128}", DAEMON])


def hold_slots(port: int, first: bytes, rest: bytes, stop: threading.Event) -> None:
    """Keeps ATTACKERS connections that each sent `first`; twice a second sends each one more
    byte of `rest` and opens a new one for each the daemon closed."""
    held, deadline = {}, time.monotonic() + 120
    while not stop.is_set() and time.monotonic() < deadline:
        for sock, offset in list(held.items()):
            if offset < len(rest) and rawhttp.send_quietly(sock, rest[offset:offset + 1]):
                held[sock] = offset + 1
        while len(held) < ATTACKERS:
            sock = rawhttp.connect(port)
            rawhttp.send_quietly(sock, first)
            held[sock] = 0
        tick = time.monotonic() + 0.5
        while not stop.is_set() and time.monotonic() < tick:
            readable, _, _ = select.select(list(held), [], [], 0.1)
            for sock in readable:
                del held[sock]
                sock.close()
    for sock in held:
        sock.close()


def verified(daemon: Daemon, body: dict) -> bool:
    try:
        return daemon.post(body, timeout=5).json()["result"]["output"] == "root"
    except (OSError, ValueError, KeyError):
        return False


WRONG_PASSWORD = json.dumps(request_body(TOKEN_SVC, "create",
                                         security=user_pass("alice", "wrong"))).encode()


# Every slot held by a request whose body trickles in, or by a wrong-password call waiting out
# its delay: each newcomer, a caller's or an attacker's, closes the oldest connection that has
# not completed a request.
@pytest.mark.parametrize("first, rest", [
    (rawhttp.post_head(1000) + b" " * 900, b" " * 100),
    (rawhttp.post_head(len(WRONG_PASSWORD)) + WRONG_PASSWORD, b""),
], ids=["slow-body", "pending-password"])
def test_callers_get_in_while_attackers_hold_every_connection(crowded, first, rest):
    good = request_body(VERIFY_SVC, "verify", security=oauth(crowded.create_token()))
    stop = threading.Event()
    attacker = threading.Thread(target=hold_slots, args=(crowded.port, first, rest, stop))
    attacker.start()
    try:
        crowded.wait_for_record(lambda r: "closing the one that has gone longest" in r.text,
                                "a connection inside an exchange closed for a newcomer")
        # Several rounds of the attacker's: up to 1,000 calls over at most 4 s.
        calls, end = [], time.monotonic() + 4
        while len(calls) < 1000 and time.monotonic() < end:
            calls.append(verified(crowded, good))
    finally:
        stop.set()
        attacker.join(timeout=30)
    assert len(calls) >= 100 and sum(calls) >= 0.99 * len(calls), (sum(calls), len(calls))
    assert "leaves room for only 64 connections" in crowded.log_text()


OTHER_UID = 65534
HELD_BACK = re.compile(r"Log lines of caller uid (\d+|unknown) held back: (\d+) "
                       r"\(more than 400 bytes a second\)")
HOLDING = re.compile(r"Holding back log lines of caller uid (\d+|unknown): "
                     r"more than 400 bytes a second")


# Each stalled body holds the largest size of the shared body budget; one host user's cannot
# take it all.
@pytest.mark.skipif(os.getuid() != 0, reason="a client of another uid needs root")
def test_one_users_stalled_large_bodies_leave_others_room(new_root, run_daemon):
    daemon = run_daemon(new_root(log_level=6))
    with as_user(OTHER_UID):
        stalled = [rawhttp.connect(daemon.port) for _ in range(4)]
    try:
        for sock in stalled:
            sock.sendall(rawhttp.post_head(19_999_999) + b"{")
        # Their bodies are asked for, so their room is reserved or awaited.
        wait_until(lambda: sum(r.text.startswith("HandleFrame<Recv>")
                               for r in daemon.records()) >= 4, "for the stalled bodies")
        large = request_body(PROVIDER_SVC, "get", app={"pad": "x" * 100_000})
        # Within the stalled bodies' 30 s: before, it waited for them to time out.
        assert daemon.post(large, timeout=20).status_code == 200
    finally:
        for sock in stalled:
            sock.close()
    # Each stalled body, admitted in turn, ends on the close before the daemon is stopped.
    wait_until(lambda: sum("Reading a request body failed" in r.text
                           for r in daemon.records()) >= 4, "for the stalled bodies to end")


def test_a_callers_flood_of_log_lines_is_held_back_and_counted(new_root, run_daemon):
    # A budget of 12,800 bytes, about 115 lines; then a line every quarter of a second.
    root = new_root(log_level=5, caller_log_bytes=400)
    daemon = run_daemon(root)
    daemon.wait_for_record(lambda r: r.logger == "App" and r.text == (
        "Log lines of one calling host user's requests: at most 400 bytes a second, the rest "
        "counted"), "of the budget at start")
    flood = 200  # each a line at level 5
    for i in range(flood):
        daemon.invoke(PROVIDER_SVC, "get", app={"opId": f"flood-{i}"})
    # The daemon's own lines, and another host user's, go out all the same.
    daemon.proc.send_signal(signal.SIGHUP)
    daemon.wait_for_record(lambda r: r.logger == "App" and "SIGHUP" in r.text, "of SIGHUP")
    if os.getuid() == 0:
        post_as(daemon, OTHER_UID,
                [request_body(PROVIDER_SVC, "get", app={"opId": "other-caller"})])
        assert [r.level for r in daemon.records() if r.op_id == "other-caller"] == [5]
    # The caller's lines go out again once its budget has room, after a line that counts those
    # held back.
    for after in range(100):
        daemon.invoke(PROVIDER_SVC, "get", app={"opId": f"after-{after}"})
        if any(r.op_id == f"after-{after}" for r in daemon.records()):
            break
        time.sleep(0.1)
    else:
        pytest.fail("the caller's lines did not go out again")

    records = daemon.records()
    written = [r for r in records if r.op_id.startswith(("flood-", "after-"))]
    notes = [r for r in records if r.logger == "LogBudget"]
    counts = [m for m in map(HELD_BACK.fullmatch, (r.text for r in notes)) if m]
    # Said when the holding starts, too: a flood that stops may never have a line to count it.
    holding = [m for m in map(HOLDING.fullmatch, (r.text for r in notes)) if m]
    assert counts and holding and len(counts) + len(holding) == len(notes), notes
    assert {r.level for r in notes} == {3}, notes
    assert {m[1] for m in counts + holding} <= {str(os.getuid()), "unknown"}, notes
    assert len(written) < flood
    assert len(written) + sum(int(m[2]) for m in counts) == flood + after + 1
