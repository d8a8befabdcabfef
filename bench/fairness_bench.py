#!/usr/bin/python3
"""A caller's `verify` calls while a local user holds every connection, as figures:

    bench/fairness_bench.py [BUILD_DIR]      (default: build; needs BUILD_DIR/bin/noxtokend)

One daemon at its default connection bound (8,192 when the descriptor limit allows). A caller
makes `verify` calls one after another, each on a connection of its own, for FAIR_SECONDS
(default 30) each time:

1. undisturbed;
2. while FAIR_ATTACKERS (default 8,300) connections each send a request head and then one body
   byte every 5 s, and reconnect whenever the daemon closes them (slow body);
3. while FAIR_PENDING (default 2,000) connections each keep a wrong-password `create` pending,
   sending another whenever one is answered or closed.

Each line gives the calls answered with the caller's name over the calls made, and p50 / p99 of
their latency; a call not answered within 5 s counts as failed. Everything runs under a temporary
directory on 127.0.0.1.
"""

import json
import os
import selectors
import socket
import threading
import time

import benchdaemon

DAEMON = benchdaemon.binary()
SECONDS = int(os.environ.get("FAIR_SECONDS", "30"))
ATTACKERS = int(os.environ.get("FAIR_ATTACKERS", "8300"))
PENDING = int(os.environ.get("FAIR_PENDING", "2000"))


def rpc(service: str, operation: str, security: dict) -> bytes:
    return json.dumps({"jsonrpc": "2.0", "id": "1", "method": "invoke",
                       "params": {"serviceId": service, "operationId": operation,
                                  "ctx": {"securityCtx": security}, "input": {}}}).encode()


def call(port: int, body: bytes, timeout: float = 5) -> bytes:
    """One call on a connection of its own; the whole answer, head included."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(benchdaemon.post_head(port, len(body), close=True) + body)
        answer = b""
        while piece := sock.recv(65536):
            answer += piece
        return answer


def caller(port: int, body: bytes, expect: bytes) -> str:
    made, answered, latencies = 0, 0, []
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        started = time.monotonic()
        try:
            answered += expect in call(port, body)
        except OSError:
            pass
        made += 1
        latencies.append(time.monotonic() - started)
    latencies.sort()
    p = lambda q: latencies[min(int(q * len(latencies)), len(latencies) - 1)] * 1000
    return (f"answered {answered}/{made} ({answered / made:.3f}), "
            f"p50 {p(0.5):.1f} ms, p99 {p(0.99):.1f} ms")


def attack(port: int, count: int, first: bytes, trickle: bool, stop: threading.Event) -> None:
    """Keeps `count` connections that sent `first`; a slow body sends a byte every 5 s."""
    selector = selectors.DefaultSelector()
    held = 0

    def connect() -> None:
        nonlocal held
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
            sock.sendall(first)
            sock.setblocking(False)
            selector.register(sock, selectors.EVENT_READ)
            held += 1
        except OSError:
            time.sleep(0.01)

    last_byte = time.monotonic()
    deadline = time.monotonic() + 3 * SECONDS + 120
    while not stop.is_set() and time.monotonic() < deadline:
        while held < count and not stop.is_set():
            connect()
            if held % 500 == 0:
                break  # look after the ones already open now and then
        for key, _ in selector.select(timeout=0.1):
            selector.unregister(key.fileobj)
            key.fileobj.close()
            held -= 1
        if trickle and time.monotonic() - last_byte >= 5:
            last_byte = time.monotonic()
            for key in list(selector.get_map().values()):
                try:
                    key.fileobj.send(b" ")
                except OSError:
                    pass
    for key in list(selector.get_map().values()):
        key.fileobj.close()


def under(port: int, count: int, first: bytes, trickle: bool, body: bytes, expect: bytes) -> str:
    stop = threading.Event()
    thread = threading.Thread(target=attack, args=(port, count, first, trickle, stop))
    thread.start()
    time.sleep(min(20, 2 + count / 1000))  # let it open its connections
    try:
        return caller(port, body, expect)
    finally:
        stop.set()
        thread.join()


def main() -> None:
    with benchdaemon.running(DAEMON, "fair") as daemon:
        port = daemon.port
        user_pass = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "bench"}
        answer = call(port, rpc("com.tessel.nox.authentication.token", "create",
                                {**user_pass, "password": "bench-pw"}))
        token = json.loads(answer.split(b"\r\n\r\n", 1)[1])["result"]["output"]["token"]
        verify = rpc("com.tessel.nox.authentication.verification", "verify",
                     {"schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": token})
        expect = b'"output":"bench"'
        wrong = rpc("com.tessel.nox.authentication.token", "create",
                    {**user_pass, "password": "wrong"})
        print(f"date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {os.cpu_count()} "
              f"cores; load average {os.getloadavg()[0]:.1f}; {SECONDS} s each")
        print(f"1. verify undisturbed: {caller(port, verify, expect)}")
        slow = under(port, ATTACKERS, benchdaemon.post_head(port, 1000) + b"{", True, verify,
                     expect)
        print(f"2. verify while {ATTACKERS} connections trickle bodies: {slow}")
        pending = under(port, PENDING, benchdaemon.post_head(port, len(wrong)) + wrong, False,
                        verify, expect)
        print(f"3. verify while {PENDING} connections keep a wrong password pending: {pending}")
        refused = sum("refusing one" in line for line in open(daemon.log))
        print(f"daemon log: {refused} refusal line(s); daemon still running: "
              f"{daemon.process.poll() is None}")


if __name__ == "__main__":
    main()
