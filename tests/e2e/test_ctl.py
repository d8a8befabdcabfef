"""noxtokenctl against the real daemon: its commands and views, the credential sources and the
saved token, the password prompt, and the exit status of each kind of failure."""

import json
import os
import select
import signal
import socket
import stat
import subprocess
import termios
import threading
from typing import NamedTuple

import jwt
import pytest

from conftest import BIN_DIR, PROVIDER_SVC, free_port, make_certificate

CTL = BIN_DIR / "noxtokenctl"
USAGE, UNREACHABLE, PROTOCOL = 2, 3, 4
LOGIN = ["login", "--user", "root", "--password-stdin"]


@pytest.fixture
def ctl(daemon, tmp_path):
    """Runs the client with its own runtime directory and no credential from the environment."""
    assert CTL.exists(), f"{CTL} is not built"
    base = {k: v for k, v in os.environ.items() if not k.startswith("NOXTOKEN_")}
    base["XDG_RUNTIME_DIR"] = str(tmp_path)

    def run(*args, stdin="", env=None, url=daemon.url):
        prefix = ["--url", url] if url else []
        return subprocess.run([str(CTL), *prefix, *map(str, args)], input=stdin, text=True,
                              capture_output=True, env={**base, **(env or {})}, timeout=60)

    return run


class Refusal(NamedTuple):
    kind: str
    message: str


def check(done, mode, expected):
    """`expected`: the text mode's output, the JSON mode's output parsed, or a Refusal."""
    if isinstance(expected, Refusal):
        assert done.returncode == 1, done.stdout
        assert done.stderr.startswith(f"noxtokenctl: {expected.kind}\n"), done.stderr
        assert expected.message in done.stderr
        if mode == "json":
            error = json.loads(done.stdout)
            assert error["error_type"] == expected.kind and "_type" not in error
        else:
            assert done.stdout == ""
        return
    assert done.returncode == 0, done.stderr
    assert (json.loads(done.stdout) if mode == "json" and done.stdout else done.stdout) == expected


def username_of(daemon, token):
    return jwt.decode(token, key=daemon.root.secret(), algorithms=["HS256"])["username"]


def test_token_commands_credential_sources_and_the_saved_token(daemon, ctl, tmp_path):
    assert ctl(*LOGIN, stdin="secret1\n").stdout.startswith("Logged in as root until ")
    saved = tmp_path / "noxtokenctl" / "token"
    assert username_of(daemon, saved.read_text().strip()) == "root"
    assert stat.S_IMODE(saved.stat().st_mode) == 0o600
    assert stat.S_IMODE(saved.parent.stat().st_mode) == 0o700
    login = ctl("-o", "json", *LOGIN, stdin="secret1\n")
    assert json.loads(login.stdout) == {"token": saved.read_text().strip()}

    alice = ctl("token", "create", "--user", "alice", "--password-stdin", stdin="pw2\n").stdout
    alice = alice.removesuffix("\n")
    assert username_of(daemon, alice) == "alice" and "\n" not in alice
    for mode in ("text", "json"):
        # Without --user the saved token is presented, and a daemon token cannot beget another.
        check(ctl("-o", mode, "token", "create"), mode,
              Refusal("UNAUTHORIZED", "cannot obtain another one"))
        check(ctl("-o", mode, "token", "verify", alice), mode,
              "alice" if mode == "json" else "alice\n")
        check(ctl("-o", mode, "call", "no.such.service", "get"), mode,
              Refusal("OPERATION_NOT_FOUND", "\n  Service no.such.service not found\n"))
    output = ctl("call", PROVIDER_SVC, "get").stdout
    assert '\n  "id": "AsyncLocalProvider",\n' in output and "_type" not in output
    assert json.loads(ctl("-o", "json", "call", PROVIDER_SVC, "get").stdout) == json.loads(output)

    # Credential sources in order: --token, then $NOXTOKEN_TOKEN, then the saved token.
    root = daemon.create_token("root")
    for args, env, expected in [([], {}, "root"), ([], {"NOXTOKEN_TOKEN": alice}, "alice"),
                                (["--token", root], {"NOXTOKEN_TOKEN": alice}, "root")]:
        done = ctl(*args, "token", "verify", env=env)
        assert (done.returncode, done.stdout) == (0, expected + "\n"), done.stderr
    for args, env in [(["--port", daemon.port], {}), ([], {"NOXTOKEN_URL": daemon.url})]:
        done = ctl(*args, "--op-id", "ctl-op-7", "token", "verify", url=None, env=env)
        assert done.stdout == "root\n", done.stderr
    daemon.wait_for_prefix("ctl-op-7", "Invoke-MethodId")

    expired = jwt.encode({"username": "root", "exp": 1000}, daemon.root.secret(), "HS256")
    saved.write_text(expired + "\n")
    done = ctl("token", "verify")
    assert done.returncode == 1
    assert "has expired; log in again" in done.stderr and "no credential was sent" in done.stderr
    # Operations open to anyone still work without it.
    assert ctl("call", PROVIDER_SVC, "get").returncode == 0


