// What the virtual modem does that the library's commands cannot show: it
// refuses what a real modem refuses, and it comes and goes on the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "fault_rules.h"
#include "hdlc_response.h"
#include "modem_harness.h"
#include "raw_port.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

std::vector<uint8_t> write32_request(uint32_t addr, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p(7 + data.size());
    p[0] = 0x0F;
    put_be32(&p[1], addr);
    put_be16(&p[5], (uint16_t)data.size());
    std::copy(data.begin(), data.end(), p.begin() + 7);
    return p;
}

// Starts the virtual modem with the arguments and opens its diagnostic port
// raw. Call through ASSERT_NO_FATAL_FAILURE.
void start_with_port(modem_harness &modem, unique_fd &port, const std::vector<std::string> &args)
{
    ASSERT_TRUE(modem.start(args));
    port.reset(raw_open(modem.diag_port()));
    ASSERT_TRUE(port.ok());
}

std::vector<uint8_t> nak(uint16_t code)
{
    return {0x03, (uint8_t)(code >> 8), (uint8_t)code};
}

TEST(Modemsim, ProgrammerRefusesWhatARealOneRefuses)
{
    modem_harness modem;
    unique_fd port;
    ASSERT_NO_FATAL_FAILURE(start_with_port(modem, port, {"--start", "programmer"}));
    auto block = test_bytes(1024, 1);
    struct {
        const char *what;
        std::vector<uint8_t> request;
        std::vector<uint8_t> reply;
    } steps[] = {
        {"open before hello", {0x1B, 0x0F}, nak(NAK_OP_NOT_PERMITTED)},
        {"hello", hello_request(), {}},
        {"open before security", {0x1B, 0x0F}, nak(NAK_OP_NOT_PERMITTED)},
        {"security", {0x17, 0x01}, {0x18}},
        {"open before the partition table", {0x1B, 0x0F}, nak(NAK_OP_NOT_PERMITTED)},
        {"partition table", {0x19, 0x00, 0x01, 0x02, 0x03}, {0x1A, 0x00}},
        {"unknown image type", {0x1B, 0x42}, nak(NAK_INVALID_DEST)},
        {"write with nothing open", stream_write_request(0, block), nak(NAK_OP_NOT_PERMITTED)},
        {"open dbl", {0x1B, 0x0F}, {0x1C, 0x00}},
        {"block 0", stream_write_request(0, block), {0x08, 0x00, 0x00, 0x00, 0x00}},
        {"gap", stream_write_request(0x800, block), nak(0x0F)},
        {"block 0 again (lost answer)", stream_write_request(0, block), {0x08, 0x00, 0x00, 0x00, 0x00}},
        {"second open while dbl is open", {0x1B, 0x10}, nak(NAK_OP_NOT_PERMITTED)},
        {"block 1", stream_write_request(0x400, block), {0x08, 0x00, 0x04, 0x00, 0x00}},
        {"close", {0x15}, {0x16}},
        {"second close", {0x15}, nak(NAK_OP_NOT_PERMITTED)},
        {"unknown command", {0x55}, nak(NAK_INVALID_CMD)},
    };
    for (auto &s : steps) {
        SCOPED_TRACE(s.what);
        raw_reply r = raw_exchange(port.get(), s.request);
        ASSERT_TRUE(r.got);
        EXPECT_EQ(r.code, ACK);
        if (!s.reply.empty())
            EXPECT_EQ(r.payload, s.reply);
        else
            EXPECT_EQ(r.payload.at(0), 0x02);
    }
    std::vector<uint8_t> expected(block);
    expected.insert(expected.end(), block.begin(), block.end());
    EXPECT_EQ(modem.flash("dbl"), expected);
}

TEST(Modemsim, BrokenFramesAreNakedWithTheFramingCode)
{
    modem_harness modem;
    unique_fd port;
    ASSERT_NO_FATAL_FAILURE(start_with_port(modem, port, {"--start", "download"}));
    struct {
        std::vector<uint8_t> wire;
        uint16_t code;
    } cases[] = {
        {{0x7E, 0x06, 0x4E, 0x96, 0x7E}, NAK_INVALID_FCS},
        {{0x7E, 0x06, 0x7E}, NAK_EARLY_END},
        {{0x7E, 0x06, 0x4E, 0x7D}, NAK_INVALID_FCS},     // dangling escape, then the flag below
    };
    for (auto &c : cases) {
        std::vector<uint8_t> wire = c.wire;
        if (wire.back() != 0x7E)
            wire.push_back(0x7E);
        ASSERT_EQ(write(port.get(), wire.data(), wire.size()), (ssize_t)wire.size());
        raw_reply r = raw_receive(port.get(), 2000);
        ASSERT_TRUE(r.got);
        EXPECT_EQ(r.payload, nak(c.code));
    }
    // An oversize frame is refused as a whole, not cut into pieces.
    std::vector<uint8_t> big(9000, 0x11);
    big.insert(big.begin(), 0x7E);
    big.push_back(0x7E);
    ASSERT_EQ(write(port.get(), big.data(), big.size()), (ssize_t)big.size());
    raw_reply r = raw_receive(port.get(), 2000);
    ASSERT_TRUE(r.got);
    EXPECT_EQ(r.payload, nak(NAK_TOO_LARGE));
    EXPECT_FALSE(raw_receive(port.get(), 300).got);
}

