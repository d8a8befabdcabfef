#!/usr/bin/python3
"""Start-up time and memory of one or more builds on the same filled store, side by side.

    bench/scale_startup.py FILLED_ROOT BUILD_DIR... [--starts 3] [--idle 6]

FILLED_ROOT is a scripts/dev-root root filled once by scale_fill (filling 100,000 profiles takes
minutes; this reuses it). Each start runs on a fresh copy of it, the builds taking turns so that
the machine's load falls on all alike. For each start: seconds until the daemon answers a first
request, resident memory (VmRSS) `--idle` seconds after that answer and its peak (VmHWM), in kB.
Wall-clock figures follow the machine's load: compare builds within one run.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import requests

from benchdaemon import free_port

REPO = Path(__file__).resolve().parent.parent


def status_kb(pid, field):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def start_once(build, filled_root, work, idle):
    root = work / "root"
    shutil.rmtree(root, ignore_errors=True)
    shutil.copytree(filled_root, root, symlinks=True)
    port = free_port()
    subprocess.run([REPO / "scripts/dev-root", root, "--port", str(port), "--log-level", "3",
                    "--user", "root:secret1"], check=True, stdout=subprocess.DEVNULL)
    url = f"http://127.0.0.1:{port}/api"
    started = time.monotonic()
    process = subprocess.Popen([build / "bin/noxtokend"], env={**os.environ, "TESSEL_ROOT": str(root)},
                               stdout=subprocess.DEVNULL, stderr=open(work / "daemon.log", "a"))
    try:
        for _ in range(12000):
            try:
                requests.post(url, data="{}", timeout=60)
                break
            except requests.ConnectionError:
                if process.poll() is not None:
                    raise SystemExit("the daemon stopped; see " + str(work / "daemon.log"))
                time.sleep(0.005)
        else:
            raise SystemExit("the daemon did not answer within 60 s")
        seconds = time.monotonic() - started
        time.sleep(idle)
        return seconds, status_kb(process.pid, "VmRSS"), status_kb(process.pid, "VmHWM")
    finally:
        process.terminate()
        process.wait(timeout=60)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--starts", type=int, default=3)
    parser.add_argument("--idle", type=float, default=6)
    args = parser.parse_args()
    builds = [Path(b) if Path(b).is_absolute() else REPO / b for b in args.builds]
    results = {build: [] for build in builds}
    with tempfile.TemporaryDirectory(prefix="nox-scale-startup.") as scratch:
        for _ in range(args.starts):
            for build in builds:
                results[build].append(start_once(build, Path(args.root), Path(scratch), args.idle))
                print(build, results[build][-1], file=sys.stderr, flush=True)
    print("| build | start-up to the first answer (s) | idle VmRSS (kB) | peak VmHWM (kB) |")
    print("|---|---|---|---|")
    for build, runs in results.items():
        columns = [", ".join(f"{value:,.3f}" if isinstance(value, float) else f"{value:,}"
                             for value in values) for values in zip(*runs)]
        median = statistics.median(run[0] for run in runs)
        print(f"| {build} | {columns[0]} (median {median:.3f}) | {columns[1]} | {columns[2]} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
