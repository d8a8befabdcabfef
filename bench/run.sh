#!/usr/bin/env bash
# `make bench`: the HTTP benchmarks (bench/http_bench.sh) against the given build directory.
exec bash "$(dirname "${BASH_SOURCE[0]}")/http_bench.sh" "$@"
