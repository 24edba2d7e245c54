// Port access on pipes and pseudo-terminals: opening, draining, transmitting
// and the framed receivers' ends on silence and on a vanished modem.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "dload_receive.h"
#include "hdlc_frame.h"
#include "hdlc_transmit.h"
#include "serial_port.h"
#include "up_fd.h"
#include "frame_cases.h"

namespace {


// A pipe whose write end is filled with data and then closed, so that reads
// hit end of input instead of waiting.
struct fed_pipe {
    unique_fd rd;
    explicit fed_pipe(const bytes &data)
    {
        int p[2];
        EXPECT_EQ(pipe(p), 0);
        rd.reset(p[0]);
        unique_fd wr(p[1]);
        EXPECT_EQ(write_full(wr.get(), data.data(), data.size()), (ssize_t)data.size());
    }
};

bytes read_all(int fd)
{
    bytes out(65536);
    ssize_t n = read_full(fd, out.data(), out.size());
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

} // namespace

TEST(SerialPort, DrainConsumesExactlyTheRemainingBytes)
{
    struct {
        int32_t count;
        size_t available;
        int rc;
        size_t left;
    } cases[] = {
        {2500, 3000, 0, 500},
        {0, 100, 0, 100},
        {-5, 100, 0, 100},
        {2500, 2000, -1, 0},   // input ends early: no spinning, a failure
    };
    for (const auto &c : cases) {
        fed_pipe p(bytes(c.available, 0xAB));
        EXPECT_EQ(exhaust_fifo_data(p.rd.get(), c.count), c.rc) << c.count;
        EXPECT_EQ(read_all(p.rd.get()).size(), c.left) << c.count;
    }
}

TEST(SerialPort, OpenFailsOnAMissingPath)
{
    EXPECT_EQ(OpenAndInitSerialCom("/nonexistent/ttyUSB9", 0), -1);
    EXPECT_EQ(OpenAndInitSerialCom(nullptr, 0), -1);
}

TEST(SerialPort, OpenPutsAPseudoTerminalIntoRawMode)
{
    unique_fd master(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    unique_fd port(OpenAndInitSerialCom(ptsname(master.get()), 1));
    ASSERT_TRUE(port.ok());
    struct termios t;
    ASSERT_EQ(tcgetattr(port.get(), &t), 0);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_iflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);

    // Raw: bytes pass unchanged in both directions.
    const uint8_t frame[] = {0x7E, 0x0D, 0x0A, 0x03, 0x7E};
    EXPECT_EQ(WriteToComPort(port.get(), frame, sizeof frame), (int)sizeof frame);
    uint8_t got[sizeof frame] = {};
    EXPECT_EQ(read_full(master.get(), got, sizeof got), (ssize_t)sizeof got);
    EXPECT_EQ(bytes(got, got + sizeof got), bytes(frame, frame + sizeof frame));
    EXPECT_EQ(write_full(master.get(), frame, sizeof frame), (ssize_t)sizeof frame);
    uint8_t back[16] = {};
    EXPECT_EQ(ReadComPort(port.get(), back, sizeof back), (int)sizeof frame);
}

TEST(Transmit, SendsTheFrameFormsAndNeverABrokenPacket)
{
    pkt_buffer_type pkt;
    const uint8_t nop[1] = {0x06};
    ASSERT_EQ(hdlc_build_packet(&pkt, nop, 1), 0);
    struct {
        int (*send)(int, const pkt_buffer_type *);
        bytes wire;
    } cases[] = {
        {transmit_packet, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
        {transmit_packet_no_leading_flag, {0x06, 0x4E, 0x95, 0x7E}},
        {transmit_packet_at, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},
    };
    for (const auto &c : cases) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        unique_fd rd(p[0]), wr(p[1]);
        EXPECT_EQ(c.send(wr.get(), &pkt), (int)c.wire.size());
        wr.reset();
        EXPECT_EQ(read_all(rd.get()), c.wire);
    }

    // Too large for the transmit buffers, or broken: nothing goes out.
    static pkt_buffer_type big;
    bytes payload(5000, 0x7E);
    hdlc_build_packet(&big, payload.data(), 1000);          // 2000+ stored bytes
    ASSERT_FALSE(big.broken);
    hdlc_build_packet(&pkt, payload.data(), payload.size()); // breaks
    ASSERT_TRUE(pkt.broken);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    unique_fd rd(p[0]), wr(p[1]);
    EXPECT_EQ(transmit_packet_at(wr.get(), &big), 0);
    EXPECT_EQ(transmit_packet(wr.get(), &pkt), 0);
    EXPECT_EQ(transmit_packet_at(wr.get(), &pkt), 0);
    EXPECT_EQ(transmit_packet_no_leading_flag(wr.get(), &pkt), 0);
    EXPECT_GT(transmit_packet(wr.get(), &big), 2000);
    wr.reset();
    EXPECT_EQ(read_all(rd.get()).size(), (size_t)big.length + 2);
}

TEST(Receivers, FramedReceiversEndWhenTheModemGoesAway)
{
    const frame_case cases[] = {
        {"ack", {0x7E, 0x02, 0x6A, 0xD3, 0x7E}, ACK, true},
        {"close answer", {0x7E, 0x16, 0xCC, 0xA6, 0x7E}, -2, false},
        {"nothing at all", {}, NAK_FAILED, false},
        {"flags only", {0x7E, 0x7E, 0x7E}, NAK_FAILED, false},
        // The byte after an escape never arrives: nothing is made up for it.
        {"escape then silence", {0x7E, 0x02, 0x6A, 0x7D}, NAK_FAILED, false},
    };
    for (const auto &c : cases) {
        for (auto rcv : {rcv_ack_packet, rcv_ack_packet_for_timeout}) {
            bytes in = c.in;
            int expect = c.rc;
            bool complete_expected = c.complete;
            if (expect == -2) {   // build the close answer's frame here
                uint8_t out[8];
                const uint8_t p16[1] = {0x16};
                ssize_t n = hdlc_frame_payload(p16, 1, true, out, sizeof out);
                in.assign(out, out + n);
                expect = FATAL_ERROR;
                complete_expected = true;
            }
            fed_pipe p(in);
            uint8_t buf[DLOAD_RSP_BUF_SIZE] = {};
            bool complete = !complete_expected;
            EXPECT_EQ(rcv(p.rd.get(), buf, &complete), expect) << c.name;
            EXPECT_EQ(complete, complete_expected) << c.name;
        }
    }
}

TEST(Receivers, FloodWithoutAFrameIsBounded)
{
    fed_pipe p(bytes(60000, 0x55));
    uint8_t buf[DLOAD_RSP_BUF_SIZE] = {};
    EXPECT_EQ(rcv_ack_packet(p.rd.get(), buf), NAK_FAILED);
    // It stopped reading long before the end of the flood.
    EXPECT_GT(read_all(p.rd.get()).size(), 40000u);
}

TEST(Receivers, GoReceiverTakesSilenceAsSuccessAndAlwaysClosesThePort)
{
    struct {
        bytes in;
        int rc;
    } cases[] = {
        {{}, 0},
        {{0x7E, 0x02, 0x6A, 0xD3, 0x7E}, ACK},
        {{0x7E, 0x03, 0x00, 0x06, 0x9E, 0x4C, 0x7E}, NAK_INVALID_CMD},
        {bytes(400, 0x55), 0},      // the read limit
    };
    for (const auto &c : cases) {
        fed_pipe p(c.in);
        int fd = p.rd.release();
        uint8_t buf[DLOAD_RSP_BUF_SIZE] = {};
        EXPECT_EQ(rcv_ack_packet_go_cmd(fd, buf), c.rc);
        errno = 0;
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
        EXPECT_EQ(errno, EBADF);
    }
}

TEST(Receivers, StreamReplyIsTakenFromOneRead)
{
    const bytes reply = {0x7E, 0x08, 0x00, 0x04, 0x00, 0x00, 0x11, 0x22, 0x7E};
    fed_pipe p(reply);
    uint8_t buf[DLOAD_RSP_BUF_SIZE] = {};
    EXPECT_EQ(rcv_ack_packet_addr_check(p.rd.get(), buf, 0x400), 0);
    EXPECT_EQ(bytes(buf, buf + 9), reply);
}
