#!/usr/bin/env bash
# Direct partition write of a root file system record against flash_erase +
# dd bs=128k of the same bytes to the same emulated partition (/dev/mtd3), in
# one run inside the simulated router (no time scale: real work).
#
# Usage: tools/bench-direct-write.sh [BUILD_DIR] [ROUNDS] [MIB]   (defaults 5, 30)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${2:-5}
mib=${3:-30}
bin=$build/bin
work=$(mktemp -d /tmp/bench-direct-write.XXXXXX)
trap 'rm -rf "$work"' EXIT
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/rootfs.jffs2"
echo "record rootfs rootfs.jffs2 0 rootfs.jffs2" >"$work/package.desc"
"$bin/imgpack" build "$work/package.bin" "$work/package.desc" >/dev/null
"$bin/routersim" init "$work/router" >/dev/null
"$bin/routersim" load-package "$work/router" "$work/package.bin" >/dev/null
"$bin/routersim" run "$work/router" -- bench_direct_write "$rounds"
cat "$work/router/out/stdout" "$work/router/out/stderr"
[ "$(cat "$work/router/out/status")" = 0 ]
