"""The process: switches, configuration file, port, listen address, log levels and signals, and a
store that cannot be used."""

import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest

from conftest import (EXIT_FAILURE, PROVIDER_SVC, SERVICE_SVC, VERSION, Daemon,
                      assert_error_kind, free_port, output_of)


# Which texts the configuration reader refuses is its unit tests'; here the process's answers.
# Help and version are answered even when switched off, a misspelt option too.
@pytest.mark.parametrize("switch,config,status,answer,error", [
    ("off", None, EXIT_FAILURE, "", None),
    ("off", "missing", EXIT_FAILURE, "", None),
    ("on", "missing", EXIT_FAILURE, "", "cannot read configuration file"),
    ("on", "<config><endpoint><portNum>", EXIT_FAILURE, "", ""),
    ("off", "--version", 0, f"noxtokend {VERSION}\n", None),
    ("off", "--help", 0, "Usage: noxtokend [CONFIG_FILE]\n", None),
    ("off", "--verison", EXIT_FAILURE, "", "unknown option '--verison'; the options are"),
], ids=["off", "off-argument-missing", "argument-missing", "argument-bad", "version", "help",
        "misspelt-option"])
def test_start_refusals_help_and_version(new_root, switch, config, status, answer, error):
    root = new_root()
    root.set_features(daemon=switch == "on")
    root.config.unlink()  # a daemon switched off never reads it
    given = root.path / "given-config.xml"
    if config and config.startswith("<"):
        given.write_text(config)

    done = root.run(*[] if config is None else [config if "--" in config else given])

    assert done.returncode == status
    assert done.stdout.startswith(answer) and (status == 0 or done.stdout == ""), done.stdout
    err = done.stderr
    assert (err == "") if error is None else (
        re.fullmatch(r"Error: .+\n", err, re.S) and error in err), err


def test_configuration_argument_default_port_and_loopback_only(new_root, run_daemon):
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", 9199)) == 0:
            pytest.skip("port 9199 is in use on this host")
    root = new_root()
    custom = root.path / "custom.xml"
    custom.write_text(root.config.read_text().replace(
        f"<endpoint><portNum>{root.port}</portNum></endpoint>",
        "<endpoint><portNumber>1</portNumber></endpoint><extra><depth>2</depth></extra>"))
    root.config.unlink()

    daemon = run_daemon(root, (custom, "ignored-extra-argument"), port=9199)

    assert daemon.serves()
    records = daemon.records()
    texts = [r.text for r in records]
    # Reported before the endpoint listens, so an administrator sees the slip first.
    assert texts.index("Starting NOX Token CPS on port 9199.") > texts.index(
        f"Unknown configuration element 'endpoint/portNumber' in '{custom}' ignored")
    assert [(r.level, r.text) for r in records if "Unknown configuration" in r.text] == [
        (2, f"Unknown configuration element '{key}' in '{custom}' ignored")
        for key in ("endpoint/portNumber", "extra/depth")
    ]
    shown = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True)
    for address in re.findall(r"\binet ((?!127\.)\d+\.\d+\.\d+\.\d+)", shown.stdout):
        with pytest.raises(OSError):
            socket.create_connection((address, 9199), timeout=2).close()


@pytest.mark.parametrize("level", [4, 6])
def test_log_level_selects_the_lines(new_root, run_daemon, level):
    root = new_root(log_level=level)
    daemon = run_daemon(root)
    output_of(daemon.invoke(SERVICE_SVC, "get", {"id": PROVIDER_SVC}, app={"opId": "ok-call"}))
    failed = daemon.invoke(SERVICE_SVC, "nothing", app={"opId": "failed-call"})
    assert_error_kind(failed, "operation_not_found")
    fail = daemon.wait_for_line("failed-call", "MethodResult [FAIL]", how=str.startswith)
    assert fail.level == 3 and "operation_not_found" in fail.text.lower()
    assert fail.text.startswith(f"MethodResult [FAIL] (MethodId:{SERVICE_SVC}.nothing),")
    daemon.proc.send_signal(signal.SIGHUP)
    if level >= 5:
        daemon.wait_for_record(lambda r: "SIGHUP" in r.text, "of SIGHUP")
    assert daemon.serves()
    assert daemon.stop(signal.SIGINT) == 0

    records = daemon.records()
    at_5, at_6 = [5] if level >= 5 else [], [6] if level >= 6 else []
    for text in (f"Starting NOX Token CPS on port {root.port}.", f"Port number: {root.port}",
                 f"noxtokend version {VERSION}"):
        assert [r.level for r in records if r.text == text] == at_5, text
    assert [(r.level, r.logger) for r in records if "SIGHUP" in r.text] == [(5, "App")][:len(at_5)]
    ok = [r for r in records if r.op_id == "ok-call"]
    for prefix, expected in (("Invoke-MethodId: ", at_5), ("Invoke-Input: ", at_6),
                             ("MethodResult: ", at_6)):
        assert [r.level for r in ok if r.text.startswith(prefix)] == expected, prefix
    if at_6:
        assert PROVIDER_SVC in next(r.text for r in ok if r.text.startswith("Invoke-Input: "))
    leveled = [r for r in records if r.level != 110]  # the process log has no level filter
    assert all(r.level <= level for r in leveled), [r for r in leveled if r.level > level]


