// Message memory: plain zeroed heap blocks with room for the bus head.
#include "kq_mem.h"

#include <cstdlib>

#include "kq_ipc.h"

void *ipc_memory_assign(uint32_t payload_length, int flag)
{
    (void)flag;
    // Refuse sizes that cannot be a datagram rather than wrap the addition.
    if (payload_length > 16u * 1024u * 1024u)
        return nullptr;
    return calloc(1, sizeof(kq_sdk_ipc_msg_head) + payload_length);
}

void mem_free_ex(int thread, int line, uint32_t tag, void *msg)
{
    (void)thread;
    (void)line;
    (void)tag;
    free(msg);
}
