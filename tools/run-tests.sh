#!/usr/bin/env bash
# Builds everything and runs the unit tests and the simulated-router
# scenarios. Usage: tools/run-tests.sh [BUILD_DIR] [extra ctest args]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
"$top/tools/install-deps.sh"
# Warnings are errors here, as in CI.
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUP_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure -j2 "$@"
