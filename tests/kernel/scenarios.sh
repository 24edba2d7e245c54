#!/bin/sh
# Scenarios of the kernel tier, run as /kt/run.sh inside the virtual machine
# (busybox sh). Each scenario loads nandsim with the router's partitions
# (and its own factory bad blocks), prepares flash and /2ndfile, runs the
# real imgrenew and checks the partitions the way a boot loader reads them.
# It prints "KT-RESULT <name> PASS" or "KT-RESULT <name> FAIL <why>"; on a
# failure the log lines, the tool's output and the bus messages follow.
#
# Chip: 256 MiB, 2 KiB pages, 128 KiB blocks. Partitions in blocks:
# mtd0 0-3, mtd1 4, mtd2 5-28, mtd3 29-284, mtd4 285-412, mtd5 413-540,
# mtd6 541 to the end.

D=/kt/data
PKG=/kt/pkg/full.bin
OUT=/var/log/kt-tool.out
SCENARIOS=$(cat /kt/scenarios 2>/dev/null ||
    echo "part_up file_up state_word manual_kernel bad_blocks_part bad_blocks_file signed_up tampered_up")

size_of() { stat -c %s "$1"; }

nand_load() {
    bb=$1
    if [ -n "$bb" ]; then
        insmod /lib/modules-kt/nandsim.ko id_bytes=0xec,0xda,0x90,0x95 parts=4,1,24,256,128,128 badblocks="$bb"
    else
        insmod /lib/modules-kt/nandsim.ko id_bytes=0xec,0xda,0x90,0x95 parts=4,1,24,256,128,128
    fi || return 1
    # udev is absent: wait for devtmpfs to show the nodes.
    i=0
    while [ ! -c /dev/mtd6 ] || [ ! -b /dev/mtdblock6 ]; do
        i=$((i + 1))
        [ $i -gt 50 ] && return 1
        sleep 0.1
    done
}

nand_unload() {
    grep -q " /2ndfile/image_path " /proc/mounts && umount /2ndfile/image_path
    rmmod nandsim
}

