// Message bus stand-in: one Unix datagram endpoint per module in /var/run/kqipc.
#pragma once

#include <cstdint>
#include <sys/un.h>

enum {
    SC_ID = 0, DM_ID, NM_ID, WM_ID, NS_ID, AT_ID, RM_ID, UP_ID, DIAG_ID, DOG_ID,
    LOG_ID, CGI_ID, UI_ID, CLI1_ID, CLI2_ID, MAX_ID,
};

enum { IPC_ASY_MSG = 0, IPC_SYN_REQ = 1, IPC_SYN_RSP = 2, IPC_INNER_MQ = 3 };
enum { IPC_MSG_PRI_COMM = 0, IPC_MSG_PRI_HIGH = 1, IPC_MSG_PRI_DIAG = 2 };

enum kq_sdk_ipc_ret_value {
    IPC_OK = 0, IPC_INVALID_PARA, IPC_NOT_INIT, IPC_NOT_FOUND, IPC_INVALID_MSG,
    IPC_NOT_ENOUGH, IPC_REJECT, IPC_TIMEOUT, IPC_MQ_FULL, IPC_MQ_EMPTY,
    IPC_SYS_ERR, IPC_INNER_ERR,
};

// Head of every message, in native byte order, followed by the payload.
struct kq_sdk_ipc_msg_head {
    uint32_t msg_type;
    uint32_t msg_id;
    uint32_t length;      // payload bytes
    uint32_t session_id;
};
static_assert(sizeof(kq_sdk_ipc_msg_head) == 16, "bus head is 16 bytes");

// The payload of an IPC_INNER_MQ message starts this far into the block
// instead of after the whole head.
constexpr unsigned IPC_INNER_MQ_PAYLOAD_OFFSET = 8;

struct kq_sdk_ipc_addr {
    uint32_t pri;
    struct sockaddr_un addr;
};
typedef struct kq_sdk_ipc_addr ipc_addr_t;

// Directory of the endpoints; one socket per module, named by its decimal id.
#define IPC_SOCKET_DIR "/var/run/kqipc"

// Binds this process's endpoint for `module`, replacing a stale one.
int ipc_msg_init(int module, int a, int b, int c, int d);
// Fills addr for `module`; IPC_NOT_FOUND unless its endpoint exists and is a socket.
int ipc_get_addr_by_id(int module, int flag, ipc_addr_t *addr);
// Sends head + payload_length bytes as one datagram. When the receiver's queue
// is full it waits up to one second for room before failing.
int ipc_msg_send_asy(ipc_addr_t *addr, kq_sdk_ipc_msg_head *msg, uint32_t payload_length);
// Stamps a per-process increasing session id into the head.
void ipc_gen_seesion_id(kq_sdk_ipc_msg_head *msg);
// Closes and removes this process's endpoint.
void ipc_msg_fin(void);
