#!/usr/bin/env bash
# `make bench`: the HTTP benchmarks against the daemon, its resource bounds, the SAML and external
# JWT benchmarks, then the costs as the store grows.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-build}
bash "$here/http_bench.sh" "$build"
echo
echo "bounds_bench: resource bounds under hostile local load"
/usr/bin/python3 "$here/bounds_bench.py" "$build"
echo
echo "guess_bench: a 1,000-connection password guesser beside verify and a legitimate login"
/usr/bin/python3 "$here/guess_bench.py" "$build"
echo
echo "fairness_bench: a caller's verify calls while a local user holds every connection"
/usr/bin/python3 "$here/fairness_bench.py" "$build"
echo
echo "saml_bench: CreateVerifiedSamlToken beside xmlsec's bare signature verification (one core)"
taskset -c 0 "$build/bin/saml_bench" --benchmark_counters_tabular=true
echo
echo "saml_http_bench: token creation with a SAML holder-of-key assertion beside the xmlsec floor"
bash "$here/saml_http_bench.sh" "$build"
echo
echo "external_jwt_bench: token creation with an external issuer's RS256 JWT beside openssl speed"
bash "$here/external_jwt_bench.sh" "$build"
echo
echo "audit_bench: verify and password create with the audit trail on beside off"
bash "$here/audit_bench.sh" "$build"
if command -v valgrind >/dev/null; then
  /usr/bin/python3 "$here/audit_instructions.py" "$build"
fi
echo
echo "scale: costs as the store grows (empty, 10,000 and 100,000 profiles)"
/usr/bin/python3 "$here/scale.py" "$build"
