"""Fixtures that run the real daemon under a throw-away root laid out by scripts/dev-root and
talk to it over HTTP. The binary comes from $NOX_BIN_DIR (default build/bin), e.g. a sanitizer
build's; `cd build && ctest -L e2e` runs the suites as CI does."""

import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path
from typing import Callable, List, NamedTuple, Optional, Tuple

import pytest
import requests

REPO = Path(__file__).resolve().parents[2]
BIN_DIR = Path(os.environ.get("NOX_BIN_DIR", "build/bin"))
if not BIN_DIR.is_absolute():
    BIN_DIR = REPO / BIN_DIR
DAEMON = BIN_DIR / "noxtokend"
DEV_ROOT = REPO / "scripts" / "dev-root"

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

JSON = "application/json"
CLEAN = "application/vnd.tessel.orbi.cleanjson"


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_is_free(port: int) -> bool:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def user_pass(name: str, password: str) -> dict:
    return {"schemeId": USER_PASS, "userName": name, "password": password}


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


# openssl's -newkey argument per key kind.
KEY_KINDS = {
    "rsa": ["rsa:2048"],
    "ec": ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"],
    "p256": ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"],
    "p384": ["ec", "-pkeyopt", "ec_paramgen_curve:P-384"],
    "p521": ["ec", "-pkeyopt", "ec_paramgen_curve:P-521"],
}


