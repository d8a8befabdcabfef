"""The HTTP endpoint and the JSON-RPC envelope, seen from a client."""

import json
import re
import time

import pytest
import requests

import rawhttp
from conftest import (
    CLEAN,
    JSON,
    OPERATION_SVC,
    PROVIDER_SVC,
    SERVICE_SVC,
    TOKEN_SVC,
    VERIFY_SVC,
    assert_error_kind,
    contains_type_member,
    make_root,
    message_texts,
    output_of,
    request_body,
    start,
)

MAX_BODY = 20_000_000


def provider_get_body(req_id="1") -> bytes:
    return json.dumps(request_body(PROVIDER_SVC, "get", req_id=req_id)).encode()


# --- introspection in both encodings ---------------------------------------------------------


@pytest.mark.parametrize(
    "service,operation,input",
    [
        (PROVIDER_SVC, "get", {}),
        (SERVICE_SVC, "list", {}),
        (SERVICE_SVC, "get", {"id": TOKEN_SVC}),
        (OPERATION_SVC, "list", {"service_id": VERIFY_SVC}),
        (OPERATION_SVC, "get", {"service_id": TOKEN_SVC, "operation_id": "create"}),
    ],
)
def test_introspection_answers_match_in_both_encodings(daemon, service, operation, input):
    standard = daemon.post(request_body(service, operation, input), accept=JSON)
    clean = daemon.post(request_body(service, operation, input), accept=CLEAN)

    assert standard.headers["Content-Type"] == JSON
    assert clean.headers["Content-Type"] == CLEAN
    standard_output = output_of(standard.json())
    clean_output = output_of(clean.json())
    assert not contains_type_member(clean.json())
    if isinstance(standard_output, dict):
        assert "_type" in standard_output
        assert set(standard_output) - {"_type"} == set(clean_output)
    else:
        assert standard_output == clean_output


def test_introspection_describes_the_daemon(daemon):
    provider = output_of(daemon.invoke(PROVIDER_SVC, "get", accept=CLEAN))
    services = output_of(daemon.invoke(SERVICE_SVC, "list", accept=CLEAN))
    token_ops = output_of(daemon.invoke(SERVICE_SVC, "get", {"id": TOKEN_SVC}, accept=CLEAN))
    verify_ops = output_of(
        daemon.invoke(OPERATION_SVC, "list", {"service_id": VERIFY_SVC}, accept=CLEAN)
    )
    create_input = {"service_id": TOKEN_SVC, "operation_id": "create"}
    create = output_of(daemon.invoke(OPERATION_SVC, "get", create_input, accept=CLEAN))

    assert provider["id"] == "AsyncLocalProvider"
    assert isinstance(provider["checksum"], str) and provider["checksum"]
    assert {TOKEN_SVC, VERIFY_SVC, PROVIDER_SVC, SERVICE_SVC, OPERATION_SVC} <= set(services)
    assert len(services) == len(set(services))
    assert token_ops == {"operations": ["create"]}
    assert verify_ops == ["verify"]
    assert set(create) == {"input_definition", "output_definition"}
    assert "token_info" in json.dumps(create["output_definition"])


def test_provider_checksum_is_stable(daemon):
    first = output_of(daemon.invoke(PROVIDER_SVC, "get", accept=CLEAN))
    second = output_of(daemon.invoke(PROVIDER_SVC, "get", accept=CLEAN))
    assert first == second


# --- media types ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "accept,content_type",
    [
        (JSON, JSON),
        (CLEAN, CLEAN),
        ("application/vnd.tessel.orbi.framed.cleanjson", CLEAN),
        ("application/vnd.tessel.orbi.framed", JSON),
        ("application/json, application/vnd.tessel.orbi.cleanjson", CLEAN),
        ("text/html, application/json;q=0.9", JSON),
        ("text/html", JSON),
        ("APPLICATION/VND.TESSEL.ORBI.CLEANJSON", JSON),
        # Streaming flags alone never select the clean serializer.
        ("application/vnd.tessel.orbi+stream.json", JSON),
        ("application/vnd.tessel.orbi.clean+stream.json", JSON),
        (None, JSON),
    ],
)
def test_accept_selects_encoding(daemon, accept, content_type):
    since = daemon.log_offset()
    response = daemon.post(provider_get_body(), accept=accept)

    assert response.status_code == 200
    assert response.headers["Content-Type"] == content_type
    assert ("_type" in output_of(response.json())) == (content_type == JSON)
    known = accept is not None and any(
        t in accept
        for t in (JSON, CLEAN, "application/vnd.tessel.orbi.framed", "stream.json")
    )
    fallback = "Not known accept type.Default application/json will be used"
    if known:
        daemon.sync_log("accept-sync")
        assert not any(fallback in r.text for r in daemon.records(since))
    else:
        record = daemon.wait_for_record(lambda r: r.text == fallback, "of the fallback", since)
        assert record.level == 5


