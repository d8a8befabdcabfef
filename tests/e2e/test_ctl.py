"""noxtokenctl against the real daemon: each command family in both output modes, the credential
sources and the saved token, and the exit status of each kind of failure."""

import base64
import json
import os
import select
import signal
import stat
import subprocess
import termios
import threading
from http.server import BaseHTTPRequestHandler, HTTPServer

import jwt
import pytest

from conftest import BIN_DIR, PROVIDER_SVC, free_port

CTL = BIN_DIR / "noxtokenctl"


class Ctl:
    """Runs the client with its own runtime directory and no credential from the environment."""

    def __init__(self, daemon, runtime):
        self.daemon = daemon
        self.runtime = runtime
        self.token_file = runtime / "noxtokenctl" / "token"

    def __call__(self, *args, stdin=None, env=None, url=True):
        base = {k: v for k, v in os.environ.items() if not k.startswith("NOXTOKEN_")}
        base["XDG_RUNTIME_DIR"] = str(self.runtime)
        prefix = ["--url", self.daemon.url] if url else []
        return subprocess.run(
            [str(CTL), *prefix, *map(str, args)],
            input=stdin,
            capture_output=True,
            text=True,
            env={**base, **(env or {})},
            stdin=None if stdin is not None else subprocess.DEVNULL,
            timeout=60,
        )

    def login(self, user="root", password="secret1"):
        done = self("login", "--user", user, "--password-stdin", stdin=password + "\n")
        assert done.returncode == 0, done.stderr
        return self.token_file.read_text().strip()


@pytest.fixture
def ctl(daemon, tmp_path):
    assert CTL.exists(), f"{CTL} is not built"
    runtime = tmp_path / "runtime"
    runtime.mkdir()
    return Ctl(daemon, runtime)


def username_of(daemon, token):
    return jwt.decode(token, key=daemon.root.secret(), algorithms=["HS256"])["username"]


def parsed(done, mode):
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout) if mode == "json" else done.stdout


@pytest.mark.parametrize("mode", ["text", "json"])
def test_token_commands(daemon, ctl, mode):
    login = ctl("-o", mode, "login", "--user", "root", "--password-stdin", stdin="secret1\n")
    saved = ctl.token_file.read_text().strip()
    assert username_of(daemon, saved) == "root"
    assert stat.S_IMODE(ctl.token_file.stat().st_mode) == 0o600
    assert stat.S_IMODE(ctl.token_file.parent.stat().st_mode) == 0o700
    if mode == "json":
        assert parsed(login, mode) == {"token": saved}
    else:
        assert "Logged in as root" in parsed(login, mode)

    created = ctl("-o", mode, "token", "create", "--user", "alice", "--password-stdin",
                  stdin="pw2\n")
    alice = parsed(created, mode)["token"] if mode == "json" else created.stdout
    if mode == "text":
        assert alice.endswith("\n") and alice.count("\n") == 1
    assert username_of(daemon, alice.strip()) == "alice"

    # Without --user the saved token is presented, and a daemon token cannot beget another.
    refused = ctl("-o", mode, "token", "create")
    assert refused.returncode == 1
    assert refused.stderr.startswith("noxtokenctl: UNAUTHORIZED\n")
    assert "cannot obtain another one" in refused.stderr

    verified = parsed(ctl("-o", mode, "token", "verify", alice.strip()), mode)
    assert verified == ("alice" if mode == "json" else "alice\n")

    output = parsed(ctl("-o", mode, "call", PROVIDER_SVC, "get"), mode)
    if mode == "json":
        assert output["id"] == "AsyncLocalProvider" and "_type" not in output
    else:
        assert '"id": "AsyncLocalProvider"' in output


@pytest.mark.parametrize("source,expected", [("saved", "root"), ("env", "alice"), ("flag", "root")])
def test_credential_sources_in_order(daemon, ctl, source, expected):
    ctl.login("root")
    alice = daemon.create_token("alice")
    root = daemon.create_token("root")
    env = {"NOXTOKEN_TOKEN": alice} if source in ("env", "flag") else {}
    args = ["--token", root] if source == "flag" else []
    done = ctl(*args, "token", "verify", env=env)
    assert (done.returncode, done.stdout) == (0, expected + "\n"), done.stderr


def test_saved_token_is_not_sent_after_its_exp(daemon, ctl):
    saved = ctl.login("root")
    header, payload, signature = saved.split(".")
    claims = json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
    claims["exp"] = 1000
    payload = base64.urlsafe_b64encode(json.dumps(claims).encode()).rstrip(b"=").decode()
    ctl.token_file.write_text(".".join([header, payload, signature]) + "\n")

    done = ctl("token", "verify")
    assert done.returncode == 1
    assert "has expired; log in again" in done.stderr
    assert "no credential was sent" in done.stderr
    # Operations open to anyone still work without it.
    assert ctl("call", PROVIDER_SVC, "get").returncode == 0


