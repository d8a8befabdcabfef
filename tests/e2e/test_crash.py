"""kill -9 while the daemon writes its store, then a restart on the same root."""

import os
import sqlite3
import time

import jwt
import pytest

from conftest import (
    PROVIDER_SVC,
    AdminClient,
    Daemon,
    grants,
    kill_during_writes,
    output_of,
)


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


def test_kill_during_profile_writes_keeps_every_answered_write(new_root, run_daemon):
    root = new_root()
    daemon = Daemon(root).wait_ready()
    admin = AdminClient(daemon)
    variants = [["OPERATOR"], ["READ_ONLY", "OPERATOR"], ["ADMINISTRATOR"]]
    attempted = []  # the grants of every set sent, answered or not

    def create(user):
        return admin.ok("create", {"spec": {"local_user": user, "grants": grants("OPERATOR")}})

    def write_one(i):
        if i % 2 == 0:
            return create(f"crash-user-{i}")
        attempted.append(variants[i % 3])
        spec = {"grants": grants(*attempted[-1])}
        admin.ok("set", {"profile": "LU###crash-target", "spec": spec})
        return None

    create("crash-target")

    written = kill_during_writes(daemon, write_one)

    assert_store_intact(root)
    restarted = run_daemon(root)
    assert_serves_root_as_administrator(restarted)
    listed = AdminClient(restarted).ok("list", {"projection": "FULL"})
    stored = {s["profile"]: sorted(g["entitlement"] for g in s["grants"]) for s in listed}
    assert {w for w in written if w} <= set(stored)
    assert all(stored.values()), stored  # no profile lost its grants half-way
    # The last acknowledged change, or the one in flight when the daemon died.
    answered_sets = len(written) // 2
    assert stored["LU###crash-target"] in [sorted(a) for a in attempted[answered_sets - 1:]]


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