@pytest.mark.parametrize(
    "content_type",
    [JSON, "application/json; charset=utf-8", "application/vnd.tessel.orbi.framed"],
)
def test_accepted_content_types(daemon, content_type):
    response = daemon.post(provider_get_body(), content_type=content_type)
    assert response.status_code == 200
    assert output_of(response.json())["id"] == "AsyncLocalProvider"


@pytest.mark.parametrize(
    "content_type", ["text/plain", None, "APPLICATION/JSON", "application/xml"]
)
def test_refused_content_types_get_400(daemon, content_type):
    since = daemon.log_offset()
    response = daemon.post(provider_get_body(), content_type=content_type)

    assert response.status_code == 400
    daemon.sync_log("content-type-sync")
    calls = [r for r in daemon.records(since) if r.text.startswith("Invoke-MethodId")]
    assert [r.op_id for r in calls] == ["content-type-sync"]


@pytest.mark.parametrize("content_type", ["text/plain", None])
def test_refused_content_type_is_answered_without_reading_the_body(daemon, content_type):
    with rawhttp.connect(daemon.port) as sock:
        sock.sendall(rawhttp.post_head(1_000_000, content_type))
        status, _ = rawhttp.read_status(sock)
        assert status == 400
        rawhttp.wait_closed(sock)


# --- body size ------------------------------------------------------------------------------


@pytest.mark.parametrize("announced", [MAX_BODY, MAX_BODY + 5_000_000])
def test_body_reaching_the_limit_is_refused_once_it_is_reached(daemon, announced):
    since = daemon.log_offset()
    with rawhttp.connect(daemon.port, timeout=30) as sock:
        sock.sendall(rawhttp.post_head(announced))
        # Never more than the limit: when more is announced, the answer must not wait for it.
        rawhttp.send_quietly(sock, b" " * MAX_BODY)
        status, _ = rawhttp.read_status(sock)
    assert status == 400
    limit = "Request exceeds max size: 20000000."
    daemon.wait_for_record(lambda r: limit in r.text, "of the limit", since)
    assert not any("Invoke-MethodId" in r.text for r in daemon.records(since))


