"""noxtokenctl against the real daemon: its commands and views, the credential sources and the
saved token, the password prompt, the exit status of each kind of failure, the guard rails and
the way back from a lockout, the hints after a refusal, SAML in the client, export and apply."""

import datetime
import json
import os
import re
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

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

from conftest import CTL, PROVIDER_SVC, REPO, ctl_env, free_port, run_ctl
from saml_client import ISSUER, render, sign

USAGE, UNREACHABLE, PROTOCOL = 2, 3, 4
LOGIN = ["login", "--user", "root", "--password-stdin"]
ROOT = "LU###root"
NO_ADMIN = "no profile grants HOST:ADMINISTRATOR"
STRANDED = NO_ADMIN + " to a subject that can authenticate"


@pytest.fixture
def ctl(daemon, tmp_path):
    """Runs the client with its own runtime directory and no credential from the environment."""
    def run(*args, stdin="", env=None, url=daemon.url):
        prefix = ["--url", url] if url else []
        return run_ctl(*prefix, *args, stdin=stdin, XDG_RUNTIME_DIR=str(tmp_path), **(env or {}))

    return run


class Refusal(NamedTuple):
    kind: str
    message: str


def check(done, mode, expected):
    """`expected`: the output, or a Refusal in either mode."""
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
    assert (done.returncode, done.stdout) == (0, expected), done.stderr


def test_token_commands_credential_sources_hints_and_the_saved_token(daemon, ctl, tmp_path):
    assert ctl(*LOGIN, stdin="secret1\n").stdout.startswith("Logged in as root until ")
    saved = tmp_path / "noxtokenctl" / "token"
    assert daemon.claims(saved.read_text().strip())["username"] == "root"
    assert stat.S_IMODE(saved.stat().st_mode) == 0o600
    assert stat.S_IMODE(saved.parent.stat().st_mode) == 0o700
    login = ctl("-o", "json", *LOGIN, stdin="secret1\n")
    assert json.loads(login.stdout) == {"token": saved.read_text().strip()}

    alice = ctl("token", "create", "--user", "alice", "--password-stdin", stdin="pw2\n").stdout
    alice = alice.removesuffix("\n")
    assert daemon.claims(alice)["username"] == "alice" and "\n" not in alice
    for mode in ("text", "json"):
        check(ctl("-o", mode, "call", "no.such.service", "get"), mode,
              Refusal("OPERATION_NOT_FOUND", "\n  Service no.such.service not found\n"))
    output = ctl("call", PROVIDER_SVC, "get").stdout
    assert '\n  "id": "AsyncLocalProvider",\n' in output and "_type" not in output

    # Credential sources in order: --token, then $NOXTOKEN_TOKEN, then the saved token.
    root = daemon.create_token("root")
    for args, env, expected in [([], {}, "root"), ([], {"NOXTOKEN_TOKEN": alice}, "alice"),
                                (["--token", root], {"NOXTOKEN_TOKEN": alice}, "root")]:
        done = ctl(*args, "token", "verify", env=env)
        assert (done.returncode, done.stdout) == (0, expected + "\n"), done.stderr
    for args, env in [(["--port", daemon.port], {}), ([], {"NOXTOKEN_URL": daemon.url})]:
        done = ctl(*args, "--op-id", "ctl-op-7", "token", "verify", url=None, env=env)
        assert done.stdout == "root\n", done.stderr
    daemon.wait_for_line("ctl-op-7", "Invoke-MethodId", how=str.startswith)

    # The daemon's text, then one hint; without --user the saved token is presented.
    external = jwt.encode({"iss": "https://nobody.example", "username": "eve", "exp": 2000000000},
                          "k" * 32, "HS256")
    for args, kind, hint in [
        (["--token", external, "token", "create"], "UNAUTHENTICATED",
         "the external token from --token was refused: check that its issuer is registered"),
        (["token", "create"], "UNAUTHORIZED", "a token of this daemon cannot obtain another one"),
        (["--token", alice, "--op-id", "ctl-hint", "profile", "list"], "UNAUTHORIZED",
         "managing profiles and issuers needs a daemon token whose entitlements include "
         "HOST:ADMINISTRATOR (noxtokenctl token inspect shows them); the daemon's log gives the "
         "reason under op id ctl-hint"),
    ]:
        done = ctl(*args)
        lines = done.stderr.splitlines()
        assert (done.returncode, done.stdout, lines[0]) == (1, "", f"noxtokenctl: {kind}"), done
        hints = [line for line in lines[1:] if line.startswith("noxtokenctl: ")]
        assert len(hints) == 1 and hints[0].startswith(f"noxtokenctl: {hint}"), done.stderr

    done = ctl("token", "inspect")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("User:          root\nEntitlements:  ADMINISTRATOR\n"
                                  "Expires:       "), done.stdout
    assert " left)\nAccepted:      yes, as root\n" in done.stdout
    claims = json.loads(ctl("-o", "json", "token", "inspect").stdout)
    assert (claims["username"], claims["entitlement"]) == ("root", ["ADMINISTRATOR"])
    expired = jwt.encode({"username": "root", "exp": 1000}, daemon.root.secret(), "HS256")
    done = ctl("token", "inspect", expired)
    assert done.returncode == 1 and " ago)\nAccepted:      no\n" in done.stdout, done.stdout
    assert "noxtokenctl: UNAUTHENTICATED\n" in done.stderr

    saved.write_text(expired + "\n")
    done = ctl("token", "verify")
    assert done.returncode == 1
    assert "has expired; log in again" in done.stderr and "no credential was sent" in done.stderr
    # Operations open to anyone still work without it.
    assert ctl("call", PROVIDER_SVC, "get").returncode == 0
    for expected in ("removed the saved token", "no saved token in"):
        done = ctl("logout")
        assert done.returncode == 0 and expected in done.stderr, done.stderr
    assert not saved.exists()
    assert ctl("token", "inspect").returncode == USAGE


