"""The management services over HTTP: issuers and client profiles with their wire form, messages
and log lines, the administrator filter in front of them, a store held by another writer, and
what survives kills, a restart and the switch turned off. What the store holds across faults: a
full disk refuses a change whole and a retry stores it, a clean stop leaves the database file
complete on its own, and a store file removed or replaced under the daemon takes no writes."""

import os
import shutil
import sqlite3
import subprocess
import threading
import time
from contextlib import closing
from pathlib import Path

import pytest
import requests

from conftest import (ISSUERS_SVC, PROFILES_SVC, TOKEN_SVC, VERIFY_SVC, AdminClient, Daemon,
                      Issuers, assert_error_kind, grants, oauth, output_of, wait_until)

ROOT_PROFILE = "LU###root"

BEGIN, END = "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----"


@pytest.fixture(scope="module")
def pems(keys):
    return {"rsa": keys["rsa"].cert_text(), "ec": keys["p256"].cert_text()}


def standardized(chains):
    return [[pem.rstrip("\n") for pem in chain] for chain in chains]


@pytest.fixture
def issuers(daemon):
    client = Issuers(daemon)
    yield client
    for alias in client.aliases():
        client.ok("delete", issuer_alias=alias)


def refused(answer, kind, **texts):
    """Checks the error's kind, its message ids (the names of `texts`) in order and their texts
    (None: any); returns the localized texts."""
    error = assert_error_kind(answer, kind)
    assert [m["id"] for m in error["messages"]] == [f"{ISSUERS_SVC}.{n}" for n in texts], error
    assert all(m["localized"] == m["default_message"] for m in error["messages"])
    shown = [m["localized"] for m in error["messages"]]
    assert all(want in (None, text) for text, want in zip(shown, texts.values())), error
    return shown


A1_EXISTS = "Security token issuer alias already exists a1"
I2_EXISTS = "Security token issuer already exists i2 saved under alias a2"


def test_issuers_are_listed_by_projection_with_chains_standardized_in_order(issuers, pems):
    chains = [[pems["rsa"] + "\n", pems["ec"]], [pems["ec"] + "\n\n"]]
    assert output_of(issuers.create("a1", "i1", chains)) is None
    issuers.create("a2", "i2")
    for projection, fields in [(None, {"issuer_alias", "issuer"}), ("ALIAS", {"issuer_alias"}),
                               ("FULL", {"issuer_alias", "issuer", "signing_cert_chains"})]:
        summaries = issuers.ok("list", projection=projection)
        assert [s["summary_type"] for s in summaries] == [projection or "ISSUER"] * 2
        for s in summaries:
            assert {k for k, v in s.items() if v is not None} - {"_type", "summary_type"} == fields
    assert {s["issuer_alias"]: [c["cert_chain"] for c in s["signing_cert_chains"]]
            for s in summaries} == {"a1": standardized(chains), "a2": []}
    refused(issuers.call("list", projection="EVERYTHING"), "invalid_argument",
            unknown_summary_type="Unknown summary type")


