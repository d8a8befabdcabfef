"""Process start-up: switches, configuration file, port, listen address and signals."""

import os
import re
import signal
import socket
import subprocess
import tempfile

import pytest

from conftest import DAEMON, PROVIDER_SVC, REPO, Daemon, free_port, output_of, port_is_free

EXIT_FAILURE = 255  # the daemon exits with -1


def run_to_exit(root, args=()):
    daemon = Daemon(root, args)
    status = daemon.wait_exit()
    return status, daemon.stdout_path.read_bytes(), daemon.log_path.read_bytes()


@pytest.mark.parametrize("config", ["present", "missing", "argument-missing"])
def test_daemon_switch_off_exits_silently_before_reading_configuration(new_root, config):
    root = new_root()
    root.set_features(daemon=False)
    args = ()
    if config == "missing":
        root.config.unlink()
    elif config == "argument-missing":
        args = (root.path / "no-such-config.xml",)

    status, out, err = run_to_exit(root, args)

    assert (status, out, err) == (EXIT_FAILURE, b"", b"")


@pytest.mark.parametrize(
    "content",
    [None, "<config><endpoint><portNum>", "not xml at all", ""],
    ids=["missing", "truncated", "text", "empty"],
)
def test_bad_configuration_argument_ends_with_error_line(new_root, content):
    root = new_root()
    path = root.path / "given-config.xml"
    if content is not None:
        path.write_text(content)

    status, out, err = run_to_exit(root, (path,))

    assert status == EXIT_FAILURE
    assert out == b""
    assert err.startswith(b"Error: "), err
    assert err.endswith(b"\n") and len(err) > len(b"Error: \n"), err


def test_configuration_argument_is_used_as_given(new_root, run_daemon):
    root = new_root()
    other_port = free_port()
    custom = root.path / "custom.xml"
    custom.write_text(root.config.read_text().replace(str(root.port), str(other_port)))
    root.config.unlink()

    daemon = run_daemon(root, (custom, "ignored-extra-argument"), port=other_port)

    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


def test_without_port_key_listens_on_9199(new_root, run_daemon):
    if not port_is_free(9199):
        pytest.skip("port 9199 is in use on this host")
    root = new_root(log_level=5)
    endpoint = f"<endpoint><portNum>{root.port}</portNum></endpoint>"
    root.edit_config(lambda xml: xml.replace(endpoint, ""))

    daemon = run_daemon(root, port=9199)

    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
    assert any(r.text == "Starting NOX Token CPS on port 9199." for r in daemon.records())


def non_loopback_addresses():
    done = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True)
    addresses = []
    for line in done.stdout.splitlines():
        fields = line.split()
        if "inet" in fields:
            address = fields[fields.index("inet") + 1].split("/")[0]
            if not address.startswith("127."):
                addresses.append(address)
    return addresses


def test_listens_on_loopback_only(new_root, run_daemon):
    addresses = non_loopback_addresses()
    if not addresses:
        pytest.skip("this host has no non-loopback IPv4 address")
    daemon = run_daemon(new_root())

    for address in addresses:
        with pytest.raises(OSError):
            socket.create_connection((address, daemon.port), timeout=2).close()
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
@pytest.mark.parametrize("moment", ["after-a-call", "as-soon-as-listening"])
def test_signal_stops_daemon_with_status_zero(new_root, run_daemon, sig, moment):
    daemon = run_daemon(new_root())
    if moment == "after-a-call":
        output_of(daemon.invoke(PROVIDER_SVC, "get"))

    assert daemon.stop(sig) == 0


