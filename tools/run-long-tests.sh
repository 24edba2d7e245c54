#!/usr/bin/env bash
# The long power-cut runs, whole: every counted NV cut point of the modem step
# and every random cut of the partition- and file-mode upgrades (label long;
# over half an hour on 2 cores). tools/run-tests.sh and CI run a sample of
# each (every 10th point). Usage: tools/run-long-tests.sh [BUILD_DIR] [ctest args]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true
"$top/tools/run-tests.sh" "$build" -L long -V "$@"
