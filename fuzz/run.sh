#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for
# the given time, starting from the seed corpus. The targets only parse bytes;
# they still run in a private network namespace so that nothing they open can
# reach a network.
#   fuzz/run.sh [seconds per target, default 600] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages clang libclang-rt-14-dev
seconds=${1:-600}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(gatherer replies fleet tsl api config)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-14 -DTELVANOR_FUZZ=ON -DBUILD_TESTING=OFF -DTELVANOR_QT=6 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

isolate=()
if [ "$(id -u)" -eq 0 ]; then isolate=(unshare -n); elif unshare -rn true 2>/dev/null; then isolate=(unshare -rn); fi
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t
  mkdir -p "$work" build-fuzz/findings
  echo "== fuzz_$t for ${seconds}s"
  "${isolate[@]}" build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -max_len=2048 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/findings/"$t"- "$work" fuzz/corpus/"$t" 2>&1 | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==|SUMMARY)' || true
done
