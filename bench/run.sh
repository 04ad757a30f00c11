#!/usr/bin/env bash
# Builds and runs the benchmarks; prints the Markdown table and keeps it in
# build/bench.md. The window runs under Xvfb (a real X server) when there is no
# display; the service's page in a headless Chromium (bench/page.py); 20 sites and a
# centre joined through a private broker on 127.0.0.1 (bench/sites.py, about 3 minutes).
# The network searches need root (network namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
extra=()
[ -n "${DISPLAY:-}" ] || extra+=(xvfb xauth)
ensure_packages "${extra[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVANOR_QT=6 >/dev/null
cmake --build build -j"$(nproc)" --target telvanor-bench telvanor-monitor-sim telvanord
run=(build/bench/telvanor-bench)
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a -s "-screen 0 1024x768x24" "${run[@]}")
{
  echo "Measured $(date -u +%Y-%m-%d) on $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(uname -m), $(. /etc/os-release; echo "$PRETTY_NAME"), Qt $(qmake -query QT_VERSION 2>/dev/null || echo 5)."
  echo
  "${run[@]}" 2>/dev/null
  "${run[@]}" --panel-memory 2>/dev/null
  "${run[@]}" --fleet-lan 2>/dev/null
  "${run[@]}" --line-rate 2>/dev/null
  "${run[@]}" --service-line-rate 2>/dev/null
  "${run[@]}" --service-lan 2>/dev/null
  /usr/bin/python3 bench/page.py --telvanord build/service/telvanord --sim build/sim/telvanor-monitor-sim
  /usr/bin/python3 bench/sites.py --telvanord build/service/telvanord --sim build/sim/telvanor-monitor-sim --broker-line "set_tcp_nodelay true"
  /usr/bin/python3 bench/sites.py --telvanord build/service/telvanord --sim build/sim/telvanor-monitor-sim --gather-only --queue default
} | tee build/bench.md
