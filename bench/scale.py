#!/usr/bin/python3
"""How the daemon's costs grow with its store: the same measures on stores of several sizes.

    bench/scale.py [BUILD_DIR] [--sizes 0,10000,100000] [--seconds 5]

For each size N a fresh root is filled by scale_fill (the daemon's store layer, one durable
write per change, daemon stopped) with N client profiles, a third each local users, external
users and external groups, and N/100 trusted issuers of three chains each. Then the daemon
starts on it and the table gets: start-up time until it answers a first request, resident
memory idle (6 s after that answer), `create` with a password, `create` with an external RS256 JWT naming 50 groups that all
have profiles, `client_profiles.list` in each projection and `security_token_issuers.list`
(answer size and time, median of 3), one profile `create` and one `delete` (median of 20; the
answer comes once the store has the change durably). Rates come from wrk (-t2 -c8) and are
compared with the empty store of the same run.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import jwt
import requests

from benchdaemon import ISSUERS, OAUTH, PROFILES, ROOT, TOKEN, body, free_port

REPO = Path(__file__).resolve().parent.parent
GROUPS = 50


def make_certificate(work, name, key_options):
    subprocess.run(["openssl", "req", "-x509", "-nodes", "-days", "2", *key_options,
                    "-subj", f"/CN={name}", "-keyout", work / f"{name}.key",
                    "-out", work / f"{name}.crt"], check=True, capture_output=True)
    return work / f"{name}.crt"


class Store:
    """One root with its daemon."""

    def __init__(self, build, work, size, fill_certificates):
        self.build, self.work = build, work
        self.port = free_port()
        self.root = work / f"root-{size}"
        subprocess.run([REPO / "scripts/dev-root", self.root, "--port", str(self.port),
                        "--log-level", "3", "--user", "root:secret1"],
                       check=True, stdout=subprocess.DEVNULL)
        self.env = {**os.environ, "TESSEL_ROOT": str(self.root)}
        if size:
            fill = subprocess.run([build / "bin/scale_fill", str(size), str(size // 100),
                                   *map(str, fill_certificates)],
                                  env=self.env, check=True, capture_output=True, text=True)
            print(fill.stdout.strip(), file=sys.stderr, flush=True)
        self.url = f"http://127.0.0.1:{self.port}/api"
        self.session = requests.Session()

    def start(self):
        started = time.monotonic()
        self.process = subprocess.Popen([self.build / "bin/noxtokend"], env=self.env,
                                        stdout=subprocess.DEVNULL,
                                        stderr=open(self.work / "daemon.log", "a"))
        for _ in range(12000):
            try:
                requests.post(self.url, data="{}", timeout=60)
                return time.monotonic() - started
            except requests.ConnectionError:
                if self.process.poll() is not None:
                    raise SystemExit("the daemon stopped; see " + str(self.work / "daemon.log"))
                time.sleep(0.005)
        raise SystemExit("the daemon did not answer within 60 s")

    def rss_kb(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def call(self, service, operation, input, security):
        started = time.monotonic()
        answer = self.session.post(self.url, json=body(service, operation, input, security),
                                   timeout=120)
        elapsed = time.monotonic() - started
        result = answer.json().get("result", {})
        assert "output" in result, answer.text[:300]
        return result["output"], elapsed, len(answer.content)

    def rate(self, payload, expect, seconds):
        env = {**os.environ, "BENCH_BODY": json.dumps(payload), "BENCH_EXPECT": expect}
        out = subprocess.run(["wrk", "-t2", "-c8", f"-d{seconds}s", "--timeout", "10s",
                              "-s", REPO / "bench/post.lua", self.url],
                             env=env, check=True, capture_output=True, text=True).stdout
        line = next(l for l in out.splitlines() if l.startswith("BENCH "))
        fields = dict(item.split("=") for item in line.split()[1:])
        assert fields["bad"] == "0", line
        return float(fields["calls_per_s"])

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)


def measure(store, idp_key, idp_certificate, seconds):
    row = {"start-up to the first answer (s)": store.start()}
    # Past the allocator's periodic trim, which hands back what loading the store used.
    time.sleep(6)
    row["resident memory idle (kB)"] = store.rss_kb()
    admin = {"schemeId": OAUTH, "accessToken": store.call(TOKEN, "create", {}, ROOT)[0]["token"]}
    store.call(ISSUERS, "create", {"spec": {
        "issuer_alias": "bench", "issuer": "https://bench-idp",
        "signing_cert_chains": [{"cert_chain": [idp_certificate.read_text()]}]}}, admin)
    grants = [{"resource_type": "HOST", "entitlement": "OPERATOR"}]
    store.call(PROFILES, "create", {"spec": {"external_user": "ann", "issuer_alias": "bench",
                                             "domain": "corp", "grants": grants}}, admin)
    for i in range(GROUPS):
        store.call(PROFILES, "create", {"spec": {"external_group": f"g{i}",
                                                 "issuer_alias": "bench", "domain": "corp",
                                                 "grants": grants}}, admin)
    external = jwt.encode({"iss": "https://bench-idp", "exp": int(time.time()) + 3600,
                           "username": "ann", "domain": "corp",
                           "group_names": [f"g{i}@corp" for i in range(GROUPS)]},
                          idp_key.read_text(), algorithm="RS256")
    row["create, password (calls/s)"] = store.rate(body(TOKEN, "create", {}, ROOT), '"token"',
                                                   seconds)
    row[f"create, external JWT naming {GROUPS} groups (calls/s)"] = store.rate(
        body(TOKEN, "create", {}, {"schemeId": OAUTH, "accessToken": external}), '"token"',
        seconds)
    for projection in ("FULL", "SUBJECT", "NAME"):
        runs = [store.call(PROFILES, "list", {"projection": projection}, admin) for _ in range(3)]
        row[f"client_profiles.list {projection} (ms)"] = 1000 * statistics.median(
            r[1] for r in runs)
        row[f"client_profiles.list {projection} (bytes)"] = runs[0][2]
    runs = [store.call(ISSUERS, "list", {"projection": "FULL"}, admin) for _ in range(3)]
    row["security_token_issuers.list FULL (ms)"] = 1000 * statistics.median(r[1] for r in runs)
    row["security_token_issuers.list FULL (bytes)"] = runs[0][2]
    creates, deletes = [], []
    for i in range(20):
        name, elapsed, _ = store.call(PROFILES, "create", {"spec": {
            "local_user": f"scale-probe-{i}", "grants": grants}}, admin)
        creates.append(elapsed)
        deletes.append(store.call(PROFILES, "delete", {"profile": name}, admin)[1])
    row["profile create, durable (ms)"] = 1000 * statistics.median(creates)
    row["profile delete, durable (ms)"] = 1000 * statistics.median(deletes)
    store.stop()
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--sizes", default="0,10000,100000")
    parser.add_argument("--seconds", type=int, default=5)
    args = parser.parse_args()
    build = Path(args.build) if Path(args.build).is_absolute() else REPO / args.build
    sizes = [int(size) for size in args.sizes.split(",")]
    with tempfile.TemporaryDirectory(prefix="nox-scale.") as scratch:
        work = Path(scratch)
        idp_certificate = make_certificate(work, "bench-idp", ["-newkey", "rsa:2048"])
        fill = [make_certificate(work, f"fill-{i}", ["-newkey", "ec", "-pkeyopt",
                                                     "ec_paramgen_curve:P-256"])
                for i in range(6)]
        rows = {}
        for size in sizes:
            rows[size] = measure(Store(build, work, size, fill), work / "bench-idp.key",
                                 idp_certificate, args.seconds)
    base = rows[sizes[0]]
    print(f"\nDate: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; {os.cpu_count()} cores;"
          f" load average {' '.join(Path('/proc/loadavg').read_text().split()[:3])}\n")
    print("| measure | " + " | ".join(f"{size:,} profiles" for size in sizes) + " |")
    print("|---|" + "---:|" * len(sizes))
    for measure_name in base:
        cells = []
        for size in sizes:
            value = rows[size][measure_name]
            cell = f"{value:,.3f}" if isinstance(value, float) and value < 100 else f"{value:,.0f}"
            if size != sizes[0] and base[measure_name]:
                cell += f" ({value / base[measure_name]:.2f})"
            cells.append(cell)
        print(f"| {measure_name} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
