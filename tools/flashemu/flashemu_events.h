// A light event log of what the emulated flash did: one line per erase, page
// write and fault, with the host's clock, so a run can be drawn on a time line.
#pragma once

#include "flashemu_devices.h"

#include <cstdint>

namespace flashemu {

// Appends "<real-time ns> <pid> <program> <kind> <device> 0x<offset> 0x<length>"
// to FLASHEMU_EVENT_LOG when it is set; kind is "erase", "write" or "fault".
// The time is the kernel's CLOCK_REALTIME read by a raw system call, so a
// time-scale preload does not change it and it compares with the stamps the
// simulated router puts on syslog and bus messages. Keeps errno.
void log_flash_event(const mtd_device &dev, const char *kind, uint64_t offset, uint64_t length);

// Appends "<device> 0x<offset> 0x<length>" to FLASHEMU_READ_LOG when it is
// set: one line per read call that returned bytes from an emulated
// partition, so a test can count what a program read of the package. Reads
// of a partition through mmap or by a statically linked program are not
// seen. Keeps errno.
void log_flash_read(const mtd_device &dev, uint64_t offset, uint64_t length);

}  // namespace flashemu