@pytest.mark.parametrize("keys,status", [(b"secrex\x7ft1\r", 0), (b"sec\x03", -signal.SIGINT)])
def test_password_prompt_on_a_terminal(daemon, tmp_path, keys, status):
    """The password is typed without echo, erase works, and the terminal is restored however the
    prompt ends."""
    master, slave = os.openpty()
    before = termios.tcgetattr(slave)
    env = {**os.environ, "XDG_RUNTIME_DIR": str(tmp_path)}
    proc = subprocess.Popen([str(CTL), "--url", daemon.url, "login", "--user", "root"],
                            stdin=slave, stdout=subprocess.PIPE, stderr=slave, env=env)
    seen = b""
    while b"Password for root: " not in seen:
        ready, _, _ = select.select([master], [], [], 10)
        assert ready, seen
        seen += os.read(master, 1024)
    os.write(master, keys)
    assert proc.wait(timeout=30) == status
    proc.stdout.close()
    while select.select([master], [], [], 0)[0]:
        seen += os.read(master, 1024)
    assert termios.tcgetattr(slave) == before
    assert b"sec" not in seen
    os.close(master)
    os.close(slave)


def answering_once(status: int, body: bytes) -> str:
    """A stand-in for a daemon gone wrong: reads one request and sends this answer."""
    server = socket.create_server(("127.0.0.1", 0))
    server.settimeout(30)

    def serve():
        with server, server.accept()[0] as connection:
            connection.recv(1 << 16)
            connection.sendall(f"HTTP/1.1 {status} X\r\nContent-Length: {len(body)}\r\n"
                               "Connection: close\r\n\r\n".encode() + body)

    threading.Thread(target=serve, daemon=True).start()
    return f"http://127.0.0.1:{server.getsockname()[1]}/api"


@pytest.mark.parametrize("answer,status,reason", [
    (None, UNREACHABLE, "Connection refused"),
    ((200, b"<html>hello</html>"), PROTOCOL, "not a JSON object"),
    ((503, b"busy"), PROTOCOL, "HTTP status 503"),
    ((200, b'{"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"x"}}'), PROTOCOL,
     "JSON-RPC error -32600: x"),
    ((200, b'{"jsonrpc":"2.0","id":"1","result":{}}'), PROTOCOL, "neither an output nor an error"),
])
def test_exit_status_without_a_valid_answer(ctl, answer, status, reason):
    url = answering_once(*answer) if answer else f"http://127.0.0.1:{free_port()}/api"
    done = ctl("call", PROVIDER_SVC, "get", url=url)
    assert done.returncode == status, done.stderr
    assert done.stderr.startswith(f"noxtokenctl: {url}: ") and reason in done.stderr


@pytest.mark.parametrize("args", [
    [],
    ["token"],
    ["-o", "yaml", "token", "verify"],
    ["--port", "9199", "token", "verify"],  # with --url
    ["profile", "create", "--grant", "HOST:ADMINISTRATOR"],
    ["issuer", "create", "a", "--issuer", "i", "--chain", "/nonexistent.pem"],
    ["call", PROVIDER_SVC, "get", "[1]"],
    ["call", PROVIDER_SVC, "get", "{"],
    ["login", "--user", "root"],  # standard input is no terminal
    ["token", "create", "--password-stdin"],
])
def test_refused_command_lines_are_usage_errors(ctl, args):
    done = ctl(*args)
    assert done.returncode == USAGE, (done.stdout, done.stderr)
    assert done.stderr.startswith("noxtokenctl: ") and "Usage: noxtokenctl" in done.stderr


def test_management_commands(ctl, tmp_path):
    """Text views step by step; in JSON the output as the daemon gives it, without "_type"."""
    pems = [make_certificate(tmp_path, cn)[1] for cn in ("Ctl Signer", "Ctl Root")]
    path = tmp_path / "chain.pem"
    path.write_text("subject=CN=Ctl Signer\n" + "".join(pems))
    group = "SG#corp#corp.example#ops"
    ctl(*LOGIN, stdin="secret1\n")
    for args, expected in [
        (["profile", "create", "--external-group", "ops", "--issuer-alias", "corp", "--domain",
          "corp.example", "--grant", "host:operator"], group + "\n"),
        (["profile", "list", "--external-group", "ops", "--issuer-alias", "corp", "--domain",
          "corp.example", "--projection", "full"],
         "PROFILE                   TYPE            NAME  ISSUER ALIAS  DOMAIN        GRANTS\n"
         f"{group}  EXTERNAL_GROUP  ops   corp          corp.example  HOST:OPERATOR\n"),
        (["profile", "set", group, "--grant", "HOST:READ_ONLY", "--grant", "HOST:OPERATOR"], ""),
        (["profile", "get", group],
         "Type:          EXTERNAL_GROUP\nName:          ops\nIssuer alias:  corp\n"
         "Domain:        corp.example\nGrants:        HOST:READ_ONLY\n"
         "               HOST:OPERATOR\n"),
        (["profile", "delete", group], ""),
        (["profile", "get", group], Refusal("NOT_FOUND", f"\n  Profile not found {group}\n")),
        (["issuer", "create", "corp", "--issuer", "https://idp", "--chain", path], ""),
        (["issuer", "list", "--projection", "full"],
         "ALIAS  ISSUER       CHAINS\ncorp   https://idp  1\n"),
        (["issuer", "set", "corp", "--issuer", "https://idp/v2"], ""),
        (["issuer", "get", "corp"],
         "Issuer:   https://idp/v2\nChain 1:  CN=Ctl Signer\n          CN=Ctl Root\n"),
    ]:
        check(ctl(*args), "text", expected)
    check(ctl("-o", "json", "issuer", "get", "corp"), "json", {
        "issuer": "https://idp/v2",
        "signing_cert_chains": [{"cert_chain": [p.rstrip("\n") for p in pems]}]})
    check(ctl("-o", "json", "issuer", "delete", "corp"), "json", "")
    check(ctl("-o", "json", "issuer", "get", "corp"), "json",
          Refusal("NOT_FOUND", "\n  Security token issuer alias not found corp\n"))
