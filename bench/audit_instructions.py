"""Instructions per call with the audit trail on beside off (callgrind, user space): a count that
a busy machine does not disturb, to go with audit_bench.sh's calls per second.

    /usr/bin/python3 bench/audit_instructions.py [BUILD_DIR]   (needs valgrind)

Each daemon runs under callgrind; after a warm-up the counters are zeroed, N calls are made over
one connection and the counters dumped: instructions per call = total / N.
"""

import glob
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import requests

from benchdaemon import free_port

REPO = Path(__file__).resolve().parents[1]
BUILD = Path(sys.argv[1] if len(sys.argv) > 1 else REPO / "build").resolve()
CALLS = {"verify": (300, 2000), "create": (5, 30)}  # (warm-up, measured)
# What the daemon would restart itself with (allocatorTuning.h); set here, it runs on at once.
TUNABLES = "glibc.malloc.tcache_count=32"
PASSWORD = {"schemeId": "com.tessel.orbi.std.security.user_pass", "userName": "root",
            "password": "secret1"}


def body(service, operation, security):
    return {"jsonrpc": "2.0", "id": "1", "method": "invoke",
            "params": {"serviceId": f"com.tessel.nox.authentication.{service}",
                       "operationId": operation, "input": {}, "ctx": {"securityCtx": security}}}


def measure(work: Path, name: str, audit: str) -> dict:
    root, port = work / name, free_port()
    subprocess.run([REPO / "scripts/dev-root", root, "--port", str(port), "--log-level", "3",
                    "--user", "root:secret1"], check=True, capture_output=True)
    config = root / "etc/tessel/cpservices/noxtoken/config.xml"
    config.write_text(config.read_text().replace("</config>", audit + "</config>"))
    out = work / f"{name}.callgrind"
    env = dict(os.environ, TESSEL_ROOT=str(root), GLIBC_TUNABLES=TUNABLES)
    daemon = subprocess.Popen(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}.%p",
                               BUILD / "bin/noxtokend"], env=env, stdout=subprocess.DEVNULL,
                              stderr=open(work / f"{name}.log", "wb"))
    url = f"http://127.0.0.1:{port}/api"
    session = requests.Session()
    try:
        for _ in range(600):  # valgrind starts slowly; the daemon restarts itself once
            try:
                session.post(url, json=body("verification", "verify", {}), timeout=5)
                break
            except requests.ConnectionError:
                time.sleep(0.1)
        token = session.post(url, json=body("token", "create", PASSWORD), timeout=60).json()
        token = token["result"]["output"]["token"]
        own = {"schemeId": "com.tessel.orbi.std.security.oauth", "accessToken": token}
        calls = {"verify": body("verification", "verify", own),
                 "create": body("token", "create", PASSWORD)}
        counts = {}
        for call, (warm, measured) in CALLS.items():
            for _ in range(warm):
                session.post(url, json=calls[call], timeout=60)
            subprocess.run(["callgrind_control", "-z", str(daemon.pid)], check=True,
                           capture_output=True)
            for _ in range(measured):
                answer = session.post(url, json=calls[call], timeout=60).json()
                assert "output" in answer["result"], answer
            before = set(glob.glob(f"{out}.*"))
            subprocess.run(["callgrind_control", "-d", str(daemon.pid)], check=True,
                           capture_output=True)
            dump = sorted(set(glob.glob(f"{out}.*")) - before, key=os.path.getmtime)[-1]
            totals = re.search(r"^totals: (\d+)", Path(dump).read_text(), re.MULTILINE)
            counts[call] = int(totals.group(1)) / measured
        return counts
    except Exception:
        print((work / f"{name}.log").read_text()[-3000:], file=sys.stderr)
        raise
    finally:
        daemon.terminate()
        daemon.wait(timeout=60)


def main():
    with tempfile.TemporaryDirectory(prefix="nox-audit-instr.") as directory:
        work = Path(directory)
        on = measure(work, "on", "<audit><required>true</required></audit>")
        off = measure(work, "off", "<audit><enabled>false</enabled></audit>")
    print(f"{'call':<8} {'off instr/call':>15} {'on instr/call':>15} {'on/off':>8}")
    for call in CALLS:
        print(f"{call:<8} {off[call]:15.0f} {on[call]:15.0f} {on[call] / off[call]:8.3f}")


if __name__ == "__main__":
    main()
