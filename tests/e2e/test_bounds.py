"""Resource bounds that no local client can break: what one request may cost, all bodies at
once, idle and trickling connections, and memory handed back afterwards."""

import json
from concurrent.futures import ThreadPoolExecutor
import re
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
