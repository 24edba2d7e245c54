// The virtual modem's AT port: commands as the tool sends them (literal
// texts), the answers a real modem gives, the function level and the
// firmware version across power cycles and flashes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

#include "modem_harness.h"
#include "raw_port.h"
#include "test_files.h"
#include "up_fd.h"

namespace {

const std::string OK = "\r\nOK\r\n";
const std::string ERROR = "\r\nERROR\r\n";

using testkit::read_text;

// A command in the tool's fixed 128-byte buffer: the text, then zero bytes.
std::string padded(const std::string &text)
{
    std::string s = text;
    s.resize(128, '\0');
    return s;
}

void write_identity(const modem_harness &modem, const std::string &text)
{
    std::ofstream(modem.state() + "/identity") << text;
}

TEST(ModemsimAt, IdentityReadsAnswerQuotedValues)
{
    modem_harness modem;
    ASSERT_EQ(system(("mkdir -p " + modem.state()).c_str()), 0);
    write_identity(modem, "sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS?1\nsimlock=1,46000\n");
    ASSERT_TRUE(modem.start({"--version", "ZMR_V100_EFS01"}));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(at.ok());
    struct {
        const char *command, *answer;
    } cases[] = {
        {"AT+KQTSN=0,5\r\n\r\n", "\r\n+KQTSN: \"SN778899\"\r\n\r\nOK\r\n"},
        {"AT+KQTSN=0,7\r\n\r\n", "\r\n+KQTSN: \"861234567890123\"\r\n\r\nOK\r\n"},
        {"at+kqtsn=0,7\r\n", "\r\n+KQTSN: \"861234567890123\"\r\n\r\nOK\r\n"},
        {"AT+TESTINF2=?\r\n\r\n\r\n", "\r\n+TESTINF2: \"RF:PASS?1\"\r\n\r\nOK\r\n"},
        {"AT+NWLCFG?\r\n\r\n", "\r\n+NWLCFG: \"1,46000\"\r\n\r\nOK\r\n"},
        {"AT+KQTSW\r\n\r\n", "\r\n+KQTSW: InnerVersion:ZMR_V100_EFS01\r\n\r\nOK\r\n"},
        {"AT+CFUN?\r\n", "\r\n+CFUN: 1\r\n\r\nOK\r\n"},
        {"AT\r", "\r\nOK\r\n"},
        {"AT+KQTSN=0,9\r\n", "\r\nERROR\r\n"},
        {"AT+CFUN=7\r\n", "\r\nERROR\r\n"},
        {"ATD112;\r\n", "\r\nERROR\r\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(at_exchange(at.get(), c.command), c.answer) << c.command;
    // The log shows what was sent, control characters written out.
    EXPECT_EQ(modem.log_count("rx normal at \"AT+KQTSN=0,5\""), 1);
    EXPECT_EQ(modem.log_count("rx normal at \"at+kqtsn=0,7\""), 1);
    // The answer is logged just after it is written.
    EXPECT_TRUE(wait_until([&] { return modem.log_count("tx normal at \"\\r\\nERROR\\r\\n\"") == 3; }, 20000));
}

TEST(ModemsimAt, IdentityWritesOnlyInFactoryTestModeAndLevelLastsUntilPowerCycle)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--enum-delay", "200"}));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(at.ok());
    // Online: a real modem refuses the factory writes.
    EXPECT_EQ(at_exchange(at.get(), padded("AT+KQTSN=1,5,\"NEWSN1\"\r\n")), ERROR);
    EXPECT_EQ(modem.log_count("refused: identity writes need factory test mode"), 1);

    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), OK);
    struct {
        std::string command, answer;
    } writes[] = {
        {padded("AT+KQTSN=1,5,\"NEWSN1\"\r\n"), OK},
        {padded("AT+KQTSN=1,7,\"001234567890128\"\r\n"), OK},
        {padded("AT+KQTSN=1,7,\"12345\"\r\n"), ERROR},                // not 15 digits
        {padded("AT+KQTSN=1,5,NEWSN2\r\n"), ERROR},                   // not quoted
        {padded("AT+TESTINF2=\"RF:PASS\"\r\n"), OK},
        {padded("AT+NWLSET=\"1,46001\"\r\n"), OK},
        {padded("AT+DISK=8,\"D2\"\r\n"), OK},
    };
    for (auto &w : writes)
        EXPECT_EQ(at_exchange(at.get(), w.command), w.answer) << w.command.c_str();
    EXPECT_EQ(read_text(modem.state() + "/identity"),
              "sn=NEWSN1\nimei=001234567890128\ntestinf=RF:PASS\nsimlock=1,46001\ninds=D2\n");
    EXPECT_EQ(at_exchange(at.get(), padded("AT+NWLSET=0\r\n")), OK);
    EXPECT_EQ(at_exchange(at.get(), "AT+NWLCFG?\r\n\r\n"), "\r\n+NWLCFG: \"0\"\r\n\r\nOK\r\n");
    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN?\r\n"), "\r\n+CFUN: 5\r\n\r\nOK\r\n");

