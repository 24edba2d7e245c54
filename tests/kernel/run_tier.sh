#!/usr/bin/env bash
# Boots the kernel-tier machine once for an architecture and runs every
# scenario in it; the per-scenario CTest entries then read the console log.
#
#   run_tier.sh x86_64|arm BIN_DIR WORK [EMULATOR]
#
# BIN_DIR holds the build's imgrenew, kobs-ng, kt_busrec, kt_readback and
# imgpack; EMULATOR runs imgpack in a cross build (qemu-arm). The kernel and
# the base initramfs are cached in WORK/assets and reused; each run writes
# WORK/console.log.
set -euo pipefail

arch=${1:?usage: run_tier.sh ARCH BIN_DIR WORK [EMULATOR]}
bin=${2:?}
work=${3:?}
emulator=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
# shellcheck source=../../tools/kernel/packages.sh
. "$top/tools/kernel/packages.sh"

mkdir -p "$work"
t0=$(date +%s)
"$top/tools/kernel/vm-assets.sh" "$arch" "$work/assets"
t1=$(date +%s)

run=$work/run
rm -rf "$run"
mkdir -p "$run/overlay/kt" "$run/overlay/usr/bin" "$run/overlay/bin"
# shellcheck disable=SC2086
python3 "$here/make_packages.py" "$run/overlay/kt" $emulator "$bin/imgpack"
install -m 0755 "$here/scenarios.sh" "$run/overlay/kt/run.sh"
# KT_SCENARIOS="part_up state_word" runs only those (while working on one).
if [ -n "${KT_SCENARIOS:-}" ]; then
    echo "$KT_SCENARIOS" > "$run/overlay/kt/scenarios"
fi
for p in imgrenew kobs-ng; do
    install -m 0755 "$bin/$p" "$run/overlay/usr/bin/$p"
done
for p in kt_busrec kt_readback; do
    install -m 0755 "$bin/$p" "$run/overlay/bin/$p"
done
# A host build links dynamically: its libraries go along.
if [ "$arch" = x86_64 ]; then
    copy_libraries "$run/overlay" "$run/overlay/usr/bin/imgrenew" "$run/overlay/usr/bin/kobs-ng"
fi
(cd "$run/overlay" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) > "$run/overlay.cpio"

"$top/tools/kernel/boot-vm.sh" "$arch" "$work/assets" "$run/overlay.cpio" "$work/console.log.new" \
    "${KT_TIMEOUT:-1500}" || true
mv "$work/console.log.new" "$work/console.log"
t2=$(date +%s)
echo "kernel tier $arch: assets $((t1 - t0)) s, machine $((t2 - t1)) s"
grep -a "KT-RESULT\|KT-TIME\|KT-ERROR\|KT-BOOTED" "$work/console.log" || true
if ! grep -aq "KT-DONE" "$work/console.log"; then
    echo "the machine did not finish its scenarios; console log:" >&2
    tail -n 80 "$work/console.log" >&2
    exit 1
fi
