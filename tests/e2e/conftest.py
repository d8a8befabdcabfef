"""Fixtures that run the real daemon under a throw-away root laid out by scripts/dev-root and
talk to it over HTTP. The binary comes from $NOX_BIN_DIR (default build/bin), e.g. a sanitizer
build's; `cd build && ctest -L e2e` runs the suites as CI does."""

import base64
import itertools
import json
import os
import re
import signal
import socket
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path
from typing import List, NamedTuple, Optional

import jwt
import pytest
import requests

from saml_client import Key, make_key

REPO = Path(__file__).resolve().parents[2]
BIN_DIR = Path(os.environ.get("NOX_BIN_DIR", "build/bin"))
if not BIN_DIR.is_absolute():
    BIN_DIR = REPO / BIN_DIR
DAEMON, CTL = BIN_DIR / "noxtokend", BIN_DIR / "noxtokenctl"
DEV_ROOT = REPO / "scripts" / "dev-root"
VERSION = re.search(r"project\(noxtokend VERSION (\S+)", (REPO / "CMakeLists.txt").read_text())[1]

USERS = {"root": "secret1", "alice": "pw2"}

USER_PASS = "com.tessel.orbi.std.security.user_pass"
OAUTH = "com.tessel.orbi.std.security.oauth"
TOKEN_SVC = "com.tessel.nox.authentication.token"
VERIFY_SVC = "com.tessel.nox.authentication.verification"
PROFILES_SVC = "com.tessel.nox.authentication.client_profiles"
ISSUERS_SVC = "com.tessel.nox.authentication.trust.security_token_issuers"
PROVIDER_SVC = "com.tessel.orbi.std.introspection.provider"
SERVICE_SVC = "com.tessel.orbi.std.introspection.service"
OPERATION_SVC = "com.tessel.orbi.std.introspection.operation"
ERRORS = "com.tessel.orbi.std.errors."
NOX = "com.tessel.nox.authentication."
EXIT_FAILURE = 255  # the daemon exits with -1

JSON = "application/json"
CLEAN = "application/vnd.tessel.orbi.cleanjson"


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port: int) -> bool:
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
        return True
    except OSError:
        return False


def wait_until(predicate, what, tries: int = 100, pause: float = 0.05):
    """Polls `predicate` until it gives a true value, and returns that; fails after `tries` with
    `what` (a text, or a function giving one)."""
    for _ in range(tries):
        value = predicate()
        if value:
            return value
        time.sleep(pause)
    pytest.fail(what() if callable(what) else f"waited in vain {what}")


def user_pass(name: str, password: Optional[str] = None) -> dict:
    """A password credential; without `password`, the user's own of USERS."""
    return {"schemeId": USER_PASS, "userName": name,
            "password": USERS[name] if password is None else password}


def ctl_env(**extra) -> dict:
    """The environment for noxtokenctl: no credential or URL of the caller's."""
    return {**{k: v for k, v in os.environ.items() if not k.startswith("NOXTOKEN_")}, **extra}


def run_ctl(*args, stdin: str = "", **env) -> subprocess.CompletedProcess:
    """Runs noxtokenctl with ctl_env(**env)."""
    return subprocess.run([str(CTL), *map(str, args)], input=stdin, text=True,
                          capture_output=True, env=ctl_env(**env), timeout=60)


def b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_json(value) -> str:
    """A JWT part written by hand."""
    return b64url(json.dumps(value, separators=(",", ":")).encode())


def oauth(token: str) -> dict:
    return {"schemeId": OAUTH, "accessToken": token}


def request_body(service, operation, input=None, security=None, app=None, req_id="1") -> dict:
    params = {"serviceId": service, "operationId": operation,
              "input": {} if input is None else input}
    ctx = {key: value for key, value in (("securityCtx", security), ("appCtx", app))
           if value is not None}
    if ctx:
        params["ctx"] = ctx
    return {"jsonrpc": "2.0", "id": req_id, "method": "invoke", "params": params}


def grants(*entitlements) -> list:
    return [{"resource_type": "HOST", "entitlement": e} for e in entitlements]


