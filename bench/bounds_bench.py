#!/usr/bin/python3
"""Resource bounds of the daemon under hostile local load, as figures:

    bench/bounds_bench.py [BUILD_DIR]        (default: build; needs BUILD_DIR/bin/noxtokend, wrk)

1. one 18 MB request whose input holds an unknown member with a 9-million-element array: CPU
   seconds, peak and settled resident memory;
2. BOUNDS_CLIENTS (default 64) clients each sending a 19 MB body at once: peak and settled
   resident memory, answers;
3. introspection `get` and `verify` (the daemon's own token) calls/s (wrk) undisturbed and with
   BOUNDS_IDLE (default 1,000) idle connections held open, in BOUNDS_ROUNDS (default 4) rounds
   of both, crowded first in every other round; each ratio is of the rounds' sums. When nginx is
   installed, a stock nginx answering a static 200 is measured the same way, with as many idle
   connections of its own: what idle connections cost the machine's loopback rather than the
   daemon.

BOUNDS_STEPS (default 123) picks the steps to run.

Peak is VmHWM, reset before each step through /proc/PID/clear_refs; settled is VmRSS two seconds
after the step's last answer. Everything runs under a temporary directory on 127.0.0.1.
"""

import contextlib
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import Iterator, Optional

import benchdaemon
from benchdaemon import TOKEN

DAEMON = benchdaemon.binary()
CLIENTS = int(os.environ.get("BOUNDS_CLIENTS", "64"))
IDLE = int(os.environ.get("BOUNDS_IDLE", "1000"))
SECONDS = int(os.environ.get("BENCH_SECONDS", "10"))
ROUNDS = int(os.environ.get("BOUNDS_ROUNDS", "4"))
STEPS = os.environ.get("BOUNDS_STEPS", "123")
PROVIDER = "com.tessel.orbi.std.introspection.provider"
VERIFICATION = "com.tessel.nox.authentication.verification"


def rpc(input_text: bytes, req_id: str = "1", service: str = PROVIDER, operation: str = "get",
        security: dict = None) -> bytes:
    ctx = b',"ctx":{"securityCtx":%s}' % json.dumps(security).encode() if security else b""
    return (
        b'{"jsonrpc":"2.0","id":"%s","method":"invoke","params":{"serviceId":"%s",'
        b'"operationId":"%s","input":%s%s}}'
        % (req_id.encode(), service.encode(), operation.encode(), input_text, ctx)
    )


def status_kb(pid: int, key: str) -> int:
    text = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(rf"^{key}:\s+(\d+)", text, re.M)[1])


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def reset_peak(pid: int) -> None:
    Path(f"/proc/{pid}/clear_refs").write_text("5")


def post(port: int, body: bytes, timeout: float = 120) -> bytes:
    """One request on its own connection; returns the answer's status line and body."""
    head = benchdaemon.post_head(port, len(body), close=True)
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(head)
        sock.sendall(body)
        answer = b""
        while True:
            piece = sock.recv(65536)
            if not piece:
                return answer
            answer += piece


def settle(pid: int) -> int:
    time.sleep(2)
    return status_kb(pid, "VmRSS")


def wrk_rate(port: int, body: bytes, expect: str) -> str:
    line = subprocess.run(
        ["wrk", "-t2", "-c16", f"-d{SECONDS}s", "--timeout", "10s", "-s",
         str(benchdaemon.REPO / "bench/post.lua"), f"http://127.0.0.1:{port}/api"],
        env=dict(os.environ, BENCH_BODY=body.decode(), BENCH_EXPECT=expect),
        capture_output=True, text=True, check=True,
    ).stdout
    return re.search(r"^BENCH (.*)$", line, re.M)[1]


def calls_per_s(summary: str) -> float:
    return float(re.search(r"calls_per_s=([0-9.]+)", summary)[1])


def open_idle(*ports: int) -> list:
    idle = [socket.create_connection(("127.0.0.1", port), timeout=10)
            for port in ports for _ in range(IDLE)]
    time.sleep(0.5)
    return idle


