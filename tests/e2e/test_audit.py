"""The audit trail: one JSON object per line for every grant, refusal and management change,
with the caller and never a secret; fail-closed when required; a new file after SIGHUP."""

import hashlib
import os
import resource
import signal
import ssl
import time

import jwt
import pytest

from conftest import (ISSUERS_SVC, NOX, PROFILES_SVC, TOKEN_SVC, VERIFY_SVC, AdminClient,
                      assert_error_kind, grants, message_texts, oauth, output_of, user_pass,
                      wait_until)
from saml_client import SAML_HOK

PASSWORD_AS_NAME = "Tr0ub4dor&3"  # no host has such a user
IDP = "https://idp.example/audit"


def read_trail(root, path=None):
    return root.trail(path, secrets=[PASSWORD_AS_NAME])


def audited(new_root, **settings):
    """A new root whose configuration has an <audit> element with `settings`."""
    root = new_root()
    root.add_config("<audit>" + "".join(f"<{k}>{v}</{k}>" for k, v in settings.items())
                    + "</audit>")
    return root


def only(records, op_id, event):
    found = [r for r in records if r.get("op_id") == op_id and r["event"] == event]
    assert len(found) == 1, (op_id, event, records[-5:])
    return found[0]


def test_each_decision_is_recorded_with_its_caller(daemon, keys):
    cert = keys["idp"].cert_text()
    fingerprint = hashlib.sha256(ssl.PEM_cert_to_DER_cert(cert)).hexdigest()
    root, alice = (oauth(daemon.create_token(user)) for user in ("root", "alice"))

    def call(op_id, service, operation, input=None, security=None):
        return daemon.invoke(service, operation, input, security, {"opId": op_id})

    token = output_of(call("a-issue", TOKEN_SVC, "create", security=user_pass("root")))
    forged = jwt.encode({"iss": IDP, "username": "ann", "exp": int(time.time()) + 60}, "k" * 32)
    unproven = {"schemeId": SAML_HOK, "samlHokToken": "<A/>", "samlHokTokenAlgorithm": "RS256"}
    bob, chains = "LU###bob", [{"cert_chain": [cert]}]
    # Made in this order: op id, service, operation, input, security; event, members expected.
    expected = [
        ("a-badpw", TOKEN_SVC, "create", None, user_pass("root", "wrong"), "credential.refused",
         {"scheme": "user_pass", "subject": {"user": "root", "host_user": True}}),
        # Refused before PAM, but the name is still looked up.
        ("a-longpw", TOKEN_SVC, "create", None, user_pass("root", "x" * 4097), "credential.refused",
         {"scheme": "user_pass", "subject": {"user": "root", "host_user": True}}),
        # A name no host user has may be a password typed into the wrong field: left out.
        ("a-badname", TOKEN_SVC, "create", None, user_pass(PASSWORD_AS_NAME, "x"),
         "credential.refused", {"scheme": "user_pass", "subject": {"host_user": False}}),
        ("a-nobody", TOKEN_SVC, "create", None, None, "credential.refused", {"scheme": "none"}),
        ("a-denied", PROFILES_SVC, "list", {}, alice, "access.denied", {
            "scheme": "own_token", "subject": {"user": "alice"}, "service": PROFILES_SVC,
            "operation": "list", "reason": "com.tessel.orbi.std.errors.unauthorized"}),
        ("a-pcreate", PROFILES_SVC, "create", {"spec": {"local_user": "bob", "grants": grants(
            "READ_ONLY")}}, root, "profile.created",
         {"target": bob, "after": {"grants": ["HOST:READ_ONLY"]}, "outcome": "ok"}),
        ("a-pset", PROFILES_SVC, "set", {"profile": bob, "spec": {"grants": grants("OPERATOR")}},
         root, "profile.changed", {"target": bob, "before": {"grants": ["HOST:READ_ONLY"]},
                                   "after": {"grants": ["HOST:OPERATOR"]}}),
        ("a-pdelete", PROFILES_SVC, "delete", {"profile": bob}, root, "profile.deleted",
         {"target": bob, "before": {"grants": ["HOST:OPERATOR"]}, "operation": "delete"}),
        ("a-pmissing", PROFILES_SVC, "delete", {"profile": bob}, root, "profile.deleted",
         {"outcome": "refused", "reason": PROFILES_SVC + ".not_found"}),
        ("a-icreate", ISSUERS_SVC, "create", {"spec": {
            "issuer_alias": "idp", "issuer": IDP, "signing_cert_chains": chains}}, root,
         "issuer.created", {"target": "idp", "after": {"issuer": IDP, "chains": [[fingerprint]]},
                            "service": ISSUERS_SVC}),
        ("a-forged", TOKEN_SVC, "create", None, oauth(forged), "credential.refused", {
            "scheme": "external_jwt", "subject": {"user": "ann", "issuer_alias": "idp"},
            "reason": NOX + "external_token_invalid_signature"}),
        ("a-saml", TOKEN_SVC, "create", None, unproven, "credential.refused",
         {"scheme": "saml_hok", "subject": None}),
        ("a-iset", ISSUERS_SVC, "set", {"issuer_alias": "idp", "spec": {"issuer": IDP + "/2"}},
         root, "issuer.changed", {"before": {"issuer": IDP, "chains": [[fingerprint]]},
                                  "after": {"issuer": IDP + "/2", "chains": [[fingerprint]]}}),
        ("a-idelete", ISSUERS_SVC, "delete", {"issuer_alias": "idp"}, root, "issuer.deleted",
         {"target": "idp", "before": {"issuer": IDP + "/2", "chains": [[fingerprint]]}}),
    ]
    for op_id, service, operation, input, security, _, _ in expected:
        call(op_id, service, operation, input, security)

    records = read_trail(daemon.root)
    root_subject = {"user": "root"}
    issued = only(records, "a-issue", "token.issued")
    assert issued["time"].endswith("Z") and len(issued["time"]) == len("2026-01-02T03:04:05.678Z")
    assert {k: issued[k] for k in ("scheme", "subject", "outcome", "entitlements")} == {
        "scheme": "user_pass", "subject": root_subject, "outcome": "ok",
        "entitlements": ["ADMINISTRATOR"]}
    assert issued["token_sha256"] == hashlib.sha256(token["token"].encode()).hexdigest()[:16]
    unchecked = jwt.decode(token["token"], options={"verify_signature": False})
    assert issued["expires"] == unchecked["exp"]
    if "caller_uid" in issued:
        assert issued["caller_uid"] == os.getuid()
    for op_id, _, _, _, _, event, members in expected:
        record = only(records, op_id, event)
        assert {k: record.get(k) for k in members} == members, record
        refused = event in ("credential.refused", "access.denied") or "reason" in members
        assert record["outcome"] == ("refused" if refused else "ok"), record
        assert ("reason" in record) == refused, record
        if event.startswith(("profile.", "issuer.")):
            assert record["subject"] == root_subject and record["scheme"] == "own_token", record
    # Verification is no decision: it leaves no record.
    call("a-verify", VERIFY_SVC, "verify", {}, alice)
    assert not [r for r in read_trail(daemon.root) if r.get("op_id") == "a-verify"]