def test_issuer_conflicts_and_bad_certificates_change_nothing_and_the_store_lock(issuers, daemon,
                                                                               pems):
    issuers.create("a1", "i1")
    issuers.create("a2", "i2")
    since = daemon.log_offset()
    both = issuers.create("a1", "i2", op_id="issuers-log")
    refused(both, "already_exists", alias_already_exists=A1_EXISTS, issuer_already_exists=I2_EXISTS)
    data = assert_error_kind(both, "already_exists")["data"]
    assert (data["_type"], data["issuer"], data["issuer_alias"]) == (
        ISSUERS_SVC + ".issuer_already_exists_info", "i2", "a2")
    daemon.sync_log("issuers-log-sync")
    lines = [(r.level, r.text) for r in daemon.records(since)
             if r.op_id == "issuers-log" and r.logger == "SecurityTokenIssuers"]
    assert lines == [(5, "Saving certificates for issuer i2 under issuer alias a1"),
                     (5, "Empty certificate chains list!"), (3, A1_EXISTS), (3, I2_EXISTS)]
    alias_only = issuers.create("a1", "new")
    refused(alias_only, "already_exists", alias_already_exists=A1_EXISTS)
    assert assert_error_kind(alias_only, "already_exists")["data"] is None
    # The store holds no object without an instance id: an empty alias could not come back.
    (text,) = refused(issuers.create("", "e"), "error", storage_update_failed=None)
    assert text.startswith("ConfigStore update for issuer alias  failed\nReason: ")

    refused(issuers.create("b", "j", [[pems["ec"], "x" + pems["ec"]]]), "invalid_argument",
            standardizing_certificate_failed="Standardizing certificate [certificate chain #0]"
            "[certificate #1] failed:\nx" + pems["ec"] + "\n")
    # Far larger than any certificate: answered, and the text is cut short in the message.
    huge = BEGIN + "\n" + "A" * 2_000_000 + "\n" + END
    (text,) = refused(issuers.create("b", "j", [[pems["rsa"]], [huge]]), "invalid_argument",
                      parsing_certificate_failed=None)
    assert text.startswith("Parsing certificate [certificate chain #1][certificate #0] failed:\n"
                           f"{BEGIN}\nAAAA")
    assert "…(cut, " in text and len(text) < 20_000 and "\nReason: " in text
    assert issuers.aliases() == {"a1": "i1", "a2": "i2"}

    # Set, get and delete; many chains; a store held by another writer.
    assert output_of(issuers.create("a", "i", [[pems["ec"]]] * 1000)) is None
    assert len(issuers.ok("get", issuer_alias="a")["signing_cert_chains"]) == 1000
    assert issuers.ok("set", issuer_alias="a", spec={"signing_cert_chains": []}) is None
    info = issuers.ok("get", issuer_alias="a")
    assert (info["issuer"], info["signing_cert_chains"]) == ("i", [])
    refused(issuers.call("set", issuer_alias="a", spec={"issuer": "i2"}), "already_exists",
            issuer_already_exists=I2_EXISTS)
    for operation, extra in (("get", {}), ("set", {"spec": {"issuer": "z"}}), ("delete", {})):
        refused(issuers.call(operation, issuer_alias="nope", **extra), "not_found",
                not_found="Security token issuer alias not found nope")

    holder = sqlite3.connect(daemon.root.store_dir / "global.db", isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:  # the write fails once the daemon's busy wait ends
        answer = issuers.call("delete", issuer_alias="a")
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    (text,) = refused(answer, "error", storage_update_failed=None)
    assert text.startswith("ConfigStore update for issuer alias a failed\nReason: ")
    assert "locked" in text and issuers.aliases() == {"a": "i", "a1": "i1", "a2": "i2"}
    assert issuers.ok("delete", issuer_alias="a") is None
    assert issuers.aliases() == {"a1": "i1", "a2": "i2"}


def test_profiles_shape_the_tokens_of_their_subjects_and_only_administrators_manage(daemon):
    admin = AdminClient(daemon)
    spec = {"local_user": "alice", "grants": grants("OPERATOR")}
    assert admin.ok("create", {"spec": spec}) == "LU###alice"
    assert daemon.entitlements("alice") == ["OPERATOR"]
    # A grant the daemon cannot enforce is the caller's mistake, named by its member.
    unknown = {"resource_type": "DATASTORE", "entitlement": "OPERATOR"}
    for operation, input, member in (
            ("create", {"spec": {"local_user": "bob", "grants": grants("SUPERUSER")}},
             "input.spec.grants[0].entitlement"),
            ("set", {"profile": "LU###alice", "spec": {"grants": [unknown]}},
             "input.spec.grants[0].resource_type")):
        error = assert_error_kind(admin.call(operation, input), "invalid_argument")
        assert [m["params"]["path"] for m in error["messages"]] == [member], error
    assert daemon.entitlements("alice") == ["OPERATOR"]
    assert "LU###bob" not in [s["profile"] for s in admin.ok("list", {"projection": "NAME"})]
    change = {"profile": "LU###alice", "spec": {"grants": grants("READ_ONLY")}}
    assert admin.ok("set", change) is None
    assert daemon.entitlements("alice") == ["READ_ONLY"]
    assert admin.ok("delete", {"profile": "LU###alice"}) is None
    assert daemon.entitlements("alice") == []

    alice = oauth(daemon.create_token("alice"))
    since = daemon.log_offset()
    for service in (PROFILES_SVC, ISSUERS_SVC):
        answer = daemon.invoke(service, "list", {}, alice, {"opId": f"refuse-{service}"})
        assert assert_error_kind(answer, "unauthorized")["messages"] == []
        line = 'jwt entitlement "ADMINISTRATOR" not granted, turning down request'
        assert daemon.wait_for_line(f"refuse-{service}", line, since).logger == "AuthzHandler"


ODD_ISSUERS = {"a#\\\"'ü€": "https://idp/ü?\"q\\#", "\x01\x7f tab\there": "δοκιμή\u2028end"}
ODD_SUBJECT = {"type": "EXTERNAL_USER", "name": 'e#v"e\\', "issuer_alias": "idp#1",
               "domain": "dömain"}
VARIANTS = [["OPERATOR"], ["READ_ONLY", "OPERATOR"], ["ADMINISTRATOR"]]


def test_kills_keep_every_answered_write_and_a_restart_the_rest(new_root, run_daemon, pems):
    root = new_root()
    for pause in (0.0, 0.005, 0.02, 0.08, 0.3):  # from before the store exists to after start-up
        victim = Daemon(root)
        time.sleep(pause)
        victim.kill()
    daemon = Daemon(root).wait_ready()
    issuers, admin = Issuers(daemon), AdminClient(daemon)
    chains = [[pems["rsa"], pems["ec"]], [pems["ec"]]]
    for alias, issuer in ODD_ISSUERS.items():
        assert output_of(issuers.create(alias, issuer, chains)) is None
    # Removing the default is for good: the schema's default does not come back. The tokens
    # made before still carry root's entitlement.
    admin.ok("delete", {"profile": ROOT_PROFILE})
    spec = {"external_user": ODD_SUBJECT["name"], "issuer_alias": "idp#1", "domain": "dömain"}
    odd = admin.ok("create", {"spec": {**spec, "grants": grants("READ_ONLY")}})
    assert odd == 'SU#idp\\#1#dömain#e\\#v"e\\\\'

    answered, attempted = [], []  # attempted: the grants of every change sent

    def write():  # issuers, new profiles and changes of one profile in turn, until the kill
        for i in range(10_000):
            try:
                if i % 3 == 0:
                    assert output_of(issuers.create(f"crash-{i}", f"issuer-{i}", chains)) is None
                elif i % 3 == 1:
                    profile = {"local_user": f"u{i}", "grants": grants("OPERATOR")}
                    admin.ok("create", {"spec": profile})
                else:
                    attempted.append(VARIANTS[len(attempted) % 3])
                    admin.ok("set", {"profile": odd, "spec": {"grants": grants(*attempted[-1])}})
            except (requests.ConnectionError, AssertionError):
                return
            answered.append(i)

    writer = threading.Thread(target=write)
    writer.start()
    wait_until(lambda: len(answered) >= 30 or not writer.is_alive(), "for 30 writes", 200)
    daemon.kill()
    writer.join(30)
    assert len(answered) >= 30, answered

    issuers.daemon = admin.daemon = daemon = run_daemon(root)
    with sqlite3.connect(f"file:{root.store_dir / 'global.db'}?mode=rw", uri=True) as db:
        assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    summaries = {s["issuer_alias"]: s for s in issuers.ok("list", projection="FULL")}
    assert {f"crash-{i}" for i in answered if i % 3 == 0} | set(ODD_ISSUERS) <= set(summaries)
    for alias, s in summaries.items():  # byte for byte, and no object half written
        assert s["issuer"] == ODD_ISSUERS.get(alias, alias.replace("crash-", "issuer-"))
        assert [c["cert_chain"] for c in s["signing_cert_chains"]] == standardized(chains)
    listed = admin.ok("list", {"projection": "FULL"})
    stored = {s["profile"]: sorted(g["entitlement"] for g in s["grants"]) for s in listed}
    assert {f"LU###u{i}" for i in answered if i % 3 == 1} <= set(stored)
    assert ROOT_PROFILE not in stored and all(stored.values()), stored  # no grants half-lost
    # The last acknowledged change, or the one in flight when the daemon died.
    changes = sum(i % 3 == 2 for i in answered)
    assert stored[odd] in [sorted(a) for a in attempted[changes - 1:]]
    assert admin.ok("get", {"profile": odd})["subject"] == {
        "_type": f"{PROFILES_SVC}.subject", **ODD_SUBJECT}
    assert daemon.entitlements() == []
    assert daemon.stop() == 0
    # With the switch off there is no management interface and no filter: a daemon token is an
    # ordinary credential, and carries no entitlement.
    root.set_features(external_sts=False)
    daemon = run_daemon(root)
    token = oauth(daemon.create_token("root"))
    for service in (PROFILES_SVC, ISSUERS_SVC):
        assert_error_kind(daemon.invoke(service, "list", {}, token), "operation_not_found")
    renewed = output_of(daemon.invoke(TOKEN_SVC, "create", security=token))["token"]
    assert set(daemon.claims(renewed)) == {"username", "exp"}
    assert output_of(daemon.invoke(VERIFY_SVC, "verify", security=oauth(renewed))) == "root"


@pytest.fixture
def small_disk(tmp_path):
    """Mounts a 512 KiB tmpfs; yields a function that mounts it over a directory."""
    mounted = []

    def mount(directory: Path) -> None:
        directory.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k,mode=0755", "tmpfs",
                               str(directory)], capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(f"mounting a tmpfs is not permitted here: {done.stderr.strip()}")
        mounted.append(directory)

    yield mount
    for directory in mounted:
        subprocess.run(["umount", "-l", str(directory)], check=False)


