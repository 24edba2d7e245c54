#!/usr/bin/env bash
# The main job, end to end on a PC: build everything, make sample router
# content and a modem firmware container, pack them with imgpack, and install
# the package with `imgrenew up` in a simulated router (partition mode) with a
# virtual modem attached, showing the display's progress messages and the
# modem step as they arrive. Finally check every partition against its record
# and every modem image against the modem's flash, and that every NV item,
# RF NV item and identity value of the modem is what it was before: the
# container asks for NV preservation, and the flash wipes the modem's store.
#
# Usage: tools/demo.sh [WORK_DIR]      (default: a fresh folder under /tmp)
set -euo pipefail
case ${1:-} in
-h | --help) echo "usage: tools/demo.sh [WORK_DIR]   (default: a fresh folder under /tmp)"; exit 0 ;;
-*) echo "demo.sh: unknown option '$1' (usage: tools/demo.sh [WORK_DIR])" >&2; exit 2 ;;
esac
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tools/modem-desc.sh"
build=${DEMO_BUILD_DIR:-$top/build}
work=${1:-$(mktemp -d /tmp/imgrenew-demo.XXXXXX)}
scale=${DEMO_TIME_SCALE:-10}

. "$top/tools/step-lib.sh"
name_failed_steps
mkdir -p "$work"
# Only what the demo needs: the test command installs the rest.
if ! "$top/tools/install-deps.sh" --demo; then
    echo "demo.sh: step failed: installing the packages (tools/install-deps.sh --demo)" >&2
    exit 1
fi
echo "== building (log: $work/build.log)"
# The programs and host tools only: the test command builds the tests in the
# same folder.
run_step "configuring the build (cmake)" "$work/configure.log" \
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUP_BUILD_TESTS=OFF
run_step "building (cmake --build $build)" "$work/build.log" \
    cmake --build "$build" -j"$(nproc)"
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
# The modem firmware: a RAM programmer, a partition table and the images; the
# AMSS image names its version, which the modem reports after the flash.
mfiles=$files/modem
mkdir -p "$mfiles"
head -c $((64 * 1024 + 123)) /dev/urandom >"$mfiles/prog.hex"
head -c 300 /dev/urandom >"$mfiles/partition.mbn"
head -c $((40 * 1024 + 7)) /dev/urandom >"$mfiles/dbl.mbn"
head -c $((90 * 1024 + 1)) /dev/urandom >"$mfiles/fsbl.mbn"
head -c $((120 * 1024 + 99)) /dev/urandom >"$mfiles/osbl.mbn"
{ printf 'AMSS image InnerVersion:ZMR_V200_DEMO\n'; head -c $((1024 * 1024 + 555)) /dev/urandom; } >"$mfiles/amss.mbn"
head -c $((300 * 1024 + 3)) /dev/urandom >"$mfiles/dsp1.mbn"
head -c $((3 * 1024 * 1024 + 1234)) /dev/urandom >"$mfiles/dsp2.mbn"
head -c $((200 * 1024)) /dev/urandom >"$mfiles/efs.mbn"
cat >"$work/modem.desc" <<'DESC'
modem_version ZMR_V200_DEMO
efs_include 1
efs_restore 1
version_check 1
SN 1
IMEI 1
TESTINF 1
SIMLOCK 1,46000
GSMBand 0xF
UMTSBand 0x3
LTEBand 0x1
DESC
modem_image_lines >>"$work/modem.desc"
cat >"$work/package.desc" <<'DESC'
magic1 0x4B515550
version 2
record version version_info.txt 0 files/version_info.txt
record bootloader boot_nontrust.bin 0 files/boot_nontrust.bin
record kernel zImage 0 files/zImage
record rootfs rootfs.jffs2 0 files/rootfs.jffs2
record 2ndfs 2ndfs.tar.bz2 1 files/2ndfs
modem qd4700_modem.bin modem.desc
DESC
"$bin/imgpack" build "$work/package.bin" "$work/package.desc"
echo "== signing the package; the router trusts the public key"
rm -f "$work/release.pub" "$work/release.sec"
"$bin/imgpack" keygen "$work/release.pub" "$work/release.sec"
"$bin/imgpack" sign "$work/package.bin" --key "$work/release.sec" --comment "demo release 2.1.0"
# A sound package inspects with status 0 (its remark about the state word on
# an erased partition is a note; the load below asks for a full install).
status=0
"$bin/imgpack" inspect "$work/package.bin" --key "$work/release.pub" || status=$?
if [ "$status" -ne 0 ]; then
    echo "demo: the package does not inspect clean (status $status)" >&2
    exit 1
