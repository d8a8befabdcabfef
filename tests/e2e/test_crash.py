"""kill -9 while the daemon writes its store, then a restart on the same root; and a store that
cannot be used."""

import os
import shutil
import sqlite3
import subprocess
import time

import jwt
import pytest

from conftest import DAEMON, PROVIDER_SVC, AdminClient, Daemon, grants, kill_during_writes
from conftest import output_of


def store_databases(root):
    databases = [p for p in sorted(root.store_dir.rglob("*"))
                 if p.is_file() and p.read_bytes()[:16] == b"SQLite format 3\0"]
    assert databases, f"no database under {root.store_dir}"
    return databases


def assert_intact_and_serving(root, daemon):
    for path in store_databases(root):
        with sqlite3.connect(path) as db:
            assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)], path
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
    claims = jwt.decode(daemon.create_token("root"), key=root.secret(), algorithms=["HS256"])
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

    assert_intact_and_serving(root, run_daemon(root))


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

    restarted = run_daemon(root)
    assert_intact_and_serving(root, restarted)
    listed = AdminClient(restarted).ok("list", {"projection": "FULL"})
    stored = {s["profile"]: sorted(g["entitlement"] for g in s["grants"]) for s in listed}
    assert {w for w in written if w} <= set(stored)
    assert all(stored.values()), stored  # no profile lost its grants half-way
    # The last acknowledged change, or the one in flight when the daemon died.
    answered_sets = len(written) // 2
    assert stored["LU###crash-target"] in [sorted(a) for a in attempted[answered_sets - 1:]]


@pytest.mark.parametrize("damage", ["random-bytes", "header-garbage", "directory", "read-only"])
def test_a_store_that_cannot_be_used_stops_start_up_with_an_error(new_root, run_daemon, damage):
    root = new_root()
    assert run_daemon(root).stop() == 0
    databases = store_databases(root)
    prefix = []
    for path in databases:
        if damage == "directory":
            path.unlink()
            path.mkdir()
        elif damage == "read-only":
            path.chmod(0o444)
        else:
            header = b"SQLite format 3\0" if damage == "header-garbage" else b""
            path.write_bytes(header + os.urandom(8192))
    for leftover in root.store_dir.glob("*-wal"):
        leftover.unlink()
    # Root writes read-only files anyway; without the capability to override file modes it cannot.
    if damage == "read-only" and os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("needs setpriv to run as root without CAP_DAC_OVERRIDE")
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]

    env = dict(os.environ, TESSEL_ROOT=str(root.path))
    done = subprocess.run(prefix + [str(DAEMON)], env=env, capture_output=True, timeout=20)

    assert (done.returncode, done.stdout) == (255, b"")
    last = done.stderr.splitlines()[-1]
    assert last.startswith(b"Error: "), done.stderr
    if damage == "read-only":
        assert str(databases[0]).encode() in last, done.stderr
