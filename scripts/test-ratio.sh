#!/usr/bin/env bash
# Lines of tests against lines of code, whole tree and by area, as the README reports them.
# Tests: *_test.cc, tests/e2e/*.py, test support (testing/, *Test*.h).
# Code: every other tracked .cc/.h.
set -euo pipefail
cd "$(dirname "$0")/.."
is_test='(_test\.cc|/testing/[^/]*|Test[^/]*\.h|^tests/e2e/.*\.py|^tests/realhost/.*)$'
count() { xargs -r cat | wc -l; }
list() { git ls-files -- "$1" | grep -E "$2" | grep -vE "${3:-^$}" || true; }
report() {
  local area=$1 t c
  t=$(list "$area" "$is_test" | count)
  c=$(list "$area" '\.(cc|h)$' "$is_test" | count)
  if ((c > 0)); then
    printf '%-22s tests %6d  code %6d  %.2f\n' "$area" "$t" "$c" "$(echo "$t / $c" | bc -l)"
  else
    printf '%-22s tests %6d\n' "$area" "$t"
  fi
}
report .
for area in apps lib/ssoclient platform/authn platform/basalt platform/bindings \
  platform/configstore platform/orbi tarn tools tests/e2e; do
  report "$area"
done