fi

echo "== a router in service, the package written into its package partition"
state=$work/router
rm -rf "$state"
"$bin/routersim" init "$state" --key "$work/release.pub" >/dev/null
# --full-install stores upgrade state 0, as a fresh upgrade request does (on
# an erased state block a package with a modem record would install only the
# modem, as after a cut during the modem step).
"$bin/routersim" load-package --full-install "$state" "$work/package.bin"
# The router's own users of the modem, which the modem step stops first.
cat >"$state/2ndfile/demo_up.sh" <<'UP'
for p in kq_wm modem_pro udhcpc; do cp /bin/sleep /tmp/$p; /tmp/$p 3600 & done
exec imgrenew up
UP

echo "== a virtual modem running older firmware"
modem=$work/modem
rm -rf "$modem"
mkdir -p "$modem"
echo ZMR_V100 >"$modem/version"
# Its NV store: every item of the preserved set (the item numbers of the
# tool's table), the high-priority RF NV items, the identity; a flash wipes
# all of it, so only the tool's backup and restore bring it back.
mkdir -p "$modem/nv" "$modem/rfnv"
nv_items=$(sed -n 's/^ *{\([0-9][0-9]*\), "NV_.*/\1/p' "$top/app/up/libup/nvat/nv_table_preserved.cpp")
for i in $nv_items; do head -c 128 /dev/urandom >"$modem/nv/$i"; done
rf_items="20207 20208 21183 21186 21239 21242"
for i in $rf_items; do head -c $((i % 500 + 1)) /dev/urandom >"$modem/rfnv/$i"; done
printf 'sn=SNDEMO0042\nimei=861234567890123\ntestinf=RF:PASS\nsimlock=1,46000\ninds=\n' >"$modem/identity"
echo all >"$modem/flash_wipe"
rm -rf "$work/modem_before"
cp -a "$modem" "$work/modem_before"
echo "  $(ls "$modem/nv" | wc -l) NV items, $(ls "$modem/rfnv" | wc -l) RF NV items, identity: $(tr '\n' ' ' <"$modem/identity")"