TEST(Modemsim, ProgrammerWithAHoleNeverAnswersGo)
{
    modem_harness modem;
    unique_fd port;
    ASSERT_NO_FATAL_FAILURE(start_with_port(modem, port, {"--start", "download"}));
    auto block = test_bytes(16, 2);
    EXPECT_EQ(raw_exchange(port.get(), write32_request(0x100000, block)).payload, std::vector<uint8_t>{0x02});
    // The block at 0x100010 was skipped.
    EXPECT_EQ(raw_exchange(port.get(), write32_request(0x100020, block)).payload, std::vector<uint8_t>{0x02});
    EXPECT_EQ(raw_exchange(port.get(), write32_request(0x0FFFF0, block)).payload, nak(NAK_INVALID_DEST));

    EXPECT_FALSE(raw_exchange(port.get(), {0x05, 0x00, 0x10, 0x00, 0x00}, 500).got);
    EXPECT_FALSE(raw_exchange(port.get(), {0x06}, 500).got);      // crashed: silent until power-off
    EXPECT_EQ(modem.log_count("modem crashed"), 1);
}

TEST(Modemsim, PowerSwitchRemovesEveryPortAndBringsNormalFirmwareBack)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "download", "--enum-delay", "200"}));
    std::string diag_if = modem.sysfs() + "/bus/usb/devices/1-1:1.0/ttyUSB0";
    std::string at_if = modem.sysfs() + "/bus/usb/devices/1-1:1.2/ttyUSB2";
    std::string diag = modem.diag_port(), at = modem.at_port();
    EXPECT_TRUE(path_exists(diag_if));
    EXPECT_FALSE(path_exists(at_if));
    EXPECT_FALSE(path_exists(at));

    modem.set_power(0);
    EXPECT_TRUE(wait_until([&] { return !path_exists(diag) && !path_exists(diag_if); }, 3000));
    usleep(400000);
    EXPECT_FALSE(path_exists(diag));                  // stays off until switched on

    modem.set_power(1);
    EXPECT_TRUE(wait_until([&] { return path_exists(at) && path_exists(at_if) && path_exists(diag_if); }, 3000));
    unique_fd port(raw_open(diag));
    ASSERT_TRUE(port.ok());
    // Normal firmware again: the DIAG offline request is echoed.
    ASSERT_TRUE(raw_send(port.get(), {0x29, 0x01, 0x00}, false));
    raw_reply r = raw_receive(port.get(), 2000);
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{0x29, 0x01, 0x00}));
}

TEST(Modemsim, SwitchReEnumeratesWithTheDownloadModePortNumber)
{
    modem_harness modem;
    unique_fd port;
    ASSERT_NO_FATAL_FAILURE(start_with_port(modem, port, {"--download-tty", "3", "--enum-delay", "300"}));
    ASSERT_TRUE(raw_send(port.get(), {0x29, 0x01, 0x00}, false));
    EXPECT_EQ(raw_receive(port.get(), 2000).payload, (std::vector<uint8_t>{0x29, 0x01, 0x00}));
    ASSERT_TRUE(raw_send(port.get(), {0x3A}, false));
    EXPECT_EQ(raw_receive(port.get(), 2000).payload, std::vector<uint8_t>{0x3A});
    std::string moved = modem.links() + "/ttyUSB3";
    std::string moved_if = modem.sysfs() + "/bus/usb/devices/1-1:1.0/ttyUSB3";
    EXPECT_TRUE(wait_until([&] { return path_exists(moved) && path_exists(moved_if); }, 3000));
    EXPECT_FALSE(path_exists(modem.diag_port()));
    EXPECT_FALSE(path_exists(modem.at_port()));
    // The old descriptor belongs to a device that is gone.
    uint8_t b;
    EXPECT_LE(read(port.get(), &b, 1), 0);
}