def output_of(answer: dict):
    assert "result" in answer and "output" in answer["result"], answer
    return answer["result"]["output"]


def assert_error_kind(answer: dict, kind: str) -> dict:
    """Checks an API error value of the standard encoding; `kind` is e.g. "unauthenticated"."""
    assert "error" in answer.get("result", {}), answer
    error = answer["result"]["error"]
    assert error.get("_type") == ERRORS + kind, answer
    assert error.get("error_type") == kind.upper(), answer
    return error


def message_ids(error: dict) -> list:
    return [m["id"] for m in error.get("messages") or []]


def message_texts(error: dict) -> str:
    messages = error.get("messages") or []
    return " ".join(str(m.get(k, "")) for m in messages for k in ("default_message", "localized"))


class LogRecord(NamedTuple):
    level: int
    logger: str
    op_id: str
    text: str


# time, level, logger name (may hold blanks), [opID], text; other lines continue the text.
LOG_LINE = re.compile(r"^\S+ (\d+) (.*?) \[(.*?)\] (.*)$")


def parse_log(text: str) -> List[LogRecord]:
    records: List[LogRecord] = []
    for line in filter(None, text.split("\n")):
        match = LOG_LINE.match(line)
        if match:
            records.append(LogRecord(int(match[1]), match[2], match[3], match[4]))
        elif records:
            records[-1] = records[-1]._replace(text=records[-1].text + "\n" + line)
    return records


class Root:
    """A host root laid out by scripts/dev-root, with the users of USERS."""

    def __init__(self, path: Path, log_level: int = 7, caller_log_bytes: int = 0):
        """`caller_log_bytes`: log/callerBytesPerSecond. The suites call far faster than any
        client, all as one host user, and read the lines back: no budget unless a test asks."""
        self.path, self.port = path, free_port()
        args = [DEV_ROOT, path, "--port", self.port, "--log-level", log_level]
        args += [arg for user in USERS.items() for arg in ("--user", ":".join(user))]
        done = subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        self.config = path / "etc/tessel/cpservices/noxtoken/config.xml"
        self.features = path / "etc/tessel/features.conf"
        self.secret_file = path / "var/run/tessel/tokend-secret"
        self.store_dir = path / "var/lib/tessel/configstore"
        self.audit_trail = path / "var/log/tessel/noxtokend/audit.log"
        self.add_config(f"<callerBytesPerSecond>{caller_log_bytes}</callerBytesPerSecond>",
                        before="</log>")

    def set_features(self, daemon: bool = True, external_sts: bool = True) -> None:
        switch = {True: "on", False: "off"}
        self.features.write_text(f"noxtokend = {switch[daemon]}\n"
                                 f"external_sts = {switch[external_sts]}\n")

    def secret(self) -> bytes:
        return self.secret_file.read_bytes()[:256].split(b"\0", 1)[0]

    def add_config(self, element: str, before: str = "</config>") -> None:
        self.config.write_text(self.config.read_text().replace(before, element + before))

    def run(self, *args, prefix=()) -> subprocess.CompletedProcess:
        """Runs the daemon's binary to its end under this root, e.g. with CONFIG_FILE."""
        return subprocess.run([*prefix, str(DAEMON), *map(str, args)], capture_output=True,
                              text=True, env=dict(os.environ, TESSEL_ROOT=str(self.path)),
                              timeout=60)

    def restore(self, config: Optional[Path] = None) -> subprocess.CompletedProcess:
        return self.run("--restore-default-profiles", config or self.config)

    def trail(self, path: Optional[Path] = None, secrets=()) -> List[dict]:
        """The audit trail's lines parsed as JSON; none holds a token or a password."""
        text = (path or self.audit_trail).read_text()
        assert text.endswith("\n") or not text
        for secret in ["eyJ", *secrets, *USERS.values()]:
            assert secret not in text
        return [json.loads(line) for line in text.splitlines()]


