"""noxtokenctl against the real daemon: each command in both output modes, the credential sources
and the saved token, the password prompt, and the exit status of each kind of failure."""

import json
import os
import select
import signal
import stat
import subprocess
import termios
import threading
from http.server import BaseHTTPRequestHandler, HTTPServer
from typing import NamedTuple

import jwt
import pytest

from conftest import BIN_DIR, PROVIDER_SVC, free_port, make_certificate

CTL = BIN_DIR / "noxtokenctl"
USAGE, UNREACHABLE, PROTOCOL = 2, 3, 4
GROUP = "SG#corp#corp.example#ops"


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
        return subprocess.run([str(CTL), *prefix, *map(str, args)], input=stdin,
                              capture_output=True, text=True, env={**base, **(env or {})},
                              stdin=None if stdin is not None else subprocess.DEVNULL, timeout=60)

    def login(self, user="root", password="secret1"):
        done = self("login", "--user", user, "--password-stdin", stdin=password + "\n")
        assert done.returncode == 0, done.stderr
        return self.token_file.read_text().strip()


@pytest.fixture
def ctl(daemon, tmp_path):
    assert CTL.exists(), f"{CTL} is not built"
    return Ctl(daemon, tmp_path)


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


@pytest.mark.parametrize("mode", ["text", "json"])
def test_token_commands(daemon, ctl, mode):
    login = ctl("-o", mode, "login", "--user", "root", "--password-stdin", stdin="secret1\n")
    saved = ctl.token_file.read_text().strip()
    assert username_of(daemon, saved) == "root"
    assert stat.S_IMODE(ctl.token_file.stat().st_mode) == 0o600
    assert stat.S_IMODE(ctl.token_file.parent.stat().st_mode) == 0o700
    if mode == "json":
        assert json.loads(login.stdout) == {"token": saved}
    else:
        assert login.stdout.startswith("Logged in as root until ")

    created = ctl("-o", mode, "token", "create", "--user", "alice", "--password-stdin",
                  stdin="pw2\n").stdout
    alice = json.loads(created)["token"] if mode == "json" else created.removesuffix("\n")
    assert username_of(daemon, alice) == "alice" and "\n" not in alice
    # Without --user the saved token is presented, and a daemon token cannot beget another.
    check(ctl("-o", mode, "token", "create"), mode,
          Refusal("UNAUTHORIZED", "cannot obtain another one"))
    check(ctl("-o", mode, "token", "verify", alice), mode, "alice" if mode == "json" else "alice\n")
    check(ctl("-o", mode, "--token", alice, "profile", "list"), mode, Refusal("UNAUTHORIZED", ""))
    check(ctl("-o", mode, "call", "no.such.service", "get"), mode,
          Refusal("OPERATION_NOT_FOUND", "\n  Service no.such.service not found\n"))
    output = ctl("-o", mode, "call", PROVIDER_SVC, "get").stdout
    if mode == "json":
        assert json.loads(output)["id"] == "AsyncLocalProvider" and "_type" not in output
    else:
        assert '\n  "id": "AsyncLocalProvider",\n' in output


def test_credential_sources_in_order_and_a_saved_token_past_its_exp(daemon, ctl):
    ctl.login("root")
    alice, root = daemon.create_token("alice"), daemon.create_token("root")
    for args, env, expected in [([], {}, "root"), ([], {"NOXTOKEN_TOKEN": alice}, "alice"),
                                (["--token", root], {"NOXTOKEN_TOKEN": alice}, "root")]:
        done = ctl(*args, "token", "verify", env=env)
        assert (done.returncode, done.stdout) == (0, expected + "\n"), done.stderr

    expired = jwt.encode({"username": "root", "exp": 1000}, daemon.root.secret(), "HS256")
    ctl.token_file.write_text(expired + "\n")
    done = ctl("token", "verify")
    assert done.returncode == 1
    assert "has expired; log in again" in done.stderr and "no credential was sent" in done.stderr
    # Operations open to anyone still work without it.
    assert ctl("call", PROVIDER_SVC, "get").returncode == 0


@pytest.mark.parametrize("keys,status", [(b"secrex\x7ft1\r", 0), (b"sec\x03", -signal.SIGINT)])
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
    assert b"sec" not in seen
    os.close(master)
    os.close(slave)


def test_daemon_is_found_by_port_and_environment_and_sees_the_op_id(daemon, ctl):
    for args, env in [(["--port", daemon.port], {}), ([], {"NOXTOKEN_URL": daemon.url})]:
        done = ctl(*args, "--op-id", "ctl-op-7", "call", PROVIDER_SVC, "get", url=False, env=env)
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


