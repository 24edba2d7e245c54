// The block file that carries the NV backup across a power cut.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "nv_backup_store.h"
#include "nv_test_files.h"

using namespace nvtest;   // the folder's file helpers and byte type

TEST(NvBlockFile, PacksTheBackupAndTheIdentityRecord)
{
    std::string dir = temp_dir();
    std::string nv = dir + "/nv_bak", blk = dir + "/modem_nv";
    bytes backup(548 + 330 * 130);
    for (size_t i = 0; i < backup.size(); i++)
        backup[i] = (uint8_t)(i * 13 + 1);
    write_file(nv, backup);
    efs_h_cfg cfg{};
    cfg.SN = 1;
    cfg.LTEBand = 0x11;
    strcpy(cfg.strSN, "\"SN0042\"");

    ASSERT_EQ(write_nv_at_to_mem_block(nv.c_str(), &cfg, blk.c_str()), 1);
    bytes img = read_file(blk);
    ASSERT_EQ(img.size(), 262144u);
    EXPECT_EQ(le32(img, 0), 43448u);          // 548 + 330 * 130
    EXPECT_EQ(le32(img, 4), 548u);
    EXPECT_TRUE(std::equal(backup.begin(), backup.end(), img.begin() + 8));
    const size_t rec = 8 + 43448;
    EXPECT_EQ(le32(img, rec), 1u);            // SN flag
    EXPECT_EQ(le32(img, rec + 28), 0x11u);    // LTEBand
    EXPECT_EQ(std::string((const char *)&img[rec + 36]), "\"SN0042\"");
    for (size_t i = rec + 548; i < img.size(); i++)
        ASSERT_EQ(img[i], 0) << i;

    // Unpacking recreates the backup file and the record.
    write_file(nv, bytes(10, 0xFF));
    efs_h_cfg back{};
    ASSERT_EQ(get_nv_at_from_mem_block(nv.c_str(), &back, blk.c_str()), 1);
    EXPECT_EQ(read_file(nv), backup);
    EXPECT_EQ(back.SN, 1u);
    EXPECT_EQ(back.LTEBand, 0x11u);
    EXPECT_STREQ(back.strSN, "\"SN0042\"");
}

TEST(NvBlockFile, WithoutARecordTheCallersRecordStaysAsItIs)
{
    std::string dir = temp_dir();
    std::string nv = dir + "/nv_bak", blk = dir + "/modem_nv";
    write_file(nv, bytes(548 + 130, 7));
    ASSERT_EQ(write_nv_at_to_mem_block(nv.c_str(), nullptr, blk.c_str()), 1);
    EXPECT_EQ(le32(read_file(blk), 4), 0u);
    efs_h_cfg cfg{};
    cfg.IMEI = 9;
    ASSERT_EQ(get_nv_at_from_mem_block(nv.c_str(), &cfg, blk.c_str()), 1);
    EXPECT_EQ(cfg.IMEI, 9u);
    EXPECT_EQ(read_file(nv).size(), 678u);
}

TEST(NvBlockFile, SizesThatDoNotFitAreRefused)
{
    std::string dir = temp_dir();
    std::string nv = dir + "/nv_bak", blk = dir + "/modem_nv";
    // One byte more than fits beside the header and the record.
    write_file(nv, bytes(262144 - 8 - 548 + 1, 1));
    efs_h_cfg cfg{};
    EXPECT_EQ(write_nv_at_to_mem_block(nv.c_str(), &cfg, blk.c_str()), -1);
    EXPECT_NE(access(blk.c_str(), F_OK), 0) << "nothing written for a backup that does not fit";

    struct { uint32_t nv_size, at_size; } damaged[] = {
        {262144, 0},          // reaches past the image
        {262144 - 8 - 100, 548},
        {0x80000000u, 0},     // negative
        {100, 549},           // not a record size
    };
    for (auto &d : damaged) {
        bytes img(262144, 0);
        for (int i = 0; i < 4; i++) {
            img[(size_t)i] = (uint8_t)(d.nv_size >> (8 * i));
            img[(size_t)(4 + i)] = (uint8_t)(d.at_size >> (8 * i));
        }
        write_file(blk, img);
        write_file(nv, bytes{1, 2, 3});
        EXPECT_EQ(get_nv_at_from_mem_block(nv.c_str(), &cfg, blk.c_str()), -1) << d.nv_size;
        EXPECT_EQ(read_file(nv), (bytes{1, 2, 3})) << "the backup file is left alone";
    }
}

TEST(NvBlockFile, APackThatFailsKeepsTheEarlierBlock)
{
    std::string dir = temp_dir();
    std::string nv = dir + "/nv_bak", blk = dir + "/modem_nv";
    write_file(nv, bytes(600, 3));
    ASSERT_EQ(write_nv_at_to_mem_block(nv.c_str(), nullptr, blk.c_str()), 1);
    bytes before = read_file(blk);
    unlink(nv.c_str());
    EXPECT_EQ(write_nv_at_to_mem_block(nv.c_str(), nullptr, blk.c_str()), -1);
    EXPECT_EQ(read_file(blk), before);
}
