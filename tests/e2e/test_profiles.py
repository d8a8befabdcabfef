"""Client profiles over HTTP, and who may reach the management and token services."""

import jwt
import pytest

from conftest import (
    ISSUERS_SVC,
    PROFILES_SVC,
    SERVICE_SVC,
    TOKEN_SVC,
    VERIFY_SVC,
    AdminClient,
    assert_error_kind,
    error_of,
    grants,
    oauth,
    output_of,
)

MANAGEMENT = [PROFILES_SVC, ISSUERS_SVC]
# An operation each management service has, with input it accepts.
PROBES = {PROFILES_SVC: ("list", {}), ISSUERS_SVC: ("list", {})}
PREFIX = "com.tessel.nox.authentication.client_profiles."


def claims_of(daemon, name):
    token = daemon.create_token(name)
    return jwt.decode(token, key=daemon.root.secret(), algorithms=["HS256"])


def messages(error):
    return [(m["id"][len(PREFIX):], m["localized"]) for m in error["messages"]]


def test_root_creates_lists_reads_changes_and_deletes_profiles(daemon):
    admin = AdminClient(daemon)
    assert admin.ok("create", {"spec": {"local_user": "alice", "grants": grants("OPERATOR")}}) == (
        "LU###alice"
    )
    assert claims_of(daemon, "alice")["entitlement"] == ["OPERATOR"]

    info = admin.ok("get", {"profile": "LU###alice"})
    assert info["subject"]["type"] == "LOCAL_USER" and info["subject"]["name"] == "alice"
    assert [g["entitlement"] for g in info["grants"]] == ["OPERATOR"]

    change = {"profile": "LU###alice", "spec": {"grants": grants("READ_ONLY")}}
    assert admin.ok("set", change) is None
    assert claims_of(daemon, "alice")["entitlement"] == ["READ_ONLY"]

    listed = admin.ok("list", {"filter": {"local_user": "alice"}, "projection": "FULL"})
    assert [(s["profile"], s["projection"]) for s in listed] == [("LU###alice", "FULL")]
    assert [g["entitlement"] for g in listed[0]["grants"]] == ["READ_ONLY"]
    default = admin.ok("list")
    assert {s["profile"] for s in default} >= {"LU###root", "LU###alice"}
    assert all(s.get("grants") is None and s["subject"] for s in default)

    again = assert_error_kind(
        admin.call("create", {"spec": {"local_user": "alice", "grants": []}}), "already_exists"
    )
    assert again["messages"] == []

    assert admin.ok("delete", {"profile": "LU###alice"}) is None
    assert claims_of(daemon, "alice")["entitlement"] == []
    for operation, input in [
        ("get", {"profile": "LU###alice"}),
        ("set", {"profile": "LU###alice", "spec": {"grants": []}}),
        ("delete", {"profile": "LU###alice"}),
    ]:
        error = assert_error_kind(admin.call(operation, input), "not_found")
        assert messages(error) == [("not_found", "Profile not found LU###alice")]


def test_external_subjects_are_stored_listed_and_checked(daemon):
    admin = AdminClient(daemon)
    name = 'ops#"ü\\x'
    spec = {"external_group": name, "issuer_alias": "idp", "domain": "corp.example",
            "grants": grants("OPERATOR", "OPERATOR")}
    profile = admin.ok("create", {"spec": spec})
    assert profile == 'SG#idp#corp.example#ops\\#"ü\\\\x'
    listed = admin.ok("list", {"filter": {"external_group": name, "issuer_alias": "idp",
                                          "domain": "corp.example"}, "projection": "FULL"})
    assert len(listed) == 1
    assert listed[0]["subject"] == {"_type": f"{PROFILES_SVC}.subject", "type": "EXTERNAL_GROUP",
                                    "name": name, "issuer_alias": "idp", "domain": "corp.example"}
    assert len(listed[0]["grants"]) == 1

    error = assert_error_kind(
        admin.call("create", {"spec": {"external_user": "u", "grants": []}}), "invalid_argument"
    )
    assert messages(error) == [("invalid_createspec", "issuer_alias not set"),
                               ("invalid_createspec", "domain not set")]
    error = assert_error_kind(
        admin.call("list", {"filter": {"external_user": "u", "domain": "d"}}), "invalid_argument"
    )
    assert [m[0] for m in messages(error)] == ["incomplete_filterspec", "invalid_filterspec"]
    assert assert_error_kind(admin.call("list", {"projection": "EVERYTHING"}), "invalid_argument")


