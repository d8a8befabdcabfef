"""The Debian package, unpacked with dpkg-deb into a throw-away directory: its files, and its
daemon and client run from there under a root laid out by scripts/dev-root. The package comes
from $NOX_DEB, else from <build>/deb when it is newer than the binaries there (`make test` and
`make deb` put it there), else scripts/make-deb builds it once for this module."""

import os
import re
import shutil
import stat
import subprocess
from pathlib import Path

import pytest

from conftest import BIN_DIR, REPO, USERS, VERSION, Root


@pytest.fixture(scope="module")
def deb() -> Path:
    given = os.environ.get("NOX_DEB")
    if given:
        return Path(given)
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True,
                          check=True).stdout.strip()
    deb = BIN_DIR.parent / "deb" / f"noxtokend_{VERSION}_{arch}.deb"
    binaries = [BIN_DIR / name for name in ("noxtokend", "noxtokenctl")]
    newest = max(b.stat().st_mtime for b in binaries if b.exists())
    if deb.exists() and deb.stat().st_mtime >= newest:
        return deb
    if shutil.which("dpkg-buildpackage") is None:
        pytest.skip("dpkg-buildpackage is missing: scripts/install-deps.sh --package installs it")
    done = subprocess.run([REPO / "scripts/make-deb", BIN_DIR.parent], capture_output=True,
                          text=True, timeout=1800)
    assert done.returncode == 0, done.stderr[-3000:]
    return deb


def test_package_holds_the_daemon_and_client_that_serve_under_a_root(deb, tmp_path, run_daemon):
    unpacked = tmp_path / "package"
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True, timeout=120)
    control = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Recommends"],
                             capture_output=True, text=True, check=True).stdout
    assert control.startswith(f"Package: noxtokend\nVersion: {VERSION}\nRecommends: ")
    assert "bash-completion" in control.split("\nRecommends: ", 1)[1]
    expected = ["etc/pam.d/noxtokend", "etc/logrotate.d/noxtokend",
                "usr/share/man/man8/noxtokend.8.gz", "var/lib/tessel/configstore",
                "usr/share/man/man1/noxtokenctl.1.gz",
                "usr/share/bash-completion/completions/noxtokenctl", "usr/bin/nox-saml-check",
                "usr/share/noxtokend/sample-saml",
                "usr/share/noxtokend/saml-fragments/confirmation-hok.xml"]
    assert [p for p in expected if not (unpacked / p).exists()] == []
    # The man pages render without a warning and have the sections a reader looks for.
    for page in ("usr/share/man/man8/noxtokend.8.gz", "usr/share/man/man1/noxtokenctl.1.gz"):
        shown = subprocess.run(["man", "-l", "--warnings", unpacked / page], capture_output=True,
                               text=True, env={**os.environ, "MANWIDTH": "80"}, timeout=60)
        assert shown.returncode == 0 and shown.stderr == "", shown.stderr
        for section in ("SYNOPSIS", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"):
            assert f"\n{section}\n" in shown.stdout, (page, section)
    # Every program the unit starts is in the package.
    unit = (unpacked / "lib/systemd/system/noxtokend.service").read_text()
    commands = re.findall(r"^Exec\w+=[-+!@:]*(\S+)", unit, re.MULTILINE)
    assert "/usr/sbin/noxtokend" in commands
    for command in commands:
        assert os.access(unpacked / command.lstrip("/"), os.X_OK), command

    # The secret helper writes a secret once, and marks it as its own, silently even with SIGPIPE
    # ignored as systemd starts it.
    helper = unpacked / "usr/libexec/noxtokend/noxtokend-secret"
    secret = tmp_path / "run/tessel/tokend-secret"
    for _ in range(2):
        done = subprocess.run(["sh", "-c", "trap '' PIPE; exec \"$0\" \"$1\"", helper, secret],
                              capture_output=True, text=True, timeout=30)
        assert (done.returncode, done.stderr) == (0, "")
        first = first if _ else secret.read_bytes()
    assert len(first) == 32 and b"\0" not in first
    assert stat.S_IMODE(secret.stat().st_mode) == 0o600 and secret.read_bytes() == first
    assert (tmp_path / "run/tessel/tokend-secret.noxtokend").exists()

    # The package's daemon with its own configuration and schema, on the test's port.
    root = Root(tmp_path / "root")
    config = (unpacked / "etc/tessel/cpservices/noxtoken/config.xml").read_text()
    root.config.write_text(config.replace("<portNum>9199</portNum>",
                                          f"<portNum>{root.port}</portNum>"))
    schema = root.path / "usr/lib/tessel/configstore/schema"
    shutil.rmtree(schema)
    shutil.copytree(unpacked / "usr/lib/tessel/configstore/schema", schema)
    run_daemon(root, binary=unpacked / "usr/sbin/noxtokend")  # stopped with status 0 at the end
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path), "XDG_RUNTIME_DIR": str(tmp_path)}

    def ctl(*args, stdin=""):
        return subprocess.run([unpacked / "usr/bin/noxtokenctl", "--port", str(root.port), *args],
                              input=stdin, env=env, capture_output=True, text=True, timeout=60)

    created = ctl("token", "create", "--user", "alice", "--password-stdin",
                  stdin=USERS["alice"] + "\n")
    assert created.returncode == 0, created.stderr
    verified = ctl("token", "verify", created.stdout.strip())
    assert (verified.returncode, verified.stdout.strip()) == (0, "alice"), verified.stderr