@pytest.mark.parametrize("typed,status", [(b"secrex\x7ft1\r", 0), (b"sec\x03", -signal.SIGINT)])
def test_password_prompt_on_a_terminal(daemon, tmp_path, typed, status):
    """The password is typed without echo, erase works, and the terminal is restored however the
    prompt ends."""
    master, slave = os.openpty()
    before = termios.tcgetattr(slave)
    proc = subprocess.Popen([str(CTL), "--url", daemon.url, "login", "--user", "root"],
                            stdin=slave, stdout=subprocess.PIPE, stderr=slave,
                            env=ctl_env(XDG_RUNTIME_DIR=str(tmp_path)))
    seen = b""
    while b"Password for root: " not in seen:
        ready, _, _ = select.select([master], [], [], 10)
        assert ready, seen
        seen += os.read(master, 1024)
    os.write(master, typed)
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


# Grants and URLs have the client's unit tests; one of each other kind of refusal. The usage
# line follows a refused command line, never the whole help; a file's problem stands alone.
@pytest.mark.parametrize("args,reason,usage", [
    (["token"], "A subcommand is required", "Usage: noxtokenctl token [OPTIONS] SUBCOMMAND"),
    (["--port", "9199", "token", "verify"], "exclude each other", "Usage: noxtokenctl token"),
    (["profile", "create", "--grant", "HOST:ADMINISTRATOR"], "Exactly 1 option from [--local-user",
     "Usage: noxtokenctl profile create"),
    (["call", PROVIDER_SVC, "get", "[1]"], "must be a JSON object", "Usage: noxtokenctl call"),
    (["call", PROVIDER_SVC, "get", "{"], "is not JSON", "Usage: noxtokenctl call"),
    (["login", "--user", "root"], "--password-stdin", "Usage: noxtokenctl login"),
    (["token", "create", "--password-stdin"], "--password-stdin", "Usage: noxtokenctl token"),
    (["profil", "list"], "noxtokenctl: 'profil' is not a command here: did you mean 'profile'?",
     "Usage: noxtokenctl [OPTIONS]"),
    (["profile", "list", "--projecton", "full"], "did you mean '--projection'?",
     "Usage: noxtokenctl profile list"),
    (["token", "verify", ""], "TOKEN is empty", "Usage: noxtokenctl token verify"),
    (["issuer", "create", "", "--issuer", "i"], "ALIAS: an empty alias",
     "Usage: noxtokenctl issuer create"),
    (["profile", "create", "--local-user", "", "--grant", "HOST:OPERATOR"],
     "--local-user: an empty name", "Usage: noxtokenctl profile create"),
    (["--token", "", "token", "verify"], "--token: an empty token", "Usage: noxtokenctl"),
    (["profile", "set", ROOT], "--clear", "Usage: noxtokenctl profile set"),
    (["token", "create", "--saml", "a.xml"], "--key", "Usage: noxtokenctl token create"),
    (["issuer", "create", "a", "--issuer", "i", "--chain", "/nonexistent.pem"],
     "--chain /nonexistent.pem: cannot be read", None),
    (["apply", "-f", "/nonexistent.json"], "-f /nonexistent.json: cannot be read", None),
])
def test_refused_command_lines_are_usage_errors(ctl, args, reason, usage):
    done = ctl(*args)
    assert done.returncode == USAGE, (done.stdout, done.stderr)
    assert done.stderr.startswith("noxtokenctl: ") and reason in done.stderr, done.stderr
    assert "Commands (each has --help)" not in done.stderr
    assert (usage in done.stderr) if usage else ("Usage:" not in done.stderr), done.stderr


