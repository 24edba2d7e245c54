// One asynchronous bus message: look-up, block, head, payload, send, return.
#include "up_bus_send.h"

#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "kq_ipc.h"
#include "kq_log.h"
#include "kq_mem.h"

int up_send_asy_msg(int module, uint32_t msg_id, const void *payload, uint32_t payload_length)
{
    ipc_addr_t addr{};
    if (ipc_get_addr_by_id(module, 0, &addr) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]ipc get address by id error\n\n");
        return -1;
    }
    auto *msg = static_cast<kq_sdk_ipc_msg_head *>(ipc_memory_assign(payload_length, 0));
    if (msg == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]ipc malloc memory error\n\n");
        return -1;
    }
    memset(msg, 0, sizeof *msg);
    msg->msg_type = IPC_ASY_MSG;
    msg->msg_id = msg_id;
    msg->length = payload_length;
    ipc_gen_seesion_id(msg);
    size_t at = msg->msg_type == IPC_INNER_MQ ? IPC_INNER_MQ_PAYLOAD_OFFSET : sizeof *msg;
    memcpy(reinterpret_cast<uint8_t *>(msg) + at, payload, payload_length);

    int thread = (int)(syscall(SYS_gettid) & 0xFFFF);
    if (ipc_msg_send_asy(&addr, msg, payload_length) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]ipc send asy messege error\n\n");
        // The block is returned on this path too: the tool may send many
        // reports while nobody listens, and each would leak otherwise.
        mem_free_ex(thread, __LINE__, IPC_MEM_TAG, msg);
        return -1;
    }
    mem_free_ex(thread, __LINE__, IPC_MEM_TAG, msg);
    return 0;
}