def test_chunked_body_is_held_to_the_same_limit(daemon):
    chunk = b" " * 1_000_000
    with rawhttp.connect(daemon.port, timeout=30) as sock:
        sock.sendall(
            b"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            b"Transfer-Encoding: chunked\r\n\r\n"
        )
        for _ in range(MAX_BODY // len(chunk) + 5):
            if rawhttp.send_quietly(sock, b"%x\r\n" % len(chunk) + chunk + b"\r\n") == 0:
                break
        status, _ = rawhttp.read_status(sock)
    assert status == 400


def test_body_one_byte_under_the_limit_is_served(daemon):
    body = provider_get_body(req_id="big")
    padded = body + b" " * (MAX_BODY - 1 - len(body))
    assert len(padded) == MAX_BODY - 1

    response = daemon.post(padded, timeout=60)

    assert response.status_code == 200
    assert response.json()["id"] == "big"
    assert output_of(response.json())["id"] == "AsyncLocalProvider"


# --- JSON-RPC envelope ----------------------------------------------------------------------

VALID = request_body(PROVIDER_SVC, "get", req_id="5")


# Each envelope rule is a unit case of the request decoder; these check the daemon answers them.
@pytest.mark.parametrize(
    "body,code,echoed_id",
    [
        (b"{not json", -32700, None),
        ({**VALID, "params": "get"}, -32600, "5"),
        ({**VALID, "id": 42, "method": "Invoke"}, -32601, 42),
    ],
)
def test_protocol_errors(daemon, body, code, echoed_id):
    response = daemon.post(body)

    assert response.status_code == 200
    answer = response.json()
    assert answer["jsonrpc"] == "2.0"
    assert answer["id"] == echoed_id
    assert answer["error"]["code"] == code
    assert isinstance(answer["error"]["message"], str)
    assert "result" not in answer


def test_integer_id_is_echoed(daemon):
    answer = daemon.invoke(PROVIDER_SVC, "get", req_id=9007199254740993)
    assert answer["id"] == 9007199254740993


@pytest.mark.parametrize(
    "headers",
    [
        {"Orbi-Service-Id": SERVICE_SVC},
        {"Orbi-Operation-Id": "list"},
        {"Orbi-Service-Id": PROVIDER_SVC, "Orbi-Operation-Id": "GET"},
        {"orbi-service-id": SERVICE_SVC},
    ],
)
def test_header_and_payload_identifiers_must_agree(daemon, headers):
    answer = daemon.post(VALID, headers=headers).json()

    assert answer["id"] == "5"
    assert answer["error"] == {
        "code": -32600,
        "message": "Mismatching operation identifier in HTTP header and payload",
    }


def test_agreeing_identifier_headers_are_accepted(daemon):
    headers = {"Orbi-Service-Id": PROVIDER_SVC, "Orbi-Operation-Id": "get"}
    assert output_of(daemon.post(VALID, headers=headers).json())["id"] == "AsyncLocalProvider"


@pytest.mark.parametrize(
    "service,operation",
    [("com.tessel.nox.nothing", "get"), (TOKEN_SVC, "destroy")],
)
def test_unknown_service_or_operation(daemon, service, operation):
    assert_error_kind(daemon.invoke(service, operation), "operation_not_found")


@pytest.mark.parametrize(
    "service,operation,input,path",
    [
        (SERVICE_SVC, "get", {"id": 5}, "id"),
        (PROVIDER_SVC, "get", {"unexpected_member": None}, "unexpected_member"),
        # The input is not a structure, so any "_type" on it names another one.
        (SERVICE_SVC, "get", {"_type": f"{SERVICE_SVC}.info", "id": TOKEN_SVC}, "input"),
    ],
)
def test_input_that_does_not_fit_names_the_member(daemon, service, operation, input, path):
    error = assert_error_kind(daemon.invoke(service, operation, input), "invalid_argument")
    # As a whole name: "id" alone would also match inside "Invalid".
    assert re.search(rf"(?<![A-Za-z0-9_]){path}(?![A-Za-z0-9_])", message_texts(error)), error


# --- hostile bodies -------------------------------------------------------------------------


def test_deep_nesting_is_a_protocol_error(daemon):
    depth = 100_000
    body = (
        b'{"jsonrpc":"2.0","id":"deep","method":"invoke","params":{"serviceId":"'
        + PROVIDER_SVC.encode()
        + b'","operationId":"get","input":{"x":'
        + b"[" * depth
        + b"]" * depth
        + b"}}}"
    )
    answer = daemon.post(body).json()
    assert answer["error"]["code"] in (-32700, -32600), answer
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


@pytest.mark.parametrize(
    "raw",
    [b'"\xff\xfe"', b'"a\xc3"', b'"\xed\xa0\x80"'],
    ids=["invalid-bytes", "truncated-sequence", "surrogate"],
)
def test_non_utf8_bytes_are_a_protocol_error(daemon, raw):
    body = b'{"jsonrpc":"2.0","id":' + raw + b',"method":"invoke","params":{"serviceId":"' + \
        PROVIDER_SVC.encode() + b'","operationId":"get"}}'
    answer = daemon.post(body).json()
    assert answer["error"]["code"] in (-32700, -32600), answer


def test_huge_strings_get_an_api_answer(daemon):
    answer = daemon.invoke(SERVICE_SVC, "get", {"id": "s" * 1_000_000})
    assert "result" in answer
    assert_error_kind(daemon.invoke(PROVIDER_SVC, "get", {"m" * 200_000: 1}), "invalid_argument")
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


@pytest.mark.parametrize("method", ["GET", "PUT", "DELETE", "HEAD", "PATCH"])
def test_other_methods_never_reach_the_api(daemon, method):
    since = daemon.log_offset()
    response = requests.request(
        method, daemon.url, data=provider_get_body(), headers={"Content-Type": JSON}, timeout=10
    )

    if method == "GET":
        assert response.status_code == 405
    assert 400 <= response.status_code < 500
    daemon.sync_log(f"after-{method}")
    assert [r.op_id for r in daemon.records(since) if r.text.startswith("Invoke-MethodId")] == [
        f"after-{method}"
    ]


def test_client_that_never_reads_answers_does_not_disturb_others(daemon):
    request = rawhttp.post_head(len(provider_get_body())) + provider_get_body()
    with rawhttp.connect(daemon.port) as sock:
        rawhttp.send_quietly(sock, request * 500)
        assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


def test_pipelined_requests_are_answered_in_order(daemon):
    first, second = provider_get_body(req_id="p1"), provider_get_body(req_id="p2")
    with rawhttp.connect(daemon.port) as sock:
        both = rawhttp.post_head(len(first)) + first + rawhttp.post_head(len(second)) + second
        sock.sendall(both)
        received = b""
        while received.count(b"AsyncLocalProvider") < 2:
            piece = sock.recv(65536)
            assert piece, received
            received += piece
    assert received.count(b"HTTP/1.1 200") == 2
    assert received.index(b'"p1"') < received.index(b'"p2"')


@pytest.mark.parametrize(
    "count,size,status",
    [(1, 200_000, 431), (24, 1000, 431), (12, 1000, 200)],
    ids=["one-header", "many-headers", "many-headers-within"],
)
def test_header_limit_holds_for_the_whole_head(daemon, count, size, status):
    """Sent a line at a time, each piece ending one byte into the next line: every read then
    completes the lines before it."""
    body = provider_get_body()
    head = rawhttp.post_head(len(body))[:-2] + b"".join(
        b"X-Filler-%d: %s\r\n" % (i, b"f" * size) for i in range(count)
    )
    cuts = [m.end() + 1 for m in re.finditer(b"\r\n", head)]
    with rawhttp.connect(daemon.port) as sock:
        for start, end in zip([0] + cuts, cuts + [len(head)]):
            if rawhttp.send_quietly(sock, head[start:end]) < end - start:
                break
            time.sleep(0.02)
        # A refused head gets no body: unread bytes would reset the connection under the answer.
        rawhttp.send_quietly(sock, b"\r\n" + (body if status == 200 else b""))
        got, _ = rawhttp.read_status(sock)
    assert got == status
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


SMUGGLED = rawhttp.post_head(len(provider_get_body())) + provider_get_body()


@pytest.mark.parametrize(
    "version,framing,status",
    [
        (b"1.1", b"Transfer-Encoding: gzip", 400),
        (b"1.1", b"Transfer-Encoding: identity", 400),
        (b"1.1", b"Transfer-Encoding: xchunked", 400),
        (b"1.1", b"Transfer-Encoding: chunked, gzip", 400),
        (b"1.1", b"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity", 400),
        (b"1.1", b"Transfer-Encoding: chunked, identity\r\nContent-Length: %d" % len(SMUGGLED), 400),
        (b"1.1", b"Content-Length: %d\r\nTransfer-Encoding: chunked" % len(SMUGGLED), 400),
        (b"1.0", b"Transfer-Encoding: chunked", 400),
        (b"1.1", b"Transfer-Encoding: gzip, chunked", 501),
    ],
)
def test_uncertain_body_framing_is_refused_and_closes(daemon, version, framing, status):
    """The body holds a whole second request: reading it as one would serve it."""
    with rawhttp.connect(daemon.port) as sock:
        sock.sendall(
            b"POST /api HTTP/" + version + b"\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: application/json\r\n" + framing + b"\r\n\r\n" + SMUGGLED
        )
        got, head = rawhttp.read_status(sock)
        everything = head + rawhttp.wait_closed(sock)
    assert got == status
    assert everything.count(b"HTTP/1.") == 1, everything


def test_connection_flood_is_bounded_and_service_resumes(daemon):
    flood = []
    try:
        for _ in range(400):
            flood.append(rawhttp.connect(daemon.port))
    finally:
        for sock in flood:
            sock.close()
    # Bounded: the slots of closed connections come back.
    for _ in range(100):
        try:
            assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
            break
        except requests.ConnectionError:
            time.sleep(0.05)
    else:
        pytest.fail("the daemon did not serve again after the flood closed")


def test_angle_brackets_and_ampersands_are_escaped(daemon):
    response = daemon.post(request_body("com.<svc>&x", "get", req_id="<&>"))

    text = response.text
    assert response.json()["id"] == "<&>"
    assert "\\u003c\\u0026\\u003e" in text
    assert not any(c in text for c in "<>&"), text


# --- slow clients (own daemon with a short idle timeout) ------------------------------------

IDLE_SECONDS = 2


@pytest.fixture(scope="module")
def impatient(tmp_path_factory):
    root = make_root(tmp_path_factory.mktemp("impatient") / "root")
    root.set_idle_timeout(IDLE_SECONDS)
    running = start(root)
    yield running
    assert running.stop() == 0


def test_stalled_clients_are_closed_after_idle_timeout_while_others_are_served(impatient):
    body = provider_get_body()
    stalled = []
    # More stalled clients than the daemon has HTTP threads.
    for _ in range(4):
        sock = rawhttp.connect(impatient.port, timeout=10 * IDLE_SECONDS)
        sock.sendall(rawhttp.post_head(len(body)) + body[: len(body) // 2])
        stalled.append(sock)
    head_only = rawhttp.connect(impatient.port, timeout=10 * IDLE_SECONDS)
    head_only.sendall(b"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    stalled.append(head_only)

    served = [output_of(impatient.invoke(PROVIDER_SVC, "get"))["id"] for _ in range(5)]

    assert served == ["AsyncLocalProvider"] * 5
    for sock in stalled:
        with sock:
            rawhttp.wait_closed(sock)
    assert output_of(impatient.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
