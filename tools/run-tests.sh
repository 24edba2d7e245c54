#!/usr/bin/env bash
# Builds everything and runs the unit tests and the simulated-router
# scenarios, with a sample of the long power-cut runs (tools/run-long-tests.sh
# runs them whole). Usage: tools/run-tests.sh [BUILD_DIR] [extra ctest args]
set -euo pipefail
case ${1:-} in
-h | --help) echo "usage: tools/run-tests.sh [BUILD_DIR] [extra ctest args]   (default: build/, all but label long)"; exit 0 ;;
-*) echo "run-tests.sh: the first argument is the build folder, not '$1'" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
. "$top/tools/step-lib.sh"
name_failed_steps
"$top/tools/install-deps.sh"
mkdir -p "$build"
# Warnings are errors here, as in CI. The demo builds the same folder without
# the tests: ask for them.
run_step "configuring the build (cmake)" "$build/configure.log" \
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUP_WERROR=ON -DUP_BUILD_TESTS=ON
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Extra arguments replace the default selection (everything but label long).
if [ $# -eq 0 ]; then
    set -- -LE long
fi
ctest --output-on-failure -j2 "$@"