    modem.set_power(0);
    ASSERT_TRUE(wait_until([&] { return !path_exists(modem.at_port()); }, 3000));
    modem.set_power(1);
    ASSERT_TRUE(wait_until([&] { return path_exists(modem.at_port()); }, 3000));
    unique_fd again(raw_open(modem.at_port()));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(at_exchange(again.get(), "AT+CFUN?\r\n"), "\r\n+CFUN: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(at_exchange(again.get(), "AT+KQTSN=0,5\r\n\r\n"), "\r\n+KQTSN: \"NEWSN1\"\r\n\r\nOK\r\n");
    EXPECT_EQ(modem.log_count("power off"), 1);
    EXPECT_EQ(modem.log_count("power on"), 1);
}

TEST(ModemsimAt, FaultRulesReachTheAtCommands)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--fault", "nak at-cfun 1-2", "--fault", "drop at-kqtsw 1"}));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(at.ok());
    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), ERROR);
    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), ERROR);
    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), OK);
    EXPECT_EQ(at_exchange(at.get(), "AT+KQTSW\r\n\r\n", 300), "");
    EXPECT_EQ(at_exchange(at.get(), "AT+KQTSW\r\n\r\n"), "\r\n+KQTSW: InnerVersion:ZMR_V100\r\n\r\nOK\r\n");
}

// Flashes an AMSS image through the programmer and resets it.
// The boot loader's hello: the host's name, then version 3, oldest
// compatible version 2 and feature bits 1.
std::vector<uint8_t> hello_request()
{
    std::vector<uint8_t> hello(36);
    hello[0] = 0x01;
    memcpy(&hello[1], "QCOM fast download protocol host", 32);
    hello[33] = 0x03;
    hello[34] = 0x02;
    hello[35] = 0x01;
    return hello;
}

void flash_amss_and_reset(int diag, const std::vector<uint8_t> &image)
{
    const std::vector<uint8_t> hello = hello_request();
    EXPECT_EQ(raw_exchange(diag, hello).payload.at(0), 0x02);
    EXPECT_EQ(raw_exchange(diag, {0x17, 0x01}).payload, std::vector<uint8_t>{0x18});
    EXPECT_EQ(raw_exchange(diag, {0x19, 0x00, 0x01}).payload, (std::vector<uint8_t>{0x1A, 0x00}));
    EXPECT_EQ(raw_exchange(diag, {0x1B, 0x05}).payload, (std::vector<uint8_t>{0x1C, 0x00}));
    std::vector<uint8_t> write(5 + image.size(), 0);
    write[0] = 0x07;
    std::copy(image.begin(), image.end(), write.begin() + 5);
    EXPECT_EQ(raw_exchange(diag, write).payload, (std::vector<uint8_t>{0x08, 0, 0, 0, 0}));
    EXPECT_EQ(raw_exchange(diag, {0x15}).payload, std::vector<uint8_t>{0x16});
    EXPECT_EQ(raw_exchange(diag, {0x0B, 0, 0, 0, 0, 0, 0, 0}).payload, std::vector<uint8_t>{0x0C});
}

