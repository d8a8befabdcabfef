"""The trusted issuers service over HTTP: every operation with its errors, the chains'
standardized form, persistence across restarts, large requests and a store that refuses writes."""

import sqlite3
import subprocess

import pytest

from conftest import (
    Daemon,
    assert_error_kind,
    kill_during_writes,
    oauth,
    output_of,
)

ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"
MSG = ISSUERS_SVC + "."
BEGIN, END = "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----"


def make_pem(tmp_path, name: str, key: str) -> str:
    """A fresh self-signed certificate, as OpenSSL writes it."""
    args = ["openssl", "req", "-x509", "-nodes", "-subj", f"/CN={name}", "-days", "2",
            "-keyout", str(tmp_path / f"{name}.key"), "-out", str(tmp_path / f"{name}.pem")]
    args += ["-newkey", "rsa:2048"] if key == "rsa" else [
        "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]
    subprocess.run(args, check=True, capture_output=True, timeout=60)
    return (tmp_path / f"{name}.pem").read_text()


def standardized(pem: str) -> str:
    return pem.rstrip("\n")


def crlf_76(pem: str) -> str:
    body = "".join(pem.replace(BEGIN, "").replace(END, "").split())
    lines = [body[i:i + 76] for i in range(0, len(body), 76)]
    return "\r\n".join([" " + BEGIN, *lines, END, ""])


@pytest.fixture(scope="module")
def pems(tmp_path_factory):
    path = tmp_path_factory.mktemp("certs")
    return {"rsa": make_pem(path, "rsa", "rsa"), "ec": make_pem(path, "ec", "ec")}


class Issuers:
    """Calls the service as root, through root's daemon token."""

    def __init__(self, daemon):
        self.daemon = daemon
        self.token = daemon.create_token("root")

    def call(self, operation, op_id=None, **input):
        app = {"opId": op_id} if op_id else None
        return self.daemon.invoke(ISSUERS_SVC, operation, input, security=oauth(self.token), app=app)

    def ok(self, operation, **input):
        return output_of(self.call(operation, **input))

    def create(self, alias, issuer, chains=(), **kw):
        spec = {"issuer_alias": alias, "issuer": issuer,
                "signing_cert_chains": [{"cert_chain": list(c)} for c in chains]}
        return self.call("create", spec=spec, **kw)

    def chains(self, alias):
        info = self.ok("get", issuer_alias=alias)
        return [c["cert_chain"] for c in info["signing_cert_chains"]]

    def aliases(self):
        return {s["issuer_alias"]: s["issuer"] for s in self.ok("list")}


@pytest.fixture
def issuers(daemon):
    client = Issuers(daemon)
    yield client
    for alias in client.aliases():
        client.ok("delete", issuer_alias=alias)


def refused(answer, kind, *message_names):
    """The error's kind and its message ids in order; returns its localized texts."""
    error = assert_error_kind(answer, kind)
    assert [m["id"] for m in error["messages"]] == [MSG + n for n in message_names], error
    for m in error["messages"]:
        assert m["localized"] == m["default_message"]
    return [m["localized"] for m in error["messages"]]


# --- operations -----------------------------------------------------------------------------


def test_chains_come_back_standardized_in_given_order(issuers, pems):
    assert output_of(issuers.create("a", "https://i", [[crlf_76(pems["rsa"]), pems["ec"]],
                                                       [pems["ec"] + "\n\n"]])) is None
    assert issuers.chains("a") == [[standardized(pems["rsa"]), standardized(pems["ec"])],
                                   [standardized(pems["ec"])]]


@pytest.mark.parametrize("projection,fields", [
    (None, {"issuer_alias", "issuer"}),
    ("ISSUER", {"issuer_alias", "issuer"}),
    ("ALIAS", {"issuer_alias"}),
    ("FULL", {"issuer_alias", "issuer", "signing_cert_chains"}),
])
def test_list_projections(issuers, pems, projection, fields):
    issuers.create("a1", "i1", [[pems["rsa"]]])
    issuers.create("a2", "i2")
    summaries = issuers.ok("list", projection=projection)
    assert sorted(s["issuer_alias"] for s in summaries) == ["a1", "a2"]
    for s in summaries:
        assert s["summary_type"] == (projection or "ISSUER")
        present = {k for k, v in s.items() if v is not None and k not in ("_type", "summary_type")}
        assert present == fields
    if projection == "FULL":
        chains = {s["issuer_alias"]: [c["cert_chain"] for c in s["signing_cert_chains"]]
                  for s in summaries}
        assert chains == {"a1": [[standardized(pems["rsa"])]], "a2": []}


def test_unknown_projection_is_refused(issuers):
    texts = refused(issuers.call("list", projection="EVERYTHING"), "invalid_argument",
                    "unknown_summary_type")
    assert texts == ["Unknown summary type"]


def test_create_conflicts(issuers):
    issuers.create("a1", "i1")
    issuers.create("a2", "i2")
    both = issuers.create("a1", "i2")
    assert refused(both, "already_exists", "alias_already_exists", "issuer_already_exists") == [
        "Security token issuer alias already exists a1",
        "Security token issuer already exists i2 saved under alias a2"]
    data = assert_error_kind(both, "already_exists")["data"]
    assert (data["_type"], data["issuer"], data["issuer_alias"]) == (
        ISSUERS_SVC + ".issuer_already_exists_info", "i2", "a2")
    alias_only = issuers.create("a1", "new")
    refused(alias_only, "already_exists", "alias_already_exists")
    assert assert_error_kind(alias_only, "already_exists")["data"] is None
    # The store holds no object without an instance id: an empty alias could not come back.
    (text,) = refused(issuers.create("", "e"), "error", "storage_update_failed")
    assert text.startswith("ConfigStore update for issuer alias  failed\nReason: ")
    assert issuers.aliases() == {"a1": "i1", "a2": "i2"}


def test_bad_certificates_each_reported_and_nothing_stored(issuers, pems):
    texts = refused(issuers.create("a", "i", [[pems["ec"], "x" + pems["ec"]], [pems["ec"] + "y"]]),
                    "invalid_argument", "standardizing_certificate_failed",
                    "standardizing_certificate_failed")
    assert texts[0] == ("Standardizing certificate [certificate chain #0][certificate #1] failed:\n"
                        "x" + pems["ec"] + "\n")
    assert texts[1].startswith("Standardizing certificate [certificate chain #1][certificate #0]")
    texts = refused(issuers.create("a", "i", [[pems["rsa"]], ["QUJD"]]), "invalid_argument",
                    "parsing_certificate_failed")
    assert texts[0].startswith("Parsing certificate [certificate chain #1][certificate #0] failed:\n"
                               + BEGIN + "\nQUJD\n" + END + "\nReason: ")
    assert issuers.aliases() == {}


def test_get_set_delete(issuers, pems):
    issuers.create("a", "i", [[pems["rsa"]]])
    issuers.create("b", "j")
    assert issuers.ok("set", issuer_alias="a", spec={"issuer": "i2"}) is None
    assert issuers.chains("a") == [[standardized(pems["rsa"])]]
    assert issuers.ok("set", issuer_alias="a", spec={"signing_cert_chains": [
        {"cert_chain": [pems["ec"]]}]}) is None
    assert issuers.ok("get", issuer_alias="a")["issuer"] == "i2"
    assert issuers.chains("a") == [[standardized(pems["ec"])]]
    assert issuers.ok("set", issuer_alias="a", spec={}) is None

    conflict = issuers.call("set", issuer_alias="a", spec={"issuer": "j"})
    assert refused(conflict, "already_exists", "issuer_already_exists") == [
        "Security token issuer already exists j saved under alias b"]
    assert assert_error_kind(conflict, "already_exists")["data"]["issuer_alias"] == "b"

    for operation, extra in (("get", {}), ("set", {"spec": {"issuer": "z"}}), ("delete", {})):
        texts = refused(issuers.call(operation, issuer_alias="nope", **extra), "not_found",
                        "not_found")
        assert texts == ["Security token issuer alias not found nope"]
    assert issuers.ok("delete", issuer_alias="a") is None
    refused(issuers.call("delete", issuer_alias="a"), "not_found", "not_found")
    assert issuers.aliases() == {"b": "j"}


def test_log_lines_and_refusals_at_level_three(issuers, daemon):
    issuers.create("a", "i")
    since = daemon.log_offset()
    issuers.create("a", "i2", op_id="issuers-log-1")
    daemon.sync_log("issuers-log-1-sync")
    lines = [(r.level, r.text) for r in daemon.records_of("issuers-log-1", since)
             if r.logger == "SecurityTokenIssuers"]
    assert lines == [(5, "Saving certificates for issuer i2 under issuer alias a"),
                     (5, "Empty certificate chains list!"),
                     (3, "Security token issuer alias already exists a")]


# --- persistence and bad input --------------------------------------------------------------

ODD_NAMES = [("a#\\\"'ü€", "https://idp/ü?\"q\\#"), ("\x01\x7f tab\there", "δοκιμή\u2028end")]


def test_restart_keeps_issuers_byte_for_byte(new_root, run_daemon, pems):
    root = new_root()
    first = run_daemon(root)
    client = Issuers(first)
    chains = [[pems["rsa"], pems["ec"]], [pems["ec"]], [pems["rsa"]]]
    for alias, issuer in ODD_NAMES:
        assert output_of(client.create(alias, issuer, chains)) is None
    assert first.stop() == 0

    client = Issuers(run_daemon(root))
    assert client.aliases() == dict(ODD_NAMES)
    for alias, _ in ODD_NAMES:
        assert client.chains(alias) == [[standardized(p) for p in c] for c in chains]


def test_kill_during_writes_keeps_every_answered_one(new_root, run_daemon, pems):
    root = new_root()
    daemon = Daemon(root).wait_ready()
    client = Issuers(daemon)
    chains = [[pems["rsa"], pems["ec"]], [pems["ec"]]]

    def create(i):
        assert output_of(client.create(f"crash-{i}", f"issuer-{i}", chains)) is None
        return f"crash-{i}"

    written = kill_during_writes(daemon, create)
    summaries = Issuers(run_daemon(root)).ok("list", projection="FULL")
    assert set(written) <= {s["issuer_alias"] for s in summaries}
    for s in summaries:  # no object half written
        assert s["issuer"] == s["issuer_alias"].replace("crash-", "issuer-")
        assert [c["cert_chain"] for c in s["signing_cert_chains"]] == [
            [standardized(p) for p in c] for c in chains]


def test_large_requests_are_answered(issuers, daemon, pems):
    many = [[pems["ec"]]] * 3000
    assert output_of(issuers.create("many", "many", many)) is None
    assert len(issuers.chains("many")) == 3000
    huge = BEGIN + "\n" + "A" * 19_000_000 + "\n" + END
    answer = issuers.call("create", spec={"issuer_alias": "huge", "issuer": "huge",
                                          "signing_cert_chains": [{"cert_chain": [huge]}]})
    refused(answer, "invalid_argument", "parsing_certificate_failed")
    assert issuers.aliases() == {"many": "many"}


def test_store_write_failure_changes_nothing(new_root, run_daemon, pems):
    root = new_root()
    client = Issuers(run_daemon(root))
    client.create("keep", "k", [[pems["rsa"]]])
    # Another writer holds the database: the daemon's writes fail once its busy wait ends.
    holder = sqlite3.connect(root.store_dir / "global.db", isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        answers = [client.create("new", "n"),
                   client.call("set", issuer_alias="keep", spec={"issuer": "k2"}),
                   client.call("delete", issuer_alias="keep")]
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    for answer, alias in zip(answers, ("new", "keep", "keep")):
        (text,) = refused(answer, "error", "storage_update_failed")
        assert text.startswith(f"ConfigStore update for issuer alias {alias} failed\nReason: ")
        assert "locked" in text
    assert client.aliases() == {"keep": "k"}
    assert output_of(client.create("new", "n")) is None
    rows = sqlite3.connect(root.store_dir / "global.db").execute(
        "SELECT instance FROM objects WHERE object_key = 'trust_security_token_issuers'"
        " ORDER BY instance").fetchall()
    assert rows == [("keep",), ("new",)]


def test_switch_off_leaves_the_service_unbound(new_root, run_daemon):
    root = new_root()
    root.set_features(external_sts=False)
    assert_error_kind(Issuers(run_daemon(root)).call("list"), "operation_not_found")