TEST(Modemsim, FaultFileIsFollowedWhileRunningAndStopCleansUp)
{
    modem_harness modem;
    unique_fd port;
    ASSERT_NO_FATAL_FAILURE(start_with_port(modem, port, {"--start", "download"}));
    modem.write_faults("# the second NOP from now on goes unanswered\ndrop nop 2\nnak preq 1 6\n");
    EXPECT_TRUE(raw_exchange(port.get(), {0x06}).got);
    EXPECT_FALSE(raw_exchange(port.get(), {0x06}, 400).got);
    EXPECT_TRUE(raw_exchange(port.get(), {0x06}).got);
    EXPECT_EQ(raw_exchange(port.get(), {0x07}).payload, nak(NAK_INVALID_CMD));
    modem.write_faults("badfcs nop *\n");
    raw_reply r = raw_exchange(port.get(), {0x06});
    EXPECT_TRUE(r.got);
    EXPECT_EQ(r.code, NAK_INVALID_FCS);

    std::string diag = modem.diag_port();
    EXPECT_EQ(modem.stop(), 0);
    EXPECT_FALSE(path_exists(diag));
    EXPECT_FALSE(path_exists(modem.sysfs() + "/bus/usb/devices/1-1:1.0"));
}

TEST(ModemsimFaultRules, ParsesTheDocumentedSyntax)
{
    struct {
        const char *line;
        int rc;
        fault_action_t action;
        const char *kind;
        bool has_addr;
        uint32_t addr, first, last, arg;
    } cases[] = {
        {"drop stream-write@0x400 *", 0, FAULT_DROP, "stream-write", true, 0x400, 1, UINT32_MAX, 0},
        {"noreply close 2", 0, FAULT_NOREPLY, "close", false, 0, 2, 2, 0},
        {"nak open 3-5", 0, FAULT_NAK, "open", false, 0, 3, 5, 7},
        {"nak write32 1 13  # bad security code", 0, FAULT_NAK, "write32", false, 0, 1, 1, 13},
        {"late hello 4- 12000", 0, FAULT_LATE, "hello", false, 0, 4, UINT32_MAX, 12000},
        {"silent any 7", 0, FAULT_SILENT, "any", false, 0, 7, 7, 0},
        {"fail-image dsp1", 0, FAULT_FAIL_IMAGE, "dsp1", false, 0, 1, UINT32_MAX, 1},
        {"fail-image dsp1 1", 0, FAULT_FAIL_IMAGE, "dsp1", false, 0, 1, 1, 1},
        {"fail-image dsp1 1-5 open", 0, FAULT_FAIL_IMAGE, "dsp1", false, 0, 1, 5, 2},
        {"fail-image amss 2 stream", 0, FAULT_FAIL_IMAGE, "amss", false, 0, 2, 2, 3},
        {"fail-image amss 2 verify", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"nak at-cfun 1-2", 0, FAULT_NAK, "at-cfun", false, 0, 1, 2, 7},
        {"   # only a comment", 1, FAULT_DROP, "", false, 0, 1, 1, 0},
        {"drop nop", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"drop nop 0", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"drop nop 5-3", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"late nop 1", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"nak nop 1 70000", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"explode nop 1", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"drop stream-write@zz 1", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
        {"drop nop 1 extra", -1, FAULT_DROP, "", false, 0, 0, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        fault_rule r;
        char err[96];
        int rc = fault_rule_parse(c.line, &r, err, sizeof err);
        ASSERT_EQ(rc, c.rc);
        if (rc != 0)
            continue;
        EXPECT_EQ(r.action, c.action);
        EXPECT_STREQ(r.kind.data(), c.kind);
        EXPECT_EQ(r.has_addr, c.has_addr);
        EXPECT_EQ(r.addr, c.addr);
        EXPECT_EQ(r.first, c.first);
        EXPECT_EQ(r.last, c.last);
        EXPECT_EQ(r.arg, c.arg);
    }
}

TEST(ModemsimFaultRules, WindowCountsOnlyMatchingFrames)
{
    fault_set set;
    char err[96];
    ASSERT_EQ(fault_set_add_option(&set, "drop stream-write@0x400 2-3", err, sizeof err), 0);
    ASSERT_EQ(fault_set_add_option(&set, "fail-image efs 2", err, sizeof err), 0);
    bool dropped[6];
    uint32_t addrs[6] = {0x0, 0x400, 0x400, 0x800, 0x400, 0x400};
    for (int i = 0; i < 6; i++)
        dropped[i] = fault_set_match(&set, "stream-write", true, addrs[i]).drop;
    EXPECT_EQ((std::vector<bool>(dropped, dropped + 6)), (std::vector<bool>{false, false, true, false, true, false}));
    EXPECT_FALSE(fault_set_match(&set, "close", false, 0).drop);
    EXPECT_FALSE(fault_set_image_fails(&set, "efs"));
    EXPECT_FALSE(fault_set_image_fails(&set, "dbl"));
    EXPECT_TRUE(fault_set_image_fails(&set, "efs"));
    EXPECT_FALSE(fault_set_image_fails(&set, "efs"));
}

} // namespace
