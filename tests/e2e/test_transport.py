"""The HTTP endpoint, the JSON-RPC envelope and the operation ids on log lines, seen from a
client. The framework's rules and its op ids have unit tests; here one of each family and what
only HTTP shows: status codes, headers, framing and connections."""

import json
import re
import time

import pytest

import rawhttp
from conftest import (CLEAN, JSON, OPERATION_SVC, PROVIDER_SVC, SERVICE_SVC, TOKEN_SVC, VERIFY_SVC,
                      assert_error_kind, output_of, request_body)

MAX_BODY = 20_000_000
VALID = request_body(PROVIDER_SVC, "get", req_id="5")
BODY = json.dumps(VALID).encode()


def calls_since(daemon, since, sync_op_id):
    """The op ids of the calls that reached the API since `since`, the sync call's last."""
    daemon.sync_log(sync_op_id)
    return [r.op_id for r in daemon.records(since) if r.text.startswith("Invoke-MethodId: ")]


def test_introspection_describes_the_services(daemon):
    services = output_of(daemon.invoke(SERVICE_SVC, "list"))
    assert {TOKEN_SVC, VERIFY_SVC, PROVIDER_SVC, SERVICE_SVC, OPERATION_SVC} <= set(services)
    create = {"service_id": TOKEN_SVC, "operation_id": "create"}
    definitions = output_of(daemon.invoke(OPERATION_SVC, "get", create, accept=CLEAN))
    assert "token_info" in json.dumps(definitions["output_definition"])


FALLBACK = "Not known accept type.Default application/json will be used"


@pytest.mark.parametrize("accept,content_type,encoding,fallback", [
    (JSON, "application/json; charset=utf-8", JSON, False),
    (CLEAN, JSON, CLEAN, False),
    ("application/vnd.tessel.orbi.framed.cleanjson", "application/vnd.tessel.orbi.framed", CLEAN,
     False),
    ("application/json, application/vnd.tessel.orbi.cleanjson", JSON, CLEAN, False),
    # Streaming flags alone never select the clean serializer.
    ("application/vnd.tessel.orbi.clean+stream.json", JSON, JSON, False),
    ("APPLICATION/VND.TESSEL.ORBI.CLEANJSON", JSON, JSON, True),
    (None, JSON, JSON, True),
])
def test_accept_selects_encoding(daemon, accept, content_type, encoding, fallback):
    since = daemon.log_offset()
    agreeing = {"Orbi-Service-Id": PROVIDER_SVC, "Orbi-Operation-Id": "get"}
    response = daemon.post(BODY, accept=accept, content_type=content_type, headers=agreeing)

    assert response.headers["Content-Type"] == encoding
    assert output_of(response.json())["id"] == "AsyncLocalProvider"
    assert ('"_type"' in response.text) == (encoding == JSON)
    calls_since(daemon, since, "accept-sync")
    logged = [r.level for r in daemon.records(since) if r.text == FALLBACK]
    assert logged == ([5] if fallback else [])


