#!/usr/bin/env python3
"""Makes the records and packages the kernel-tier scenarios install.

    make_packages.py OUTDIR IMGPACK...

IMGPACK is the command that runs imgpack (with its emulator in a cross
build). The record contents are pseudo-random bytes from fixed seeds, with
lengths that are not whole blocks, so that the padding of the last block and
a record straddling a bad block are both exercised.
"""
import os
import random
import subprocess
import sys

RECORDS = {
    # name: (length, seed)
    "boot.bin": (307205, 1),
    "zImage": (1574098, 2),        # 12 blocks and a part of a 13th
    "rootfs.jffs2": (2098029, 3),  # 16 blocks and a part of a 17th
    "factory.bin": (131072, 4),    # the factory-data partition's contents
    "kernel_a.bin": (3145728, 5),  # manual kernel dump: what mtd2 holds
    "kernel_b.bin": (3145728, 6),  # manual kernel write: what it gets
    "state_block.bin": (131072, 7),
}

VERSION = ("boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\n"
           "default_nv-2.0\ndfi_version-2.0\n")

DESCRIPTION = """magic1 0x4B515550
version 2
record version version_info.txt 0 version_info.txt
record bootloader boot_nontrust.bin 0 boot.bin
record kernel "zImage 2.0" 0 zImage
record rootfs rootfs.jffs2 0 rootfs.jffs2
record 2ndfs 2ndfs.tar.bz2 1 sec
"""


def put(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    out = sys.argv[1]
    imgpack = sys.argv[2:]
    data = os.path.join(out, "data")
    for name, (length, seed) in RECORDS.items():
        put(os.path.join(data, name), random.Random(seed).randbytes(length))
    put(os.path.join(data, "version_info.txt"), VERSION.encode())
    put(os.path.join(data, "sec/nv/default.cfg"), b"web_language_select=fr\nwifi_ssid=KernelTier\n")
    put(os.path.join(data, "sec/webpage/index.html"), b"<html>new</html>\n")
    put(os.path.join(data, "sec/lcdui/logo.bin"), b"new logo\n")
    desc = os.path.join(data, "package.desc")
    put(desc, DESCRIPTION.encode())
    pkg = os.path.join(out, "pkg", "full.bin")
    os.makedirs(os.path.dirname(pkg), exist_ok=True)
    subprocess.run(imgpack + ["build", pkg, desc], check=True, stdout=subprocess.DEVNULL)
    # The signature scenarios: a key pair, the package signed with it, and
    # the signed package with one byte of the kernel record flipped.
    keys = os.path.join(out, "keys")
    os.makedirs(keys, exist_ok=True)
    for name in ("release.pub", "release.sec"):
        if os.path.exists(os.path.join(keys, name)):
            os.remove(os.path.join(keys, name))
    subprocess.run(imgpack + ["keygen", os.path.join(keys, "release.pub"), os.path.join(keys, "release.sec")],
                   check=True, stdout=subprocess.DEVNULL)
    signed = os.path.join(out, "pkg", "signed.bin")
    with open(pkg, "rb") as f:
        put(signed, f.read())
    subprocess.run(imgpack + ["sign", signed, "--key", os.path.join(keys, "release.sec"),
                              "--comment", "kernel tier"], check=True, stdout=subprocess.DEVNULL)
    os.remove(os.path.join(keys, "release.sec"))
    with open(signed, "rb") as f:
        tampered = bytearray(f.read())
    tampered[400000] ^= 0x01        # inside the kernel record
    put(os.path.join(out, "pkg", "tampered.bin"), bytes(tampered))


if __name__ == "__main__":
    main()
