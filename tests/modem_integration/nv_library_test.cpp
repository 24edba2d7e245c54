// The library's NV and identity services against the virtual modem: item
// lists read and written back, the high-priority RF NV items, the identity
// over the AT port, the whole backup through the block file and its restore
// after a flash wiped the modem, and the NV faults that must make them fail.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

#include "efs_config.h"
#include "nv_backup_store.h"
#include "nv_items_io.h"
#include "nv_tables.h"
#include "nv_test_util.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

// Item data that differs per item and holds both framing values.
std::vector<uint8_t> item_data(unsigned item, size_t n)
{
    std::vector<uint8_t> v = test_bytes(n, item + 1);
    return v;
}

std::vector<uint8_t> le16(unsigned v)
{
    return {(uint8_t)(v & 0xFF), (uint8_t)(v >> 8)};
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void use_list(std::initializer_list<int32_t> items)
{
    for (auto &row : rf_nv_items)
        row = {-1, nullptr};
    int i = 0;
    for (int32_t id : items)
        rf_nv_items[i++] = {id, "test item"};
}

std::string identity_text(const modem_harness &m)
{
    std::vector<uint8_t> b = file_bytes(m.state() + "/identity");
    return std::string(b.begin(), b.end());
}

const char IDENTITY[] = "sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS1\nsimlock=1,46000\ninds=\n";

TEST(ModemNvLibrary, ListReadsOnlyInFactoryTestMode)
{
    modem_harness modem;
    make_state(modem);
    put_file(nv_path(modem, 570), item_data(570, 128));
    put_file(nv_path(modem, 441), item_data(441, 128));
    put_file(rfnv_path(modem, 20207), item_data(20207, 40));
    put_file(rfnv_path(modem, 21183), item_data(21183, 12));
    ASSERT_TRUE(modem.start());
    const std::string diag = modem.diag_port();
    const std::string list = "/tmp/list_nv";

    // Online every request is refused: the reader gives up on the 99th exchange.
    use_list({570});
    EXPECT_EQ(Read_NV_ITEM(diag.c_str(), list.c_str()), -1);
    EXPECT_EQ(modem.log_count("rx normal nv-read item=570"), 99);

    // The diag switch puts the modem into factory test mode.
    ASSERT_EQ(send_ftm_cmd(diag.c_str()), 0);
    unlink(list.c_str());
    use_list({570, 571, 441});
    ASSERT_EQ(Read_NV_ITEM(diag.c_str(), list.c_str()), 0);
    // 571 is not set: no record for it.
    EXPECT_EQ(file_bytes(list), cat(cat(cat({0x3A, 0x02}, item_data(570, 128)), {0xB9, 0x01}), item_data(441, 128)));

    // The high items in table order; those the modem does not hold are left out.
    const std::string high = "/tmp/high_nv";
    ASSERT_EQ(Read_High_NV_ITEM(diag.c_str(), high.c_str()), 0);
    EXPECT_EQ(file_bytes(high), cat(cat(cat({0xEF, 0x4E, 40, 0}, item_data(20207, 40)), {0xBF, 0x52, 12, 0}),
                                    item_data(21183, 12)));
}

TEST(ModemNvLibrary, BackupBlockFileAndRestoreBringBackEverythingAfterAFlash)
{
    modem_harness modem;
    make_state(modem);
    // The preserved set, every 41st item left unset; the high items but one.
    int seeded = 0;
    for (int i = 0; qd4700_modem_nv[i].nID != -1; i++) {
        if (i % 41 == 40)
            continue;
        put_file(nv_path(modem, (unsigned)qd4700_modem_nv[i].nID), item_data((unsigned)qd4700_modem_nv[i].nID, 128));
        seeded++;
    }
    ASSERT_EQ(seeded, 322);
    const unsigned high[] = {20207, 20208, 21183, 21186, 21242};
    for (unsigned h : high)
        put_file(rfnv_path(modem, h), item_data(h, 20 + h % 50));
    put_file(modem.state() + "/identity", std::vector<uint8_t>(IDENTITY, IDENTITY + strlen(IDENTITY)));
    ASSERT_TRUE(modem.start({"--flash-wipe", "all", "--enum-delay", "300"}));

    efs_h_cfg cfg{};
    cfg.SN = cfg.IMEI = cfg.TESTINF = 1;
    cfg.SIMLOCK = 2;
    {
        unique_fd at(raw_open(modem.at_port()));
        ASSERT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), "\r\nOK\r\n");
    }
    const std::string bak = "/tmp/nv_bak";
    const std::string block = "/2ndfile/modem_nv";
    ASSERT_EQ(back_up_nv(modem.at_port().c_str(), modem.diag_port().c_str(), &cfg, bak.c_str()), 0);
    EXPECT_EQ(file_bytes(bak).size(), 548u + 322u * 130u);
    ASSERT_EQ(write_nv_at_to_mem_block(bak.c_str(), &cfg, block.c_str()), 1);
    EXPECT_EQ(file_bytes(block).size(), 262144u);
    unlink(bak.c_str());

    // The upgrade: the programmer stores an image and resets; the firmware
    // that starts has lost its NV, RF NV and identity.
    ASSERT_EQ(modem.stop(), 0);
    ASSERT_TRUE(modem.start({"--start", "programmer", "--flash-wipe", "all", "--enum-delay", "300"}));
    ASSERT_TRUE(wait_until([&] { return modem.log_count("attach programmer") == 1; }, NV_WAIT_MS));
    ASSERT_TRUE(flash_efs_and_reset(modem));
    EXPECT_EQ(modem.log_count("NV wiped: 322 NV items, 5 RF NV items"), 1);
    EXPECT_FALSE(path_exists(nv_path(modem, 524)));
    EXPECT_NE(identity_text(modem).find("imei=000000000000000"), std::string::npos);

    {
        unique_fd at(raw_open(modem.at_port()));
        ASSERT_EQ(at_exchange(at.get(), "AT+CFUN=5\r\n\r\n"), "\r\nOK\r\n");
    }
    unique_fd diag(fd_re_open(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(diag.ok());
    efs_h_cfg back{};
    ASSERT_EQ(get_nv_at_from_mem_block(bak.c_str(), &back, block.c_str()), 1);
    ASSERT_EQ(mu_restore_nv(diag.get(), modem.at_port().c_str(), &back, bak.c_str()), 0);

    int restored = 0;
    for (int i = 0; qd4700_modem_nv[i].nID != -1; i++) {
        unsigned id = (unsigned)qd4700_modem_nv[i].nID;
        if (i % 41 == 40) {
            EXPECT_FALSE(path_exists(nv_path(modem, id))) << id;
            continue;
        }
        EXPECT_EQ(file_bytes(nv_path(modem, id)), item_data(id, 128)) << id;
        restored += file_bytes(nv_path(modem, id)) == item_data(id, 128);
    }
    EXPECT_EQ(restored, 322);
    for (unsigned h : high)
        EXPECT_EQ(file_bytes(rfnv_path(modem, h)), item_data(h, 20 + h % 50)) << h;
    EXPECT_FALSE(path_exists(rfnv_path(modem, 21239)));
    EXPECT_EQ(identity_text(modem), "sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS1\nsimlock=1,46000\ninds=D2\n");
    EXPECT_TRUE(nv_restore_confirmed());

    // The same restore with the SIM-lock write refused, the last identity
    // value written back: the NV items go back, the restore is not
    // confirmed, so the backup may not be removed.
    modem.write_faults("nak at-nwlset *\n");
    unlink(nv_path(modem, 524).c_str());
    efs_h_cfg again{};
    ASSERT_EQ(get_nv_at_from_mem_block(bak.c_str(), &again, block.c_str()), 1);
    EXPECT_EQ(mu_restore_nv(diag.get(), modem.at_port().c_str(), &again, bak.c_str()), -1);
    EXPECT_FALSE(nv_restore_confirmed()) << "a restore whose identity was refused counts as confirmed";
    EXPECT_EQ(file_bytes(nv_path(modem, 524)), item_data(524, 128));
}

TEST(ModemNvLibrary, NvFaultsMakeTheWritersFail)
{
    modem_harness modem;
    make_state(modem);
    put_file(nv_path(modem, 570), item_data(570, 128));
    ASSERT_TRUE(modem.start());
    const std::string diag = modem.diag_port();
    ASSERT_EQ(send_ftm_cmd(diag.c_str()), 0);
    unique_fd port(OpenAndInitSerialCom(diag.c_str(), 0));
    ASSERT_TRUE(port.ok());
    const std::string bak = "/tmp/write_nv";
    put_file(bak, cat(cat(std::vector<uint8_t>(548, 0), cat(le16(600), item_data(600, 128))),
                      cat(cat(le16(601), item_data(601, 128)), cat(le16(602), item_data(602, 128)))));

    // An unconfirmed record fails the restore; the others are still written.
    modem.write_faults("status nv-write@601 *\n");
    EXPECT_EQ(Write_NV_ITEM(port.get(), bak.c_str()), -1);
    EXPECT_TRUE(path_exists(nv_path(modem, 600)));
    EXPECT_FALSE(path_exists(nv_path(modem, 601)));
    EXPECT_TRUE(path_exists(nv_path(modem, 602)));
    EXPECT_EQ(modem.log_count("fault status nv-write item=601"), 5);

    // An item that is not set (status 5) is left out of a backup.
    modem.write_faults("status nv-read@570 * 5\n");
    use_list({570, 600});
    const std::string list = "/tmp/list_nv";
    ASSERT_EQ(Read_NV_ITEM(diag.c_str(), list.c_str()), 0);
    EXPECT_EQ(file_bytes(list), cat(le16(600), item_data(600, 128)));

    // A high item the modem refuses to write ends the high-NV restore.
    modem.write_faults("status rfnv-write@21186 *\n");
    const std::string high = "/tmp/high_nv";
    put_file(high, cat(cat({0xEF, 0x4E, 2, 0}, {1, 2}), cat({0xC2, 0x52, 2, 0}, {3, 4})));
    EXPECT_EQ(Write_High_NV_ITEM(port.get(), high.c_str()), -1);
    EXPECT_TRUE(path_exists(rfnv_path(modem, 20207)));
    EXPECT_FALSE(path_exists(rfnv_path(modem, 21186)));

    // The modem falls silent after one more NV exchange: the NV restore and
    // the high-NV restore both fail.
    modem.write_faults("silent nv 2\n");
    EXPECT_EQ(Write_NV_ITEM(port.get(), bak.c_str()), -1);
    EXPECT_EQ(Write_High_NV_ITEM(port.get(), high.c_str()), -1);
    EXPECT_EQ(modem.log_count("fault silent"), 1);
}

} // namespace