class Daemon:
    """One run of the daemon; stdout and stderr go to files beside the root."""

    runs = itertools.count()

    def __init__(self, root: Root, args=(), port: Optional[int] = None, stderr=None,
                 binary: Path = DAEMON):
        """`stderr`, when given, replaces the log file (e.g. subprocess.PIPE)."""
        self.root, self.port = root, root.port if port is None else port
        self.url = f"http://127.0.0.1:{self.port}/api"
        run = next(Daemon.runs)
        self.stdout_path = root.path.parent / f"{root.path.name}-stdout-{run}.txt"
        self.log_path = root.path.parent / f"{root.path.name}-stderr-{run}.txt"
        assert binary.exists(), f"{binary} is not built (set NOX_BIN_DIR)"
        with open(self.stdout_path, "wb") as out, open(self.log_path, "wb") as err:
            self.proc = subprocess.Popen([str(binary), *map(str, args)], stdin=subprocess.DEVNULL,
                                         env=dict(os.environ, TESSEL_ROOT=str(root.path)),
                                         stdout=out, stderr=err if stderr is None else stderr)

    def wait_ready(self) -> "Daemon":
        for _ in range(200):  # 10 s: sanitizer builds on a busy machine start slowly
            if self.proc.poll() is not None:
                pytest.fail(f"daemon exited with {self.proc.returncode}: {self.log_text()[-2000:]}")
            if accepts(self.port):
                return self
            time.sleep(0.05)
        self.kill()
        pytest.fail(f"daemon did not listen on port {self.port}")

    def stop(self, sig: int = signal.SIGTERM) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.kill()
            pytest.fail(f"daemon ignored signal {sig}")

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=15)

    def post(self, body, accept: Optional[str] = JSON, content_type: Optional[str] = JSON,
             headers=None, timeout: float = 30) -> requests.Response:
        # A None value removes requests' own default header of that name.
        headers = {"Accept": accept, "Content-Type": content_type, **(headers or {})}
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        return requests.post(self.url, data=body, headers=headers, timeout=timeout)

    def invoke(self, service, operation, input=None, security=None, app=None,
               accept: Optional[str] = JSON) -> dict:
        response = self.post(request_body(service, operation, input, security, app), accept)
        assert response.status_code == 200, (response.status_code, response.text)
        return response.json()

    def serves(self) -> bool:
        return output_of(self.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"

    def create(self, security=None, op_id: Optional[str] = None) -> dict:
        """The answer to a token create call."""
        return self.invoke(TOKEN_SVC, "create", security=security,
                           app={"opId": op_id} if op_id else None)

    def create_token(self, name: str = "root") -> str:
        return output_of(self.create(user_pass(name)))["token"]

    def claims(self, token: str) -> dict:
        return jwt.decode(token, self.root.secret(), algorithms=["HS256"])

    def entitlements(self, name: str = "root") -> list:
        return self.claims(self.create_token(name))["entitlement"]

    def log_text(self) -> str:
        return self.log_path.read_bytes().decode("utf-8", "replace")

    def log_offset(self) -> int:
        return self.log_path.stat().st_size

    def records(self, since: int = 0) -> List[LogRecord]:
        with open(self.log_path, "rb") as f:
            f.seek(since)
            return parse_log(f.read().decode("utf-8", "replace"))

    def wait_for_record(self, predicate, what: str, since: int = 0) -> LogRecord:
        """Records are written by the daemon's threads, some after the answer has been sent."""
        return wait_until(lambda: [r for r in self.records(since) if predicate(r)],
                          lambda: f"no log record {what}; log tail:\n{self.log_text()[-3000:]}")[0]

    def wait_for_line(self, op_id: str, text: str, since: int = 0, how=str.__eq__) -> LogRecord:
        """Waits for the record of call `op_id` whose text is `text`; or, with `how` e.g.
        str.startswith, str.endswith or str.__contains__, holds it so."""
        return self.wait_for_record(lambda r: r.op_id == op_id and how(r.text, text),
                                    f"[{op_id}] {text}", since)

    def sync_log(self, op_id: str) -> None:
        """Makes one call with a known opId and waits for its first line, so that every line of
        earlier calls is in the file."""
        self.invoke(PROVIDER_SVC, "get", app={"opId": op_id})
        self.wait_for_line(op_id, "Invoke-MethodId", how=str.startswith)


class AdminClient:
    """Calls one management service (client profiles by default) with root's daemon token."""

    def __init__(self, daemon: Daemon, service: str = PROFILES_SVC):
        self.daemon, self.service = daemon, service
        self.security = oauth(daemon.create_token("root"))

    def call(self, operation, input=None, op_id=None, **members) -> dict:
        """The input is `input` with `members` added."""
        app = {"opId": op_id} if op_id else None
        input = {**(input or {}), **members}
        return self.daemon.invoke(self.service, operation, input, self.security, app)

    def ok(self, operation, input=None, **members):
        return output_of(self.call(operation, input, **members))


class Issuers(AdminClient):
    """Calls the issuers service as root."""

    def __init__(self, daemon: Daemon):
        super().__init__(daemon, ISSUERS_SVC)

    def create(self, alias, issuer, chains=(), op_id=None) -> dict:
        """`chains` holds lists of PEM texts."""
        spec = {"issuer_alias": alias, "issuer": issuer,
                "signing_cert_chains": [{"cert_chain": list(c)} for c in chains]}
        return self.call("create", {"spec": spec}, op_id)

    def aliases(self) -> dict:
        return {s["issuer_alias"]: s["issuer"] for s in self.ok("list")}


@contextmanager
def as_user(uid: int):
    """Sockets made inside are host user `uid`'s: the daemon tells callers apart by the owner of
    the client's socket."""
    previous = os.geteuid()
    os.seteuid(uid)
    try:
        yield
    finally:
        os.seteuid(previous)


def post_as(daemon: Daemon, uid: int, *batches) -> list:
    """Posts each batch of bodies at once, batch after batch, as host user `uid`; returns the
    answers in order."""
    answers = []
    with as_user(uid):
        for batch in batches:
            with ThreadPoolExecutor(len(batch)) as pool:
                answers += pool.map(lambda body: daemon.post(body).json(), batch)
    return answers


@pytest.fixture
def new_root(tmp_path):
    """Factory of roots inside this test's tmp_path."""
    counter = itertools.count()
    return lambda **kwargs: Root(tmp_path / f"root{next(counter)}", **kwargs)


@pytest.fixture
def run_daemon():
    """Starts daemons for one test and checks at the end that SIGTERM stops each with status 0."""
    daemons: List[Daemon] = []

    def run(root: Root, args=(), port: Optional[int] = None, **kwargs) -> Daemon:
        daemons.append(Daemon(root, args, port, **kwargs))
        return daemons[-1].wait_ready()

    yield run
    statuses = [(d.log_path.name, d.stop()) for d in daemons if d.proc.returncode is None]
    assert all(status == 0 for _, status in statuses), statuses


def serve(root: Root, **kwargs):
    """A fixture's body: yields the running daemon, then checks that SIGTERM stops it with 0."""
    running = Daemon(root, **kwargs).wait_ready()
    yield running
    if running.proc.poll() is None:
        assert running.stop() == 0, running.log_text()[-3000:]


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    """One daemon per test module: both switches on, log level 7, users root and alice."""
    yield from serve(Root(tmp_path_factory.mktemp("shared") / "root"))


EC = "ec -pkeyopt ec_paramgen_curve:P-"
KEY_SPECS = {"p256": EC + "256", "p384": EC + "384", "p521": EC + "521", "Ctl Short": "rsa:1024"}


@pytest.fixture(scope="session")
def keys(tmp_path_factory) -> dict:
    """Self-signed keys by name, each made on first use with its name as CN, of the kind
    KEY_SPECS gives (RSA 2048 otherwise); "dir" is their directory."""
    class Keys(dict):
        def __missing__(self, name: str) -> Key:
            self[name] = make_key(self["dir"], name, KEY_SPECS.get(name, "rsa:2048"))
            return self[name]

    return Keys(dir=tmp_path_factory.mktemp("keys"))
