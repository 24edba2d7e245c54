// Counting of flash operations and the power cut (see flashemu_ops.h).
#pragma once

#include "flashemu_devices.h"

#include <cstdint>

namespace flashemu {

enum class op_fate {
    go,         // do the operation
    not_done,   // the power is cut before it: do nothing, then power_is_off()
    torn,       // the power is cut during it: do its first part, then power_is_off()
};

// Counts one operation (kind "erase" for one block, "write" for one write
// call) in FLASHEMU_OPS when that is set, and says what becomes of it. When
// the power is already off the calling process stops here for good.
op_fate begin_flash_op(const mtd_device &dev, const char *kind, uint64_t offset, uint64_t length);

// The power is off: the supervisor is told, and the process stops here,
// every catchable signal blocked, until the supervisor kills the router.
[[noreturn]] void power_is_off();

}  // namespace flashemu
