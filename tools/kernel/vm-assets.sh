#!/usr/bin/env bash
# Prepares what the kernel-tier machine boots, once per architecture, and
# keeps it in OUT for later runs:
#   OUT/vmlinuz        Debian's kernel (amd64, or armmp for qemu-system-arm -M virt)
#   OUT/base.cpio.gz   the base initramfs: busybox, the real mtd-utils
#                      flash_erase and nandwrite with their libraries, the
#                      kernel modules of nandsim, mtdblock and jffs2, /init
# The Debian packages come from UP_KERNEL_DEB_DIR (tools/kernel/install-deps.sh
# fills it); a missing one is fetched with apt-get download.
#
#   tools/kernel/vm-assets.sh x86_64|arm OUT
set -euo pipefail

arch=${1:?usage: vm-assets.sh x86_64|arm OUT}
out=${2:?usage: vm-assets.sh x86_64|arm OUT}
here=$(cd "$(dirname "$0")" && pwd)
deb_dir=${UP_KERNEL_DEB_DIR:-/var/cache/up-kernel-tier}
# shellcheck source=packages.sh
. "$here/packages.sh"

stamp="$arch $(kernel_package "$arch") $(sha256sum "$here/packages.sh" "$here/vm-assets.sh" "$here/init.sh" | sha256sum | cut -c1-16)"
if [ -f "$out/base.cpio.gz" ] && [ -f "$out/vmlinuz" ] && [ "$(cat "$out/stamp" 2>/dev/null)" = "$stamp" ]; then
    exit 0
fi

# A package file from the cache folder, downloaded there when missing.
deb_file() {
    local pkg=$1 name=${1%%:*} parch f
    parch=$(dpkg --print-architecture)
    [ "$name" != "$pkg" ] && parch=${pkg#*:}
    f=$(ls "$deb_dir/${name}"_*_"$parch".deb 2>/dev/null | head -n1 || true)
    if [ -z "$f" ]; then
        mkdir -p "$deb_dir"
        (cd "$deb_dir" && apt-get download "$pkg" >/dev/null)
        f=$(ls "$deb_dir/${name}"_*_"$parch".deb | head -n1)
    fi
    echo "$f"
}

work=$(mktemp -d "${TMPDIR:-/tmp}/kt-assets.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,lib,proc,sys,dev,tmp,var/run,var/log,etc,kt,2ndfile}
mkdir -p "$out"

# The kernel and the module folders the flash modules come from, extracted
# once per kernel package (decompressing the package is the slow part).
kpkg=$(kernel_package "$arch")
kdir=$out/kernel
if [ "$(cat "$kdir/stamp" 2>/dev/null)" != "$kpkg" ]; then
    rm -rf "$kdir"
    mkdir -p "$kdir"
    dpkg-deb --fsys-tarfile "$(deb_file "$kpkg")" |
        tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/mtd/*' \
            './lib/modules/*/kernel/fs/jffs2/*' './lib/modules/*/kernel/lib/*' 2>/dev/null
    echo "$kpkg" > "$kdir/stamp"
fi
cp "$kdir"/boot/vmlinuz-* "$out/vmlinuz.new"

# Modules: the wanted ones and what they depend on, in load order.
moddir=$(ls -d "$kdir"/lib/modules/*)
declare -A seen=()
order=()
add_module() {
    local name=$1 file deps d
    [ -n "${seen[$name]:-}" ] && return 0
    seen[$name]=1
    file=$(find "$moddir" -name "$name.ko" -o -name "${name//_/-}.ko" | head -n1)
    if [ -z "$file" ]; then
        echo "vm-assets: module $name not found in $(basename "$moddir")" >&2
        exit 1
    fi
    deps=$(strings -a "$file" | sed -n 's/^depends=//p' | head -n1)
    for d in ${deps//,/ }; do
        add_module "$d"
    done
    cp "$file" "$root/lib/modules-kt/"
    order+=("$(basename "$file" .ko)")
}
mkdir -p "$root/lib/modules-kt"
for m in mtdblock jffs2 nandsim; do
    add_module "$m"
done
printf '%s\n' "${order[@]}" > "$root/lib/modules-kt/load-order"

# busybox and the flash utilities of the machine's architecture.
case $arch in
x86_64)
    cp /bin/busybox "$root/bin/busybox"
    for t in flash_erase nandwrite; do
        cp "/usr/sbin/$t" "$root/usr/bin/$t"
    done
    copy_libraries "$root" "$root/usr/bin/flash_erase" "$root/usr/bin/nandwrite"
    ;;
arm)
    mkdir -p "$work/bb" "$work/mtd"
    dpkg-deb -x "$(deb_file busybox-static:armel)" "$work/bb"
    dpkg-deb -x "$(deb_file mtd-utils:armel)" "$work/mtd"
    cp "$work/bb/bin/busybox" "$root/bin/busybox"
    for t in flash_erase nandwrite; do
        cp "$work/mtd/usr/sbin/$t" "$root/usr/bin/$t"
    done
    # The armel C library of the cross toolchain (libc6-armel-cross).
    cp -L /usr/arm-linux-gnueabi/lib/ld-linux.so.3 /usr/arm-linux-gnueabi/lib/libc.so.6 "$root/lib/"
    ;;
*)
    echo "vm-assets: unknown architecture $arch" >&2
    exit 2
    ;;
esac
install -m 0755 "$here/init.sh" "$root/init"
# /init is a script: its interpreter must exist before it runs.
ln -s busybox "$root/bin/sh"

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet -R 0:0) | gzip -6 > "$out/base.cpio.gz.new"
# Padded with zeros to a 512-byte boundary, so that an archive appended to it
# starts aligned, as the kernel requires of every archive after the first.
truncate -s %512 "$out/base.cpio.gz.new"
mv "$out/vmlinuz.new" "$out/vmlinuz"
mv "$out/base.cpio.gz.new" "$out/base.cpio.gz"
echo "$stamp" > "$out/stamp"
