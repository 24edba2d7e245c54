// The part of sysfs the tool looks at: the modem's USB interface directories
// (bus/usb/devices/N-1:1.I/ttyUSBn) and the power parameter
// (module/pmic/parameters/wcdma_power), all under one root folder.
#pragma once

// Creates ROOT/bus/usb/devices/<bus>-1:1.<iface>/ttyUSB<tty>. Returns 0 or -1.
int usb_sysfs_add_interface(const char *root, int bus, int iface, int tty);

// Removes that interface directory and everything the modem put in it.
void usb_sysfs_remove_interface(const char *root, int bus, int iface);

// Creates ROOT/module/pmic/parameters/wcdma_power holding "1\n" (power on).
// An existing file is rewritten in place, never replaced, so a bind mount of
// the file keeps working.
int usb_sysfs_init_power(const char *root);

// The power switch: 1 on, 0 off, -1 when unreadable or not (yet) a digit, as
// between the truncation and the write of "echo 0 > wcdma_power".
int usb_sysfs_read_power(const char *root);