def expired_certificate(path):
    """A self-signed certificate whose validity ended yesterday (openssl req cannot date back)."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Ctl Old")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
            .public_key(key.public_key()).serial_number(1)
            .not_valid_before(now - datetime.timedelta(days=3))
            .not_valid_after(now - datetime.timedelta(days=1)).sign(key, hashes.SHA256()))
    path.write_bytes(cert.public_bytes(serialization.Encoding.PEM))
    return path


def test_management_commands_and_their_warnings(ctl, keys, tmp_path):
    """Text views step by step; in JSON the output as the daemon gives it, without "_type"."""
    signer, root = keys["Ctl Signer"], keys["Ctl Root"]
    pems = [signer.cert_text(), root.cert_text()]  # the root did not issue the signer
    shown = "Issuer:   https://idp/v2\n"  # what issuer get shows in the end
    for i, cert in enumerate(x509.load_pem_x509_certificate(pem.encode()) for pem in pems):
        cn, when = cert.subject.rfc4514_string(), "%Y-%m-%d %H:%M:%S UTC"
        shown += (f"{'Chain 1:' if i == 0 else '':10}{cn}\n            Issuer:   {cn}\n"
                  f"            Valid:    {cert.not_valid_before:{when}} to "
                  f"{cert.not_valid_after:{when}}\n"
                  f"            SHA-256:  {cert.fingerprint(hashes.SHA256()).hex(':').upper()}\n")
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
        (["issuer", "set", "corp", "--issuer", "https://idp/v2"], ""),
        (["issuer", "get", "corp"], shown),
        (["issuer", "delete", "corp"], ""),
    ]:
        check(ctl(*args), "text", expected)
    check(ctl("-o", "json", "issuer", "get", "corp"), "json",
          Refusal("NOT_FOUND", "\n  Security token issuer alias not found corp\n"))

    # The daemon accepts each of these; the client says on standard error what looks wrong.
    old = expired_certificate(tmp_path / "old.pem")
    short = keys["Ctl Short"].cert_pem
    for args, warning in [
        (["issuer", "create", "w1", "--issuer", "https://w1"], "no --chain: none of the issuer's"),
        (["issuer", "set", "w1", "--chain", path], "certificate 2 did not issue certificate"),
        (["issuer", "set", "w1", "--chain", old], "certificate 1 (CN=Ctl Old) expired on"),
        (["issuer", "set", "w1", "--chain", short],
         "certificate 1 (CN=Ctl Short) has an RSA key of 1024 bits: the daemon verifies nothing"),
        (["issuer", "set", "w1", "--chain", root.cert_pem, "--chain", root.cert_pem],
         f"--chain {root.cert_pem}: the same certificates as chain 1; each chain is tried"),
        (["profile", "create", "--local-user", "wanda", "--issuer-alias", "w1"],
         "--issuer-alias and --domain do not apply to a local user"),
        (["profile", "create", "--external-user", "wes", "--issuer-alias", "w2", "--domain", "d"],
         "no issuer is registered under the alias w2"),
        (["profile", "create", "--external-group", "wg", "--issuer-alias", "w1", "--domain", "d"],
         ""),
        (["issuer", "delete", "w1"], "profiles still name the alias w1: SG#w1#d#wg;"),
        (["issuer", "create", "w2", "--issuer", "https://w2", "--chain", root.cert_pem], ""),
        (["issuer", "delete", "w2", "--with-profiles"], "deleted profile SU#w2#d#wes"),
        (["profile", "delete", "SG#w1#d#wg"], ""),
        (["profile", "delete", "LU###wanda"], ""),
    ]:
        done = ctl(*args)
        assert done.returncode == 0, done.stderr
        assert (warning in done.stderr) if warning else "warning" not in done.stderr, done.stderr
    assert "SG#w1#d#wg" not in ctl("profile", "list").stdout


def test_saml_holder_gets_a_token_from_the_client(daemon, ctl, keys, tmp_path):
    ctl(*LOGIN, stdin="secret1\n")
    assert ctl("issuer", "create", "saml", "--issuer", ISSUER, "--chain",
               keys["sts"].cert_pem).returncode == 0
    assertions = {holder: tmp_path / f"{holder}.xml" for holder in ("rsa", "p256")}
    for holder, path in assertions.items():
        path.write_text(sign(tmp_path, render(keys[holder]), keys["sts"]))
    for holder, key, algorithm, status, expected in [
        ("p256", "p256", [], 0, "ada"),
        ("p256", "p256", [], 0, "ada"),  # at once: each call signs a new timestamp
        ("rsa", "rsa", ["--algorithm", "ps256"], 0, "ada"),
        ("rsa", "rsa", [], 0, "ada"),
        ("rsa", "p256", [], 1, "its confirmation certificate's key; each proof is accepted once"),
        ("p256", "p256", ["--algorithm", "ES384"], USAGE, "does not fit ES384"),
    ]:
        done = ctl("token", "create", "--saml", assertions[holder], "--key", keys[key].key_pem,
                   *algorithm)
        assert done.returncode == status, done.stderr
        if status == 0:
            assert daemon.claims(done.stdout.strip())["username"] == expected
        else:
            assert expected in done.stderr, done.stderr
    assert ctl("issuer", "delete", "saml").returncode == 0


def test_lockout_is_refused_the_defaults_come_back_and_export_and_apply(ctl, new_root, run_daemon,
                                                                       keys, tmp_path):
    root = new_root()
    daemon = run_daemon(root)
    run = lambda *args, **kw: ctl(*args, url=daemon.url, **kw)
    run(*LOGIN, stdin="secret1\n")
    for args, status, stderr in [
        (["profile", "set", ROOT, "--clear"], USAGE, NO_ADMIN),
        (["profile", "delete", ROOT], USAGE, NO_ADMIN),
        (["profile", "revoke", ROOT, "host:administrator"], USAGE, NO_ADMIN),
        # An external administrator counts only while an issuer has its alias.
        (["profile", "create", "--external-group", "admins", "--issuer-alias", "corp", "--domain",
          "corp.ex", "--grant", "HOST:ADMINISTRATOR"], 0, "no issuer is registered"),
        (["profile", "delete", ROOT], USAGE, STRANDED),
        (["issuer", "create", "corp", "--issuer", "https://corp"], 0, "no --chain"),
        (["profile", "delete", ROOT], 0, ""),
        (["issuer", "delete", "corp"], USAGE, STRANDED),
        (["issuer", "delete", "corp", "--with-profiles"], USAGE, NO_ADMIN),
        (["profile", "create", "--local-user", "root", "--grant", "HOST:ADMINISTRATOR"], 0, ""),
        (["issuer", "delete", "corp", "--with-profiles"], 0, "deleted profile SG#corp#corp.ex#"),
        (["profile", "grant", ROOT, "HOST:OPERATOR", "host:read_only"], 0, ""),
        (["profile", "revoke", ROOT, "HOST:READ_ONLY"], 0, ""),
        (["profile", "grant", ROOT, "HOST:OPERATOR"], 0, "no change"),
        (["profile", "create", "--local-user", "alice", "--grant", "HOST:READ_ONLY"], 0, ""),
        (["profile", "delete", ROOT, "--force"], 0, "warning: after this change " + NO_ADMIN),
    ]:
        done = run(*args)
        assert done.returncode == status and stderr in done.stderr, (args, done.stderr)
        assert "--force" in done.stderr if status == USAGE else True
    run(*LOGIN, stdin="secret1\n")
    assert "HOST:ADMINISTRATOR" in run("profile", "list").stderr  # locked out

    assert daemon.stop() == 0
    done = root.restore()
    assert done.returncode == 0 and f"default client profiles: {ROOT}\n" in done.stdout, done
    daemon = run_daemon(root)
    run(*LOGIN, stdin="secret1\n")
    listed = run("profile", "list", "--projection", "name").stdout
    assert listed.split() == ["PROFILE", "LU###alice", ROOT]  # other profiles stay
    assert run("profile", "delete", "LU###alice").returncode == 0

    exported = json.loads(run("export").stdout)  # the defaults, as restored
    assert exported == {"issuers": [], "profiles": [
        {"type": "LOCAL_USER", "name": "root", "grants": ["HOST:ADMINISTRATOR"]}]}
    pem = keys["Fleet Signer"].cert_text()
    ops = {"type": "EXTERNAL_GROUP", "name": "ops", "issuer_alias": "corp", "domain": "corp.ex",
           "grants": ["HOST:OPERATOR"]}
    root = {"type": "LOCAL_USER", "name": "root",
            "grants": ["HOST:ADMINISTRATOR", "HOST:READ_ONLY"]}
    wanted = {"issuers": [{"alias": "corp", "issuer": "https://corp", "chains": [[pem]]}],
              "profiles": [root, ops]}
    file = tmp_path / "host.json"

    def apply(document, *args, status=0):
        file.write_text(json.dumps(document))
        done = run("apply", "-f", file, *args)
        assert done.returncode == status, done.stderr
        return done.stdout if status == 0 else done.stderr

    changes = ("create issuer corp\ncreate profile EXTERNAL_GROUP ops of corp/corp.ex "
               f"HOST:OPERATOR\nset profile {ROOT} HOST:ADMINISTRATOR,HOST:READ_ONLY\n")
    assert apply(wanted, "--dry-run") == "".join(f"would {line}\n"
                                                 for line in changes.splitlines())
    assert json.loads(run("export").stdout) == exported
    assert apply(wanted) == changes
    assert json.loads(run("export").stdout) == {**wanted, "profiles": [root, ops]}
    assert apply(wanted) == "no changes\n"
    assert apply(wanted, "--prune") == "no changes\n"
    file.write_text(json.dumps({
        "issuers": [{"alias": "twice", "issuer": "https://twice", "chains": [[pem], [pem]]}],
        "profiles": [{**ops, "issuer_alias": "ghost"}]}))
    done = run("apply", "-f", file, "--dry-run")
    assert "would create profile EXTERNAL_GROUP ops of ghost/corp.ex" in done.stdout
    assert "names the alias ghost, which no issuer will have" in done.stderr
    assert "issuer twice chain 2: the same certificates as chain 1" in done.stderr

    # The plan deletes root's profile and the issuer of the only administrator left.
    stranded = {"profiles": [{**ops, "name": "admins", "grants": ["HOST:ADMINISTRATOR"]}]}
    for args in (["--prune", "--dry-run"], ["--prune"]):
        refusal = apply(stranded, *args, status=USAGE)
        assert "to a subject that can authenticate (EXTERNAL_GROUP admins of corp:" in refusal
    only_root = {"profiles": [root]}
    assert apply(only_root) == "no changes\n"  # without --prune nothing goes
    assert apply(only_root, "--prune") == "delete profile SG#corp#corp.ex#ops\ndelete issuer corp\n"
    no_admin = {"profiles": [{**root, "grants": ["HOST:OPERATOR"]}]}
    assert "no profile would grant HOST:ADMINISTRATOR" in apply(no_admin, "--prune", status=USAGE)
    assert "unknown member \"grant\"" in apply({"profiles": [{**root, "grant": []}]},
                                               status=USAGE)
    assert json.loads(run("export").stdout)["profiles"] == [root]


def test_the_manual_has_every_command_and_global_option_of_the_help():
    shown = run_ctl("--help").stdout
    manual = (REPO / "docs/man/noxtokenctl.1").read_text().replace("\\-", "-")
    commands = re.findall(r"^  (\w+) ", shown.split("\nSubcommands:\n")[1], re.M)
    options = re.findall(r"^  (?:-\w,)?(--[\w-]+)", shown.split("\nSubcommands:\n")[0], re.M)
    assert "status" in commands and "--version" in options
    for word in [f"noxtokenctl {c}" for c in commands] + [o for o in options if o != "--help"]:
        assert word in manual, word


# bash-completion's helpers reduced to what the completion function needs.
COMPLETION_HARNESS = """
_init_completion() { words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD;
  cur=${COMP_WORDS[COMP_CWORD]}; prev=${COMP_WORDS[COMP_CWORD-1]}; }
