#!/usr/bin/env bash
# Boots the kernel-tier machine once under QEMU (TCG) and writes its serial
# console to LOG. The initramfs is the cached base archive followed by the
# run's OVERLAY archive (scenarios, programs, packages); the machine powers
# off by itself at the end (reboot with -no-reboot).
#
#   tools/kernel/boot-vm.sh x86_64|arm ASSETS OVERLAY.cpio LOG [TIMEOUT_S]
set -euo pipefail

arch=${1:?}
assets=${2:?}
overlay=${3:?}
log=${4:?}
limit=${5:-900}

initrd=$(dirname "$log")/initrd.img
cat "$assets/base.cpio.gz" "$overlay" > "$initrd"

common=(-m 512 -smp 1 -no-reboot -display none -monitor none -serial "file:$log"
        -kernel "$assets/vmlinuz" -initrd "$initrd")
case $arch in
x86_64)
    cmd=(qemu-system-x86_64 -M pc -accel tcg "${common[@]}"
         -append "console=ttyS0 rdinit=/init panic=-1 quiet loglevel=3")
    ;;
arm)
    cmd=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -accel tcg "${common[@]}"
         -append "console=ttyAMA0 rdinit=/init panic=-1 quiet loglevel=3")
    ;;
*)
    echo "boot-vm: unknown architecture $arch" >&2
    exit 2
    ;;
esac
rm -f "$log"
start=$(date +%s)
rc=0
timeout "$limit" "${cmd[@]}" < /dev/null || rc=$?
echo "boot-vm: $arch machine ran $(( $(date +%s) - start )) s, exit $rc" >&2
exit $rc
