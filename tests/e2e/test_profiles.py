"""Client profiles over HTTP, and who may reach the management and token services."""

import sqlite3

import jwt
import pytest

from conftest import (
    PROFILES_SVC,
    SERVICE_SVC,
    TOKEN_SVC,
    VERIFY_SVC,
    assert_error_kind,
    error_of,
    oauth,
    output_of,
    user_pass,
)

ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"
MANAGEMENT = [PROFILES_SVC, ISSUERS_SVC]
# An operation each management service has, with input it accepts.
PROBES = {PROFILES_SVC: ("list", {}), ISSUERS_SVC: ("list", {})}
PREFIX = "com.tessel.nox.authentication.client_profiles."


def grants(*entitlements):
    return [{"resource_type": "HOST", "entitlement": e} for e in entitlements]


def claims_of(daemon, name):
    token = daemon.create_token(name)
    return jwt.decode(token, key=daemon.root.secret(), algorithms=["HS256"])


class Admin:
    """Calls the client profiles service with root's daemon token."""

    def __init__(self, daemon):
        self.daemon = daemon
        self.security = oauth(daemon.create_token("root"))

    def call(self, operation, input=None, op=None):
        app = {"opId": op} if op else None
        return self.daemon.invoke(PROFILES_SVC, operation, input or {}, self.security, app)

    def ok(self, operation, input=None):
        return output_of(self.call(operation, input))


def messages(error):
    return [(m["id"][len(PREFIX):], m["localized"]) for m in error["messages"]]


def test_root_creates_lists_reads_changes_and_deletes_profiles(daemon):
    admin = Admin(daemon)
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

    since = daemon.log_offset()
    again = assert_error_kind(
        admin.call("create", {"spec": {"local_user": "alice", "grants": []}}, "dup-alice"),
        "already_exists",
    )
    assert again["messages"] == []
    record = daemon.wait_for_line(
        "dup-alice", "Cannot create client profile, already exists: LU###alice", since
    )
    assert (record.level, record.logger) == (3, "ClientProfileImpl")

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
    admin = Admin(daemon)
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

    since = daemon.log_offset()
    error = assert_error_kind(
        admin.call("create", {"spec": {"external_user": "u", "grants": []}}, "half-user"),
        "invalid_argument",
    )
    assert messages(error) == [("invalid_createspec", "issuer_alias not set"),
                               ("invalid_createspec", "domain not set")]
    for text in ("Invalid external user specification - issuer alias missing!",
                 "Invalid external user specification - domain missing!"):
        assert daemon.wait_for_line("half-user", text, since).level == 3

    error = assert_error_kind(
        admin.call("list", {"filter": {"external_user": "u", "domain": "d"}}, "half-filter"),
        "invalid_argument",
    )
    assert [m[0] for m in messages(error)] == ["incomplete_filterspec", "invalid_filterspec"]
    daemon.wait_for_line(
        "half-filter",
        "ClientProfileImpl::List(): error - missing issuer alias; subject is: external user: u",
        since,
    )
    assert assert_error_kind(admin.call("list", {"projection": "EVERYTHING"}), "invalid_argument")


@pytest.mark.parametrize("service", MANAGEMENT)
@pytest.mark.parametrize(
    "caller,line",
    [
        ("alice-token", 'jwt entitlement "ADMINISTRATOR" not granted, turning down request'),
        ("user-pass", "Wrong authentication scheme used: com.tessel.orbi.std.security.user_pass; "
                      "expected: com.tessel.orbi.std.security.oauth"),
        ("nobody",
         "Wrong authentication scheme used: ; expected: com.tessel.orbi.std.security.oauth"),
    ],
)
def test_management_refuses_callers_without_the_administrator_token(daemon, service, caller, line):
    security = {
        "alice-token": oauth(daemon.create_token("alice")),
        "user-pass": user_pass("root", "secret1"),
        "nobody": None,
    }[caller]
    op = f"refuse-{caller}-{service[-8:]}"
    since = daemon.log_offset()
    operation, input = PROBES[service]
    error = assert_error_kind(
        daemon.invoke(service, operation, input, security, {"opId": op}), "unauthorized"
    )
    assert error["messages"] == []
    record = daemon.wait_for_line(op, line, since)
    assert (record.logger, record.level) == ("AuthzHandler", 4)


def test_daemon_token_obtains_no_token_but_verifies_and_introspects(daemon):
    token = oauth(daemon.create_token("root"))
    since = daemon.log_offset()
    error = assert_error_kind(
        daemon.invoke(TOKEN_SVC, "create", security=token, app={"opId": "renew"}), "unauthorized"
    )
    assert error["messages"] == []
    record = daemon.wait_for_line(
        "renew",
        "Denying jwt authentication for interface com.tessel.nox.authentication.token",
        since,
    )
    assert (record.logger, record.level) == ("AuthzHandler", 4)

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
    # Without the filter a daemon token is an ordinary credential.
    assert "entitlement" not in jwt.decode(
        output_of(daemon.invoke(TOKEN_SVC, "create", security=token))["token"],
        key=root.secret(), algorithms=["HS256"])


def test_profiles_and_default_flags_survive_restarts(new_root, run_daemon):
    root = new_root()
    daemon = run_daemon(root)
    admin = Admin(daemon)
    both = grants("ADMINISTRATOR", "READ_ONLY")
    admin.ok("set", {"profile": "LU###root", "spec": {"grants": both}})
    # Names travel byte for byte: "#", "\\", quotes and non-ASCII text.
    odd = {"external_user": 'e#v"e\\', "issuer_alias": "idp#1", "domain": "dömain"}
    odd_name = 'SU#idp\\#1#dömain#e\\#v"e\\\\'
    assert admin.ok("create", {"spec": {**odd, "grants": grants("OPERATOR")}}) == odd_name
    assert daemon.stop() == 0

    daemon = run_daemon(root)
    admin = Admin(daemon)
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


def test_set_that_the_store_cannot_write_changes_nothing(new_root, run_daemon):
    root = new_root()
    daemon = run_daemon(root)
    admin = Admin(daemon)
    admin.ok("create", {"spec": {"local_user": "alice", "grants": grants("OPERATOR")}})
    (database,) = [p for p in root.store_dir.rglob("*.db")]
    # Another writer holds the database until the daemon's write has given up on it.
    holder = sqlite3.connect(database, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        since = daemon.log_offset()
        change = {"profile": "LU###alice", "spec": {"grants": grants("ADMINISTRATOR")}}
        error = assert_error_kind(admin.call("set", change, "held"), "internal_server_error")
        assert error["messages"] == []
    finally:
        holder.rollback()
        holder.close()
    record = daemon.wait_for_line(
        "held", "Failed to set client profile, serialization error: LU###alice", since
    )
    assert (record.logger, record.level) == ("ClientProfileImpl", 3)
    assert claims_of(daemon, "alice")["entitlement"] == ["OPERATOR"]
    assert daemon.stop() == 0
    assert claims_of(run_daemon(root), "alice")["entitlement"] == ["OPERATOR"]
