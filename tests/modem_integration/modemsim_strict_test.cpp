// The virtual modem refuses what a real one refuses: wrong lengths and fixed
// bytes, commands out of order, frames without their opening flag at the
// start of a stage. Every request and every expected answer is written out as
// the bytes on the wire, check sequence included, so nothing here leans on
// the tool's own framing.
#include <gtest/gtest.h>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "modem_harness.h"
#include "raw_port.h"
#include "up_fd.h"

namespace {

using bytes = std::vector<uint8_t>;

// Reads until n bytes came or timeout_ms (scaled time) passed without one.
bytes read_wire(int fd, size_t n, int timeout_ms = 20000)
{
    bytes out;
    while (out.size() < n) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        uint8_t buf[256];
        ssize_t k = read(fd, buf, n - out.size() < sizeof buf ? n - out.size() : sizeof buf);
        if (k <= 0)
            break;
        out.insert(out.end(), buf, buf + k);
    }
    return out;
}

bytes wire_exchange(int fd, const bytes &request, size_t answer_len)
{
    if (write(fd, request.data(), request.size()) != (ssize_t)request.size())
        return {};
    return read_wire(fd, answer_len);
}

const bytes HELLO = {0x7E, 0x01, 0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F,
                     0x77, 0x6E, 0x6C, 0x6F, 0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F,
                     0x6C, 0x20, 0x68, 0x6F, 0x73, 0x74, 0x03, 0x02, 0x01, 0x56, 0xA7, 0x7E};
const bytes NAK3 = {0x7E, 0x03, 0x00, 0x03, 0x33, 0x1B, 0x7E};
const bytes NAK6 = {0x7E, 0x03, 0x00, 0x06, 0x9E, 0x4C, 0x7E};
const bytes NAK7 = {0x7E, 0x03, 0x00, 0x07, 0x17, 0x5D, 0x7E};
const bytes NAK10 = {0x7E, 0x03, 0x00, 0x0A, 0xF2, 0x86, 0x7E};
const bytes SECURITY = {0x7E, 0x17, 0x01, 0x57, 0xC6, 0x7E};
const bytes SECURITY_REPLY = {0x7E, 0x18, 0xB1, 0x6C, 0x7E};
const bytes PARTITION = {0x7E, 0x19, 0x00, 0xA1, 0xB2, 0xA2, 0xE6, 0x7E};
const bytes PARTITION_REPLY = {0x7E, 0x1A, 0x00, 0xA6, 0x67, 0x7E};
const bytes OPEN_DBL = {0x7E, 0x1B, 0x0F, 0x89, 0x86, 0x7E};
const bytes OPEN_REPLY = {0x7E, 0x1C, 0x00, 0x76, 0x33, 0x7E};
const bytes WRITE_0 = {0x7E, 0x07, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0xAF, 0xD3, 0x7E};
const bytes ACK_0 = {0x7E, 0x08, 0x00, 0x00, 0x00, 0x00, 0x57, 0x95, 0x7E};
const bytes WRITE_3 = {0x7E, 0x07, 0x03, 0x00, 0x00, 0x00, 0x44, 0xB2, 0xF2, 0x7E};
const bytes ACK_3 = {0x7E, 0x08, 0x03, 0x00, 0x00, 0x00, 0x9A, 0xB0, 0x7E};
const bytes CLOSE = {0x7E, 0x15, 0x54, 0xB7, 0x7E};
const bytes CLOSE_REPLY = {0x7E, 0x16, 0xCF, 0x85, 0x7E};

// A partition table frame of n zero bytes: 0x19, 0x00, the table, the check.
bytes partition_of_zeros(size_t n, uint8_t check_lo, uint8_t check_hi)
{
    // Sized once and filled in place: growing a three-byte vector by
    // insertions makes GCC 12 at -O3 see a copy past its old end.
    bytes b(n + 6, 0x00);
    b[0] = 0x7E;
    b[1] = 0x19;
    b[n + 3] = check_lo;
    b[n + 4] = check_hi;
    b[n + 5] = 0x7E;
    return b;
}

