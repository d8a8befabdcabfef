"""Operation ids on log lines, and which call lines each log level writes."""

import re

import pytest

from conftest import (
    PROVIDER_SVC,
    SERVICE_SVC,
    TOKEN_SVC,
    assert_error_kind,
    make_root,
    output_of,
    start,
    user_pass,
)

GENERATED = re.compile(r"^(?P<operation>[^-]+)-(?P<unique>.+)-0$")
FAIL = re.compile(r"^MethodResult \[FAIL\] \(MethodId:(?P<method>.*)\),(?P<error>.+)$", re.S)


def method_lines(records):
    return [r for r in records if r.text.startswith("Invoke-MethodId: ")]


def test_client_op_id_marks_every_line_of_its_call(daemon):
    since = daemon.log_offset()
    daemon.invoke(TOKEN_SVC, "create", security=user_pass("alice", "pw2"), app={"opId": "e2e-op-1"})
    daemon.sync_log("e2e-op-1-sync")

    mine = daemon.records_of("e2e-op-1", since)
    texts = [r.text for r in mine]
    assert f"Invoke-MethodId: {TOKEN_SVC}.create" in texts
    assert any(t.startswith("Invoke-Input: ") for t in texts)
    assert any(t.startswith("MethodResult: ") for t in texts)
    # Lines of the service itself, not only of the operation-id provider.
    assert "Creating token for [, , alice]" in texts
    others = [r for r in daemon.records(since) if r.op_id != "e2e-op-1"]
    assert not any("Creating token" in r.text for r in others)


def test_calls_without_op_id_get_distinct_generated_ids(daemon):
    since = daemon.log_offset()
    daemon.invoke(PROVIDER_SVC, "get")
    daemon.invoke(PROVIDER_SVC, "get", app={"opID": "wrong-case-key"})
    daemon.invoke(TOKEN_SVC, "create")
    daemon.sync_log("generated-sync")

    calls = [r for r in method_lines(daemon.records(since)) if r.op_id != "generated-sync"]
    assert [r.text for r in calls] == [
        f"Invoke-MethodId: {PROVIDER_SVC}.get",
        f"Invoke-MethodId: {PROVIDER_SVC}.get",
        f"Invoke-MethodId: {TOKEN_SVC}.create",
    ]
    matches = [GENERATED.match(r.op_id) for r in calls]
    assert all(matches), [r.op_id for r in calls]
    assert [m["operation"] for m in matches] == ["get", "get", "create"]
    assert len({r.op_id for r in calls}) == 3
    assert daemon.records_of("wrong-case-key", since) == []
    # The whole call carries the generated id, its result line included.
    for call in calls:
        assert any(r.text.startswith("MethodResult") for r in daemon.records_of(call.op_id, since))


def test_failure_line_names_method_and_error(daemon):
    since = daemon.log_offset()
    answer = daemon.invoke(PROVIDER_SVC, "list", app={"opId": "fail-op"})
    assert_error_kind(answer, "operation_not_found")

    record = daemon.wait_for_prefix("fail-op", "MethodResult [FAIL]", since)
    match = FAIL.match(record.text)
    assert match, record.text
    assert match["method"] == f"{PROVIDER_SVC}.list"
    assert "operation_not_found" in match["error"].lower()
    assert record.level == 3


@pytest.fixture(scope="module")
def by_level(tmp_path_factory):
    daemons = {}
    for level in (3, 5, 6):
        root = make_root(tmp_path_factory.mktemp(f"level{level}") / "root", log_level=level)
        daemons[level] = start(root)
    yield daemons
    statuses = {level: d.stop() for level, d in daemons.items()}
    assert statuses == {3: 0, 5: 0, 6: 0}


@pytest.mark.parametrize(
    "level,method_id,input_and_result",
    [(3, False, False), (5, True, False), (6, True, True)],
)
def test_call_lines_by_level(by_level, level, method_id, input_and_result):
    daemon = by_level[level]
    since = daemon.log_offset()
    output_of(daemon.invoke(SERVICE_SVC, "get", {"id": PROVIDER_SVC}, app={"opId": "ok-call"}))
    answer = daemon.invoke(SERVICE_SVC, "nothing", app={"opId": "failed-call"})
    assert_error_kind(answer, "operation_not_found")

    fail = daemon.wait_for_prefix("failed-call", "MethodResult [FAIL]", since)
    assert fail.level == 3
    records = daemon.records(since)
    ok = [r for r in records if r.op_id == "ok-call"]
    method_records = [r for r in ok if r.text.startswith("Invoke-MethodId: ")]
    input_records = [r for r in ok if r.text.startswith("Invoke-Input: ")]
    result_records = [r for r in ok if r.text.startswith("MethodResult: ")]
    assert [r.level for r in method_records] == ([5] if method_id else [])
    assert [r.level for r in input_records] == ([6] if input_and_result else [])
    assert [r.level for r in result_records] == ([6] if input_and_result else [])
    if input_and_result:
        assert PROVIDER_SVC in input_records[0].text
        assert "get" in result_records[0].text
    leveled = [r for r in records if r.level != 110]  # the process log has no level filter
    assert all(r.level <= level for r in leveled), [r for r in leveled if r.level > level]
