// Message bus stand-in on Unix datagram sockets, one per module, named by the
// module's decimal id in one directory.
#include "kq_ipc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "kq_ipc_internal.h"

namespace {

char g_dir[96] = IPC_SOCKET_DIR;
int g_sock = -1;
int g_module = -1;
uint32_t g_session;

bool endpoint_path(int module, struct sockaddr_un *sa)
{
    memset(sa, 0, sizeof *sa);
    sa->sun_family = AF_UNIX;
    int n = snprintf(sa->sun_path, sizeof sa->sun_path, "%s/%d", g_dir, module);
    return n > 0 && (size_t)n < sizeof sa->sun_path;
}

// A datagram socket whose blocking sends wait at most one second for room in
// the receiver's queue: a full queue delays a progress report, never drops it.
int open_sender()
{
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    struct timeval tv = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return s;
}

} // namespace

void ipc_set_socket_dir(const char *dir)
{
    snprintf(g_dir, sizeof g_dir, "%s", dir ? dir : IPC_SOCKET_DIR);
}

int ipc_msg_init(int module, int a, int b, int c, int d)
{
    (void)a; (void)b; (void)c; (void)d;
    if (module < 0 || module >= MAX_ID)
        return IPC_INVALID_PARA;
    if (g_sock >= 0)
        ipc_msg_fin();
    if (mkdir(g_dir, 0777) != 0 && errno != EEXIST)
        return IPC_SYS_ERR;
    struct sockaddr_un sa;
    if (!endpoint_path(module, &sa))
        return IPC_SYS_ERR;
    int s = open_sender();
    if (s < 0)
        return IPC_SYS_ERR;
    unlink(sa.sun_path);            // a stale endpoint of a previous run
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(s);
        return IPC_SYS_ERR;
    }
    g_sock = s;
    g_module = module;
    return IPC_OK;
}

int ipc_get_addr_by_id(int module, int flag, ipc_addr_t *addr)
{
    (void)flag;
    if (addr == nullptr || module < 0 || module >= MAX_ID)
        return IPC_INVALID_PARA;
    memset(addr, 0, sizeof *addr);
    if (!endpoint_path(module, &addr->addr))
        return IPC_INVALID_PARA;
    struct stat st;
    if (stat(addr->addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode))
        return IPC_NOT_FOUND;
    addr->pri = IPC_MSG_PRI_COMM;
    return IPC_OK;
}

int ipc_msg_send_asy(ipc_addr_t *addr, kq_sdk_ipc_msg_head *msg, uint32_t payload_length)
{
    if (addr == nullptr || msg == nullptr || addr->addr.sun_family != AF_UNIX)
        return IPC_INVALID_PARA;
    size_t offset = msg->msg_type == IPC_INNER_MQ ? IPC_INNER_MQ_PAYLOAD_OFFSET
                                                  : sizeof(kq_sdk_ipc_msg_head);
    size_t total = offset + payload_length;
    int s = g_sock >= 0 ? g_sock : open_sender();
    if (s < 0)
        return IPC_SYS_ERR;
    ssize_t n;
    do {
        n = sendto(s, msg, total, 0, reinterpret_cast<struct sockaddr *>(&addr->addr),
                   sizeof addr->addr);
    } while (n < 0 && errno == EINTR);
    int err = errno;
    if (s != g_sock)
        close(s);
    if (n == (ssize_t)total)
        return IPC_OK;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK))
        return IPC_TIMEOUT;
    if (n < 0 && (err == ECONNREFUSED || err == ENOENT))
        return IPC_NOT_FOUND;
    return IPC_SYS_ERR;
}

void ipc_gen_seesion_id(kq_sdk_ipc_msg_head *msg)
{
    if (msg != nullptr)
        msg->session_id = ++g_session;
}

void ipc_msg_fin(void)
{
    if (g_sock < 0)
        return;
    close(g_sock);
    g_sock = -1;
    struct sockaddr_un sa;
    if (endpoint_path(g_module, &sa))
        unlink(sa.sun_path);
    g_module = -1;
}
