// The virtual modem's NV store seen through literal requests: NV and RF NV
// reads and writes served only in factory test mode, the answers' layouts
// and status codes, the diag mode switch, the wipe after a flash and the NV
// fault rules.
#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

#include "fault_rules.h"
#include "nv_test_util.h"
#include "up_fd.h"

namespace {

// NV request for item 570 (0x023A): code, item, 128 data bytes, status.
std::vector<uint8_t> nv_request(uint8_t code, const std::vector<uint8_t> &data, uint8_t s0, uint8_t s1)
{
    std::vector<uint8_t> p(133, 0);
    p[0] = code;
    p[1] = 0x3A;
    p[2] = 0x02;
    for (size_t i = 0; i < data.size() && i < 128; i++)
        p[3 + i] = data[i];
    p[131] = s0;
    p[132] = s1;
    return p;
}

std::vector<uint8_t> pattern(size_t n, uint8_t first)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(first + i * 7);
    return v;
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t from, size_t n)
{
    return std::vector<uint8_t>(v.begin() + (long)from, v.begin() + (long)(from + n));
}

TEST(ModemNvStore, NvReadsAndWritesOnlyInFactoryTestMode)
{
    modem_harness modem;
    make_state(modem);
    std::vector<uint8_t> item570 = pattern(128, 0x7C);     // holds 0x7D and 0x7E: stuffed on the wire
    put_file(nv_path(modem, 570), item570);
    ASSERT_TRUE(modem.start());
    unique_fd diag(raw_open(modem.diag_port()));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(diag.ok() && at.ok());

    // Online: "bad mode" (24) and the first 16 bytes of the request.
    raw_reply r = nv_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC));
    ASSERT_TRUE(r.got);
    EXPECT_EQ(r.code, 0);
    std::vector<uint8_t> refused = {0x18, 0x26, 0x3A, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(r.payload, refused);
    r = nv_exchange(diag.get(), nv_request(0x27, pattern(128, 1), 0, 0));
    EXPECT_EQ(r.payload.size(), 17u);
    EXPECT_EQ(r.payload[0], 0x18);
    EXPECT_FALSE(path_exists(nv_path(modem, 570) + ".new"));
    EXPECT_EQ(file_bytes(nv_path(modem, 570)), item570);
    EXPECT_EQ(modem.log_count("refused: NV requests need factory test mode"), 2);

    ASSERT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), "\r\nOK\r\n");
    r = nv_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC));
    ASSERT_EQ(r.payload.size(), 133u);
    EXPECT_EQ(r.payload[0], 0x26);
    EXPECT_EQ(r.payload[1], 0x3A);
    EXPECT_EQ(r.payload[2], 0x02);
    EXPECT_EQ(slice(r.payload, 3, 128), item570);
    EXPECT_EQ(r.payload[131], 0x00);
    EXPECT_EQ(r.payload[132], 0x00);

    // Item 571 is not set: status 5, data zero.
    std::vector<uint8_t> req571 = nv_request(0x26, {}, 0xCC, 0xCC);
    req571[1] = 0x3B;
    r = nv_exchange(diag.get(), req571);
    ASSERT_EQ(r.payload.size(), 133u);
    EXPECT_EQ(r.payload[1], 0x3B);
    EXPECT_EQ(slice(r.payload, 3, 128), std::vector<uint8_t>(128, 0));
    EXPECT_EQ(r.payload[131], 0x05);
    EXPECT_EQ(r.payload[132], 0x00);

    // A write is echoed with status 0 and lands in nv/570.
    std::vector<uint8_t> fresh = pattern(128, 0x10);
    std::vector<uint8_t> wr = nv_request(0x27, fresh, 0, 0);
    r = nv_exchange(diag.get(), wr);
    EXPECT_EQ(r.payload, wr);
    EXPECT_EQ(file_bytes(nv_path(modem, 570)), fresh);

    // A request of the wrong length: "bad length" (21).
    r = nv_exchange(diag.get(), {0x26, 0x3A, 0x02, 0x00});
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{0x15, 0x26, 0x3A, 0x02, 0x00}));

    // A damaged item file is a failing item (status 4), not a made-up value.
    put_file(nv_path(modem, 570), pattern(100, 0));
    r = nv_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC));
    ASSERT_EQ(r.payload.size(), 133u);
    EXPECT_EQ(r.payload[131], 0x04);

    EXPECT_EQ(modem.log_count("rx normal nv-read item=570 len=133"), 3);
    EXPECT_EQ(modem.log_count("nv write item=570 status=0"), 1);
    // A tx line follows its answer onto the wire.
    EXPECT_TRUE(wait_until([&] { return modem.log_count("tx normal nv-read-reply len=133") == 3; }, NV_WAIT_MS));
}

