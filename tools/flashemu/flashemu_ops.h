// The flash operation counter shared by every process of one simulated run,
// and the power cut it can carry: a small file that each process maps.
//
// Every erase of one block and every write call on an emulated partition is
// one operation, counted in the order the emulation sees them, whichever
// process makes it. When the count reaches cut_at, the power goes: the
// operation is left undone or torn, no later operation happens, and the
// process that met the cut stops for good (the supervisor then ends the run).
#pragma once

#include <cstddef>
#include <cstdint>

namespace flashemu {

constexpr char FLASH_OPS_MAGIC[8] = {'F', 'L', 'A', 'S', 'H', 'O', 'P', 'S'};
constexpr size_t FLASH_OPS_FILE_SIZE = 256;
constexpr size_t FLASH_OPS_DESC_SIZE = 200;

enum flash_cut_mode : uint32_t {
    CUT_NOT_DONE = 0,   // the operation at the cut does not happen at all
    CUT_TORN = 1,       // a write stores its first half; an erase clears the first half of its block
};

// Little-endian host layout; only processes of one machine share it.
struct flash_ops_file {
    char magic[8];
    uint64_t ops;                       // operations begun in this run
    uint64_t cut_at;                    // 1-based operation the power is cut at; 0: no cut
    uint32_t cut_mode;                  // flash_cut_mode
    uint32_t cut_done;                  // 1 once the power was cut
    char cut_op[FLASH_OPS_DESC_SIZE];   // "<kind> <device> 0x<offset> 0x<length>" of the cut operation
    uint32_t power_off;                 // 1 once the cut operation's torn part is stored
    uint8_t reserved[FLASH_OPS_FILE_SIZE - 236];
};
static_assert(sizeof(flash_ops_file) == FLASH_OPS_FILE_SIZE, "the counter file is 256 bytes");
static_assert(offsetof(flash_ops_file, ops) == 8, "");
static_assert(offsetof(flash_ops_file, cut_at) == 16, "");
static_assert(offsetof(flash_ops_file, cut_mode) == 24, "");
static_assert(offsetof(flash_ops_file, cut_done) == 28, "");
static_assert(offsetof(flash_ops_file, cut_op) == 32, "");
static_assert(offsetof(flash_ops_file, power_off) == 232, "");

}  // namespace flashemu
