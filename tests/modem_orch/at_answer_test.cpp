// AT answers and identity writes as text, and the mode change against a
// modem played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "at_answer.h"
#include "at_channel.h"
#include "up_fd.h"

namespace {

// "1:" and the value, or "0:" and the untouched buffer's first byte.
std::string value_of(const char *answer, const char *drop, size_t size = 64)
{
    std::string out(size, '#');
    int rc = at_answer_value(answer, drop, &out[0], size);
    return rc == 1 ? "1:" + std::string(out.c_str()) : "0:" + out.substr(0, 1);
}

// The composed command; every byte after the text up to 128 must be zero.
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

TEST(AtAnswer, QuotedValueKeepsItsQuotesAndNeedsNoOkButNoError)
{
    EXPECT_EQ(value_of("\r\n+KQTSN: \"AB12\"\r\n\r\nOK\r\n", AT_DROP_READ), "1:\"AB12\"");
    EXPECT_EQ(value_of("\"AB12\"\r\n", AT_DROP_READ), "1:\"AB12\"");
    EXPECT_EQ(value_of("\"A\" \"B\" OK", AT_DROP_READ), "1:\"A\"");
    EXPECT_EQ(value_of("\"AB12\"\r\nOK\r\nERROR\r\n", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("+KQTSN: \"AB12\r\nOK\r\n", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("", AT_DROP_READ), "0:#");
    EXPECT_EQ(value_of("\"12:34?5\"\r\nOK", AT_DROP_READ), "1:\"12345\"");
    EXPECT_EQ(value_of("\"12:34?5\"\r\nOK", AT_DROP_TESTINF), "1:\"12:345\"");
    // Six characters with the quotes: 7 bytes hold them, 6 do not; dropped
    // characters do not count.
    EXPECT_EQ(value_of("\"ABCD\"", AT_DROP_READ, 7), "1:\"ABCD\"");
    EXPECT_EQ(value_of("\"ABCD\"", AT_DROP_READ, 6), "0:#");
    EXPECT_EQ(value_of("\"AB::CD\"", AT_DROP_READ, 7), "1:\"ABCD\"");
}

TEST(AtAnswer, FirmwareVersionRunsFromZmrAfterInnerVersionToTheCarriageReturn)
{
    char out[256];
    ASSERT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r\nOK\r\n", out, sizeof out), 0);
    EXPECT_STREQ(out, "ZMR_V1.0");
    ASSERT_EQ(at_firmware_version("+KQTSW\nInnerVersion: build ZMR_B2_EFS3", out, sizeof out), 0);
    EXPECT_STREQ(out, "ZMR_B2_EFS3");
    EXPECT_EQ(at_firmware_version("InnerVersion:XYZ_V1.0\r\nOK", out, sizeof out), -1);
    EXPECT_EQ(at_firmware_version("ZMR_V1.0 InnerVersion:\r\nOK", out, sizeof out), -1);
    EXPECT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r", out, 8), -1);
    EXPECT_EQ(at_firmware_version("InnerVersion:ZMR_V1.0\r", out, 9), 0);
}

TEST(AtAnswer, ImeiMustBeNonEmptyWithoutElevenZeros)
{
    EXPECT_TRUE(at_imei_plausible("\"356938035643809\""));
    EXPECT_TRUE(at_imei_plausible("\"3500000000001\""));     // ten zeros
    EXPECT_FALSE(at_imei_plausible("\"350000000000019\""));  // eleven zeros
    EXPECT_FALSE(at_imei_plausible(""));
}

TEST(AtAnswer, IdentityWritesAppendTheSelectedFieldWithin128Bytes)
{
    efs_h_cfg cfg{};
    strcpy(cfg.strSN, "\"SN77\"");
    strcpy(cfg.strTESTINF, "\"T:1\"");
    strcpy(cfg.strSIMLOCKList, "46001");
    strcpy(cfg.strINDS, "\"D2\"");
    EXPECT_EQ(composed(cfg, "AT+KQTSN=1,5,", 0), "AT+KQTSN=1,5,\"SN77\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+TESTINF2=", 2), "AT+TESTINF2=\"T:1\"\r\n");
    EXPECT_EQ(composed(cfg, "AT+DISK=8,", 5), "AT+DISK=8,\"D2\"\r\n");
    // Flag 4: the list only when the lock word is exactly 1.
    EXPECT_EQ(composed(cfg, "AT+NWLSET=1,", 4), "AT+NWLSET=0\r\n");
    cfg.SIMLOCK = 1;
    EXPECT_EQ(composed(cfg, "AT+NWLSET=1,", 4), "AT+NWLSET=1,46001\r\n");
    EXPECT_EQ(composed(cfg, "AT+CFUN=1", 7), "AT+CFUN=1");

    // 10 + 127 + 2 characters do not fit; 10 + 113 + 2 do. A full 64-byte
    // field is not read past its end.
    int rc = 0;
    memset(cfg.strSIMLOCKList, 'L', 127);
    EXPECT_EQ(composed(cfg, "AT+NWLSET=", 4, &rc), "");
    EXPECT_EQ(rc, -1);
    cfg.strSIMLOCKList[113] = '\0';
    EXPECT_EQ(composed(cfg, "AT+NWLSET=", 4, &rc).size(), 125u);
    memset(cfg.strSN, 'S', sizeof cfg.strSN);
    EXPECT_EQ(composed(cfg, "P", 0, &rc), "P" + std::string(64, 'S') + "\r\n");
}

TEST(AtChannel, ModeChangeRepeatsTheCommandUntilOk)
{
    unique_fd master(posix_openpt(O_RDWR | O_NOCTTY));
    ASSERT_TRUE(master.ok());
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    std::string path = ptsname(master.get());
    std::vector<std::string> received;
    std::thread modem([&] {
        for (const char *answer : {"\r\nERROR\r\n", "\r\n+CME: busy\r\n", "\r\nOK\r\n"}) {
            char buf[600];
            ssize_t n = read(master.get(), buf, sizeof buf);
            if (n <= 0)
                return;
            received.emplace_back(buf, (size_t)n);
            if (write(master.get(), answer, strlen(answer)) < 0)
                return;
        }
    });
    EXPECT_EQ(mu_change_mode(path.c_str(), "AT+CFUN=5\r\n\r\n"), 0);
    modem.join();
    EXPECT_EQ(received, std::vector<std::string>(3, "AT+CFUN=5\r\n\r\n"));
}
