#!/usr/bin/env bash
# The main job, end to end on a PC: build everything, make sample router
# content, pack it with imgpack, and install it with `imgrenew up` in a
# simulated router (partition mode), showing the display's progress messages
# as they arrive. Finally check every partition against its record.
#
# Usage: tools/demo.sh [WORK_DIR]      (default: a fresh folder under /tmp)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
work=${1:-$(mktemp -d /tmp/imgrenew-demo.XXXXXX)}
scale=${DEMO_TIME_SCALE:-10}

"$top/tools/install-deps.sh"
echo "== building"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
bin=$build/bin

echo "== making sample content in $work"
files=$work/files
mkdir -p "$files/2ndfs/nv" "$files/2ndfs/webpage" "$files/2ndfs/lcdui"
head -c $((200 * 1024)) /dev/urandom >"$files/boot_nontrust.bin"
head -c $((2 * 1024 * 1024 + 4321)) /dev/urandom >"$files/zImage"
head -c $((9 * 1024 * 1024 + 777)) /dev/urandom >"$files/rootfs.jffs2"
cat >"$files/version_info.txt" <<'VER'
bootloader=boot_nontrust.bin-2.1.0
kernel=zImage-2.1.0
rootfs=rootfs.jffs2-2.1.0
config=default_nv-2.1.0
modem=dfi_version-2.1.0
VER
cat >"$files/2ndfs/nv/default.cfg" <<'CFG'
web_language_select=de
wifi_ssid=router-demo
lan_ipaddr=192.168.8.1
CFG
echo '<html><body>new web interface</body></html>' >"$files/2ndfs/webpage/index.html"
echo 'new display strings' >"$files/2ndfs/lcdui/strings_en.txt"
cat >"$work/package.desc" <<'DESC'
magic1 0x4B515550
version 2
record version version_info.txt 0 files/version_info.txt
record bootloader boot_nontrust.bin 0 files/boot_nontrust.bin
record kernel zImage 0 files/zImage
record rootfs rootfs.jffs2 0 files/rootfs.jffs2
record 2ndfs 2ndfs.tar.bz2 1 files/2ndfs
DESC
"$bin/imgpack" build "$work/package.bin" "$work/package.desc"
"$bin/imgpack" inspect "$work/package.bin"

echo "== a router in service, the package written into its package partition"
state=$work/router
rm -rf "$state"
"$bin/routersim" init "$state" >/dev/null
"$bin/routersim" load-package "$state" "$work/package.bin"

echo "== imgrenew up (time scale x$scale)"
"$bin/routersim" run "$state" --time-scale "$scale" -- imgrenew up &
sim=$!
shown=0
show_progress() {
    [ -f "$state/out/bus.jsonl" ] || return 0
    local lines
    lines=$(wc -l <"$state/out/bus.jsonl")
    while [ "$shown" -lt "$lines" ]; do
        shown=$((shown + 1))
        local msg op pct
        msg=$(sed -n "${shown}p" "$state/out/bus.jsonl")
        case "$msg" in
        *'"module": 12'*)
            op=$(sed -n 's/.*"operation": \([0-9]*\).*/\1/p' <<<"$msg")
            pct=$(sed -n 's/.*"progress": \([0-9]*\).*/\1/p' <<<"$msg")
            case "$op" in
            1) printf '  display: upgrading ... %3s%%\n' "$pct" ;;
            2) printf '  display: upgrade complete %s%%\n' "$pct" ;;
            3) printf '  display: upgrade FAILED\n' ;;
            *) printf '  display: %s\n' "$msg" ;;
            esac ;;
        *'"module": 0'*) echo "  system control: reboot requested" ;;
        esac
    done
}
while kill -0 "$sim" 2>/dev/null; do
    show_progress
    sleep 0.2
done
wait "$sim"
show_progress
echo "   exit status: $(cat "$state/out/status")"

echo "== checking the router"
fail=0
check_part() {   # record-file mtd
    local size
    size=$(stat -c %s "$1")
    if cmp -s -n "$size" "$1" "$state/flash/$2.img"; then
        echo "  $2 holds $(basename "$1") ($size bytes)"
    else
        echo "  $2 does NOT hold $(basename "$1")"; fail=1
    fi
}
check_part "$files/boot_nontrust.bin" mtd0
check_part "$files/zImage" mtd2
check_part "$files/rootfs.jffs2" mtd3
if [ -z "$(tr -d '\377' <"$state/flash/mtd6.img" | head -c 1)" ]; then
    echo "  package partition erased after the upgrade"
else
    echo "  package partition still holds data"; fail=1
fi
grep -q 'web_language_select=de' "$state/2ndfile/nv/nv_store.cfg" \
    && echo "  configuration store holds default.cfg's values" \
    || { echo "  configuration store was not updated"; fail=1; }
echo "  /2ndfile/version/version_info.txt:"
sed 's/^/    /' "$state/2ndfile/version/version_info.txt"
if [ -s "$state/out/flash-faults.log" ]; then
    echo "  flash faults recorded:"; cat "$state/out/flash-faults.log"; fail=1
else
    echo "  no flash faults"
fi
echo "== logs: $state/out/{syslog.log,bus.jsonl,tools.log}"
echo "== report: the run on one page (open it in a browser)"
"$bin/routersim" report "$state" -o "$work/report.html" | sed 's/^/  /'
exit $fail