@pytest.mark.parametrize("required", [True, False])
def test_a_trail_that_cannot_be_written_refuses_only_when_required(new_root, run_daemon,
                                                                   required):
    root = audited(new_root, required=str(required).lower())
    root.audit_trail.mkdir(parents=True)
    daemon = run_daemon(root)
    for _ in range(5):
        answer = daemon.create(user_pass("root"))
    lines = [r for r in daemon.records() if r.logger == "Audit" and r.level == 2]
    # Said, but not once a call: the lines wait 10 s, then count what they held back.
    for kind in ("lost", "unavailable"):
        assert 1 <= len([r for r in lines if kind in r.text]) < 5, lines
    if not required:
        assert output_of(answer)["token"]
        return
    error = assert_error_kind(answer, "internal_server_error")
    assert "audit trail cannot record" in message_texts(error)


def test_a_change_whose_required_record_is_lost_does_not_stand(new_root, run_daemon):
    """The record goes out inside the change's transaction: lost, the change is rolled back."""
    root = audited(new_root, required="true")
    path = root.audit_trail
    path.parent.mkdir(parents=True)
    # Larger than the store's files, so that a file size limit at its size fails only the trail.
    path.write_text('{"event": "padding"}\n' * 400_000)
    daemon = run_daemon(root)
    admin = AdminClient(daemon)
    carol = {"spec": {"local_user": "carol", "grants": grants("OPERATOR")}}
    soft, hard = resource.prlimit(daemon.proc.pid, resource.RLIMIT_FSIZE)
    resource.prlimit(daemon.proc.pid, resource.RLIMIT_FSIZE, (path.stat().st_size, hard))
    for operation, input in [("create", carol), ("delete", {"profile": "LU###root"})]:
        error = assert_error_kind(admin.call(operation, input), "internal_server_error")
        assert "audit trail cannot record" in message_texts(error)
    resource.prlimit(daemon.proc.pid, resource.RLIMIT_FSIZE, (soft, hard))
    assert daemon.stop() == 0
    daemon = run_daemon(root)  # what the store kept
    admin = AdminClient(daemon)
    assert_error_kind(admin.call("get", profile="LU###carol"), "not_found")
    admin.ok("get", profile="LU###root")
    assert admin.ok("create", carol) == "LU###carol"
    admin.ok("delete", {"profile": "LU###root"})
    assert daemon.stop() == 0
    # The way back in grants an administrator: recorded with the host user who ran it.
    done = root.restore()
    assert done.returncode == 0, done.stderr
    changes = [r for r in read_trail(root) if r["event"].startswith("profile.")]
    assert [(r["event"], r["outcome"], r["target"]) for r in changes] == [
        ("profile.created", "ok", "LU###carol"), ("profile.deleted", "ok", "LU###root"),
        ("profile.created", "ok", "LU###root")], changes
    assert changes[-1]["caller_uid"] == os.getuid() and changes[-1]["after"] == {
        "grants": ["HOST:ADMINISTRATOR"]}
    assert changes[-1]["operation"] == "restore-default-profiles" and "before" not in changes[-1]


