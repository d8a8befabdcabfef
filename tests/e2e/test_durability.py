"""What the store holds across faults: a full disk refuses a change whole and a retry stores it, a
clean stop leaves the database file complete on its own, and a store file removed or replaced
under the daemon takes no writes."""

import os
import shutil
import sqlite3
import subprocess
from contextlib import closing
from pathlib import Path

import pytest

from conftest import ISSUERS_SVC, AdminClient, assert_error_kind, grants

ROOT_PROFILE = "LU###root"


def entitlements(daemon, name="root"):
    return daemon.claims(daemon.create_token(name))["entitlement"]


def stored_profiles(database: Path):
    with closing(sqlite3.connect(f"file:{database}?mode=ro", uri=True)) as db:
        return db.execute("SELECT count(*) FROM objects WHERE object_key = 'client_profiles'"
                          ).fetchone()[0]


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


def fill(directory: Path) -> Path:
    """Fills the file system of `directory` with one file; bounded by the tmpfs's size."""
    filler = directory / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for _ in range(1024):  # 4 MiB at most, far above the disk's size
            try:
                os.write(fd, b"\0" * 4096)
            except OSError:
                return filler
    finally:
        os.close(fd)
    pytest.fail("the small disk never filled up")


def test_a_full_disk_refuses_changes_whole_and_a_retry_once_there_is_room_is_durable(
        new_root, run_daemon, small_disk):
    root = new_root()
    small_disk(root.store_dir)
    daemon = run_daemon(root)
    admin = AdminClient(daemon)
    filler = fill(root.store_dir)

    change = {"profile": ROOT_PROFILE, "spec": {"grants": grants("READ_ONLY")}}
    for _ in range(2):  # a retry on a disk still full is refused just the same
        assert_error_kind(admin.call("set", change), "internal_server_error")
        assert_error_kind(admin.call("delete", {"profile": ROOT_PROFILE}), "internal_server_error")
        assert entitlements(daemon) == ["ADMINISTRATOR"]
    assert daemon.stop() == 0
    daemon = run_daemon(root)
    assert entitlements(daemon) == ["ADMINISTRATOR"]

    filler.unlink()
    admin = AdminClient(daemon)
    assert admin.ok("set", change) is None
    assert admin.ok("delete", {"profile": ROOT_PROFILE}) is None
    assert daemon.stop() == 0
    assert entitlements(run_daemon(root)) == []


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
    assert stored_profiles(backup) == 1

    daemon = run_daemon(root)
    admin, issuers = AdminClient(daemon), AdminClient(daemon, ISSUERS_SVC)
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
    spec = {"issuer_alias": "a", "issuer": "i", "signing_cert_chains": []}
    error = assert_error_kind(issuers.call("create", {"spec": spec}), "error")
    assert "was removed or replaced while in use" in error["messages"][0]["default_message"]
    line = (f"Configuration store {database} was removed or replaced while in use; "
            "refusing to write")
    record = daemon.wait_for_record(lambda r: r.text == line, line, since)
    assert (record.level, record.logger) == (2, "ConfigStore")
    assert entitlements(daemon, "alice") == ["OPERATOR"]

    assert daemon.stop() == 0
    if move == "replaced":  # the copy is the store now, without the refused changes
        daemon = run_daemon(root)
        listed = AdminClient(daemon).ok("list", {"projection": "NAME"})
        assert sorted(s["profile"] for s in listed) == ["LU###alice", ROOT_PROFILE]
        assert AdminClient(daemon, ISSUERS_SVC).ok("list", {}) == []