@contextlib.contextmanager
def nginx_static() -> Iterator[Optional[int]]:
    """The port of a stock nginx answering 200 "ok" to everything, or None without nginx."""
    if not shutil.which("nginx"):
        yield None
        return
    work = Path(tempfile.mkdtemp(prefix="nox-bounds-nginx."))
    port = benchdaemon.free_port()
    temp = "\n".join(f"  {kind}_temp_path {work}/{kind};"
                     for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    (work / "nginx.conf").write_text(f"""daemon off;
worker_processes 2;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections {2 * IDLE + 64}; }}
http {{
  access_log off;
{temp}
  server {{
    listen 127.0.0.1:{port};
    location / {{ return 200 "ok"; }}
  }}
}}
""")
    process = subprocess.Popen(["nginx", "-c", str(work / "nginx.conf"), "-p", f"{work}/",
                                "-e", str(work / "error.log")])
    try:
        benchdaemon.wait_listening(port)
        yield port
    finally:
        process.terminate()
        process.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


def close_idle(idle: list) -> int:
    """Closes them; returns how many were still open."""
    alive = 0
    for sock in idle:
        sock.setblocking(False)
        try:
            alive += sock.recv(1) != b""
        except BlockingIOError:
            alive += 1
        sock.close()
    return alive


def step1(port: int, pid: int) -> None:
    """One hostile request."""
    hostile = rpc(b'{"x":[' + b"0," * (9_000_000 - 1) + b"0]}", "hostile")
    reset_peak(pid)
    cpu = cpu_seconds(pid)
    answer = post(port, hostile)
    cpu = cpu_seconds(pid) - cpu
    peak = status_kb(pid, "VmHWM")
    settled = settle(pid)
    first_line = answer.split(b"\r\n", 1)[0].decode()
    body = answer.split(b"\r\n\r\n", 1)[-1][:160].decode("utf-8", "replace")
    print(f"1. one {len(hostile) / 1e6:.1f} MB request, 9,000,000-element unknown member: "
          f"CPU {cpu:.2f} s, peak {peak} kB, settled {settled} kB ({first_line}: {body})")


def step2(port: int, pid: int) -> None:
    """Many large bodies at once."""
    big = rpc(b'{"x":"' + b"b" * (19_000_000 - 200) + b'"}', "big")
    answers = []
    lock = threading.Lock()

    def one() -> None:
        try:
            text = post(port, big, timeout=300)
        except OSError as error:
            text = repr(error).encode()
        with lock:
            answers.append(text)

    reset_peak(pid)
    started = time.monotonic()
    threads = [threading.Thread(target=one) for _ in range(CLIENTS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    took = time.monotonic() - started
    peak = status_kb(pid, "VmHWM")
    settled = settle(pid)
    answered = sum(1 for a in answers if a.startswith(b"HTTP/1.1 200") and b'"big"' in a)
    print(f"2. {CLIENTS} clients x {len(big) / 1e6:.1f} MB at once: peak {peak} kB, settled "
          f"{settled} kB, answered {answered}/{CLIENTS} in {took:.1f} s")


def step3(port: int, pid: int) -> None:
    """Rates with idle connections held open."""
    token = json.loads(post(port, rpc(b"{}", service=TOKEN, operation="create", security={
        "schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "bench",
        "password": "bench-pw"})).split(b"\r\n\r\n", 1)[1])["result"]["output"]["token"]
    calls = {
        "provider get": (port, rpc(b"{}"), "AsyncLocalProvider"),
        "verify": (port, rpc(b"{}", service=VERIFICATION, operation="verify", security={
            "schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": token}), '"bench"'),
    }
    with nginx_static() as nginx_port:
        if nginx_port:
            calls["nginx static 200"] = (nginx_port, b"{}", "ok")
        rounds(calls, pid)


def rounds(calls: dict, pid: int) -> None:
    sums = {name: [0.0, 0.0] for name in calls}
    ports = sorted({port for port, _, _ in calls.values()})
    for round_ in range(ROUNDS):
        # Crowded first in every other round, so that a machine getting busier or quieter weighs
        # on both sides alike.
        for crowded in (False, True) if round_ % 2 == 0 else (True, False):
            idle = open_idle(*ports) if crowded else []
            resident = status_kb(pid, "VmRSS")
            for name, (port, body, expect) in calls.items():
                summary = wrk_rate(port, body, expect)
                sums[name][crowded] += calls_per_s(summary)
                where = f"with {IDLE} idle connections" if crowded else "undisturbed"
                print(f"3. round {round_ + 1} {name} {where}: {summary}", flush=True)
            if crowded:
                alive = close_idle(idle)
                print(f"   ({alive} of {len(idle)} still open after the runs, daemon resident "
                      f"{resident} kB)")
    for name, (undisturbed, crowded) in sums.items():
        print(f"   {name} ratio: {crowded / undisturbed:.3f}")


def main() -> None:
    with benchdaemon.running(DAEMON, "bounds") as daemon:
        port, pid = daemon.port, daemon.process.pid
        post(port, rpc(b"{}"))
        time.sleep(1)
        idle_kb = status_kb(pid, "VmRSS")
        print(f"date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; machine: "
              f"{os.cpu_count()} cores, {Path('/proc/cpuinfo').read_text().split('model name')[1].split(':')[1].splitlines()[0].strip()}")
        print(f"idle resident: {idle_kb} kB")

        for step, run in (("1", step1), ("2", step2), ("3", step3)):
            if step in STEPS:
                run(port, pid)
        print(f"final resident: {status_kb(pid, 'VmRSS')} kB")


if __name__ == "__main__":
    main()