@pytest.mark.parametrize(
    "keys,status", [(b"secrex\x7ft1\r", 0), (b"sec\x03", -signal.SIGINT), (b"wrong\r", 1)]
)
def test_password_prompt_on_a_terminal(ctl, keys, status):
    """The password is typed without echo, erase works, and the terminal is restored however the
    prompt ends."""
    master, slave = os.openpty()
    before = termios.tcgetattr(slave)
    env = {**os.environ, "XDG_RUNTIME_DIR": str(ctl.runtime)}
    proc = subprocess.Popen([str(CTL), "--url", ctl.daemon.url, "login", "--user", "root"],
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
    assert b"sec" not in seen and b"wrong" not in seen
    os.close(master)
    os.close(slave)


def test_op_id_reaches_the_daemon_log(daemon, ctl):
    done = ctl("--op-id", "ctl-op-7", "call", PROVIDER_SVC, "get")
    assert done.returncode == 0, done.stderr
    daemon.wait_for_prefix("ctl-op-7", "Invoke-MethodId")


class FaultyEndpoint(BaseHTTPRequestHandler):
    """Answers a POST with what its path names; the stand-in for a daemon gone wrong."""

    ANSWERS = {
        "/not-json": (200, b"<html>hello</html>"),
        "/status": (503, b"busy"),
        "/rpc-error": (200, b'{"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"x"}}'),
        "/no-result": (200, b'{"jsonrpc":"2.0","id":"1","result":{}}'),
    }

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        status, body = self.ANSWERS[self.path]
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def faulty_url():
    server = HTTPServer(("127.0.0.1", 0), FaultyEndpoint)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    thread.join(timeout=10)


USAGE, UNREACHABLE, PROTOCOL = 2, 3, 4


@pytest.mark.parametrize(
    "args,status",
    [
        ([], USAGE),
        (["token"], USAGE),
        (["-o", "yaml", "token", "verify"], USAGE),
        (["--port", "9199", "token", "verify"], USAGE),  # with --url
        (["profile", "create", "--grant", "HOST:ADMINISTRATOR"], USAGE),
        (["profile", "create", "--local-user", "u", "--grant", "HOST:ADMINSTRATOR"], USAGE),
        (["issuer", "create", "a", "--issuer", "i", "--chain", "/nonexistent.pem"], USAGE),
        (["call", PROVIDER_SVC, "get", "[1]"], USAGE),
        (["call", PROVIDER_SVC, "get", "{"], USAGE),
        (["login", "--user", "root"], USAGE),  # standard input is no terminal
        (["token", "create", "--password-stdin"], USAGE),
        (["call", "no.such.service", "get"], 1),
    ],
)
def test_exit_status_of_refused_command_lines(ctl, args, status):
    done = ctl(*args)
    assert done.returncode == status, (done.stdout, done.stderr)
    assert done.stderr.startswith("noxtokenctl: ")
    if status == USAGE:
        assert "Usage: noxtokenctl" in done.stderr


@pytest.mark.parametrize("mode", ["text", "json"])
def test_api_error_shows_type_and_messages(ctl, mode):
    done = ctl("-o", mode, "call", "no.such.service", "get")
    assert done.returncode == 1
    assert done.stderr.startswith("noxtokenctl: OPERATION_NOT_FOUND\n  ")
    if mode == "json":
        error = json.loads(done.stdout)
        assert error["error_type"] == "OPERATION_NOT_FOUND" and "_type" not in error
    else:
        assert done.stdout == ""


@pytest.mark.parametrize(
    "target,status,reason",
    [
        ("unused-port", UNREACHABLE, "Connection refused"),
        ("/not-json", PROTOCOL, "not a JSON object"),
        ("/status", PROTOCOL, "HTTP status 503"),
        ("/rpc-error", PROTOCOL, "JSON-RPC error -32600: x"),
        ("/no-result", PROTOCOL, "neither an output nor an error"),
    ],
)
def test_exit_status_without_a_valid_answer(ctl, faulty_url, target, status, reason):
    if target == "unused-port":
        url = f"http://127.0.0.1:{free_port()}/api"
    else:
        url = faulty_url + target
    done = ctl("--url", url, "call", PROVIDER_SVC, "get", url=False)
    assert done.returncode == status, done.stderr
    assert done.stderr.startswith(f"noxtokenctl: {url}: ")
    assert reason in done.stderr


def test_url_from_port_and_environment(daemon, ctl):
    for args, env in [(["--port", daemon.port], {}), ([], {"NOXTOKEN_URL": daemon.url})]:
        done = ctl(*args, "call", PROVIDER_SVC, "get", url=False, env=env)
        assert done.returncode == 0, done.stderr


# --- management: needs an administrator's token ---------------------------------------------


def run_ok(ctl, mode, *args):
    done = ctl("-o", mode, *args)
    assert done.returncode == 0, (args, done.stdout, done.stderr)
    return json.loads(done.stdout) if mode == "json" and done.stdout else done.stdout


@pytest.mark.parametrize("mode", ["text", "json"])
def test_profile_commands(daemon, ctl, mode):
    ctl.login("root")
    name = run_ok(ctl, mode, "profile", "create", "--external-group", f"ops-{mode}",
                  "--issuer-alias", "corp", "--domain", "corp.example", "--grant", "host:operator")
    name = name if mode == "json" else name.rstrip("\n")
    assert name and "\n" not in name

    listed = run_ok(ctl, mode, "profile", "list", "--external-group", f"ops-{mode}",
                    "--issuer-alias", "corp", "--domain", "corp.example", "--projection", "full")
    if mode == "json":
        assert [s["profile"] for s in listed] == [name]
        assert listed[0]["grants"] == [{"resource_type": "HOST", "entitlement": "OPERATOR"}]
    else:
        header, row = listed.splitlines()
        assert header.split() == ["PROFILE", "TYPE", "NAME", "ISSUER", "ALIAS", "DOMAIN", "GRANTS"]
        assert row.split() == [name, "EXTERNAL_GROUP", f"ops-{mode}", "corp", "corp.example",
                               "HOST:OPERATOR"]

    assert run_ok(ctl, mode, "profile", "set", name, "--grant", "HOST:READ_ONLY",
                  "--grant", "HOST:OPERATOR") == ""
    shown = run_ok(ctl, mode, "profile", "get", name)
    if mode == "json":
        assert [g["entitlement"] for g in shown["grants"]] == ["READ_ONLY", "OPERATOR"]
        assert shown["subject"]["type"] == "EXTERNAL_GROUP"
    else:
        assert "Grants:        HOST:READ_ONLY\n               HOST:OPERATOR\n" in shown
        assert "Domain:        corp.example\n" in shown

    names = run_ok(ctl, mode, "profile", "list", "--projection", "name")
    assert name in (json.dumps(names) if mode == "json" else names.split())
    assert run_ok(ctl, mode, "profile", "delete", name) == ""
    gone = ctl("-o", mode, "profile", "get", name)
    assert gone.returncode == 1 and gone.stderr.startswith("noxtokenctl: NOT_FOUND\n  ")


def test_management_needs_the_administrator(daemon, ctl):
    ctl.login("alice", "pw2")
    done = ctl("profile", "list")
    assert done.returncode == 1
    assert done.stderr.startswith("noxtokenctl: UNAUTHORIZED")


@pytest.fixture(scope="module")
def chain_file(tmp_path_factory):
    """One PEM file of two self-signed certificates, with text around them."""
    directory = tmp_path_factory.mktemp("chain")
    pems = []
    for cn in ("Ctl Signer", "Ctl Root"):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-nodes", "-subj", f"/CN={cn}", "-days", "2", "-keyout", str(directory / "key.pem"),
             "-out", str(directory / "cert.pem")],
            check=True, capture_output=True, timeout=60,
        )
        pems.append((directory / "cert.pem").read_text())
    path = directory / "chain.pem"
    path.write_text("subject=CN=Ctl Signer\n" + "".join(pems))
    return path, pems