def test_sighup_starts_a_new_file_and_disabled_writes_none(new_root, run_daemon):
    root = new_root()
    daemon = run_daemon(root)
    daemon.create_token()
    path = root.audit_trail
    assert oct(path.stat().st_mode & 0o777) == "0o600"
    assert oct(path.parent.stat().st_mode & 0o777) == "0o700"
    moved = path.with_name("audit.log.1")
    path.rename(moved)
    daemon.proc.send_signal(signal.SIGHUP)
    wait_until(path.exists, "for a new trail after SIGHUP")
    daemon.create_token("alice")
    assert [r["subject"]["user"] for r in read_trail(root, moved)] == ["root"]
    assert [r["subject"]["user"] for r in read_trail(root)] == ["alice"]

    off = audited(new_root, enabled="false")
    run_daemon(off).create_token()
    assert not off.audit_trail.exists()


def test_a_flood_of_refusals_is_held_back_and_counted(new_root, run_daemon):
    # A budget of 32,000 bytes: ~100 records. Unknown names recorded, as an administrator may ask.
    root = audited(new_root, refusalBytesPerSecond="1000", recordUnknownUserNames="true")
    daemon = run_daemon(root)
    daemon.create(user_pass("nobody-here", "x"))
    forged = oauth(jwt.encode({"iss": "https://nobody", "username": "mallory"}, "k" * 32))
    for _ in range(400):
        daemon.create(forged)
    time.sleep(1.5)  # room again for one record
    daemon.create(forged)

    refused = [r for r in read_trail(root) if r["event"] == "credential.refused"]
    assert refused[0]["subject"] == {"user": "nobody-here", "host_user": False}
    assert len(refused) < 200
    assert refused[-1]["held_back"] > 0
    # Every refusal is accounted for: written, or counted in the caller's next record.
    assert len(refused) + sum(r.get("held_back", 0) for r in refused) == 402
    said = [r.text for r in daemon.records() if r.logger == "Audit" and "held back" in r.text]
    assert said and "caller uid" in said[0] and "1000 bytes a second" in said[0]