TEST(ModemsimAt, FirmwareVersionChangesAtTheResetAfterAFlash)
{
    const char raw[] = "AMSS\x01\x02InnerVersion:ZMR_V300_EFS03\x00 rest";
    std::string amss(raw, sizeof raw - 1);
    struct {
        std::vector<std::string> args;
        const char *after;
    } cases[] = {
        {{"--version", "ZMR_V100"}, "ZMR_V300_EFS03"},                    // named by the AMSS image
        {{"--version", "ZMR_V100", "--flash-version", "ZMR_V250"}, "ZMR_V250"},
    };
    for (auto &c : cases) {
        modem_harness modem;
        std::vector<std::string> args = {"--start", "programmer", "--enum-delay", "200"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_TRUE(modem.start(args));
        unique_fd diag(raw_open(modem.diag_port()));
        ASSERT_TRUE(diag.ok());
        flash_amss_and_reset(diag.get(), std::vector<uint8_t>(amss.begin(), amss.end()));
        ASSERT_TRUE(wait_until([&] { return path_exists(modem.at_port()); }, 3000));
        unique_fd at(raw_open(modem.at_port()));
        ASSERT_TRUE(at.ok());
        EXPECT_EQ(at_exchange(at.get(), "AT+KQTSW\r\n\r\n"),
                  std::string("\r\n+KQTSW: InnerVersion:") + c.after + "\r\n\r\nOK\r\n");
        EXPECT_EQ(read_text(modem.state() + "/version"), std::string(c.after) + "\n");
    }
}

} // namespace

namespace {

TEST(ModemsimFaults, ImageRefusedAtOpenOrStreamThenAccepted)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "fail-image dsp1 1 open", "--fault",
                             "fail-image dsp1 2 stream"}));
    unique_fd diag(raw_open(modem.diag_port()));
    ASSERT_TRUE(diag.ok());
    const std::vector<uint8_t> hello = hello_request();
    ASSERT_EQ(raw_exchange(diag.get(), hello).payload.at(0), 0x02);
    ASSERT_EQ(raw_exchange(diag.get(), {0x17, 0x01}).payload, std::vector<uint8_t>{0x18});
    ASSERT_EQ(raw_exchange(diag.get(), {0x19, 0x00, 0x01}).payload, (std::vector<uint8_t>{0x1A, 0x00}));
    std::vector<uint8_t> block = {0x07, 0, 0, 0, 0, 0xAA, 0xBB};
    // First DSP1 transfer: the open is refused.
    EXPECT_EQ(raw_exchange(diag.get(), {0x1B, 0x0D}).payload, (std::vector<uint8_t>{0x03, 0x00, 0x0A}));
    EXPECT_EQ(raw_exchange(diag.get(), block).payload, (std::vector<uint8_t>{0x03, 0x00, 0x0A}));
    // Second: opened, but every block is refused; nothing is stored.
    EXPECT_EQ(raw_exchange(diag.get(), {0x1B, 0x0D}).payload, (std::vector<uint8_t>{0x1C, 0x00}));
    EXPECT_EQ(raw_exchange(diag.get(), block).payload, (std::vector<uint8_t>{0x03, 0x00, 0x0B}));
    EXPECT_EQ(raw_exchange(diag.get(), block).payload, (std::vector<uint8_t>{0x03, 0x00, 0x0B}));
    EXPECT_EQ(raw_exchange(diag.get(), {0x15}).payload, (std::vector<uint8_t>{0x03, 0x00, 0x0B}));
    EXPECT_FALSE(modem.flash_exists("dsp1"));
    // Third: accepted.
    EXPECT_EQ(raw_exchange(diag.get(), {0x1B, 0x0D}).payload, (std::vector<uint8_t>{0x1C, 0x00}));
    EXPECT_EQ(raw_exchange(diag.get(), block).payload, (std::vector<uint8_t>{0x08, 0, 0, 0, 0}));
    EXPECT_EQ(raw_exchange(diag.get(), {0x15}).payload, std::vector<uint8_t>{0x16});
    EXPECT_EQ(modem.flash("dsp1"), (std::vector<uint8_t>{0xAA, 0xBB}));
}

} // namespace