# Each kind of caller is refused by the filter's own tests; here the filter sits before both.
@pytest.mark.parametrize("service", MANAGEMENT)
def test_management_refuses_callers_without_the_administrator_token(daemon, service):
    op = f"refuse-{service[-8:]}"
    since = daemon.log_offset()
    operation, input = PROBES[service]
    security = oauth(daemon.create_token("alice"))
    error = assert_error_kind(
        daemon.invoke(service, operation, input, security, {"opId": op}), "unauthorized"
    )
    assert error["messages"] == []
    line = 'jwt entitlement "ADMINISTRATOR" not granted, turning down request'
    record = daemon.wait_for_line(op, line, since)
    assert (record.logger, record.level) == ("AuthzHandler", 4)


def test_daemon_token_obtains_no_token_but_verifies_and_introspects(daemon):
    # The refusal's log line is AuthzFilterMatrix's; here the filter in front of the token service.
    token = oauth(daemon.create_token("root"))
    error = assert_error_kind(daemon.invoke(TOKEN_SVC, "create", security=token), "unauthorized")
    assert error["messages"] == []
    assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=token)) == "root"
    assert PROFILES_SVC in output_of(daemon.invoke(SERVICE_SVC, "list", security=token))


def test_switch_off_serves_no_management_interface(new_root, run_daemon):
    root = new_root()
    root.set_features(external_sts=False)
    daemon = run_daemon(root)
    token = oauth(daemon.create_token("root"))
    for service in MANAGEMENT:
        operation, input = PROBES[service]
        assert_error_kind(daemon.invoke(service, operation, input, token), "operation_not_found")
    # Without the filter a daemon token is an ordinary credential, and carries no entitlement.
    renewed = output_of(daemon.invoke(TOKEN_SVC, "create", security=token))["token"]
    assert set(jwt.decode(renewed, key=root.secret(), algorithms=["HS256"])) == {"username", "exp"}
    assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(renewed))) == "root"


def test_profiles_and_default_flags_survive_restarts(new_root, run_daemon):
    root = new_root()
    daemon = run_daemon(root)
    admin = AdminClient(daemon)
    both = grants("ADMINISTRATOR", "READ_ONLY")
    admin.ok("set", {"profile": "LU###root", "spec": {"grants": both}})
    # Names travel byte for byte: "#", "\\", quotes and non-ASCII text.
    odd = {"external_user": 'e#v"e\\', "issuer_alias": "idp#1", "domain": "dömain"}
    odd_name = 'SU#idp\\#1#dömain#e\\#v"e\\\\'
    assert admin.ok("create", {"spec": {**odd, "grants": grants("OPERATOR")}}) == odd_name
    assert daemon.stop() == 0

    daemon = run_daemon(root)
    admin = AdminClient(daemon)
    listed = {s["profile"]: [g["entitlement"] for g in s["grants"]]
              for s in admin.ok("list", {"projection": "FULL"})}
    assert listed == {"LU###root": ["ADMINISTRATOR", "READ_ONLY"], odd_name: ["OPERATOR"]}
    subject = admin.ok("get", {"profile": odd_name})["subject"]
    assert (subject["name"], subject["issuer_alias"], subject["domain"]) == tuple(odd.values())
    assert sorted(claims_of(daemon, "root")["entitlement"]) == ["ADMINISTRATOR", "READ_ONLY"]
    # Removing the default is for good: the schema's default does not come back.
    admin.ok("delete", {"profile": "LU###root"})
    assert daemon.stop() == 0

    daemon = run_daemon(root)
    assert claims_of(daemon, "root")["entitlement"] == []
    refused = daemon.invoke(PROFILES_SVC, "list", {}, oauth(daemon.create_token("root")))
    assert error_of(refused)["error_type"] == "UNAUTHORIZED"