def make_certificate(folder: Path, name: str, kind: str = "ec") -> Tuple[str, str]:
    """A fresh self-signed certificate as the openssl command writes it: (key PEM, cert PEM)."""
    key, cert = folder / f"{name}.key", folder / f"{name}.pem"
    subprocess.run(["openssl", "req", "-x509", "-nodes", "-subj", f"/CN={name}", "-days", "2",
                    "-newkey", *KEY_KINDS[kind], "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return key.read_text(), cert.read_text()


def output_of(answer: dict):
    assert "result" in answer and "output" in answer["result"], answer
    return answer["result"]["output"]


def error_of(answer: dict) -> dict:
    assert "result" in answer and "error" in answer["result"], answer
    return answer["result"]["error"]


def assert_error_kind(answer: dict, kind: str) -> dict:
    """Checks an API error value of the standard encoding; `kind` is e.g. "unauthenticated"."""
    error = error_of(answer)
    assert error.get("_type") == ERRORS + kind, answer
    assert error.get("error_type") == kind.upper(), answer
    return error


def message_texts(error: dict) -> str:
    messages = error.get("messages") or []
    return " ".join(str(m.get(k, "")) for m in messages for k in ("default_message", "localized"))


class LogRecord(NamedTuple):
    level: int
    logger: str
    op_id: str
    text: str


# time, level, logger name (may hold blanks), [opID], text
LOG_LINE = re.compile(r"^(\S+) (\d+) (.*?) \[(.*?)\] (.*)$")


def parse_log(text: str) -> List[LogRecord]:
    records: List[LogRecord] = []
    for line in text.split("\n"):
        match = LOG_LINE.match(line)
        if match:
            records.append(LogRecord(int(match[2]), match[3], match[4], match[5]))
        elif records and line:
            last = records[-1]
            records[-1] = last._replace(text=last.text + "\n" + line)
    return records


class Root:
    """A host root laid out by scripts/dev-root."""

    def __init__(self, path: Path, port: int, log_level: int):
        self.path, self.port, self.log_level = path, port, log_level
        self.config = path / "etc/tessel/cpservices/noxtoken/config.xml"
        self.features = path / "etc/tessel/features.conf"
        self.secret_file = path / "var/run/tessel/tokend-secret"
        self.store_dir = path / "var/lib/tessel/configstore"

    def set_features(self, daemon: bool = True, external_sts: bool = True) -> None:
        onoff = {True: "on", False: "off"}
        text = f"noxtokend = {onoff[daemon]}\nexternal_sts = {onoff[external_sts]}\n"
        self.features.write_text(text)

    def edit_config(self, edit: Callable[[str], str]) -> None:
        before = self.config.read_text()
        after = edit(before)
        assert after != before, "configuration edit changed nothing"
        self.config.write_text(after)

    def secret(self) -> bytes:
        return self.secret_file.read_bytes()[:256].split(b"\0", 1)[0]


def make_root(path: Path, port: Optional[int] = None, log_level: int = 7, users=None) -> Root:
    port = free_port() if port is None else port
    users = USERS if users is None else users
    args = [str(DEV_ROOT), str(path), "--port", str(port), "--log-level", str(log_level)]
    for name, password in users.items():
        args += ["--user", f"{name}:{password}"]
    done = subprocess.run(args, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return Root(path, port, log_level)


class Daemon:
    """One run of the daemon; stdout and stderr go to files beside the root."""

    _runs = 0

    def __init__(self, root: Root, args=(), port: Optional[int] = None, stderr=None,
                 binary: Path = DAEMON):
        """`stderr`, when given, replaces the log file (e.g. subprocess.PIPE)."""
        Daemon._runs += 1
        self.root = root
        self.port = root.port if port is None else port
        self.url = f"http://127.0.0.1:{self.port}/api"
        self.stdout_path = root.path.parent / f"{root.path.name}-stdout-{Daemon._runs}.txt"
        self.log_path = root.path.parent / f"{root.path.name}-stderr-{Daemon._runs}.txt"
        env = dict(os.environ, TESSEL_ROOT=str(root.path))
        assert binary.exists(), f"{binary} is not built (set NOX_BIN_DIR)"
        with open(self.stdout_path, "wb") as out, open(self.log_path, "wb") as err:
            self.proc = subprocess.Popen([str(binary), *map(str, args)], env=env,
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=err if stderr is None else stderr)

    def wait_exit(self, timeout: float = 15) -> int:
        return self.proc.wait(timeout=timeout)

    def wait_ready(self) -> "Daemon":
        for _ in range(200):  # 10 s: sanitizer builds on a busy machine start slowly
            if self.proc.poll() is not None:
                pytest.fail(f"daemon exited with {self.proc.returncode}: {self.log_text()[-2000:]}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                return self
            except OSError:
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

    def status_kb(self, key: str) -> int:
        """A figure of /proc/PID/status, e.g. VmRSS or VmHWM."""
        status = Path(f"/proc/{self.proc.pid}/status").read_text()
        return int(re.search(rf"^{key}:\s+(\d+)", status, re.M)[1])

    def post(self, body, accept: Optional[str] = JSON, content_type: Optional[str] = JSON,
             headers=None, timeout: float = 30) -> requests.Response:
        all_headers = {"Accept": accept, "Content-Type": content_type}
        all_headers.update(headers or {})
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        # A None value removes requests' own default header of that name.
        return requests.post(self.url, data=body, headers=all_headers, timeout=timeout)

    def invoke(self, service, operation, input=None, security=None, app=None, req_id="1",
               accept: Optional[str] = JSON, headers=None) -> dict:
        body = request_body(service, operation, input, security, app, req_id)
        response = self.post(body, accept=accept, headers=headers)
        assert response.status_code == 200, (response.status_code, response.text)
        return response.json()

    def serves(self) -> bool:
        return output_of(self.invoke(PROVIDER_SVC, "get"))["id"] == "AsyncLocalProvider"

    def create_token(self, name: str = "root", password: Optional[str] = None) -> str:
        password = USERS[name] if password is None else password
        output = output_of(self.invoke(TOKEN_SVC, "create", security=user_pass(name, password)))
        return output["token"]

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
        for _ in range(100):
            for record in self.records(since):
                if predicate(record):
                    return record
            time.sleep(0.05)
        pytest.fail(f"no log record {what}; log tail:\n{self.log_text()[-3000:]}")

    def wait_for_line(self, op_id: str, text: str, since: int = 0) -> LogRecord:
        """Waits for the record of call `op_id` whose text is exactly `text`."""
        return self.wait_for_record(lambda r: r.op_id == op_id and r.text == text,
                                    f"[{op_id}] {text}", since)

    def wait_for_prefix(self, op_id: str, prefix: str, since: int = 0) -> LogRecord:
        return self.wait_for_record(lambda r: r.op_id == op_id and r.text.startswith(prefix),
                                    f"[{op_id}] {prefix}", since)

    def records_of(self, op_id: str, since: int = 0) -> List[LogRecord]:
        return [r for r in self.records(since) if r.op_id == op_id]

    def sync_log(self, op_id: str) -> None:
        """Makes one call with a known opId and waits for its result line, so that every line of
        earlier calls is in the file."""
        self.invoke(PROVIDER_SVC, "get", app={"opId": op_id})
        self.wait_for_prefix(op_id, "Invoke-MethodId")


class AdminClient:
    """Calls one management service (client profiles by default) with root's daemon token."""

    def __init__(self, daemon: Daemon, service: str = PROFILES_SVC):
        self.daemon, self.service = daemon, service
        self.security = oauth(daemon.create_token("root"))

    def call(self, operation, input=None, op_id=None) -> dict:
        app = {"opId": op_id} if op_id else None
        return self.daemon.invoke(self.service, operation, input or {}, self.security, app)

    def ok(self, operation, input=None):
        return output_of(self.call(operation, input))


def kill_during_writes(daemon: Daemon, write_one: Callable[[int], object], at_least: int = 20):
    """Calls write_one(0), write_one(1), ... on a thread and SIGKILLs the daemon once `at_least`
    calls have returned; the calls' results, in order. A call that raises stops the stream."""
    written: list = []

    def write():
        for i in range(10_000):
            try:
                written.append(write_one(i))
            except (requests.ConnectionError, AssertionError):
                return

    writer = threading.Thread(target=write)
    writer.start()
    for _ in range(200):
        if len(written) >= at_least or not writer.is_alive():
            break
        time.sleep(0.05)
    daemon.kill()
    writer.join(30)
    assert len(written) >= at_least, f"only {len(written)} writes before the kill"
    return written


def start(root: Root, args=(), port: Optional[int] = None) -> Daemon:
    return Daemon(root, args, port).wait_ready()


@pytest.fixture
def new_root(tmp_path):
    """Factory of roots inside this test's tmp_path."""
    counter = iter(range(1000))

    def make(**kwargs) -> Root:
        return make_root(tmp_path / f"root{next(counter)}", **kwargs)

    return make


@pytest.fixture
def run_daemon():
    """Starts daemons for one test and checks at the end that SIGTERM stops each with status 0."""
    daemons: List[Daemon] = []

    def run(root: Root, args=(), port: Optional[int] = None, ready: bool = True) -> Daemon:
        daemon = Daemon(root, args, port)
        daemons.append(daemon)
        return daemon.wait_ready() if ready else daemon

    yield run
    statuses = [(d.log_path.name, d.stop()) for d in daemons if d.proc.returncode is None]
    assert all(status == 0 for _, status in statuses), statuses


@pytest.fixture(scope="module")
def daemon(tmp_path_factory):
    """One daemon per test module: both switches on, log level 7, users root and alice."""
    root = make_root(tmp_path_factory.mktemp("shared") / "root")
    running = start(root)
    yield running
    assert running.stop() == 0, running.log_text()[-3000:]
