// AT answers and identity writes as text, and the port exchanges against a
// modem played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "at_answer.h"
#include "at_channel.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

// 1 and the value, or 0 and "<none>".
std::string value_of(const char *answer, const char *drop, size_t size = 64)
{
    std::string out(size, '#');
    int rc = at_answer_value(answer, drop, &out[0], size);
    return rc == 1 ? "1:" + std::string(out.c_str()) : "0:" + out.substr(0, 1);
}

std::string composed(const efs_h_cfg &cfg, const char *prefix, int flag, int *rc = nullptr)
{
    char out[AT_WRITE_CMD_SIZE];
    memset(out, 'x', sizeof out);
    int r = at_compose_write(&cfg, prefix, flag, out);
    if (rc != nullptr)
        *rc = r;
    for (size_t i = strlen(out); i < sizeof out; i++)
        EXPECT_EQ(out[i], '\0') << "byte " << i << " of the 128 sent";
    return out;
}

} // namespace

TEST(AtAnswer, QuotedValueKeepsItsQuotesWithOrWithoutOk)
{
    EXPECT_EQ(value_of("\r\n+KQTSN: \"AB12\"\r\n\r\nOK\r\n", AT_DROP_READ), "1:\"AB12\"");
    EXPECT_EQ(value_of("\"AB12\"\r\n", AT_DROP_READ), "1:\"AB12\"");
    // The first pair of quotes is the value.
    EXPECT_EQ(value_of("\"A\" \"B\" OK", AT_DROP_READ), "1:\"A\"");
}

TEST(AtAnswer, ErrorOrMissingQuotesGiveNoValueAndLeaveTheBufferAlone)
{
    EXPECT_EQ(value_of("\"AB12\"\r\nOK\r\nERROR\r\n", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("+KQTSN: \"AB12\r\nOK\r\n", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("OK\r\n", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("", AT_DROP_READ), "0:#");
}

TEST(AtAnswer, ColonsAndQuestionMarksAreLeftOutByReadKind)
{
    EXPECT_EQ(value_of("\"12:34?5\"\r\nOK", AT_DROP_READ), "1:\"12345\"");
    EXPECT_EQ(value_of("\"12:34?5\"\r\nOK", AT_DROP_TESTINF), "1:\"12:345\"");
}

TEST(AtAnswer, ValueThatDoesNotFitIsRefused)
{
    // "ABCD" with its quotes is 6 characters: 7 bytes hold it, 6 do not.
    EXPECT_EQ(value_of("\"ABCD\"", AT_DROP_READ, 7), "1:\"ABCD\"");
    EXPECT_EQ(value_of("\"ABCD\"", AT_DROP_READ, 6), "0:#");
    // Dropped characters do not count.
    EXPECT_EQ(value_of("\"AB::CD\"", AT_DROP_READ, 7), "1:\"ABCD\"");
}

TEST(AtAnswer, FirmwareVersionRunsFromZmrToTheCarriageReturn)
{
    char out[256];
    ASSERT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r\nOK\r\n", out, sizeof out), 0);
    EXPECT_STREQ(out, "ZMR_V1.0");
    ASSERT_EQ(at_firmware_version("+KQTSW\nInnerVersion: build ZMR_B2_EFS3", out, sizeof out), 0);
    EXPECT_STREQ(out, "ZMR_B2_EFS3");
    EXPECT_EQ(at_firmware_version("InnerVersion:XYZ_V1.0\r\nOK", out, sizeof out), -1);
    // ZMR before InnerVersion does not count.
    EXPECT_EQ(at_firmware_version("ZMR_V1.0 InnerVersion:\r\nOK", out, sizeof out), -1);
    EXPECT_EQ(at_firmware_version("ZMR_V1.0\r\nOK", out, sizeof out), -1);
    EXPECT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r", out, 8), -1);
    ASSERT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r", out, 9), 0);
}

TEST(AtAnswer, ImeiMustBeNonEmptyWithoutElevenZeros)
{
    EXPECT_TRUE(at_imei_plausible("\"356938035643809\""));
    EXPECT_TRUE(at_imei_plausible("\"3500000000001\""));     // ten zeros
    EXPECT_FALSE(at_imei_plausible("\"350000000000019\""));  // eleven zeros
    EXPECT_FALSE(at_imei_plausible(""));
    EXPECT_FALSE(at_imei_plausible(nullptr));
}

TEST(AtAnswer, IdentityWritesAppendTheSelectedField)
{
    efs_h_cfg cfg{};
    strcpy(cfg.strSN, "\"SN77\"");
    strcpy(cfg.strIMEI, "\"356938035643809\"");
    strcpy(cfg.strTESTINF, "\"T:1\"");
    strcpy(cfg.strSIMLOCK, "\"1,2\"");
    strcpy(cfg.strSIMLOCKList, "46001");
    strcpy(cfg.strINDS, "\"D2\"");
    EXPECT_EQ(composed(cfg, "AT+KQTSN=1,5,", 0), "AT+KQTSN=1,5,\"SN77\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+KQTSN=1,7,", 1), "AT+KQTSN=1,7,\"356938035643809\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+TESTINF2=", 2), "AT+TESTINF2=\"T:1\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+NWLSET=", 3), "AT+NWLSET=\"1,2\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+DISK=8,", 5), "AT+DISK=8,\"D2\"\r\n");
    // Flag 4: the list only when the lock word is exactly 1.
    EXPECT_EQ(composed(cfg, "AT+NWLSET=1,", 4), "AT+NWLSET=0\r\n");
    cfg.SIMLOCK = 1;
    EXPECT_EQ(composed(cfg, "AT+NWLSET=1,", 4), "AT+NWLSET=1,46001\r\n");
    cfg.SIMLOCK = 2;
    EXPECT_EQ(composed(cfg, "AT+NWLSET=1,", 4), "AT+NWLSET=0\r\n");
    // Any other flag: the prefix alone, without a line end.
    EXPECT_EQ(composed(cfg, "AT+CFUN=1", 7), "AT+CFUN=1");
}