TEST(ModemNvStore, RfNvReadWriteAndDiagModeSwitch)
{
    modem_harness modem;
    make_state(modem);
    std::vector<uint8_t> item20207 = pattern(40, 0x70);
    put_file(rfnv_path(modem, 20207), item20207);
    ASSERT_TRUE(modem.start());
    unique_fd diag(raw_open(modem.diag_port()));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(diag.ok() && at.ok());

    // RF NV read of 20207 (0x4EEF), answer of 144 bytes asked for.
    const std::vector<uint8_t> read20207 = {0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0x00, 0x00, 0x90, 0x00, 0xEF, 0x4E};
    raw_reply r = nv_exchange(diag.get(), read20207);
    ASSERT_EQ(r.payload.size(), 13u);
    EXPECT_EQ(r.payload[0], 0x18);

    // The diag switch: echoed, and the answer starts with 75 itself (the
    // tool reads it raw, without unframing).
    ASSERT_TRUE(raw_send(diag.get(), {0x4B, 0x04, 0x0E, 0x00}));
    uint8_t raw[16] = {0};
    ASSERT_TRUE(wait_until([&] { return read(diag.get(), raw, sizeof raw) > 0; }, NV_WAIT_MS));
    EXPECT_EQ(raw[0], 0x4B);
    EXPECT_EQ(raw[1], 0x04);
    EXPECT_EQ(raw[2], 0x0E);
    EXPECT_EQ(raw[3], 0x00);
    EXPECT_EQ(at_exchange(at.get(), "AT+CFUN?\r\n"), "\r\n+CFUN: 5\r\n\r\nOK\r\n");

    r = nv_exchange(diag.get(), read20207);
    ASSERT_EQ(r.payload.size(), 56u);
    std::vector<uint8_t> head = {0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0x00, 0x00,
                                 0x38, 0x00, 0x00, 0x00, 0xEF, 0x4E, 0x28, 0x00};
    EXPECT_EQ(slice(r.payload, 0, 16), head);
    EXPECT_EQ(slice(r.payload, 16, 40), item20207);

    // 20208 is not set: status 5, no data.
    r = nv_exchange(diag.get(), {0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0x00, 0x00, 0x90, 0x00, 0xF0, 0x4E});
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0x00, 0x00, 0x10, 0x00, 0x05,
                                               0x00, 0xF0, 0x4E, 0x00, 0x00}));

    // RF NV write of 21183 (0x52BF), 3 bytes: confirmed with 2 in bytes 10-11.
    r = nv_exchange(diag.get(), {0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0x00, 0x00, 0x0E, 0x00, 0xBF, 0x52, 0x03,
                                  0x00, 0x7E, 0x01, 0x7D});
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0x00, 0x00, 0x0E, 0x00, 0x02,
                                               0x00, 0xBF, 0x52}));
    EXPECT_EQ(file_bytes(rfnv_path(modem, 21183)), (std::vector<uint8_t>{0x7E, 0x01, 0x7D}));
    // A length field that disagrees with the data: "bad length", nothing stored.
    r = nv_exchange(diag.get(), {0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0x00, 0x00, 0x0E, 0x00, 0xC0, 0x52, 0x09,
                                  0x00, 0x01});
    ASSERT_FALSE(r.payload.empty());
    EXPECT_EQ(r.payload[0], 0x15);
    EXPECT_FALSE(path_exists(rfnv_path(modem, 21184)));
    EXPECT_EQ(modem.log_count("rx normal rfnv-write item=21183 data=3 len=17"), 1);
    EXPECT_EQ(modem.log_count("function level 5 (diag mode switch)"), 1);
}