@pytest.mark.parametrize("target,status,reason", [
    ("unused-port", UNREACHABLE, "Connection refused"),
    ("/not-json", PROTOCOL, "not a JSON object"),
    ("/status", PROTOCOL, "HTTP status 503"),
    ("/rpc-error", PROTOCOL, "JSON-RPC error -32600: x"),
    ("/no-result", PROTOCOL, "neither an output nor an error"),
])
def test_exit_status_without_a_valid_answer(ctl, faulty_url, target, status, reason):
    url = f"http://127.0.0.1:{free_port()}/api" if target == "unused-port" else faulty_url + target
    done = ctl("--url", url, "call", PROVIDER_SVC, "get", url=False)
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


@pytest.fixture(scope="module")
def chain(tmp_path_factory):
    """A PEM file of two certificates with text around them, and the certificates."""
    folder = tmp_path_factory.mktemp("chain")
    pems = [make_certificate(folder, cn)[1] for cn in ("Ctl Signer", "Ctl Root")]
    (folder / "chain.pem").write_text("subject=CN=Ctl Signer\n" + "".join(pems))
    return folder / "chain.pem", [p.rstrip("\n") for p in pems]


def management_steps(path, pems):
    """(arguments, text output, JSON output), in order."""
    subject = {"type": "EXTERNAL_GROUP", "name": "ops", "issuer_alias": "corp",
               "domain": "corp.example"}
    read_only, operator = ({"resource_type": "HOST", "entitlement": e}
                           for e in ("READ_ONLY", "OPERATOR"))
    chains = [{"cert_chain": pems}]
    return [
        (["profile", "create", "--external-group", "ops", "--issuer-alias", "corp", "--domain",
          "corp.example", "--grant", "host:operator"], GROUP + "\n", GROUP),
        (["profile", "list", "--external-group", "ops", "--issuer-alias", "corp", "--domain",
          "corp.example", "--projection", "full"],
         "PROFILE                   TYPE            NAME  ISSUER ALIAS  DOMAIN        GRANTS\n"
         f"{GROUP}  EXTERNAL_GROUP  ops   corp          corp.example  HOST:OPERATOR\n",
         [{"projection": "FULL", "profile": GROUP, "subject": subject, "grants": [operator]}]),
        (["profile", "set", GROUP, "--grant", "HOST:READ_ONLY", "--grant", "HOST:OPERATOR"],
         "", ""),
        (["profile", "get", GROUP],
         "Type:          EXTERNAL_GROUP\nName:          ops\nIssuer alias:  corp\n"
         "Domain:        corp.example\nGrants:        HOST:READ_ONLY\n               HOST:OPERATOR\n",
         {"subject": subject, "grants": [read_only, operator]}),
        (["profile", "list", "--projection", "name"], f"PROFILE\nLU###root\n{GROUP}\n",
         [{"projection": "NAME", "profile": p, "subject": None, "grants": None}
          for p in ("LU###root", GROUP)]),
        (["profile", "delete", GROUP], "", ""),
        (["profile", "get", GROUP], *[Refusal("NOT_FOUND", f"\n  Profile not found {GROUP}\n")] * 2),
        (["issuer", "create", "corp", "--issuer", "https://idp", "--chain", path], "", ""),
        (["issuer", "list", "--projection", "full"],
         "ALIAS  ISSUER       CHAINS\ncorp   https://idp  1\n",
         [{"summary_type": "FULL", "issuer_alias": "corp", "issuer": "https://idp",
           "signing_cert_chains": chains}]),
        (["issuer", "set", "corp", "--issuer", "https://idp/v2"], "", ""),
        (["issuer", "get", "corp"],
         "Issuer:   https://idp/v2\nChain 1:  CN=Ctl Signer\n          CN=Ctl Root\n",
         {"issuer": "https://idp/v2", "signing_cert_chains": chains}),
        (["issuer", "delete", "corp"], "", ""),
        (["issuer", "get", "corp"], *[Refusal("NOT_FOUND", "alias not found corp\n")] * 2),
    ]


@pytest.mark.parametrize("mode", ["text", "json"])
def test_management_commands(ctl, chain, mode):
    ctl.login("root")
    for args, text, parsed in management_steps(*chain):
        check(ctl("-o", mode, *args), mode, text if mode == "text" else parsed)