TEST(AtAnswer, WriteThatDoesNotFit128BytesIsNotComposed)
{
    efs_h_cfg cfg{};
    cfg.SIMLOCK = 1;
    memset(cfg.strSIMLOCKList, 'L', 127);
    int rc = 0;
    EXPECT_EQ(composed(cfg, "AT+NWLSET=", 4, &rc), "");
    EXPECT_EQ(rc, -1);
    // 113 list characters + 10 of prefix + 2 of line end = 125: fits.
    cfg.strSIMLOCKList[113] = '\0';
    EXPECT_EQ(composed(cfg, "AT+NWLSET=", 4, &rc).size(), 125u);
    EXPECT_EQ(rc, 0);
    // A text field that fills its 64 bytes is not read past its end.
    memset(cfg.strSN, 'S', sizeof cfg.strSN);
    EXPECT_EQ(composed(cfg, "P", 0, &rc), "P" + std::string(64, 'S') + "\r\n");
    std::string prefix(127, 'p');
    EXPECT_EQ(composed(cfg, prefix.c_str(), 9, &rc).size(), 127u);
    prefix += 'p';
    EXPECT_EQ(composed(cfg, prefix.c_str(), 9, &rc), "");
    EXPECT_EQ(rc, -1);
}

namespace {

// A modem's AT port on a pseudo-terminal: answers each command it reads
// with the next canned answer and records what it got.
struct fake_at_port {
    unique_fd master;
    std::string path;
    std::vector<std::string> answers;
    std::vector<std::string> received;
    std::thread th;

    explicit fake_at_port(std::vector<std::string> a) : answers(std::move(a))
    {
        master.reset(posix_openpt(O_RDWR | O_NOCTTY));
        EXPECT_TRUE(master.ok());
        EXPECT_EQ(grantpt(master.get()), 0);
        EXPECT_EQ(unlockpt(master.get()), 0);
        path = ptsname(master.get());
    }
    void start()
    {
        th = std::thread([this] {
            for (const std::string &a : answers) {
                char buf[600];
                ssize_t n = read(master.get(), buf, sizeof buf);
                if (n <= 0)
                    return;
                received.emplace_back(buf, (size_t)n);
                if (write(master.get(), a.data(), a.size()) < 0)
                    return;
            }
        });
    }
    ~fake_at_port()
    {
        if (th.joinable())
            th.join();
    }
};

} // namespace

TEST(AtChannel, ModeChangeRepeatsTheCommandUntilOk)
{
    fake_at_port modem({"\r\nERROR\r\n", "\r\n+CME: busy\r\n", "\r\nOK\r\n"});
    modem.start();
    EXPECT_EQ(mu_change_mode(modem.path.c_str(), "AT+CFUN=5\r\n\r\n"), 0);
    modem.th.join();
    ASSERT_EQ(modem.received.size(), 3u);
    for (const std::string &cmd : modem.received)
        EXPECT_EQ(cmd, "AT+CFUN=5\r\n\r\n");
}

TEST(AtChannel, FirmwareVersionAndImeiAreReadFromTheirAnswers)
{
    fake_at_port modem({"\r\nInnerVersion:ZMR_V3.1\r\nOK\r\n"});
    modem.start();
    char version[256] = {};
    EXPECT_EQ(get_firmware_version(modem.path.c_str(), version, sizeof version), 0);
    EXPECT_STREQ(version, "ZMR_V3.1");
    modem.th.join();
    EXPECT_EQ(modem.received.at(0), "AT+KQTSW\r\n\r\n");

    fake_at_port zeros({"\r\n+KQTSN: \"350000000000019\"\r\nOK\r\n"});
    zeros.start();
    char imei[64] = {};
    EXPECT_EQ(get_imei(zeros.path.c_str(), imei, sizeof imei), -1);
    EXPECT_STREQ(imei, "\"350000000000019\"");
    zeros.th.join();
    EXPECT_EQ(zeros.received.at(0), "at+kqtsn=0,7\r\n");
}

TEST(AtChannel, IdentityWriteSends128BytesAndNeedsOk)
{
    efs_h_cfg cfg{};
    strcpy(cfg.strSN, "\"SN77\"");
    fake_at_port modem({"\r\nOK\r\n", "\r\nERROR\r\n"});
    modem.start();
    unique_fd port(OpenAndInitSerialCom(modem.path.c_str(), 0));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(Write_AT(port.get(), &cfg, "AT+KQTSN=1,5,", 0, "serial number"), 0);
    EXPECT_EQ(Write_AT(port.get(), &cfg, "AT+KQTSN=1,5,", 0, "serial number"), -1);
    modem.th.join();
    ASSERT_EQ(modem.received.size(), 2u);
    std::string expected = "AT+KQTSN=1,5,\"SN77\"\r\n";
    expected.resize(128, '\0');
    EXPECT_EQ(modem.received[0], expected);
}
