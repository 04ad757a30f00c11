#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the normal
# build and once with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
ensure_packages

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j2 -LE soak)
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVANOR_SANITIZE=ON
echo "== size"
tools/test-share
