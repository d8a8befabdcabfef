#!/usr/bin/python3
"""Password guessing at scale, as figures from one run:

    bench/guess_bench.py [BUILD_DIR]     (default: build; needs BUILD_DIR/bin/noxtokend, wrk, root)

A guesser running as another host user (uid GUESS_UID, default 65534, through setpriv) sends
wrong passwords for one user on GUESS_CONNECTIONS (default 1,000) keep-alive connections for
GUESS_SECONDS (default 60). Reported: passwords checked (answers without the throttle's message)
per minute; `verify` calls/s (wrk, BENCH_SECONDS, default 10) undisturbed and during the attack;
the latency of that user's right password from this host user, undisturbed and during the attack.
Undisturbed `verify` is the mean of a run before and one after the attack.
Everything runs under a temporary directory on 127.0.0.1.
"""

import asyncio
import json
import os
import re
import resource
import socket
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import benchdaemon

REPO = benchdaemon.REPO
TOKEN = "com.tessel.nox.authentication.token"
VERIFY = "com.tessel.nox.authentication.verification"
USER_PASS = "com.tessel.orbi.std.security.user_pass"
TOO_MANY = b"com.tessel.nox.authentication.too_many_attempts"


def rpc(service: str, operation: str, security: dict) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": "1", "method": "invoke",
                       "params": {"serviceId": service, "operationId": operation, "input": {},
                                  "ctx": {"securityCtx": security}}}).encode()


def login(user: str, password: str) -> dict:
    return {"schemeId": USER_PASS, "userName": user, "password": password}


def post(port: int, body: bytes) -> bytes:
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        sock.sendall(benchdaemon.post_head(port, len(body), close=True) + body)
        answer = b""
        while piece := sock.recv(65536):
            answer += piece
        return answer


async def guess_on_one_connection(port: int, body: bytes, deadline: float, counts: dict) -> None:
    request = benchdaemon.post_head(port, len(body)) + body
    while time.monotonic() < deadline:
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            counts["errors"] += 1
            await asyncio.sleep(0.1)
            continue
        try:
            while time.monotonic() < deadline:
                writer.write(request)
                head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
                length = int(re.search(rb"(?i)content-length: *(\d+)", head)[1])
                answer = await asyncio.wait_for(reader.readexactly(length), 30)
                counts["throttled" if TOO_MANY in answer else "checked"] += 1
        except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError, TypeError):
            counts["errors"] += 1
        finally:
            writer.close()


def guesser(port: int, seconds: float, connections: int, user: str) -> None:
    """Runs as the guessing host user; prints its counts as JSON."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    counts = {"checked": 0, "throttled": 0, "errors": 0}
    body = rpc(TOKEN, "create", login(user, "a-wrong-guess"))
    deadline = time.monotonic() + seconds

    async def run() -> None:
        await asyncio.gather(*(guess_on_one_connection(port, body, deadline, counts)
                               for _ in range(connections)))

    asyncio.run(run())
    print(json.dumps(counts))


def wrk_verify(port: int, token: str, seconds: int) -> float:
    body = rpc(VERIFY, "verify", {"schemeId": "com.tessel.orbi.std.security.oauth",
                                  "accessToken": token}).decode()
    out = subprocess.run(
        ["wrk", "-t1", "-c8", f"-d{seconds}s", "--timeout", "10s", "-s",
         str(REPO / "bench/post.lua"), f"http://127.0.0.1:{port}/api"],
        env=dict(os.environ, BENCH_BODY=body, BENCH_EXPECT='"bench"'),
        capture_output=True, text=True, check=True).stdout
    return float(re.search(r"calls_per_s=([0-9.]+)", out)[1])


def login_latencies_ms(port: int, password: str, count: int) -> list:
    latencies = []
    for _ in range(count):
        started = time.monotonic()
        answer = post(port, rpc(TOKEN, "create", login("bench", password)))
        latencies.append((time.monotonic() - started) * 1000)
        assert b'"token"' in answer, answer[:300]
    return latencies


def main() -> None:
    seconds = float(os.environ.get("GUESS_SECONDS", "60"))
    connections = int(os.environ.get("GUESS_CONNECTIONS", "1000"))
    uid = int(os.environ.get("GUESS_UID", "65534"))
    bench_seconds = int(os.environ.get("BENCH_SECONDS", "10"))
    with benchdaemon.running(benchdaemon.binary(), "guess") as daemon:
        port = daemon.port
        answer = post(port, rpc(TOKEN, "create", login("bench", "bench-pw")))
        token = json.loads(answer.split(b"\r\n\r\n", 1)[1])["result"]["output"]["token"]
        print(f"date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {os.cpu_count()} "
              f"cores, load average {os.getloadavg()[0]:.1f} (a shared machine)")

        verify_quiet = wrk_verify(port, token, bench_seconds)
        login_quiet = login_latencies_ms(port, "bench-pw", 5)

        command = ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups",
                   "/usr/bin/python3", str(Path(__file__).resolve()), "--guess", str(port),
                   str(seconds), str(connections), "bench"]
        attack = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        time.sleep(min(3.0, seconds / 4))  # the connections are open and the throttle has bitten
        verify_attacked = wrk_verify(port, token, bench_seconds)
        login_attacked = login_latencies_ms(port, "bench-pw", 5)
        out, _ = attack.communicate(timeout=seconds + 120)
        counts = json.loads(out)
        # Measured again once the attack is over: on a shared machine the load drifts.
        verify_after = wrk_verify(port, token, bench_seconds)

        per_minute = counts["checked"] * 60 / seconds
        print(f"guesser: {connections} connections for {seconds:.0f} s as uid {uid}: "
              f"{counts['checked']} passwords checked ({per_minute:.1f} per minute), "
              f"{counts['throttled']} refused by the throttle, {counts['errors']} connection errors")
        quiet = (verify_quiet + verify_after) / 2
        print(f"verify calls/s: undisturbed {quiet:.0f} (before {verify_quiet:.0f}, after "
              f"{verify_after:.0f}), during the attack {verify_attacked:.0f}, ratio "
              f"{verify_attacked / quiet:.3f}")
        print(f"right password from another host user, ms (median of 5): undisturbed "
              f"{statistics.median(login_quiet):.1f}, during the attack "
              f"{statistics.median(login_attacked):.1f} (max {max(login_attacked):.1f})")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--guess":
        guesser(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        main()
