"""The opt-in metrics endpoint and `noxtokenctl status` against the real daemon: counters move
with the right labels after real calls, the scrape parses as the Prometheus text format, nothing
listens without the setting, and status answers 0, or 3 once the daemon is stopped."""

import json
import re
import socket
from collections import Counter

import pytest
import requests

from conftest import (EXIT_FAILURE, ISSUERS_SVC, PROVIDER_SVC, TOKEN_SVC, VERSION, VERIFY_SVC,
                      Root, accepts, free_port, oauth, run_ctl, serve, user_pass,
                      wait_until)

SAMPLE = re.compile(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{((?:[a-zA-Z_]\w*="[^"\\]*",?)*)\})? (\S+)')
LABEL = re.compile(r'([a-zA-Z_]\w*)="([^"\\]*)"')


def parse(text: str) -> dict:
    """{(name, ((label, value), ...)): value}; fails on any line the text format does not allow,
    on a sample without a TYPE, and on a histogram whose buckets do not add up."""
    samples, types = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert kind in ("counter", "gauge", "histogram"), line
            types[name] = kind
            continue
        if line.startswith("# HELP ") or not line:
            continue
        match = SAMPLE.fullmatch(line)
        assert match, f"not a sample line: {line!r}"
        name, labels, value = match.groups()
        family = re.sub(r"_(bucket|sum|count)$", "", name) if name not in types else name
        assert family in types, f"no TYPE for {name}"
        key = (name, tuple(sorted(LABEL.findall(labels or ""))))
        assert key not in samples, f"repeated sample {line}"
        samples[key] = float(value)
    for family in (f for f, kind in types.items() if kind == "histogram"):
        buckets = sorted((float(dict(labels)["le"]), value)
                         for (name, labels), value in samples.items() if name == family + "_bucket")
        counts = [value for _, value in buckets]
        assert counts == sorted(counts) and buckets[-1][0] == float("inf"), buckets
        assert buckets[-1][1] == samples[(family + "_count", ())]
    return samples


def scrape(port: int) -> dict:
    """The metrics endpoint opens just after the API's: waits up to 10 s for it."""
    wait_until(lambda: accepts(port), f"for port {port}", 200)
    response = requests.get(f"http://127.0.0.1:{port}/metrics", timeout=10)
    assert response.status_code == 200
    assert response.headers["Content-Type"].startswith("text/plain; version=0.0.4")
    return parse(response.text)


def family(samples: dict, name: str, *labels: str) -> Counter:
    """The samples of `name` keyed by the values of `labels`."""
    return Counter({tuple(dict(key)[label] for label in labels): value
                    for (sample, key), value in samples.items() if sample == name})


CALLS = ("noxtokend_calls_total", "service", "operation", "outcome")
AUTHENTICATIONS = ("noxtokend_authentications_total", "scheme", "outcome")


@pytest.fixture(scope="module")
def metered(tmp_path_factory):
    """A daemon with metrics on; both switches on, users root and alice."""
    root = Root(tmp_path_factory.mktemp("metered") / "root", log_level=5)
    root.metrics_port = free_port()
    root.add_config(f"<metrics><portNum>{root.metrics_port}</portNum></metrics>")
    yield from serve(root)


def test_counters_move_with_their_labels(metered):
    port = metered.root.metrics_port
    before = scrape(port)
    token = metered.create_token("alice")
    refused = metered.create(user_pass("alice", "wrong"))
    assert refused["result"]["error"]["error_type"] == "UNAUTHENTICATED"
    metered.invoke(VERIFY_SVC, "verify", security=oauth(token))
    metered.invoke(ISSUERS_SVC, "list", {}, security=oauth(token))  # not a manager
    metered.invoke("no.such.service", "get")
    metered.invoke(PROVIDER_SVC, "get")
    after = scrape(port)

    assert family(after, *CALLS) - family(before, *CALLS) == Counter({
        (TOKEN_SVC, "create", "success"): 1,
        (TOKEN_SVC, "create", "unauthenticated"): 1,
        (VERIFY_SVC, "verify", "success"): 1,
        (ISSUERS_SVC, "list", "unauthorized"): 1,
        ("other", "other", "operation_not_found"): 1,
        (PROVIDER_SVC, "get", "success"): 1,
    })
    assert family(after, *AUTHENTICATIONS) - family(before, *AUTHENTICATIONS) == Counter({
        ("user_pass", "accepted"): 1, ("user_pass", "refused"): 1, ("own_token", "accepted"): 2})
    issued = ("noxtokend_token_issuance_seconds_count", ())
    assert after[issued] - before[issued] == 1
    assert after[("noxtokend_build_info", (("version", VERSION),))] == 1
    assert after[("process_start_time_seconds", ())] > 1e9
    for name in ("noxtokend_connections_open", "noxtokend_connections_evicted_total",
                 "noxtokend_connections_refused_total", "noxtokend_password_throttled_total",
                 "noxtokend_store_write_failures_total"):
        assert (name, ()) in after, name
    # Only GET /metrics, and only on its own port.
    base = f"http://127.0.0.1:{port}"
    assert requests.get(base + "/other", timeout=10).status_code == 404
    for answer, allowed in ((requests.post(base + "/metrics", data=b"{}", timeout=10), "GET"),
                            (requests.get(f"http://127.0.0.1:{metered.port}/metrics", timeout=10),
                             "POST")):
        assert (answer.status_code, answer.headers["Allow"]) == (405, allowed)
    assert metered.serves()


def status_of(root: Root, *args):
    # The default configuration file is the root's.
    return run_ctl(*args, "status", TESSEL_ROOT=str(root.path))


def test_status_exits_3_once_stopped_and_nothing_listens_without_the_setting(metered, run_daemon):
    root, url = metered.root, ["--url", metered.url]
    text = status_of(root, *url)
    assert text.returncode == 0, text.stderr
    assert f"version:  {VERSION}\n" in text.stdout
    assert f"metrics:  http://127.0.0.1:{root.metrics_port}/metrics\n" in text.stdout

    before = scrape(root.metrics_port)
    shown = status_of(root, *url, "-o", "json")
    assert shown.returncode == 0, shown.stderr
    status = json.loads(shown.stdout)
    assert status["version"] == VERSION
    # The status's own probe is the one call between the two scrapes.
    assert status["metrics"]["calls"] == sum(family(before, *CALLS).values()) + 1
    issued = before[("noxtokend_token_issuance_seconds_count", ())]
    assert status["metrics"]["tokens_issued"] == issued

    assert metered.stop() == 0
    gone = status_of(root, *url)
    assert gone.returncode == 3 and gone.stdout == "", gone
    assert gone.stderr.startswith(f"noxtokenctl: {metered.url}: "), gone.stderr

    root.config.write_text(re.sub(r"<metrics>.*</metrics>", "", root.config.read_text()))
    daemon = run_daemon(root)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", root.metrics_port), timeout=5).close()
    status = status_of(root, "--url", daemon.url)
    assert status.returncode == 0 and "metrics:  off (" in status.stdout, status


@pytest.mark.parametrize("port", ["0", "65536", "same", "busy"])
def test_a_metrics_port_that_cannot_be_is_refused(new_root, port):
    root = new_root()
    busy = socket.create_server(("127.0.0.1", 0))
    port = {"same": root.port, "busy": busy.getsockname()[1]}.get(port, port)
    root.add_config(f"<metrics><portNum>{port}</portNum></metrics>")
    done = root.run()
    busy.close()
    assert done.returncode == EXIT_FAILURE, done
    assert done.stderr.splitlines()[-1].startswith("Error: metrics/portNum"), done.stderr
