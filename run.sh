#!/usr/bin/env bash
# Installs what is missing, builds, and starts the panel.
set -euo pipefail
cd "$(dirname "$0")"
. tools/deps.sh
ensure_packages
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo "Built the protocol layer (build/). The panel window is not part of the build yet:"
echo "once it is, this script starts it."