def test_service_manager_notices_and_a_log_reader_that_goes_away(new_root):
    root = new_root()
    # A datagram socket like systemd's; its path must stay short for AF_UNIX.
    with tempfile.TemporaryDirectory(prefix="nox-notify-") as scratch, \
            socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
        path = os.path.join(scratch, "notify")
        manager.bind(path)
        manager.settimeout(15)
        os.environ["NOTIFY_SOCKET"] = path
        try:
            daemon = Daemon(root, stderr=subprocess.PIPE)
        finally:
            del os.environ["NOTIFY_SOCKET"]

        try:
            ready = manager.recv(4096).decode()
            # Ready means listening: the first connection after the notice is accepted at once.
            socket.create_connection(("127.0.0.1", root.port), timeout=5).close()
            assert ready == f"READY=1\nSTATUS=Serving on localhost port {root.port}"
            daemon.proc.stderr.close()
            assert daemon.serves() and daemon.serves()  # log level 7: lines into a closed pipe
            assert daemon.stop() == 0
            assert manager.recv(4096) == b"STOPPING=1"
        finally:
            daemon.kill()


@pytest.mark.parametrize("damage", ["random-bytes", "header-garbage", "empty", "directory",
                                    "read-only", "schema-missing"])
def test_a_store_that_cannot_be_used_stops_start_up_with_an_error(new_root, run_daemon, damage):
    root = new_root()
    assert run_daemon(root).stop() == 0
    database, prefix = root.store_dir / "global.db", []
    schema = root.path / "usr/lib/tessel/configstore/schema/noxtokend.json"
    if damage == "schema-missing":  # root would start without its administrator grant
        schema.unlink()
    elif damage == "directory":
        database.unlink()
        database.mkdir()
    elif damage == "read-only":
        database.chmod(0o444)
    elif damage == "empty":  # taken as a fresh store, it would bring root's default back
        database.write_bytes(b"")
    else:
        header = b"SQLite format 3\0" if damage == "header-garbage" else b""
        database.write_bytes(header + os.urandom(8192))
    for leftover in root.store_dir.glob("*-wal"):
        leftover.unlink()
    # Root writes read-only files anyway; without the capability to override file modes it cannot.
    if damage == "read-only" and os.geteuid() == 0:
        if not shutil.which("setpriv"):
            pytest.skip("needs setpriv to run as root without CAP_DAC_OVERRIDE")
        prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]

    done = root.run(prefix=prefix)

    assert (done.returncode, done.stdout) == (EXIT_FAILURE, "")
    last = done.stderr.splitlines()[-1]
    named = {"read-only": database, "schema-missing": schema}.get(damage)
    assert last.startswith("Error: ") and (named is None or str(named) in last), last


def test_one_process_at_a_time_works_on_a_root(new_root, run_daemon):
    """A second daemon or the restore command beside a running daemon, on another port, would
    each keep their own profiles in memory and write over the other's."""
    root = new_root()
    daemon = run_daemon(root)
    other = root.path / "other-port.xml"
    other.write_text(root.config.read_text().replace(f">{root.port}<", f">{free_port()}<"))
    in_use = f"{root.store_dir} is in use by another process (pid {daemon.proc.pid})"
    # The restore command refuses before the store's lock while the configured port listens.
    for done, text in [(root.run(other), in_use), (root.restore(other), in_use),
                       (root.restore(), "stop the daemon first")]:
        assert (done.returncode, done.stdout) == (EXIT_FAILURE, ""), done
        assert done.stderr.splitlines()[-1].startswith("Error: ") and text in done.stderr
    assert daemon.serves() and daemon.stop() == 0
    assert run_daemon(root).stop() == 0  # the lock goes with its process