TEST(ModemsimStrict, ProgrammerChecksLengthsFixedBytesAndOrder)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "programmer"}));
    unique_fd port(raw_open(modem.diag_port()));
    ASSERT_TRUE(port.ok());
    struct {
        const char *what;
        bytes request, answer;
    } steps[] = {
        {"partition table before hello", PARTITION, NAK10},
        {"hello with a wrong magic",
         {0x7E, 0x01, 0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F, 0x77, 0x6E, 0x6C,
          0x6F, 0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F, 0x6C, 0x20, 0x68, 0x6F, 0x73, 0x54,
          0x03, 0x02, 0x01, 0x05, 0x28, 0x7E},
         NAK6},
        {"hello without its feature byte",
         {0x7E, 0x01, 0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F, 0x77, 0x6E, 0x6C,
          0x6F, 0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F, 0x6C, 0x20, 0x68, 0x6F, 0x73, 0x74,
          0x03, 0x02, 0x04, 0x83, 0x7E},
         NAK3},
        {"hello of protocol version 1",
         {0x7E, 0x01, 0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F, 0x77, 0x6E, 0x6C,
          0x6F, 0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F, 0x6C, 0x20, 0x68, 0x6F, 0x73, 0x74,
          0x01, 0x01, 0x01, 0x86, 0x38, 0x7E},
         NAK7},
    };
    for (auto &s : steps)
        EXPECT_EQ(wire_exchange(port.get(), s.request, s.answer.size()), s.answer) << s.what;
    bytes hello_reply = wire_exchange(port.get(), HELLO, 2);
    EXPECT_EQ(hello_reply, (bytes{0x7E, 0x02}));
    usleep(100000);
    tcflush(port.get(), TCIFLUSH);
    struct {
        const char *what;
        bytes request, answer;
    } after_hello[] = {
        {"partition table before security mode", PARTITION, NAK10},
        {"security mode 0", {0x7E, 0x17, 0x00, 0xDE, 0xD7, 0x7E}, NAK6},
        {"security mode with a third byte", {0x7E, 0x17, 0x01, 0x01, 0x0D, 0xC7, 0x7E}, NAK3},
        {"security mode", SECURITY, SECURITY_REPLY},
        {"open before the partition table", OPEN_DBL, NAK10},
        {"partition table with override flag 1", {0x7E, 0x19, 0x01, 0xA1, 0xB2, 0x7D, 0x5E, 0xBC, 0x7E}, NAK6},
        {"partition table of 0 bytes", {0x7E, 0x19, 0x00, 0xCE, 0x4D, 0x7E}, NAK3},
        {"partition table of 512 bytes", partition_of_zeros(512, 0x75, 0x81), NAK3},
        {"partition table of 511 bytes", partition_of_zeros(511, 0x52, 0x9A), PARTITION_REPLY},
        {"open dbl", OPEN_DBL, OPEN_REPLY},
        {"open osbl while dbl is open", {0x7E, 0x1B, 0x10, 0xFF, 0x6E, 0x7E}, NAK10},
        {"stream write without data", {0x7E, 0x07, 0x00, 0x00, 0x00, 0x00, 0xAB, 0xFF, 0x7E}, NAK3},
        {"stream write", WRITE_0, ACK_0},
        {"close with a second byte", {0x7E, 0x15, 0x00, 0x6E, 0xE4, 0x7E}, NAK3},
        {"close", CLOSE, CLOSE_REPLY},
        {"reset with a non-zero byte", {0x7E, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x96, 0x35, 0x7E}, NAK6},
        {"reset of 7 bytes", {0x7E, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF2, 0xFA, 0x7E}, NAK3},
        {"reset", {0x7E, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x24, 0x7E}, {0x7E, 0x0C, 0x14, 0x3A, 0x7E}},
    };
    for (auto &s : after_hello)
        EXPECT_EQ(wire_exchange(port.get(), s.request, s.answer.size()), s.answer) << s.what;
    EXPECT_EQ(modem.flash("dbl"), (bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(modem.flash("partition"), bytes(511, 0x00));
}

TEST(ModemsimStrict, BootLoaderHuntsForAFlagAndChecksLengths)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "download"}));
    unique_fd port(raw_open(modem.diag_port()));
    ASSERT_TRUE(port.ok());
    // The first frame of the stage without its opening flag is line noise.
    EXPECT_EQ(wire_exchange(port.get(), {0x06, 0x4E, 0x95, 0x7E}, 5).size(), 0u);
    EXPECT_EQ(modem.log_count("3 bytes before the first flag discarded"), 1);
    const bytes ACK = {0x7E, 0x02, 0x6A, 0xD3, 0x7E};
    EXPECT_EQ(wire_exchange(port.get(), {0x7E, 0x06, 0x4E, 0x95, 0x7E}, 5), ACK);
    // Later frames may lean on the previous closing flag.
    EXPECT_EQ(wire_exchange(port.get(), {0x06, 0x4E, 0x95, 0x7E}, 5), ACK);
    EXPECT_EQ(wire_exchange(port.get(), {0x7E, 0x06, 0x00, 0x97, 0x5B, 0x7E}, 7), NAK3);
    EXPECT_EQ(wire_exchange(port.get(), {0x7E, 0x07, 0x00, 0x4F, 0x42, 0x7E}, 7), NAK3);
}

