// The bus stand-in: endpoints, whole-datagram delivery, and a full receiver
// queue that delays a send instead of dropping it silently.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "kq_ipc.h"
#include "kq_ipc_internal.h"
#include "kq_mem.h"

namespace {

struct BusDir : ::testing::Test {
    char dir[64] = "/tmp/kqipc_test_XXXXXX";
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir), nullptr);
        ipc_set_socket_dir(dir);
    }
    void TearDown() override
    {
        ipc_msg_fin();
        ipc_set_socket_dir(nullptr);
        std::string cmd = std::string("rm -rf ") + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    int bind_receiver(int module, int rcvbuf = 0)
    {
        int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s/%d", dir, module);
        if (rcvbuf)
            setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        return s;
    }
    kq_sdk_ipc_msg_head *message(uint32_t id, const void *payload, uint32_t len)
    {
        auto *m = static_cast<kq_sdk_ipc_msg_head *>(ipc_memory_assign(len, 0));
        m->msg_id = id;
        m->length = len;
        ipc_gen_seesion_id(m);
        memcpy(reinterpret_cast<uint8_t *>(m) + sizeof *m, payload, len);
        return m;
    }
};

TEST_F(BusDir, LookUpFailsWithoutEndpointAndSucceedsForASocket)
{
    ipc_addr_t addr;
    EXPECT_EQ(ipc_get_addr_by_id(UI_ID, 0, &addr), IPC_NOT_FOUND);
    std::string plain = std::string(dir) + "/12";
    FILE *f = fopen(plain.c_str(), "w");
    fclose(f);
    EXPECT_EQ(ipc_get_addr_by_id(UI_ID, 0, &addr), IPC_NOT_FOUND) << "a plain file is no endpoint";
    unlink(plain.c_str());
    int r = bind_receiver(UI_ID);
    EXPECT_EQ(ipc_get_addr_by_id(UI_ID, 0, &addr), IPC_OK);
    EXPECT_EQ(ipc_get_addr_by_id(MAX_ID, 0, &addr), IPC_INVALID_PARA);
    close(r);
}

TEST_F(BusDir, InitReplacesStaleEndpointAndFinRemovesIt)
{
    int stale = bind_receiver(UP_ID);
    close(stale);                    // the socket file stays behind
    ASSERT_EQ(ipc_msg_init(UP_ID, 0, 0, 0, 1), IPC_OK);
    ipc_addr_t addr;
    EXPECT_EQ(ipc_get_addr_by_id(UP_ID, 0, &addr), IPC_OK);
    ipc_msg_fin();
    EXPECT_EQ(ipc_get_addr_by_id(UP_ID, 0, &addr), IPC_NOT_FOUND);
}

TEST_F(BusDir, MessageArrivesWholeWithIncreasingSessions)
{
    ASSERT_EQ(ipc_msg_init(UP_ID, 0, 0, 0, 1), IPC_OK);
    int r = bind_receiver(UI_ID);
    ipc_addr_t addr;
    ASSERT_EQ(ipc_get_addr_by_id(UI_ID, 0, &addr), IPC_OK);
    const uint8_t payload[8] = {1, 0, 0, 0, 40, 0, 0, 0};
    uint32_t last_session = 0;
    for (int i = 0; i < 3; ++i) {
        auto *m = message(0x10000004u, payload, sizeof payload);
        ASSERT_EQ(ipc_msg_send_asy(&addr, m, sizeof payload), IPC_OK);
        uint8_t got[64];
        ASSERT_EQ(recv(r, got, sizeof got, 0), 24);
        kq_sdk_ipc_msg_head head;
        memcpy(&head, got, sizeof head);
        EXPECT_EQ(head.msg_id, 0x10000004u);
        EXPECT_EQ(head.length, 8u);
        EXPECT_GT(head.session_id, last_session);
        last_session = head.session_id;
        EXPECT_EQ(memcmp(got + 16, payload, 8), 0);
        mem_free_ex(0, __LINE__, IPC_MEM_TAG, m);
    }
    close(r);
}

TEST_F(BusDir, SendFailsWhenReceiverIsGone)
{
    int r = bind_receiver(SC_ID);
    ipc_addr_t addr;
    ASSERT_EQ(ipc_get_addr_by_id(SC_ID, 0, &addr), IPC_OK);
    close(r);                        // socket file left, nobody bound
    uint8_t payload[16] = {4};
    auto *m = message(0x10000004u, payload, sizeof payload);
    EXPECT_NE(ipc_msg_send_asy(&addr, m, sizeof payload), IPC_OK);
    mem_free_ex(0, __LINE__, IPC_MEM_TAG, m);
}

TEST_F(BusDir, FullQueueWaitsAboutOneSecondThenFails)
{
    ASSERT_EQ(ipc_msg_init(UP_ID, 0, 0, 0, 1), IPC_OK);
    int r = bind_receiver(UI_ID);
    ipc_addr_t addr;
    ASSERT_EQ(ipc_get_addr_by_id(UI_ID, 0, &addr), IPC_OK);
    uint8_t payload[8] = {};
    auto *m = message(1, payload, sizeof payload);
    int sent = 0, rc = IPC_OK;
    auto t0 = std::chrono::steady_clock::now();
    while (sent < 10000 && (rc = ipc_msg_send_asy(&addr, m, sizeof payload)) == IPC_OK)
        ++sent;
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(rc, IPC_TIMEOUT);
    EXPECT_GT(sent, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(900)) << "a full queue must be waited on";
    // After the receiver drains one message, the next send goes through.
    uint8_t got[64];
    ASSERT_GT(recv(r, got, sizeof got, 0), 0);
    EXPECT_EQ(ipc_msg_send_asy(&addr, m, sizeof payload), IPC_OK);
    mem_free_ex(0, __LINE__, IPC_MEM_TAG, m);
    close(r);
}

} // namespace