echo "== imgrenew up (time scale x$scale)"
"$bin/routersim" run "$state" --time-scale "$scale" --modem "$modem" -- sh /2ndfile/demo_up.sh &
sim=$!
shown=0
show_progress() {
    local lines
    # routersim makes the file afresh when the run starts.
    lines=$(wc -l <"$state/out/bus.jsonl" 2>/dev/null) || return 0
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
mshown=0
show_modem() {   # the modem's side of the modem step: power, stages, images
    local lines
    lines=$(wc -l <"$modem/out/modem.log" 2>/dev/null) || return 0
    [ "$mshown" -lt "$lines" ] || return 0
    sed -n "$((mshown + 1)),${lines}p" "$modem/out/modem.log" |
        grep -E 'power o|attach|programmer of|partition table stored|image .* (stored|refused)|firmware flashed|function level|rx normal at "AT\+KQTSW' |
        sed 's/^[0-9.]* /  modem: /' || true
    mshown=$lines
}
while kill -0 "$sim" 2>/dev/null; do
    show_progress
    show_modem
    sleep 0.2
done
set +e
wait "$sim"
set -e
show_progress
show_modem
echo "   exit status: $(cat "$state/out/status")"

echo "== checking the router"
fail=0
if grep -q 'package signature verified' "$state/out/syslog.log"; then
    echo "  $(grep -o 'package signature verified.*' "$state/out/syslog.log")"
else
    echo "  the package signature was not verified"; fail=1
fi
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
echo "== checking the modem"
check_modem() {   # image-file flash-file
    if cmp -s "$1" "$2"; then
        echo "  $(basename "$2") holds $(basename "$1") ($(stat -c %s "$1") bytes)"
    else
        echo "  $(basename "$2") does NOT hold $(basename "$1")"; fail=1
    fi
}
check_modem "$mfiles/prog.hex" "$modem/flash/programmer.bin"
check_modem "$mfiles/partition.mbn" "$modem/flash/partition"
for img in dbl osbl amss dsp1 dsp2 efs; do
    check_modem "$mfiles/$img.mbn" "$modem/flash/$img"
done
check_modem "$mfiles/fsbl.mbn" "$state/2ndfile/fsbl.mbn"
if [ -e "$modem/flash/fsbl" ]; then
    echo "  the FSBL was sent to the modem"; fail=1
else
    echo "  FSBL kept on the router"
fi
echo "  modem version: $(cat "$modem/version")"
echo "== checking the modem's NV items and identity against before the upgrade"
grep -q 'NV wiped' "$modem/out/modem.log" \
    && echo "  the flash wiped the modem: $(sed -n 's/.*\(NV wiped: .*\)/\1/p' "$modem/out/modem.log" | head -1)"
compare_items() {   # folder label
    local n=0 same=0 f
    for f in "$work/modem_before/$1"/*; do
        n=$((n + 1))
        cmp -s "$f" "$modem/$1/$(basename "$f")" && same=$((same + 1))
    done
    if [ "$same" = "$n" ]; then echo "  $2: $n compared, equal"; else echo "  $2: $n compared, $((n - same)) NOT equal"; fail=1; fi
}
compare_items nv "NV items"
compare_items rfnv "RF NV items"
n=0; same=0
for key in sn imei testinf simlock; do
    n=$((n + 1))
    before=$(grep "^$key=" "$work/modem_before/identity")
    grep -qx "$before" "$modem/identity" && same=$((same + 1))
done
if [ "$same" = "$n" ]; then echo "  identity values: $n compared, equal"; else echo "  identity values: $((n - same)) of $n NOT equal"; fail=1; fi
for f in modem_nv high_nv; do
    [ -e "$state/2ndfile/$f" ] && { echo "  /2ndfile/$f was left behind"; fail=1; }
done
echo "  /2ndfile/modem_nv and /2ndfile/high_nv removed after the restore"
level=$(sed -n 's/.*function level \([0-9]\).*/\1/p' "$modem/out/modem.log" | tail -1)
[ "$level" = 1 ] && echo "  modem online (function level 1)" || { echo "  modem not online (level $level)"; fail=1; }
progress=$(sed -n 's/.*"module": 12.*"operation": 1, "progress": \([0-9]*\).*/\1/p' "$state/out/bus.jsonl" | tr '\n' ' ')
echo "  progress reported: $progress"
prev=0
for p in $progress; do
    if [ "$p" -lt "$prev" ]; then echo "  progress went down ($prev -> $p)"; fail=1; fi
    prev=$p
done
grep -q '"operation": 2, "progress": 100' "$state/out/bus.jsonl" \
    && echo "  upgrade complete 100% reported" \
    || { echo "  no completion reported"; fail=1; }
for p in kq_wm modem_pro; do
    grep -q "will to kill $p process" "$state/out/syslog.log" \
        && echo "  $p stopped before the modem step" || { echo "  $p was not stopped"; fail=1; }
done
grep -q '"module": 0' "$state/out/bus.jsonl" \
    && echo "  reboot requested" || { echo "  no reboot request"; fail=1; }
if [ -s "$state/out/flash-faults.log" ]; then
    echo "  flash faults recorded:"; cat "$state/out/flash-faults.log"; fail=1
else
    echo "  no flash faults"
fi
echo "== logs: $state/out/{syslog.log,bus.jsonl,tools.log}, $modem/out/modem.log"
echo "== report: the run on one page (open it in a browser)"
"$bin/routersim" report "$state" -o "$work/report.html" | sed 's/^/  /'
[ "$fail" = 0 ] && echo "== demo passed" || echo "== demo FAILED"
exit $fail
