#!/usr/bin/env bash
# Whole-upgrade benchmark: a full package (version file, bootloader, 3 MiB
# kernel, 30 MiB root file system, second file system archive and a modem
# container with a 20 MiB AMSS image, flashed into the virtual modem) is
# installed by `imgrenew up` in the simulated router (partition mode) at a
# large time scale. The tool logs the sum of the waits it is required to make
# ("required waits so far: N ms"); what the wall time holds beyond those waits
# (shortened by the time scale) and beyond the simulator's own fixed cost is
# the tool's own work. A second run samples the tool's peak resident memory.
#
# Usage: tools/bench-upgrade.sh [BUILD_DIR] [TIME_SCALE] [RUNS]
#   BENCH_SMALL=1 uses small records (the CI smoke run); BENCH_NO_MODEM=1
#   leaves the modem record (and the virtual modem) out; BENCH_NO_MEM=1 skips
#   the memory run; BENCH_SIGNED=1 signs the package and gives the router its
#   key, so every run includes the signature check.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/modem-desc.sh"
build=${1:-$top/build}
scale=${2:-100}
runs=${3:-3}
bin=$build/bin
work=$(mktemp -d /tmp/bench-upgrade.XXXXXX)
trap 'rm -rf "$work"' EXIT

mib=$((1024 * 1024))
if [ "${BENCH_SMALL:-0}" = 1 ]; then
    kernel=$((256 * 1024)) rootfs=$((512 * 1024)) amss=$((64 * 1024)) dsp2=$((64 * 1024))
else
    kernel=$((3 * mib)) rootfs=$((30 * mib)) amss=$((20 * mib)) dsp2=$((3 * mib))
fi

files=$work/files
mkdir -p "$files/2ndfs/nv" "$files/2ndfs/webpage" "$files/2ndfs/lcdui"
head -c $((256 * 1024)) /dev/urandom >"$files/boot_nontrust.bin"
head -c "$kernel" /dev/urandom >"$files/zImage"
head -c "$rootfs" /dev/urandom >"$files/rootfs.jffs2"
printf 'bootloader=boot_nontrust.bin-2.0.0\nkernel=zImage-2.0.0\nrootfs=rootfs.jffs2-2.0.0\nconfig=default_nv-2.0.0\nmodem=dfi_version-2.0.0\n' \
    >"$files/version_info.txt"
printf 'web_language_select=de\nlan_ipaddr=192.168.8.1\n' >"$files/2ndfs/nv/default.cfg"
echo '<html><body>web pages</body></html>' >"$files/2ndfs/webpage/index.html"
echo 'display strings' >"$files/2ndfs/lcdui/strings_en.txt"
cat >"$work/package.desc" <<'DESC'
record version version_info.txt 0 files/version_info.txt
record bootloader boot_nontrust.bin 0 files/boot_nontrust.bin
record kernel zImage 0 files/zImage
record rootfs rootfs.jffs2 0 files/rootfs.jffs2
record 2ndfs 2ndfs.tar.bz2 1 files/2ndfs
DESC

modem_args=()
if [ "${BENCH_NO_MODEM:-0}" != 1 ]; then
    # The modem firmware: RAM programmer, partition table and images; the
    # AMSS image names the new version, which the modem reports after the flash.
    m=$files/modem
    mkdir -p "$m"
    head -c $((64 * 1024 + 123)) /dev/urandom >"$m/prog.hex"
    head -c 300 /dev/urandom >"$m/partition.mbn"
    head -c $((40 * 1024)) /dev/urandom >"$m/dbl.mbn"
    head -c $((90 * 1024)) /dev/urandom >"$m/fsbl.mbn"
    head -c $((120 * 1024)) /dev/urandom >"$m/osbl.mbn"
    { printf 'AMSS image InnerVersion:ZMR_V200_BENCH\n'; head -c "$amss" /dev/urandom; } >"$m/amss.mbn"
    head -c $((300 * 1024)) /dev/urandom >"$m/dsp1.mbn"
    head -c "$dsp2" /dev/urandom >"$m/dsp2.mbn"
    head -c $((200 * 1024)) /dev/urandom >"$m/efs.mbn"
    cat >"$work/modem.desc" <<'DESC'
modem_version ZMR_V200_BENCH
efs_include 0
version_check 1
DESC
modem_image_lines >>"$work/modem.desc"
    echo "modem qd4700_modem.bin modem.desc" >>"$work/package.desc"
    modem_args=(--modem "$work/modem")
