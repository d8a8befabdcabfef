"""kill -9 while the daemon writes its store, then a restart on the same root."""

import os
import sqlite3
import subprocess
import threading
import time

import jwt
import pytest

from conftest import (
    PROFILES_SVC,
    PROVIDER_SVC,
    Daemon,
    oauth,
    output_of,
)

ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"


def store_databases(root):
    found = []
    for path in sorted(root.store_dir.rglob("*")):
        if path.is_file():
            with open(path, "rb") as f:
                if f.read(16) == b"SQLite format 3\0":
                    found.append(path)
    return found


def assert_store_intact(root):
    databases = store_databases(root)
    assert databases, f"no database under {root.store_dir}"
    for path in databases:
        with sqlite3.connect(path) as db:
            assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)], path


def assert_serves_root_as_administrator(daemon):
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
    claims = jwt.decode(daemon.create_token("root"), key=daemon.root.secret(), algorithms=["HS256"])
    assert claims["entitlement"] == ["ADMINISTRATOR"]


def test_kill_during_start_up_leaves_a_store_that_restarts(new_root, run_daemon):
    root = new_root()
    # From before the store exists to after it has been written at start-up.
    for pause in (0.0, 0.005, 0.01, 0.02, 0.04, 0.08, 0.15, 0.3):
        victim = Daemon(root)
        time.sleep(pause)
        victim.kill()
    victim = Daemon(root).wait_ready()
    victim.create_token("alice")
    victim.kill()

    assert_store_intact(root)
    assert_serves_root_as_administrator(run_daemon(root))


def test_kill_during_profile_and_issuer_writes_keeps_every_answered_write(
    new_root, run_daemon, tmp_path
):
    pem = make_pem(tmp_path)
    root = new_root()
    daemon = Daemon(root).wait_ready()
    admin = oauth(daemon.create_token("root"))
    created, issuers = [], []
    changed = []  # grants of "LU###crash-target" in the order they were acknowledged
    attempted = []  # the grants of the last set sent, answered or not
    stop = threading.Event()
    variants = [["OPERATOR"], ["READ_ONLY", "OPERATOR"], ["ADMINISTRATOR"]]

    def call(service, operation, input):
        return output_of(daemon.invoke(service, operation, input, security=admin))

    def write():
        for i in range(10_000):
            if stop.is_set():
                return
            try:
                if i % 3 == 0:
                    user = "crash-target" if i == 0 else f"crash-user-{i}"
                    spec = {"local_user": user, "grants": grants(["OPERATOR"])}
                    created.append(call(PROFILES_SVC, "create", {"spec": spec}))
                elif i % 3 == 1:
                    attempted[:] = [variants[(i // 3) % 3]]
                    spec = {"grants": grants(attempted[0])}
                    call(PROFILES_SVC, "set", {"profile": "LU###crash-target", "spec": spec})
                    changed.append(attempted[0])
                else:
                    spec = {"issuer_alias": f"crash-{i}", "issuer": f"https://crash-{i}.example",
                            "signing_cert_chains": [{"cert_chain": [pem]}]}
                    call(ISSUERS_SVC, "create", {"spec": spec})
                    issuers.append(f"crash-{i}")
            except (requests.ConnectionError, AssertionError):
                return

    writer = threading.Thread(target=write)
    writer.start()
    for _ in range(200):
        if len(created) >= 20 or not writer.is_alive():
            break
        time.sleep(0.05)
    daemon.kill()
    stop.set()
    writer.join(30)
    assert len(created) >= 20 and changed and issuers

    assert_store_intact(root)
    restarted = run_daemon(root)
    assert_serves_root_as_administrator(restarted)
    admin = oauth(restarted.create_token("root"))
    listed = output_of(
        restarted.invoke(PROFILES_SVC, "list", {"projection": "FULL"}, security=admin)
    )
    stored = {s["profile"]: sorted(g["entitlement"] for g in s["grants"]) for s in listed}
    assert set(created) <= set(stored)
    assert all(stored.values()), stored  # no profile lost its grants half-way
    # The last acknowledged change, or the one in flight when the daemon died.
    assert stored["LU###crash-target"] in (sorted(changed[-1]), sorted(attempted[0]))

    listed = output_of(
        restarted.invoke(ISSUERS_SVC, "list", {"projection": "FULL"}, security=admin)
    )
    chains = {s["issuer_alias"]: s["signing_cert_chains"] for s in listed}
    assert set(issuers) <= set(chains)
    for alias, stored_chains in chains.items():
        assert [c["cert_chain"] for c in stored_chains] == [[pem.rstrip("\n")]], alias


def make_pem(tmp_path):
    key, cert = tmp_path / "crash.key", tmp_path / "crash.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-nodes", "-subj", "/CN=crash", "-days", "2", "-newkey",
         "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-keyout", str(key), "-out", str(cert)],
        check=True, capture_output=True, timeout=60,
    )
    return cert.read_text()


def grants(entitlements):
    return [{"resource_type": "HOST", "entitlement": e} for e in entitlements]


@pytest.mark.parametrize("damage", ["random-bytes", "header-then-garbage", "directory"])
def test_damaged_store_stops_start_up_with_error(new_root, run_daemon, damage):
    root = new_root()
    first = run_daemon(root)
    output_of(first.invoke(PROVIDER_SVC, "get"))
    assert first.stop() == 0
    databases = store_databases(root)
    assert databases

    for path in databases:
        if damage == "directory":
            path.unlink()
            path.mkdir()
        else:
            content = os.urandom(8192)
            if damage == "header-then-garbage":
                content = b"SQLite format 3\0" + content
            path.write_bytes(content)
    for leftover in root.store_dir.glob("*-wal"):
        leftover.unlink()
    damaged = Daemon(root)
    status = damaged.wait_exit()

    assert status == 255
    lines = damaged.log_text().splitlines()
    assert any(line.startswith("Error: ") for line in lines), lines
    assert damaged.stdout_path.read_bytes() == b""