# A router in service: the second file system with its version file and
# folders, fresh run-time folders, factory data in mtd1.
router_in_service() {
    rm -rf /2ndfile/* /tmp/* /var/run/kqipc/7
    mkdir -p /2ndfile/version /2ndfile/nv /2ndfile/webpage /2ndfile/lcdui /2ndfile/log
    printf 'bootloader=boot_nontrust.bin-1.0.0\nkernel=zImage-1.0.0\nrootfs=rootfs.jffs2-1.0.0\nconfig=default_nv-1.0.0\nmodem=dfi_version-1.0.0\n' \
        > /2ndfile/version/version_info.txt
    echo "web_language_select=en" > /2ndfile/nv/nv_store.cfg
    echo "<html>old</html>" > /2ndfile/webpage/index.html
    echo "old logo" > /2ndfile/lcdui/logo.txt
    nandwrite -q -p /dev/mtd1 $D/factory.bin
}

# Marks where the log and the bus record stood, so a check reads only this
# scenario's lines.
mark_logs() {
    LOG_FROM=$(wc -l < /var/log/messages)
    BUS_FROM=$(wc -l < /var/log/bus.jsonl)
}
new_log() { tail -n +$((LOG_FROM + 1)) /var/log/messages; }
new_bus() { tail -n +$((BUS_FROM + 1)) /var/log/bus.jsonl; }

run_tool() {
    mark_logs
    timeout 300 imgrenew "$@" > $OUT 2>&1
    TOOL_RC=$?
    # The log daemon writes asynchronously.
    sleep 1
}

fail() {
    echo "KT-RESULT $SCENARIO FAIL $*"
    echo "--- tool output"; tail -n 40 $OUT
    echo "--- log errors"; new_log | grep "\.err " | tail -n 20
    echo "--- log"; new_log | tail -n 40
    echo "--- bus"; new_bus
    echo "--- end"
    return 1
}

# The first LEN bytes of the good blocks of DEV equal FILE.
holds() {
    kt_readback "$1" "$(size_of "$2")" > /tmp/kt_read || return 1
    cmp -s /tmp/kt_read "$2"
}

# Bytes START.. START+LEN of DEV, read raw.
raw_bytes() {
    dd if="$1" bs=2048 skip=$(($2 / 2048)) count=$((($2 % 2048 + $3 + 2047) / 2048)) 2>/dev/null |
        tail -c +$(($2 % 2048 + 1)) | head -c "$3"
}

# From the end of FILE's data in DEV (good blocks) to the end of that block: 0xFF.
padded_with_ff() {
    len=$(size_of "$2")
    end=$(( (len + 131071) / 131072 * 131072 ))
    kt_readback "$1" $end | tail -c $((end - len)) | od -An -v -tx1 | tr -s ' \n' '\n\n' | grep -v '^$' | grep -qv '^ff$' && return 1
    return 0
}

mtd1_untouched() {
    raw_bytes /dev/mtd1 0 131072 | cmp -s - $D/factory.bin
}

log_has() { new_log | grep -qF "$1"; }

# The partitions a full package installs, read like a boot loader reads them.
check_installed() {
    holds /dev/mtd2 $D/zImage || { fail "mtd2 does not hold the kernel record"; return 1; }
    padded_with_ff /dev/mtd2 $D/zImage || { fail "mtd2: last kernel block not padded with 0xFF"; return 1; }
    holds /dev/mtd3 $D/rootfs.jffs2 || { fail "mtd3 does not hold the root file system record"; return 1; }
    holds /dev/mtd0 $D/boot.bin || { fail "mtd0 does not hold the bootloader record"; return 1; }
    mtd1_untouched || { fail "factory-data partition mtd1 changed"; return 1; }
    [ "$(raw_bytes /dev/mtd4 0 4 | od -An -tx1 | tr -d ' ')" = ffffffff ] || { fail "mtd4 written"; return 1; }
    log_has "update system success" || { fail "no 'update system success' in the log"; return 1; }
    grep -q "zImage-2.0" /2ndfile/version/version_info.txt || { fail "version file not merged"; return 1; }
    grep -q "wifi_ssid=KernelTier" /2ndfile/nv/default.cfg || { fail "second file system not installed"; return 1; }
    [ -e /tmp/up_reboot_flag.txt ] || { fail "no /tmp/up_reboot_flag.txt"; return 1; }
    new_bus | grep '"module": 0,' | grep -q '"sys_state": 4,' || { fail "no reboot request on the bus"; return 1; }
    new_bus | grep '"module": 12,' | grep -q '"progress": 100}' || { fail "no 100 % progress on the bus"; return 1; }
    return 0
}

# imgrenew up with the package raw in mtd6.
scenario_part_up() {
    nand_load "" || { fail "nandsim"; return 1; }
    router_in_service
    nandwrite -q -p /dev/mtd6 $PKG || { fail "nandwrite of the package"; return 1; }
    run_tool up
    [ $TOOL_RC -eq 0 ] || { fail "imgrenew up exited $TOOL_RC"; return 1; }
    check_installed || return 1
    cmp -s /2ndfile/factory_nv $D/factory.bin || { fail "/2ndfile/factory_nv is not the factory data"; return 1; }
    # The package partition is erased at the end, the state block with it.
    [ "$(raw_bytes /dev/mtd6 0 16 | od -An -tx1 | tr -d ' ')" = ffffffffffffffffffffffffffffffff ] ||
        { fail "package partition not erased"; return 1; }
    [ "$(raw_bytes /dev/mtd6 $((0x4200000)) 4 | od -An -tx1 | tr -d ' ')" = ffffffff ] ||
        { fail "state block not erased"; return 1; }
}

# The package as root.bin on a fresh JFFS2 in mtd6, mounted where the
# router's services leave a package file.
package_on_jffs2() {
    flash_erase -q -j /dev/mtd6 0 0 || { fail "flash_erase -j mtd6"; return 1; }
    mkdir -p /2ndfile/image_path
    mount -t jffs2 /dev/mtdblock6 /2ndfile/image_path || { fail "mount jffs2"; return 1; }
    cp $PKG /2ndfile/image_path/root.bin && sync || { fail "copy to jffs2"; return 1; }
}

# imgrenew up with the package as root.bin on JFFS2 from mtdblock6.
scenario_file_up() {
    nand_load "" || { fail "nandsim"; return 1; }
    router_in_service
    package_on_jffs2 || return 1
    run_tool up
    [ $TOOL_RC -eq 0 ] || { fail "imgrenew up exited $TOOL_RC"; return 1; }
    check_installed || return 1
    grep -q " /2ndfile/image_path " /proc/mounts && { fail "/2ndfile/image_path still mounted"; return 1; }
    [ -e /2ndfile/image_path ] && { fail "/2ndfile/image_path still there"; return 1; }
    # The package file is gone from the file system, which still mounts.
    mkdir -p /mnt/jffs2 && mount -t jffs2 /dev/mtdblock6 /mnt/jffs2 || { fail "jffs2 does not mount again"; return 1; }
    [ -e /mnt/jffs2/root.bin ] && { umount /mnt/jffs2; fail "root.bin still on the file system"; return 1; }
    umount /mnt/jffs2
}

# set and get of the state word in the block at 66 MiB of mtd6.
scenario_state_word() {
    nand_load "" || { fail "nandsim"; return 1; }
    router_in_service
    nandwrite -q -p -s $((0x4200000)) /dev/mtd6 $D/state_block.bin || { fail "nandwrite of the state block"; return 1; }
    run_tool set 40
    [ "$(raw_bytes /dev/mtd6 $((0x4200000)) 4 | od -An -tx1 | tr -d ' ')" = 28000000 ] ||
        { fail "state word after 'set 40' is not 28 00 00 00"; return 1; }
    raw_bytes /dev/mtd6 $((0x4200000 + 4)) 131068 > /tmp/kt_rest
    tail -c 131068 $D/state_block.bin | cmp -s - /tmp/kt_rest || { fail "rest of the state block changed"; return 1; }
    run_tool get
    log_has "the upgrade stats is 40" || { fail "'get' did not log 40"; return 1; }
    run_tool set 257
    [ "$(raw_bytes /dev/mtd6 $((0x4200000)) 4 | od -An -tx1 | tr -d ' ')" = 28000000 ] ||
        { fail "'set 257' changed the state word"; return 1; }
    run_tool set 256
    [ "$(raw_bytes /dev/mtd6 $((0x4200000)) 4 | od -An -tx1 | tr -d ' ')" = 00010000 ] ||
        { fail "state word after 'set 256' is not 00 01 00 00"; return 1; }
}

# kernel 0 dumps 3 MiB of mtd2 to /tmp/kernel.bin; kernel 1 writes it back.
scenario_manual_kernel() {
    nand_load "" || { fail "nandsim"; return 1; }
    router_in_service
    nandwrite -q -p /dev/mtd2 $D/kernel_a.bin || { fail "nandwrite of mtd2"; return 1; }
    run_tool kernel 0
    cmp -s /tmp/kernel.bin $D/kernel_a.bin || { fail "/tmp/kernel.bin is not the 3 MiB of mtd2"; return 1; }
    cp $D/kernel_b.bin /tmp/kernel.bin
    run_tool kernel 1
    log_has "write sub-image file directly success" || { fail "kernel 1 did not report success"; return 1; }
    raw_bytes /dev/mtd2 0 3145728 | cmp -s - $D/kernel_b.bin || { fail "mtd2 does not hold the written 3 MiB"; return 1; }
    mtd1_untouched || { fail "factory-data partition mtd1 changed"; return 1; }
}

# Factory bad blocks: the second block of mtd2 (chip block 6) and of mtd3
# (chip block 30). The records must read back around them, and the bad
# blocks must stay marked.
bad_blocks_checks() {
    [ "$(kt_readback --bad /dev/mtd2)" = 0x00020000 ] || { fail "mtd2 bad block list changed: $(kt_readback --bad /dev/mtd2)"; return 1; }
    [ "$(kt_readback --bad /dev/mtd3)" = 0x00020000 ] || { fail "mtd3 bad block list changed"; return 1; }
    [ $TOOL_RC -eq 0 ] || { fail "imgrenew up exited $TOOL_RC"; return 1; }
    check_installed
}

scenario_bad_blocks_part() {
    nand_load 6,30 || { fail "nandsim"; return 1; }
    router_in_service
    nandwrite -q -p /dev/mtd6 $PKG || { fail "nandwrite of the package"; return 1; }
    run_tool up
    bad_blocks_checks
}

scenario_bad_blocks_file() {
    nand_load 6,30 || { fail "nandsim"; return 1; }
    router_in_service
    package_on_jffs2 || return 1
    run_tool up
    bad_blocks_checks
}

# A router in service that holds the public key runs imgrenew up on the
# package $1 written into the package partition; the key is removed after.
up_with_key() {
    nand_load "" || { fail "nandsim"; return 1; }
    router_in_service
    mkdir -p /etc/imgrenew/keys && cp /kt/keys/release.pub /etc/imgrenew/keys/ || { fail "key"; return 1; }
    nandwrite -q -p /dev/mtd6 "$1" || { fail "nandwrite of the package"; return 1; }
    run_tool up
    rm -rf /etc/imgrenew
}

# A router that holds a public key: the signed package installs.
scenario_signed_up() {
    up_with_key /kt/pkg/signed.bin || return 1
    [ $TOOL_RC -eq 0 ] || { fail "imgrenew up exited $TOOL_RC"; return 1; }
    log_has "package signature verified, key id " || { fail "signature not verified"; return 1; }
    log_has "trusted comment: kernel tier" || { fail "trusted comment not logged"; return 1; }
    check_installed
}

# The same router and the signed package with a flipped kernel byte: refused
# before any partition is erased.
scenario_tampered_up() {
    up_with_key /kt/pkg/tampered.bin || return 1
    log_has "package signature check failed: wrong signature" || { fail "no 'wrong signature' in the log"; return 1; }
    log_has "update system failed and will to reboot" || { fail "no failure recovery"; return 1; }
    for m in 0 2 3 4; do
        [ "$(raw_bytes /dev/mtd$m 0 16 | od -An -tx1 | tr -d ' ')" = ffffffffffffffffffffffffffffffff ] ||
            { fail "mtd$m was written"; return 1; }
    done
    mtd1_untouched || { fail "factory-data partition mtd1 changed"; return 1; }
    new_bus | grep '"module": 12,' | grep -q '"operation": 3' || { fail "no failure report on the bus"; return 1; }
}

for SCENARIO in $SCENARIOS; do
    echo "KT-BEGIN $SCENARIO"
    start=$(date +%s)
    if "scenario_$SCENARIO"; then
        echo "KT-RESULT $SCENARIO PASS"
    fi
    nand_unload 2>/dev/null
    echo "KT-TIME $SCENARIO $(( $(date +%s) - start ))s"
done
