// One erase block of scratch memory for the two steps that move a whole
// block at a time: the direct writer (a record into its partition) and the
// state word's write (read the block, erase it, write it back). They never
// run at the same time: the driver writes the state only between records.
// Sharing the buffer keeps 128 KiB out of the tool's resident memory.
#pragma once

#include <array>
#include <cstdint>

#include "up_api.h"

using up_erase_block_t = std::array<uint8_t, UP_ERASE_BLOCK>;

up_erase_block_t &up_erase_block_scratch(void);
