"""kill -9 while the daemon writes its store, then a restart on the same root."""

import os
import sqlite3
import threading
import time

import jwt
import pytest
import requests

from conftest import (
    PROFILES_SVC,
    PROVIDER_SVC,
    Daemon,
    oauth,
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
    admin = oauth(daemon.create_token("root"))
    created = []
    changed = []  # grants of "LU###crash-target" in the order they were acknowledged
    stop = threading.Event()
    variants = [["OPERATOR"], ["READ_ONLY", "OPERATOR"], ["ADMINISTRATOR"]]

    def write_profiles():
        for i in range(10_000):
            if stop.is_set():
                return
            if i % 2:
                entitlements = variants[i % 3]
                operation = "set"
                input = {"profile": "LU###crash-target", "spec": {"grants": grants(entitlements)}}
            else:
                operation = "create"
                user = "crash-target" if i == 0 else f"crash-user-{i}"
                input = {"spec": {"local_user": user, "grants": grants(["OPERATOR"])}}
            try:
                answer = daemon.invoke(PROFILES_SVC, operation, input, security=admin)
            except (requests.ConnectionError, AssertionError):
                return
            output = output_of(answer)
            if operation == "create":
                created.append(output)
            else:
                changed.append(entitlements)

    writer = threading.Thread(target=write_profiles)
    writer.start()
    for _ in range(200):
        if len(created) >= 20 or not writer.is_alive():
            break
        time.sleep(0.05)
    daemon.kill()
    stop.set()
    writer.join(30)
    assert len(created) >= 20 and changed

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
    in_flight = variants[(2 * len(changed) + 1) % 3]
    assert stored["LU###crash-target"] in (sorted(changed[-1]), sorted(in_flight))


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