__ltrim_colon_completions() { :; }
_filedir() { :; }
source "$1"; shift
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _noxtokenctl; printf '%s\\n' "${COMPREPLY[@]}"
"""


def test_completion_asks_the_daemon_for_names(daemon, ctl, tmp_path):
    ctl(*LOGIN, stdin="secret1\n")
    assert ctl("issuer", "create", "comp", "--issuer", "https://comp").returncode == 0
    script = REPO / "tools/noxtokenctl/noxtokenctl.bash-completion"
    url = ["--url", daemon.url]
    for words, expected in [
        (["pro"], ["profile"]),
        ([*url, "profile", "get", ""], [ROOT]),
        ([*url, "profile", "revoke", ROOT, "HOST:A"], ["HOST:ADMINISTRATOR"]),
        ([*url, "issuer", "delete", ""], ["comp"]),
        ([*url, "profile", "create", "--external-user", "x", "--issuer-alias", "c"], ["comp"]),
        ([*url, "token", "create", "--al"], ["--algorithm"]),
        (["--url", f"http://127.0.0.1:{free_port()}/api", "profile", "get", ""], [""]),
    ]:
        done = subprocess.run(["bash", "-c", COMPLETION_HARNESS, "harness", script, str(CTL),
                               *words], capture_output=True, text=True, timeout=30,
                              env={**os.environ, "XDG_RUNTIME_DIR": str(tmp_path)})
        assert done.stdout.splitlines() == expected, (words, done.stdout, done.stderr)
    assert ctl("issuer", "delete", "comp").returncode == 0
