#!/usr/bin/python3
"""Instructions per call of the daemon, counted by callgrind: steady on a busy machine.

    bench/call_instructions.py [BUILD_DIR] [--calls N] [--fill PROFILES | --root DIR] [--out DIR]
                               [--log-level N]

Starts the daemon under callgrind in a throw-away root, registers an external issuer (RS256,
made with openssl) and a profile for its user, warms each call up, then for each measured call
zeroes the counters, makes N calls on one connection and dumps them: the total instructions of
the process (all threads) divided by N. The caller's log budget is one byte a second, so that every
measured call finds it spent, as under load (its lines counted, not composed). The dumps stay in
--out for callgrind_annotate. With --fill, scale_fill first puts PROFILES profiles and
PROFILES/100 issuers in the store, and the lists are measured too (one call each, three for the issuers): run it at two sizes to see how
a call grows. --root starts from a copy of a root filled once before (scale_fill into a
scripts/dev-root root), so that repeated measurements skip the fill.
"""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import jwt
import requests

from benchdaemon import ISSUERS, OAUTH, PROFILES, ROOT, TOKEN, body, free_port

REPO = Path(__file__).resolve().parent.parent


class Daemon:
    def __init__(self, build, work, out, fill, filled_root=None, log_level=3):
        self.port = free_port()
        self.out = out
        root = work / "root"
        if filled_root:
            shutil.copytree(filled_root, root, symlinks=True)
        subprocess.run([REPO / "scripts/dev-root", root, "--port", str(self.port),
                        "--log-level", str(log_level), "--user", "root:secret1"],
                       check=True, stdout=subprocess.DEVNULL)
        # Under load the bench caller's log budget is spent within milliseconds and stays so;
        # a budget of one byte a second puts these slow calls in the same state from the start.
        config = root / "etc/tessel/cpservices/noxtoken/config.xml"
        config.write_text(config.read_text().replace(
            "</log>", "<callerBytesPerSecond>1</callerBytesPerSecond></log>"))
        if fill:
            certificates = []
            for i in range(3):
                certificates.append(work / f"fill-{i}.crt")
                subprocess.run(["openssl", "req", "-x509", "-nodes", "-days", "2", "-newkey",
                                "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-subj", f"/CN=f{i}",
                                "-keyout", work / f"fill-{i}.key", "-out", certificates[-1]],
                               check=True, capture_output=True)
            subprocess.run([build / "bin/scale_fill", str(fill), str(fill // 100),
                            *map(str, certificates)], env={**os.environ, "TESSEL_ROOT": str(root)},
                           check=True, stdout=subprocess.DEVNULL)
        self.process = subprocess.Popen(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}/callgrind.%p",
             str(build / "bin/noxtokend")],
            # Set, so that the daemon does not start itself again to set it (outside callgrind).
            env={**os.environ, "TESSEL_ROOT": str(root),
                 "GLIBC_TUNABLES": "glibc.malloc.tcache_count=32"},
            stdout=subprocess.DEVNULL, stderr=open(work / "daemon.log", "w"))
        self.url = f"http://127.0.0.1:{self.port}/api"
        self.session = requests.Session()
        for _ in range(6000):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise SystemExit("the daemon did not listen within 600 s")

    def call(self, payload):
        answer = self.session.post(self.url, json=payload, timeout=600).json()
        assert "output" in answer.get("result", {}), answer
        return answer["result"]["output"]

    def control(self, option):
        subprocess.run(["callgrind_control", option, str(self.process.pid)], check=True,
                       capture_output=True)

    def instructions(self, name, payloads, calls):
        """`payloads`: one call's body, or a list of bodies sent in turn as one call, or a
        function making them (called once per call, before the counters are zeroed)."""
        make = payloads if callable(payloads) else lambda: payloads
        as_list = lambda made: made if isinstance(made, list) else [made]
        for payload in as_list(make()):
            self.call(payload)
        batches = [as_list(make()) for _ in range(calls)]
        self.control("--zero")
        for batch in batches:
            for payload in batch:
                self.call(payload)
        return self.dump(name) / calls

    def dump(self, name):
        """Instructions since the counters were last zeroed (since start-up at first)."""
        before = set(self.out.glob("callgrind.*"))
        self.control("--dump=" + name)
        for _ in range(100):
            dumps = set(self.out.glob("callgrind.*")) - before
            if dumps:
                break
            time.sleep(0.1)
        text = max(dumps, key=lambda p: p.stat().st_mtime).read_text(errors="replace")
        # The dump's own events, not the file's running totals.
        return int(re.search(r"^summary: (\d+)", text, re.M).group(1))

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=120)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--fill", type=int, default=0)
    parser.add_argument("--root", default=None, help="a filled root to start from (copied)")
    parser.add_argument("--no-lists", action="store_true")
    parser.add_argument("--out", default=None)
    parser.add_argument("--log-level", type=int, default=3,
                        help="5 as shipped: the calls' lines are written (to a file)")
    args = parser.parse_args()
    build = Path(args.build) if Path(args.build).is_absolute() else REPO / args.build
    with tempfile.TemporaryDirectory(prefix="nox-instructions.") as scratch:
        work = Path(scratch)
        out = Path(args.out) if args.out else work / "dumps"
        out.mkdir(parents=True, exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-nodes", "-days", "2", "-newkey", "rsa:2048",
                        "-subj", "/CN=bench-idp", "-keyout", work / "idp.key",
                        "-out", work / "idp.crt"], check=True, capture_output=True)
        daemon = Daemon(build, work, out, args.fill, args.root, args.log_level)
        try:
            own = daemon.call(body(TOKEN, "create", {}, ROOT))["token"]
            print(f"start-up with the first call: {daemon.dump('startup'):,} instructions",
                  flush=True)
            admin = {"schemeId": OAUTH, "accessToken": own}
            daemon.call(body(ISSUERS,
                             "create",
                             {"spec": {"issuer_alias": "bench", "issuer": "https://bench-idp",
                                       "signing_cert_chains": [
                                           {"cert_chain": [(work / "idp.crt").read_text()]}]}},
                             admin))
            daemon.call(body(PROFILES, "create",
                             {"spec": {"external_user": "ann", "issuer_alias": "bench",
                                       "domain": "corp",
                                       "grants": [{"resource_type": "HOST",
                                                   "entitlement": "OPERATOR"}]}}, admin))
            external = jwt.encode({"iss": "https://bench-idp", "exp": int(time.time()) + 3600,
                                   "username": "ann", "domain": "corp",
                                   "group_names": ["ops@corp"]},
                                  (work / "idp.key").read_text(), algorithm="RS256")
            # A token naming 50 groups that all have profiles, as scale.py measures it.
            for i in range(50):
                daemon.call(body(PROFILES, "create", {"spec": {
                    "external_group": f"g{i}", "issuer_alias": "bench", "domain": "corp",
                    "grants": [{"resource_type": "HOST", "entitlement": "READ_ONLY"}]}}, admin))
            groups = jwt.encode({"iss": "https://bench-idp", "exp": int(time.time()) + 3600,
                                 "username": "ann", "domain": "corp",
                                 "group_names": [f"g{i}@corp" for i in range(50)]},
                                (work / "idp.key").read_text(), algorithm="RS256")
            measures = {
                "verify": body("com.tessel.nox.authentication.verification", "verify", {},
                               admin),
                "create_external_jwt": body(TOKEN, "create", {},
                                            {"schemeId": OAUTH, "accessToken": external}),
                "create_external_jwt_50_groups": body(TOKEN, "create", {},
                                                      {"schemeId": OAUTH, "accessToken": groups}),
            }
            calls = dict.fromkeys(measures, args.calls)
            grants = [{"resource_type": "HOST", "entitlement": "OPERATOR"}]
            measures["profile_create_and_delete"] = [
                body(PROFILES, "create", {"spec": {"local_user": "probe", "grants": grants}},
                     admin),
                body(PROFILES, "delete", {"profile": "LU###probe"}, admin)]
            calls["profile_create_and_delete"] = max(1, args.calls // 10)
            if (args.fill or args.root) and not args.no_lists:
                # A list of 100,000 profiles takes minutes under callgrind and daemon tokens
                # last 300 s: each list call gets a token of its own, made before it.
                def fresh_admin():
                    token = daemon.call(body(TOKEN, "create", {}, ROOT))["token"]
                    return {"schemeId": OAUTH, "accessToken": token}
                for projection in ("FULL", "SUBJECT", "NAME"):
                    name = f"client_profiles_list_{projection}"
                    measures[name] = lambda p=projection: body(PROFILES, "list",
                                                               {"projection": p}, fresh_admin())
                    calls[name] = 1
                measures["issuers_list_FULL"] = lambda: body(ISSUERS, "list",
                                                             {"projection": "FULL"},
                                                             fresh_admin())
                calls["issuers_list_FULL"] = 3
            for name, payload in measures.items():
                print(f"{name}: {daemon.instructions(name, payload, calls[name]):,.0f} "
                      f"instructions a call ({calls[name]} calls, {args.root or (str(args.fill) + ' profiles filled')})",
                      flush=True)
        finally:
            daemon.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
