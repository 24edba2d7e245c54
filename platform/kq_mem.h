// Message memory of the bus: blocks holding a 16-byte head and the payload.
#pragma once

#include <cstdint>

constexpr uint32_t IPC_MEM_TAG = 0x88000001u;

// A zeroed block for the head and payload_length payload bytes, or null.
void *ipc_memory_assign(uint32_t payload_length, int flag);
// Returns a block from ipc_memory_assign; null is ignored.
void mem_free_ex(int thread, int line, uint32_t tag, void *msg);