# Announcing more than the limit is answered at once: the HTTP handler's unit test.
@pytest.mark.parametrize("framing", ["under-limit", "at-limit", "chunked"])
def test_body_reaching_the_limit_is_refused_once_it_is_reached(daemon, framing):
    since = daemon.log_offset()
    with rawhttp.connect(daemon.port, timeout=30) as sock:
        if framing == "chunked":
            sock.sendall(b"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + JSON.encode()
                         + b"\r\nTransfer-Encoding: chunked\r\n\r\n")
            chunk = b"%x\r\n%s\r\n" % (1_000_000, b" " * 1_000_000)
            for _ in range(MAX_BODY // 1_000_000 + 5):
                if rawhttp.send_quietly(sock, chunk) == 0:
                    break
        elif framing == "under-limit":
            sock.sendall(rawhttp.post_head(MAX_BODY - 1) + BODY + b" " * (MAX_BODY - 1 - len(BODY)))
        else:
            rawhttp.send_quietly(sock, rawhttp.post_head(MAX_BODY) + b" " * MAX_BODY)
        status, _ = rawhttp.read_status(sock)
    calls = calls_since(daemon, since, "limit-sync")
    if framing == "under-limit":
        assert (status, len(calls)) == (200, 2)
    else:
        assert (status, calls) == (400, ["limit-sync"])
        assert any("Request exceeds max size: 20000000." in r.text for r in daemon.records(since))


DEEP = BODY.replace(b'"input": {}', b'"input": {"x": ' + b"[" * 100_000 + b"]" * 100_000 + b"}")


# One case of each family: protocol errors, dispatch, input checking and the escaping of text
# that a browser could read as markup.
@pytest.mark.parametrize("body,headers,echoed_id,error", [
    (b"{not json", {}, None, -32700),
    (DEEP, {}, None, -32600),
    ({**VALID, "id": 9007199254740993, "method": "<&>"}, {}, 9007199254740993, -32601),
    (VALID, {"orbi-service-id": SERVICE_SVC}, "5", -32600),
    (request_body("com.<svc>&x", "get", req_id="<&>"), {}, "<&>", "operation_not_found"),
    (request_body(SERVICE_SVC, "get", {"id": 5}), {}, "1", "invalid_argument"),
], ids=["not-json", "deep-nesting", "bad-method", "header-disagrees", "no-service", "bad-input"])
def test_refused_requests(daemon, body, headers, echoed_id, error):
    response = daemon.post(body, headers=headers)

    assert response.status_code == 200
    answer = response.json()
    assert (answer["jsonrpc"], answer["id"]) == ("2.0", echoed_id)
    if isinstance(error, int):
        assert answer["error"]["code"] == error and isinstance(answer["error"]["message"], str)
        assert "result" not in answer
        if headers:
            assert answer["error"]["message"] == (
                "Mismatching operation identifier in HTTP header and payload")
    else:
        assert_error_kind(answer, error)
    assert not any(c in response.text for c in "<>&"), response.text
    assert daemon.serves()


def test_pipelined_requests_are_answered_in_order_and_unread_answers_disturb_nobody(daemon):
    bodies = [BODY.replace(b'"5"', b'"p%d"' % i) for i in range(500)]
    with rawhttp.connect(daemon.port) as sock:
        rawhttp.send_quietly(sock, b"".join(rawhttp.post_head(len(b)) + b for b in bodies))
        assert daemon.serves()
        received = b""
        while received.count(b"AsyncLocalProvider") < 2:
            piece = sock.recv(65536)
            assert piece, received
            received += piece
    assert received.startswith(b"HTTP/1.1 200") and received.count(b"HTTP/1.1 200") >= 2
    assert received.index(b'"p0"') < received.index(b'"p1"')
    assert daemon.serves()


@pytest.mark.parametrize("count,status", [(24, 431), (12, 200)],
                         ids=["many-headers", "many-headers-within"])
def test_header_limit_holds_for_the_whole_head(daemon, count, status):
    """Sent a line at a time, each piece ending one byte into the next line: every read then
    completes the lines before it."""
    fillers = (b"X-Filler-%d: %s\r\n" % (i, b"f" * 1000) for i in range(count))
    head = rawhttp.post_head(len(BODY))[:-2] + b"".join(fillers)
    cuts = [m.end() + 1 for m in re.finditer(b"\r\n", head)]
    with rawhttp.connect(daemon.port) as sock:
        for start, end in zip([0] + cuts, cuts + [len(head)]):
            if rawhttp.send_quietly(sock, head[start:end]) < end - start:
                break
            time.sleep(0.02)
        # A refused head gets no body: unread bytes would reset the connection under the answer.
        rawhttp.send_quietly(sock, b"\r\n" + (BODY if status == 200 else b""))
        assert rawhttp.read_status(sock)[0] == status
    assert daemon.serves()


SMUGGLED = rawhttp.post_head(len(BODY)) + BODY
LENGTH = b"Content-Length: %d" % len(SMUGGLED)
TYPE = b"Content-Type: application/json\r\n"
HOST = b"Host: 127.0.0.1\r\n"
PAGE = b"Content-Type: text/plain;application/json\r\n" + LENGTH  # what a page sends unasked


# The body holds a whole second request: reading it as one would serve it. A refused content
# type is answered before the body, whose announced length is never sent. A request that names
# the host otherwise than by loopback, or comes from a browser's page, is refused before its body
# too: after DNS rebinding a page addresses 127.0.0.1 by its own name. Loopback names are served.
@pytest.mark.parametrize("version,head,status", [
    (b"1.1", HOST + b"Content-Type: text/plain\r\nContent-Length: 1000000", 400),
    (b"1.1", HOST + b"Content-Type: APPLICATION/JSON\r\nContent-Length: 1000000", 400),
    (b"1.1", HOST + b"Content-Length: 1000000", 400),
    (b"1.1", HOST + TYPE + b"Transfer-Encoding: identity", 400),
    (b"1.1", HOST + TYPE + b"Transfer-Encoding: xchunked", 400),
    (b"1.1", HOST + TYPE + b"Transfer-Encoding: chunked, gzip", 400),
    (b"1.1", HOST + TYPE + b"Transfer-Encoding: chunked\r\nTransfer-Encoding: identity", 400),
    (b"1.1", HOST + TYPE + LENGTH + b"\r\nTransfer-Encoding: chunked", 400),
    (b"1.0", HOST + TYPE + b"Transfer-Encoding: chunked", 400),
    (b"1.1", HOST + TYPE + b"Transfer-Encoding: gzip, chunked", 501),
    (b"1.1", b"Host: attacker.example\r\nOrigin: http://attacker.example\r\n" + PAGE, 403),
    (b"1.1", b"Host: attacker.example:9199\r\n" + TYPE + LENGTH, 403),
    (b"1.0", b"Host: localhost.attacker.example\r\n" + TYPE + LENGTH, 403),
    (b"1.1", b"Host: 127.0.0.2\r\n" + TYPE + LENGTH, 403),
    (b"1.1", b"Host: [::1]:x\r\n" + TYPE + LENGTH, 403),
    (b"1.1", b"Host: localhost:\r\n" + TYPE + LENGTH, 403),
    (b"1.1", HOST + b"Origin: http://127.0.0.1\r\n" + TYPE + LENGTH, 403),
    (b"1.1", HOST + b"Origin: null\r\n" + TYPE + LENGTH, 403),
    (b"1.1", TYPE + LENGTH, 400),
    (b"1.1", HOST + HOST + TYPE + LENGTH, 400),
    (b"1.1", b"Host: LocalHost:PORT\r\n" + TYPE + LENGTH, 200),
    (b"1.1", b"Host: [::1]\r\n" + TYPE + LENGTH, 200),
    (b"1.1", b"Host: 127.0.0.1:PORT\r\n" + TYPE + LENGTH, 200),
    (b"1.0", TYPE + LENGTH, 200),
])
def test_each_head_gets_one_answer_and_refused_ones_close(daemon, version, head, status):
    since = daemon.log_offset()
    with rawhttp.connect(daemon.port) as sock:
        sock.sendall(b"POST /api HTTP/" + version + b"\r\n" + head.replace(
            b"PORT", b"%d" % daemon.port) + b"\r\n\r\n" + SMUGGLED)
        got, answer = rawhttp.read_status(sock)
        everything = answer + (rawhttp.wait_closed(sock) if status != 200 else b"")
    assert got == status
    assert everything.count(b"HTTP/1.") == 1, everything
    # Served, the body is no JSON: no call reaches the API either way.
    assert calls_since(daemon, since, "refused-sync") == ["refused-sync"]
