#!/usr/bin/env bash
# Format check and static analysis of the tree's tracked C++ sources (`make lint`).
#
#   scripts/lint.sh BUILD_DIR    BUILD_DIR holds the compile_commands.json of a configured build
#
# clang-tidy reads .clang-tidy; each translation unit prints only when it fails. The unit tests
# (the *_test.cc units) are left out to keep the run within CI's budget; the sanitizer builds run them.
# Compiler warnings stay the build's to judge (g++ with -Werror); clang-tidy reports only its checks.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/lint.sh BUILD_DIR}
[ -f "$build/compile_commands.json" ] || { echo "lint: no $build/compile_commands.json" >&2; exit 2; }

git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror

# The units the build compiles, minus the tests; headers through the units that include them.
mapfile -t units < <(python3 - "$build/compile_commands.json" "$PWD" <<'PY'
import json, os, sys
root = sys.argv[2] + os.sep
for entry in json.load(open(sys.argv[1])):
    path = os.path.join(entry["directory"], entry["file"])
    if path.startswith(root) and not path.endswith("_test.cc"):
        print(path)
PY
)
export LINT_BUILD=$build LINT_HEADERS="^$PWD/(platform|apps|lib|tarn|tools|bench|fuzz)/"
printf '%s\0' "${units[@]}" | xargs -0 -n1 -P"${LINT_JOBS:-2}" bash -c '
  out=$(clang-tidy -p "$LINT_BUILD" --quiet --extra-arg=-Wno-error --header-filter="$LINT_HEADERS" "$0" 2>&1) ||
    { printf "%s\n" "$out"; exit 1; }' || { echo "lint: clang-tidy found problems" >&2; exit 1; }
echo "lint: ${#units[@]} units clean"
