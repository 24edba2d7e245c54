// The answer receivers are bounded in time as well as in bytes: a modem that
// trickles one byte every 5 s never closes a frame, and must not hold the
// tool for the hours its byte limit alone would allow. Runs at 20x, so each
// 5 s pause of the trickler is a quarter of a second.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "dload_receive.h"
#include "hdlc_receiver.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

struct trickle_port {
    unique_fd master;
    int port = -1;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread writer;

    explicit trickle_port(uint8_t byte)
    {
        master.reset(posix_openpt(O_RDWR | O_NOCTTY));
        if (!master.ok() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
            return;
        port = OpenAndInitSerialCom(ptsname(master.get()), 1);
        writer = std::thread([this, byte] {
            while (!stop) {
                if (write(master.get(), &byte, 1) == 1)
                    ++sent;
                usleep(5000000);
            }
        });
    }
    ~trickle_port()
    {
        stop = true;
        if (writer.joinable())
            writer.join();
        if (port >= 0)
            close(port);
    }
};

} // namespace

TEST(ReceiverTimeBound, ATrickleThatNeverClosesAFrameEndsTheReceive)
{
    // Inside a frame (opening flag, then data bytes one at a time).
    trickle_port p(0x41);
    ASSERT_GE(p.port, 0);
    uint8_t flag = 0x7E;
    ASSERT_EQ(write(p.master.get(), &flag, 1), 1);
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> buf{};
    bool complete = true;
    EXPECT_EQ(rcv_ack_packet(p.port, buf.data(), &complete), NAK_FAILED);
    EXPECT_FALSE(complete);
    // 30 s of answer time at one byte per 5 s: a handful of bytes, not 8256,
    // and more than one (the receiver read on while bytes came).
    EXPECT_GE(p.sent.load(), 2);
    EXPECT_LE(p.sent.load(), 9);
}

TEST(ReceiverTimeBound, ATrickleEndsTheStreamWriteReplyWait)
{
    trickle_port p(0x41);
    ASSERT_GE(p.port, 0);
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> buf{};
    EXPECT_NE(rcv_ack_packet_addr_check(p.port, buf.data(), 0x400), 0);
    // Two attempts of 30 s each at most.
    EXPECT_GE(p.sent.load(), 2);
    EXPECT_LE(p.sent.load(), 16);
}
