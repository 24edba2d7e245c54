#!/usr/bin/env bash
# What the ARM cross build and the kernel tier need: the armel cross
# compiler, qemu-user (unit tests under qemu-arm), qemu-system for x86-64 and
# ARM, busybox-static, mtd-utils, cpio, the armel crypto library for the
# static ARM binary; and, downloaded into
# UP_KERNEL_DEB_DIR (default /var/cache/up-kernel-tier) with apt-get
# download, Debian's kernel images (amd64, armmp from armhf) and the armel
# busybox-static and mtd-utils for the ARM machine. Does nothing when all is
# there already.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../apt-lib.sh
. "$here/../apt-lib.sh"
. "$here/../step-lib.sh"
name_failed_steps
deb_dir=${UP_KERNEL_DEB_DIR:-/var/cache/up-kernel-tier}

PACKAGES=(
    g++-arm-linux-gnueabi qemu-user-static qemu-system-x86 qemu-system-arm
    busybox-static mtd-utils cpio xz-utils binutils python3
    libsodium-dev:armel
)

mapfile -t missing < <(missing_packages "${PACKAGES[@]}")
foreign=()
for a in armel armhf; do
    dpkg --print-foreign-architectures | grep -qx "$a" || foreign+=("$a")
done
wanted_debs() {
    # shellcheck source=packages.sh
    . "$here/packages.sh"
    kernel_package x86_64
    kernel_package arm
    echo busybox-static:armel
    echo mtd-utils:armel
}
# A kernel image of each architecture and the armel tools, whatever their
# version: resolving the current kernel version asks apt, which is slow.
have_all_debs() {
    ls "$deb_dir"/linux-image-*-amd64_*_amd64.deb "$deb_dir"/linux-image-*-armmp_*_armhf.deb \
        "$deb_dir"/busybox-static_*_armel.deb "$deb_dir"/mtd-utils_*_armel.deb >/dev/null 2>&1
}
if [ ${#missing[@]} -eq 0 ] && [ ${#foreign[@]} -eq 0 ] && have_all_debs; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "kernel tier: missing packages or kernel images (run as root): ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# armhf for the armmp kernel, armel for the ARM machine's busybox and mtd-utils.
for a in "${foreign[@]}"; do
    dpkg --add-architecture "$a"
done
apt_update
if [ ${#missing[@]} -gt 0 ]; then
    apt_install "${missing[@]}"
fi
mkdir -p "$deb_dir"
cd "$deb_dir"
for pkg in $(wanted_debs); do
    name=${pkg%%:*}
    parch=$(dpkg --print-architecture)
    [ "$name" != "$pkg" ] && parch=${pkg#*:}
    if ! ls "${name}"_*_"$parch".deb >/dev/null 2>&1 && ! apt-get download "$pkg"; then
        echo "install step failed: apt-get download $pkg (into $deb_dir)" >&2
        exit 1
    fi
done
# apt-get download as root in a folder _apt cannot read works but warns.
chmod 755 "$deb_dir"
