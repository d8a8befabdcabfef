#!/usr/bin/env bash
# Sums the CTest logs of the runs it is given into one closing line: "make test: N passed, N failed".
set -euo pipefail
passed=0 failed=0
for log in "$@"; do
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  [ -n "$line" ] || { echo "test-summary: no CTest result in $log" >&2; exit 1; }
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo "make test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