fi
"$bin/imgpack" build "$work/package.bin" "$work/package.desc" >/dev/null
init_args=()
if [ "${BENCH_SIGNED:-0}" = 1 ]; then
    "$bin/imgpack" keygen "$work/bench.pub" "$work/bench.sec" >/dev/null
    "$bin/imgpack" sign "$work/package.bin" --key "$work/bench.sec" --comment bench >/dev/null
    init_args=(--key "$work/bench.pub")
fi

fresh_router() {
    rm -rf "$work/router"
    "$bin/routersim" init "$work/router" "${init_args[@]}" >/dev/null
    "$bin/routersim" load-package "$work/router" "$work/package.bin" >/dev/null
    # The request starts from state 0, as a fresh upgrade does.
    "$bin/routersim" run "$work/router" -- imgrenew set 0 >/dev/null
    if [ ${#modem_args[@]} -gt 0 ]; then
        rm -rf "$work/modem"
        mkdir -p "$work/modem"
        echo ZMR_V100 >"$work/modem/version"     # older firmware runs
    fi
}

now() { date +%s.%N; }

echo "package: $(stat -c %s "$work/package.bin") bytes; kernel $kernel, rootfs $rootfs, modem record: $([ ${#modem_args[@]} -gt 0 ] && echo "yes, AMSS $amss" || echo no)"
echo "time scale: $scale"
printf '%-4s %10s %10s %10s %10s %10s %8s\n' run wall_s waits_s waits/N_s harness_s overhead_s share@1
for r in $(seq 1 "$runs"); do
    fresh_router
    # The simulator's own cost: sandbox set-up and tear-down around a command
    # that does nothing, plus the 200 ms it lets pass after a reboot request.
    t0=$(now)
    "$bin/routersim" run "$work/router" --time-scale "$scale" "${modem_args[@]}" -- true >/dev/null
    t1=$(now)
    fresh_router
    t2=$(now)
    "$bin/routersim" run "$work/router" --time-scale "$scale" "${modem_args[@]}" -- imgrenew up >/dev/null
    t3=$(now)
    waits=$(grep -o 'required waits so far: [0-9]* ms' "$work/router/out/syslog.log" | tail -1 | grep -o '[0-9]*' || echo 0)
    if [ "${BENCH_SIGNED:-0}" = 1 ] && ! grep -q 'package signature verified' "$work/router/out/syslog.log"; then
        echo "run $r: the signature was not verified" >&2
        exit 1
    fi
    if ! grep -q '"module": 0' "$work/router/out/bus.jsonl" || grep -q '"operation": 3' "$work/router/out/bus.jsonl"; then
        echo "run $r: the upgrade did not succeed (status $(cat "$work/router/out/status"))" >&2
        tail -20 "$work/router/out/syslog.log" >&2
        exit 1
    fi
    python3 - "$r" "$t0" "$t1" "$t2" "$t3" "$waits" "$scale" <<'PY'
import sys
r, t0, t1, t2, t3, waits, scale = sys.argv[1], *map(float, sys.argv[2:])
wall = t3 - t2
harness = (t1 - t0) + 0.2
w = waits / 1000.0
overhead = wall - w / scale - harness
share = overhead / (w + overhead) if w + overhead > 0 else 0
print(f"{r:<4} {wall:10.3f} {w:10.1f} {w/scale:10.3f} {harness:10.3f} {overhead:10.3f} {100*share:7.2f}%")
PY
done

# Peak resident memory of the tool: a sampler beside it in the router reads
# VmHWM (the kernel's high-water mark) until the reboot ends the run. Real
# time by default (BENCH_MEM_SCALE), as the time-scale library adds its own
# pages (libfaketime and libm, about 0.45 MiB) to every process.
[ "${BENCH_NO_MEM:-0}" = 1 ] && exit 0
fresh_router
"$bin/routersim" run "$work/router" --time-scale "${BENCH_MEM_SCALE:-1}" "${modem_args[@]}" -- sh -c \
    'imgrenew up >/dev/null & p=$!; while kill -0 $p 2>/dev/null; do grep VmHWM /proc/$p/status; sleep 0.02; done' \
    >/dev/null
echo "peak resident memory of imgrenew up (time scale ${BENCH_MEM_SCALE:-1}): $(grep VmHWM "$work/router/out/stdout" | tail -1 | awk '{print $2, $3}')"
