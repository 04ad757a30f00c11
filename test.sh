#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: against Qt 5 in the
# normal build and with AddressSanitizer and UndefinedBehaviorSanitizer, and
# against Qt 6 in the normal build; checks the Debian package.
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

echo "== normal build (Qt 5)"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=5
echo "== package"
tools/check-package build
echo "== sanitizer build (Qt 5)"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DTELVANOR_SANITIZE=ON -DTELVANOR_QT=5
echo "== normal build (Qt 6)"
run_suite build-qt6 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
echo "== size"
tools/test-share
