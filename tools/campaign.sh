#!/bin/sh
# Power-cut campaigns over the full router packages: a raw second file system
# image and a second file system archive, each in partition mode and in file
# mode; and a modem campaign over a package with an NV-preserving modem
# container (docs/campaign.md).
#
# usage: tools/campaign.sh BIN_DIR OUT_DIR [routersim campaign options...]
#   CAMPAIGNS="partition-raw partition-archive file-raw file-archive modem"
#   (default: the four router campaigns)
#   MODEM_FAULTS="RULE": a fault rule of the modem in the modem campaign
#   CAMPAIGN_KEEP_INPUTS=1: leave OUT_DIR/packages, router and modem-start for a look
# Each campaign writes OUT_DIR/<name>.csv and its summary to OUT_DIR/<name>.txt;
# the exit status is 1 when a point of any of them failed.
set -eu
if [ $# -lt 2 ]; then
    echo "usage: $0 BIN_DIR OUT_DIR [routersim campaign options...]" >&2
    exit 2
fi
bin=$1
out=$2
shift 2
mkdir -p "$out"
pk=$out/packages
rm -rf "$pk"
mkdir -p "$pk/files/sec/nv" "$pk/files/sec/webpage" "$pk/files/sec/lcdui"

# Distinct bytes at every offset (numbers as text), the same on every machine.
gen() { seq "$2" 999999999 | tr '\n' ' ' | head -c "$3" > "$pk/files/$1"; }
gen boot.bin 1000000 70000
gen zImage 2000000 400000
gen rootfs.jffs2 3000000 1500000
gen 2ndfs.img 4000000 300000
printf 'boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\ndefault_nv-2.0\ndfi_version-2.0\n' \
    > "$pk/files/version_info.txt"
printf 'web_language_select=fr\nwifi_ssid=NewRouter\n' > "$pk/files/sec/nv/default.cfg"
printf '<html>new</html>\n' > "$pk/files/sec/webpage/index.html"
printf 'new logo\n' > "$pk/files/sec/lcdui/logo.bin"
common='record version version_info.txt 0 version_info.txt
record bootloader boot_nontrust.bin 0 boot.bin
record kernel "zImage 2.0" 0 zImage
record rootfs rootfs.jffs2 0 rootfs.jffs2'
printf '%s\nrecord 2ndfs 2ndfs.img 0 2ndfs.img\n' "$common" > "$pk/files/raw.desc"
printf '%s\nrecord 2ndfs 2ndfs.tar.bz2 1 sec\n' "$common" > "$pk/files/archive.desc"
"$bin/imgpack" build "$pk/raw.bin" "$pk/files/raw.desc" > /dev/null
"$bin/imgpack" build "$pk/archive.bin" "$pk/files/archive.desc" > /dev/null

# The modem campaign's package: a version file and a modem container, small images, an INI
# that preserves the NV, RF NV and identity values and names the version the
# AMSS image carries (so the rerun after a flash finds the modem up to date).
mdir=$pk/files/modem
mkdir -p "$mdir"
printf 'modem_version ZMR_V200\nefs_include 1\nefs_restore 1\nversion_check 1\n' > "$mdir/modem.desc"
printf 'SN 1\nIMEI 1\nTESTINF 1\nSIMLOCK 1,46000\n' >> "$mdir/modem.desc"
n=5000000
for image in hex:5000 partition:300 dbl:3000 fsbl:2000 osbl:3000 amss:9000 dsp1:3000 dsp2:20000 efs:4000; do
    type=${image%%:*}
    gen "modem/m_$type" "$n" "${image#*:}"
    n=$((n + 1000000))
    echo "image $type m_$type" >> "$mdir/modem.desc"
done
{ head -c 1000 "$mdir/m_amss"; printf 'InnerVersion:ZMR_V200\000'; tail -c +1023 "$mdir/m_amss"; } > "$mdir/amss"
mv "$mdir/amss" "$mdir/m_amss"
cp "$pk/files/version_info.txt" "$mdir/"
printf 'record version version_info.txt 0 version_info.txt\nmodem qd4700_modem.bin modem.desc\n' > "$mdir/desc"
"$bin/imgpack" build "$pk/modem.bin" "$mdir/desc" > /dev/null

# The modem before the upgrade: every NV item the upgrade preserves (128
# bytes each), the high-priority RF NV items, its identity; a flash wipes
# them all. The item numbers are the product's own tables.
nvat=$(cd "$(dirname "$0")/../app/up/libup/nvat" && pwd)
modem=$out/modem-start
rm -rf "$modem"
mkdir -p "$modem/nv" "$modem/rfnv"
items() { sed -n 's/^ *{\([0-9][0-9]*\), ".*/\1/p' "$1"; }
for item in $(items "$nvat/nv_table_preserved.cpp"); do
    seq "$((item * 1000))" 999999999 | tr '\n' ' ' | head -c 128 > "$modem/nv/$item"
done
len=7
for item in $(sed -n '/qd4700_modem_high_nv/,/};/p' "$nvat/nv_table_fixed.cpp" | sed -n 's/^ *{\([0-9][0-9]*\), ".*/\1/p'); do
    seq "$((item * 7))" 999999999 | tr '\n' ' ' | head -c "$len" > "$modem/rfnv/$item"
    len=$((len * 3 % 500 + 1))
done
printf 'sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS1\nsimlock=1,46000\ninds=\n' > "$modem/identity"
echo all > "$modem/flash_wipe"
# MODEM_FAULTS: fault rules of the virtual modem (docs/modemsim.md), for a
# campaign against a modem that misbehaves.
[ -z "${MODEM_FAULTS:-}" ] || printf '%s\n' "$MODEM_FAULTS" > "$modem/faults"

router=$out/router
rm -rf "$router"
"$bin/routersim" init "$router" > /dev/null

status=0
for name in ${CAMPAIGNS:-partition-raw partition-archive file-raw file-archive}; do
    case $name in
    partition-raw) set -- "$pk/raw.bin" "$@" ;;
    partition-archive) set -- "$pk/archive.bin" "$@" ;;
    file-raw) set -- "$pk/raw.bin" --file-mode "$@" ;;
    file-archive) set -- "$pk/archive.bin" --file-mode "$@" ;;
    modem) set -- "$pk/modem.bin" --modem "$modem" "$@" ;;
    *) echo "$0: unknown campaign $name" >&2; exit 2 ;;
    esac
    echo "== $name"
    rc=0
    "$bin/routersim" campaign "$router" "$@" --csv "$out/$name.csv" > "$out/$name.txt" || rc=$?
    cat "$out/$name.txt"
    [ "$rc" -eq 0 ] || status=1
    # Drop this campaign's own arguments again.
    shift
    [ "$name" = "${name#file-}" ] || shift
    [ "$name" != modem ] || shift 2
done
[ -n "${CAMPAIGN_KEEP_INPUTS:-}" ] || rm -rf "$router" "$pk" "$modem"
exit $status