@pytest.mark.parametrize("level,logged", [(5, True), (4, False)])
def test_start_lines_follow_log_level(new_root, run_daemon, level, logged):
    root = new_root(log_level=level)
    daemon = run_daemon(root)
    output_of(daemon.invoke(PROVIDER_SVC, "get"))
    assert daemon.stop() == 0

    records = daemon.records()
    start_lines = [r for r in records if r.text == f"Starting NOX Token CPS on port {root.port}."]
    port_lines = [r for r in records if r.text == f"Port number: {root.port}"]
    version_lines = [r for r in records if r.text == f"noxtokend version {project_version()}"]
    if logged:
        assert [r.level for r in start_lines] == [5]
        assert [r.level for r in port_lines] == [5]
        assert [r.level for r in version_lines] == [5]
    else:
        assert start_lines == [] and port_lines == [] and version_lines == []
        assert not any("Starting NOX Token CPS" in r.text for r in records)


def project_version() -> str:
    top = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(noxtokend VERSION (\S+)", top)[1]


@pytest.mark.parametrize("option", ["--help", "--version"])
def test_help_and_version_answer_without_a_root(tmp_path, option):
    # A root whose daemon switch is off: the options must not depend on it.
    (tmp_path / "etc/tessel").mkdir(parents=True)
    (tmp_path / "etc/tessel/features.conf").write_text("noxtokend = off\n")
    env = {"TESSEL_ROOT": str(tmp_path), "PATH": "/usr/bin:/bin"}

    done = subprocess.run([DAEMON, option], env=env, capture_output=True, text=True, timeout=30)

    assert (done.returncode, done.stderr) == (0, "")
    if option == "--version":
        assert done.stdout == f"noxtokend {project_version()}\n"
    else:
        assert done.stdout.startswith("Usage: noxtokend [CONFIG_FILE]\n")
        assert "--version" in done.stdout


def test_sighup_is_logged_and_the_daemon_keeps_serving(new_root, run_daemon):
    daemon = run_daemon(new_root())

    daemon.proc.send_signal(signal.SIGHUP)

    record = daemon.wait_for_record(lambda r: "SIGHUP" in r.text, "of SIGHUP")
    assert (record.level, record.logger) == (5, "App")
    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"


def test_daemon_keeps_serving_when_its_log_reader_goes_away(new_root):
    daemon = Daemon(new_root(), stderr=subprocess.PIPE)
    try:
        daemon.wait_ready()
        daemon.proc.stderr.close()
        # Log level 7: every call writes lines into the closed pipe.
        for _ in range(3):
            assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
        assert daemon.stop() == 0
    finally:
        daemon.kill()


def test_unknown_configuration_element_is_logged_and_ignored(new_root, run_daemon):
    root = new_root()
    root.edit_config(
        lambda xml: xml.replace("</endpoint>", "<portNumber>1</portNumber></endpoint>"
                                "<extra><depth>2</depth></extra>")
    )

    daemon = run_daemon(root)

    assert output_of(daemon.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"
    unknown = [(r.level, r.text) for r in daemon.records() if "Unknown configuration" in r.text]
    assert unknown == [
        (3, f"Unknown configuration element '{key}' in '{root.config}' ignored")
        for key in ("endpoint/portNumber", "extra/depth")
    ]


def test_service_manager_hears_ready_once_listening_and_stopping(new_root):
    root = new_root()
    # A datagram socket like systemd's; its path must stay short for AF_UNIX.
    with tempfile.TemporaryDirectory(prefix="nox-notify-") as scratch, socket.socket(
        socket.AF_UNIX, socket.SOCK_DGRAM
    ) as manager:
        path = os.path.join(scratch, "notify")
        manager.bind(path)
        manager.settimeout(15)
        os.environ["NOTIFY_SOCKET"] = path
        try:
            daemon = Daemon(root)
        finally:
            del os.environ["NOTIFY_SOCKET"]

        try:
            ready = manager.recv(4096).decode()
            # Ready means listening: the first connection after the notice is accepted at once.
            socket.create_connection(("127.0.0.1", root.port), timeout=5).close()
            assert ready == f"READY=1\nSTATUS=Serving on localhost port {root.port}"
            assert daemon.stop() == 0
            assert manager.recv(4096) == b"STOPPING=1"
        finally:
            daemon.kill()
