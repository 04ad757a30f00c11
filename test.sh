#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test in three builds:
#   build/       Qt 6, RelWithDebInfo; its Debian package is made and checked
#   build-asan/  Qt 6 with AddressSanitizer, UndefinedBehaviorSanitizer and
#                LeakSanitizer (-O0, line tables for the stack traces)
#   build-qt5/   Qt 5.15 (-O0, line tables): the window, telvanor-ctl, the tally
#                bridge and the simulator; the service needs Qt 6
# The benchmarks are built in build/ alone (bench/run.sh runs them). The suites
# spend their time waiting on monitors and timers, so a build's suites run while
# the next build compiles; their report follows that build's. Each step prints
# its wall time and the processor time it used.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
ensure_packages

jobs=$(nproc)
# While a build's suites run, the next build leaves them a core: their pseudo-terminal
# peers answer within 50 ms and their pacing is checked to the half second.
jobs_beside_suites=$(( jobs > 1 ? jobs - 1 : 1 ))
ctest_args=(--output-on-failure -j2 -LE soak)
light=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1" -DTELVANOR_BENCH=OFF)

build_tree() { # DIR CMAKE_ARGS...
  local dir=$1; shift
  configure_tree "$dir" "$@"
  TIMEFORMAT="-- $dir: build: %0R s (processor: %0U s user, %0S s system)"
  time cmake --build "$dir" -j"$([ -n "$tests_pid" ] && echo "$jobs_beside_suites" || echo "$jobs")"
}

# The suites of one build at a time run in the background, in a session of their
# own so that they can be stopped with everything they started.
tests_pid= tests_dir=
start_tests() { # DIR
  tests_dir=$1
  setsid bash -c 'dir=$1 && shift && cd "$dir" && TIMEFORMAT="-- $dir: tests: %0R s (processor: %0U s user, %0S s system)" && time ctest "$@"' \
    bash "$1" "${ctest_args[@]}" >"$1/test-report.log" 2>&1 &
  tests_pid=$!
}
finish_tests() {
  [ -n "$tests_pid" ] || return 0
  local status=0
  wait "$tests_pid" || status=$?
  tests_pid=
  echo "== suites in $tests_dir"
  cat "$tests_dir/test-report.log"
  [ $status -eq 0 ] || { echo "suites failed in $tests_dir"; exit $status; }
}
stop_tests() { [ -z "$tests_pid" ] || kill -- -"$tests_pid" 2>/dev/null || true; }
trap stop_tests EXIT

start=$SECONDS
echo "== normal build (Qt 6)"
build_tree build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6
echo "== package"
TIMEFORMAT="-- package: %0R s (processor: %0U s user, %0S s system)"
time tools/check-package build
start_tests build
echo "== sanitizer build (Qt 6)"
build_tree build-asan "${light[@]}" -DTELVANOR_SANITIZE=ON -DTELVANOR_QT=6
finish_tests
start_tests build-asan
echo "== Qt 5 build"
build_tree build-qt5 "${light[@]}" -DTELVANOR_QT=5
finish_tests
start_tests build-qt5
finish_tests
echo "== size"
tools/test-share
echo "-- total: $((SECONDS - start)) s"