TEST(ModemNvStore, FlashWipesNvAndIdentityOnlyAsConfigured)
{
    // The option, else the file MODEMSTATE/flash_wipe, else NV only.
    struct {
        const char *wipe;
        const char *file;
        bool nv_kept, identity_kept;
    } cases[] = {{nullptr, nullptr, false, true},
                 {"all", nullptr, false, false},
                 {"none", "all\n", true, true},
                 {nullptr, "all\n", false, false},
                 {nullptr, "none", true, true}};
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.wipe ? c.wipe : "-") + " " + (c.file ? c.file : "-"));
        modem_harness modem;
        make_state(modem);
        if (c.file)
            put_file(modem.state() + "/flash_wipe", std::vector<uint8_t>(c.file, c.file + strlen(c.file)));
        put_file(nv_path(modem, 0), pattern(128, 3));
        put_file(rfnv_path(modem, 21242), pattern(12, 5));
        put_file(modem.state() + "/identity",
                 std::vector<uint8_t>({'s', 'n', '=', 'S', 'N', '7', '\n', 'i', 'm', 'e', 'i', '=', '8', '6', '1', '2',
                                       '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '\n'}));
        std::vector<std::string> args = {"--start", "programmer", "--enum-delay", "200"};
        if (c.wipe) {
            args.push_back("--flash-wipe");
            args.push_back(c.wipe);
        }
        ASSERT_TRUE(modem.start(args));
        ASSERT_TRUE(flash_efs_and_reset(modem));
        EXPECT_EQ(path_exists(nv_path(modem, 0)), c.nv_kept);
        EXPECT_EQ(path_exists(rfnv_path(modem, 21242)), c.nv_kept);
        std::vector<uint8_t> id = file_bytes(modem.state() + "/identity");
        std::string text(id.begin(), id.end());
        EXPECT_EQ(text.find("sn=SN7\nimei=861234567890123\n") != std::string::npos, c.identity_kept) << text;
        if (!c.identity_kept) {
            EXPECT_NE(text.find("imei=000000000000000\n"), std::string::npos) << text;
        }
        EXPECT_EQ(modem.log_count("NV wiped: 1 NV items, 1 RF NV items"), c.nv_kept ? 0 : 1);
    }
    // With "@efs" only a stored EFS image wipes: a DSP1 image (type 0x0D)
    // keeps every item, the EFS image after it wipes them, the identity too
    // with "all@efs".
    struct {
        const char *wipe;
        const char *file;
        bool identity_kept;
    } efs_cases[] = {{"nv@efs", nullptr, true}, {nullptr, "all@efs\n", false}};
    for (auto &c : efs_cases) {
        SCOPED_TRACE(std::string(c.wipe ? c.wipe : "-") + " " + (c.file ? c.file : "-"));
        modem_harness modem;
        make_state(modem);
        if (c.file)
            put_file(modem.state() + "/flash_wipe", std::vector<uint8_t>(c.file, c.file + strlen(c.file)));
        put_file(nv_path(modem, 0), pattern(128, 3));
        put_file(rfnv_path(modem, 21242), pattern(12, 5));
        std::vector<std::string> args = {"--start", "programmer", "--enum-delay", "200"};
        if (c.wipe) {
            args.push_back("--flash-wipe");
            args.push_back(c.wipe);
        }
        ASSERT_TRUE(modem.start(args));
        bool kept_after_dsp1 = false;
        ASSERT_TRUE(flash_images_and_reset(modem, {0x0D, 0x09}, [&](size_t) {
            kept_after_dsp1 = file_bytes(nv_path(modem, 0)) == pattern(128, 3) &&
                              file_bytes(rfnv_path(modem, 21242)) == pattern(12, 5) &&
                              modem.log_count("NV wiped") == 0;
        }));
        EXPECT_TRUE(kept_after_dsp1);
        EXPECT_FALSE(path_exists(nv_path(modem, 0)));
        EXPECT_FALSE(path_exists(rfnv_path(modem, 21242)));
        EXPECT_EQ(modem.log_count("NV wiped: 1 NV items, 1 RF NV items"), 1);
        std::vector<uint8_t> id = file_bytes(modem.state() + "/identity");
        std::string text(id.begin(), id.end());
        EXPECT_EQ(text.find("imei=000000000000000\n") != std::string::npos, !c.identity_kept) << text;
    }
    // A power cycle without a flash keeps everything.
    modem_harness modem;
    make_state(modem);
    put_file(nv_path(modem, 441), pattern(128, 9));
    ASSERT_TRUE(modem.start({"--enum-delay", "200"}));
    modem.set_power(0);
    ASSERT_TRUE(wait_until([&] { return modem.log_count("power off") == 1; }, NV_WAIT_MS));
    modem.set_power(1);
    ASSERT_TRUE(wait_until([&] { return modem.log_count("attach normal") == 2; }, NV_WAIT_MS));
    EXPECT_EQ(file_bytes(nv_path(modem, 441)), pattern(128, 9));
}

TEST(ModemNvStore, NvFaultRules)
{
    modem_harness modem;
    make_state(modem);
    put_file(nv_path(modem, 570), pattern(128, 1));
    ASSERT_TRUE(modem.start());
    unique_fd diag(raw_open(modem.diag_port()));
    unique_fd at(raw_open(modem.at_port()));
    ASSERT_TRUE(diag.ok() && at.ok());
    ASSERT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n"), "\r\nOK\r\n");
    // Item 570 answers status 4 on its first read; a write is refused with
    // status 7 and not stored; the fifth NV exchange and all later ones get
    // no answer, while the AT port still works.
    modem.write_faults("status nv-read@570 1\nstatus nv-write 1 7\ndrop nv 5-\n");
    raw_reply r = nv_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC));
    ASSERT_EQ(r.payload.size(), 133u);
    EXPECT_EQ(r.payload[131], 0x04);
    EXPECT_EQ(slice(r.payload, 3, 128), std::vector<uint8_t>(128, 0));
    r = nv_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC));
    EXPECT_EQ(r.payload[131], 0x00);
    r = nv_exchange(diag.get(), nv_request(0x27, pattern(128, 50), 0, 0));
    ASSERT_EQ(r.payload.size(), 133u);
    EXPECT_EQ(r.payload[131], 0x07);
    EXPECT_EQ(file_bytes(nv_path(modem, 570)), pattern(128, 1));
    r = nv_exchange(diag.get(), nv_request(0x27, pattern(128, 50), 0, 0));
    EXPECT_EQ(r.payload[131], 0x00);
    EXPECT_FALSE(raw_exchange(diag.get(), nv_request(0x26, {}, 0xCC, 0xCC), 1500).got);
    EXPECT_EQ(at_exchange(at.get(), "AT\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(modem.log_count("fault status nv-read item=570 status=4"), 1);

    // status is only for NV kinds.
    fault_rule rule;
    char err[128] = {0};
    EXPECT_EQ(fault_rule_parse("status rfnv-write@21183 2- 1", &rule, err, sizeof err), 0);
    EXPECT_TRUE(rule.has_addr);
    EXPECT_EQ(rule.addr, 21183u);
    EXPECT_EQ(rule.arg, 1u);
    EXPECT_EQ(fault_rule_parse("status hello 1", &rule, err, sizeof err), -1);
}

} // namespace
