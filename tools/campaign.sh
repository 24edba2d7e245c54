#!/bin/sh
# Power-cut campaigns over the full router packages: a raw second file system
# image and a second file system archive, each in partition mode and in file
# mode (docs/campaign.md).
#
# usage: tools/campaign.sh BIN_DIR OUT_DIR [routersim campaign options...]
#   CAMPAIGNS="partition-raw partition-archive file-raw file-archive" (default: all four)
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
done
rm -rf "$router" "$pk"
exit $status