@pytest.mark.parametrize("mode", ["text", "json"])
def test_issuer_commands(daemon, ctl, chain_file, mode):
    ctl.login("root")
    path, pems = chain_file
    alias, issuer = f"corp-{mode}", f"https://idp-{mode}.example"
    assert run_ok(ctl, mode, "issuer", "create", alias, "--issuer", issuer, "--chain", path) == ""

    listed = run_ok(ctl, mode, "issuer", "list", "--projection", "full")
    if mode == "json":
        mine = [s for s in listed if s["issuer_alias"] == alias]
        assert [len(s["signing_cert_chains"][0]["cert_chain"]) for s in mine] == [2]
    else:
        assert listed.splitlines()[0].split() == ["ALIAS", "ISSUER", "CHAINS"]
        assert [alias, issuer, "1"] in [line.split() for line in listed.splitlines()]

    assert run_ok(ctl, mode, "issuer", "set", alias, "--issuer", issuer + "/v2") == ""
    shown = run_ok(ctl, mode, "issuer", "get", alias)
    if mode == "json":
        assert shown["issuer"] == issuer + "/v2"
        assert [c.strip() for c in shown["signing_cert_chains"][0]["cert_chain"]] == [
            p.strip() for p in pems
        ]
    else:
        assert shown.startswith(f"Issuer:   {issuer}/v2\nChain 1:  CN=Ctl Signer\n          CN=Ctl Root\n")

    assert run_ok(ctl, mode, "issuer", "delete", alias) == ""
    gone = ctl("-o", mode, "issuer", "get", alias)
    assert gone.returncode == 1 and gone.stderr.startswith("noxtokenctl: NOT_FOUND\n  ")