def test_a_full_disk_refuses_changes_whole_and_a_retry_once_there_is_room_is_durable(
        new_root, run_daemon, small_disk):
    root = new_root()
    small_disk(root.store_dir)
    daemon = run_daemon(root)
    admin = AdminClient(daemon)
    filler = root.store_dir / "filler"  # dd stops at the first failed write
    subprocess.run(["dd", "if=/dev/zero", f"of={filler}", "bs=4k", "count=1024"],  # 4 MiB at most
                   capture_output=True, timeout=60)
    assert filler.stat().st_size < 4 << 20, "the small disk never filled up"

    change = {"profile": ROOT_PROFILE, "spec": {"grants": grants("READ_ONLY")}}
    for _ in range(2):  # a retry on a disk still full is refused just the same
        assert_error_kind(admin.call("set", change), "internal_server_error")
        assert_error_kind(admin.call("delete", {"profile": ROOT_PROFILE}), "internal_server_error")
        assert daemon.entitlements() == ["ADMINISTRATOR"]
    assert daemon.stop() == 0
    daemon = run_daemon(root)
    assert daemon.entitlements() == ["ADMINISTRATOR"]

    filler.unlink()
    admin = AdminClient(daemon)
    assert admin.ok("set", change) is None
    assert admin.ok("delete", {"profile": ROOT_PROFILE}) is None
    assert daemon.stop() == 0
    assert run_daemon(root).entitlements() == []


