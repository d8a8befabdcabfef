"""A hostile local client: forged log lines, echoed megabytes, odd files and crafted tokens."""

import os
import shutil
import subprocess

import pytest

from conftest import (
    DAEMON,
    PROVIDER_SVC,
    TOKEN_SVC,
    USERS,
    assert_error_kind,
    message_texts,
    output_of,
    request_body,
    user_pass,
)

FORGED = "\n2026-01-01T00:00:00.000Z 3 Forged [admin] forged line\r\x1b[2J"


def test_client_text_cannot_forge_or_color_log_lines(daemon):
    since = daemon.log_offset()
    op = "inject" + FORGED
    answer = daemon.invoke(PROVIDER_SVC + FORGED, "get", app={"opId": op})
    assert_error_kind(answer, "operation_not_found")
    answer = daemon.invoke(PROVIDER_SVC, "get" + FORGED, app={"opId": op})
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
    huge = "x" * HUGE
    service, operation, op = PROVIDER_SVC, "get", f"huge-{where}"
    if where == "serviceId":
        service = huge
    elif where == "operationId":
        operation = huge
    else:
        op = huge
    since = daemon.log_offset()
    response = daemon.post(request_body(service, operation, app={"opId": op}))
    daemon.sync_log(f"huge-{where}-sync")

    assert response.status_code == 200
    assert len(response.content) < 4096, len(response.content)
    if where != "opId":
        error = assert_error_kind(response.json(), "operation_not_found")
        assert f"\u2026(cut, {HUGE} bytes)" in message_texts(error)
    assert daemon.log_offset() - since < 16384


def test_a_fifo_at_the_secret_path_is_refused_without_blocking(new_root, run_daemon):
    root = new_root()
    secret = root.secret_file.read_bytes()
    root.secret_file.unlink()
    os.mkfifo(root.secret_file)
    daemon = run_daemon(root)
    body = request_body(TOKEN_SVC, "create", security=user_pass("root", USERS["root"]))

    response = daemon.post(body, timeout=10)
    error = assert_error_kind(response.json(), "internal_server_error")
    assert "is not a regular file" in message_texts(error)

    root.secret_file.unlink()
    root.secret_file.write_bytes(secret)
    assert daemon.create_token("root")


def test_a_refused_password_is_logged_with_the_call_op_id_after_the_delay(daemon):
    since = daemon.log_offset()
    answer = daemon.invoke(
        TOKEN_SVC, "create", security=user_pass("alice", "wrong"), app={"opId": "wrong-pw"}
    )
    assert_error_kind(answer, "unauthenticated")

    fail = daemon.wait_for_prefix("wrong-pw", "MethodResult [FAIL]", since)
    assert fail.level == 3
    assert not any(r.op_id == "" and "MethodResult" in r.text for r in daemon.records(since))


def test_a_store_the_daemon_cannot_write_is_reported_at_start_up(new_root, run_daemon):
    root = new_root()
    run_daemon(root).stop()
    (database,) = root.store_dir.glob("*.db")
    database.chmod(0o444)
    # Root writes read-only files anyway; without the capability to override file modes it cannot.
    prefix = []
    if os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("needs setpriv to run as root without CAP_DAC_OVERRIDE")
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
    env = dict(os.environ, TESSEL_ROOT=str(root.path))
    done = subprocess.run(prefix + [str(DAEMON)], env=env, capture_output=True, timeout=20)

    assert done.returncode == 255
    last = done.stderr.splitlines()[-1]
    assert last.startswith(b"Error: ") and str(database).encode() in last, done.stderr


def test_the_issued_token_is_not_logged_in_full(daemon):
    since = daemon.log_offset()
    answer = daemon.invoke(
        TOKEN_SVC, "create", security=user_pass("alice", USERS["alice"]), app={"opId": "tok-log"}
    )
    token = output_of(answer)["token"]

    result = daemon.wait_for_prefix("tok-log", "MethodResult: ", since)
    assert f"(secret, {len(token)} bytes)" in result.text
    assert token.split(".")[2] not in daemon.log_text()