TEST(ModemsimStrict, NormalFirmwareSwitchesOnlyWhenOffline)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--enum-delay", "300"}));
    unique_fd port(raw_open(modem.diag_port()));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(wire_exchange(port.get(), {0x3A, 0xA1, 0x6E, 0x7E}, 5), (bytes{0x18, 0x3A, 0xCF, 0xCA, 0x7E}));
    EXPECT_EQ(modem.log_count("switch while online refused"), 1);
    EXPECT_TRUE(path_exists(modem.at_port()));
    const bytes OFFLINE = {0x29, 0x01, 0x00, 0x31, 0x40, 0x7E};
    EXPECT_EQ(wire_exchange(port.get(), OFFLINE, 6), OFFLINE);
    EXPECT_EQ(wire_exchange(port.get(), {0x3A, 0xA1, 0x6E, 0x7E}, 4), (bytes{0x3A, 0xA1, 0x6E, 0x7E}));
    EXPECT_TRUE(wait_until([&] { return !path_exists(modem.at_port()); }, 3000));
}

TEST(ModemsimStrict, CommandOfAnotherStageGetsThisStagesRefusal)
{
    const bytes NOP = {0x7E, 0x06, 0x4E, 0x95, 0x7E};
    struct {
        const char *stage;
        bytes request, answer;
    } cases[] = {
        {"normal", NOP, {0x13, 0x06, 0x88, 0xD5, 0x7E}},    // DIAG: bad command, request echoed
        {"download", HELLO, NAK6},
        {"programmer", NOP, NAK10},                           // before hello only hello is taken
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.stage);
        modem_harness modem;
        ASSERT_TRUE(modem.start({"--start", c.stage}));
        unique_fd port(raw_open(modem.diag_port()));
        ASSERT_TRUE(port.ok());
        EXPECT_EQ(wire_exchange(port.get(), c.request, c.answer.size()), c.answer);
    }
}

// Brings the programmer to an open DBL image.
void open_dbl(int fd)
{
    ASSERT_EQ(wire_exchange(fd, HELLO, 2), (bytes{0x7E, 0x02}));
    usleep(100000);
    tcflush(fd, TCIFLUSH);
    ASSERT_EQ(wire_exchange(fd, SECURITY, SECURITY_REPLY.size()), SECURITY_REPLY);
    ASSERT_EQ(wire_exchange(fd, PARTITION, PARTITION_REPLY.size()), PARTITION_REPLY);
    ASSERT_EQ(wire_exchange(fd, OPEN_DBL, OPEN_REPLY.size()), OPEN_REPLY);
}

TEST(ModemsimStrict, AnswersSplitNoisyStaleOrTrickling)
{
    struct {
        const char *rule;
        bytes answer;            // everything that arrives for the block at 3
        const char *log;
    } cases[] = {
        {"split stream-write@3 1 4", ACK_3, "fault split"},
        {"trickle stream-write@3 1 1", ACK_3, "fault trickle"},
        {"noise stream-write@3 1 5", {0x31, 0x38, 0x3F, 0x46, 0x4D, 0x7E, 0x08, 0x03, 0x00, 0x00, 0x00, 0x9A, 0xB0, 0x7E},
         "fault noise 5 bytes"},
        {"stale stream-write@3 1",
         {0x7E, 0x08, 0x03, 0x04, 0x00, 0x00, 0xFB, 0xD3, 0x7E, 0x7E, 0x08, 0x03, 0x00, 0x00, 0x00, 0x9A, 0xB0, 0x7E},
         "fault stale answer for 0x00000403"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.rule);
        modem_harness modem;
        ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", c.rule}));
        unique_fd port(raw_open(modem.diag_port()));
        ASSERT_TRUE(port.ok());
        open_dbl(port.get());
        bytes first = {0x7E, 0x07, 0x00, 0x00, 0x00, 0x00, 0x11, 0x22, 0x33, 0xAF, 0xD3, 0x7E};
        ASSERT_EQ(wire_exchange(port.get(), first, ACK_0.size()), ACK_0);
        EXPECT_EQ(wire_exchange(port.get(), WRITE_3, c.answer.size()), c.answer);
        EXPECT_EQ(modem.log_count(c.log), 1);
        EXPECT_EQ(wire_exchange(port.get(), CLOSE, CLOSE_REPLY.size()), CLOSE_REPLY);
        EXPECT_EQ(modem.flash("dbl"), (bytes{0x11, 0x22, 0x33, 0x44}));
    }
}

} // namespace