@pytest.mark.parametrize("move", ["removed", "replaced"])
def test_a_store_file_moved_under_the_daemon_takes_no_writes(new_root, run_daemon, move,
                                                             tmp_path):
    root = new_root()
    daemon = run_daemon(root)
    alice = {"spec": {"local_user": "alice", "grants": grants("OPERATOR")}}
    AdminClient(daemon).ok("create", alice)
    # A clean stop leaves the database file complete on its own.
    assert daemon.stop() == 0
    database, backup = root.store_dir / "global.db", tmp_path / "backup.db"
    assert [p.name for p in root.store_dir.glob("global.db*")] == ["global.db"]
    shutil.copyfile(database, backup)
    with closing(sqlite3.connect(f"file:{backup}?mode=ro", uri=True)) as db:
        query = "SELECT count(*) FROM objects WHERE object_key = 'client_profiles'"
        assert db.execute(query).fetchone() == (1,)

    daemon = run_daemon(root)
    admin, issuers = AdminClient(daemon), Issuers(daemon)
    if move == "removed":
        database.rename(root.path / "moved-away.db")
    else:  # a whole copy (through the log) put in its place
        with closing(sqlite3.connect(database)) as source, \
                closing(sqlite3.connect(root.path / "copy.db")) as copy:
            source.backup(copy)
        os.replace(root.path / "copy.db", database)

    since = daemon.log_offset()
    bob = {"spec": {"local_user": "bob", "grants": grants("OPERATOR")}}
    assert_error_kind(admin.call("create", bob), "internal_server_error")
    assert_error_kind(admin.call("delete", {"profile": "LU###alice"}), "internal_server_error")
    error = assert_error_kind(issuers.create("a", "i"), "error")
    assert "was removed or replaced while in use" in error["messages"][0]["default_message"]
    line = (f"Configuration store {database} was removed or replaced while in use; "
            "refusing to write")
    record = daemon.wait_for_record(lambda r: r.text == line, line, since)
    assert (record.level, record.logger) == (2, "ConfigStore")
    assert daemon.entitlements("alice") == ["OPERATOR"]

    assert daemon.stop() == 0
    if move == "replaced":  # the copy is the store now, without the refused changes
        daemon = run_daemon(root)
        listed = AdminClient(daemon).ok("list", {"projection": "NAME"})
        assert sorted(s["profile"] for s in listed) == ["LU###alice", ROOT_PROFILE]
        assert Issuers(daemon).ok("list") == []
