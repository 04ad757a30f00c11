#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test in three builds:
#   build/       Qt 6, RelWithDebInfo; its Debian package is made and checked
#   build-asan/  Qt 6 with AddressSanitizer, UndefinedBehaviorSanitizer and
#                LeakSanitizer (-O0, line tables for the stack traces)
#   build-qt5/   Qt 5.15 (-O0, line tables): the window, telvanor-ctl, the tally
#                bridge and the simulator; the service needs Qt 6
# The benchmarks are built in build/ alone (bench/run.sh runs them). Each step
# prints how long it took.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
ensure_packages

jobs=$(nproc)
# took STEP: the step's wall time, and the processor time its programs used
# (on a shared machine the second shows the work whatever else runs).
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT
cpu_seconds() { # of this shell's finished children; "times" runs here, not in a subshell
  times >"$times_file"
  cpu=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%d", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$times_file")
}
step_start=$SECONDS; cpu_seconds; step_cpu=$cpu
took() {
  cpu_seconds
  echo "-- $1: $((SECONDS - step_start)) s ($((cpu - step_cpu)) s of processor time)"
  step_start=$SECONDS step_cpu=$cpu
}
run_suite() {
  local dir=$1; shift
  configure_tree "$dir" "$@"
  cmake --build "$dir" -j"$jobs"
  took "$dir: build"
  (cd "$dir" && ctest --output-on-failure -j2 -LE soak)
  took "$dir: tests"
}
light=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" -DTELVANOR_BENCH=OFF)

echo "== normal build (Qt 6)"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
echo "== package"
tools/check-package build
took "package"
echo "== sanitizer build (Qt 6)"
run_suite build-asan "${light[@]}" -DTELVANOR_SANITIZE=ON -DTELVANOR_QT=6
echo "== normal build (Qt 5)"
run_suite build-qt5 "${light[@]}" -DTELVANOR_QT=5
echo "== size"
tools/test-share
cpu_seconds
echo "-- total: $SECONDS s ($cpu s of processor time)"
