// The pending-backup guards of the block file: the high-priority record in
// its last 16 bytes, no replacement of a pending block, the check of the
// high-NV file against the record, and the setting aside of a damaged block.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "nv_backup_store.h"
#include "nv_test_files.h"

using namespace nvtest;   // the folder's file helpers and byte type
using testkit::exists;

namespace {

// Two high-NV records: item 20207 with 3 bytes, item 21239 with 1 byte.
const bytes k_high = {0xEF, 0x4E, 0x03, 0x00, 0xA1, 0xA2, 0xA3, 0xF7, 0x52, 0x01, 0x00, 0x5A};

} // namespace

TEST(NvBackupGuard, PackRecordsTheHighItemsAndNeverReplacesAPendingBlock)
{
    const std::string dir = temp_dir();
    const std::string nv = dir + "/nv_bak", high = dir + "/high_nv", blk = dir + "/modem_nv";
    write_file(nv, bytes(548 + 2 * 130, 0x33));
    write_file(high, k_high);
    efs_h_cfg cfg{};
    ASSERT_EQ(nv_block_pack(nv.c_str(), &cfg, high.c_str(), blk.c_str()), 1);
    const bytes img = read_file(blk);
    ASSERT_EQ(img.size(), 262144u);
    EXPECT_EQ(le32(img, 0), 808u);
    EXPECT_EQ(le32(img, 4), 548u);
    EXPECT_EQ(std::string(img.begin() + 262128, img.begin() + 262132), "HNV1");
    EXPECT_EQ(le32(img, 262132), 2u);     // items
    EXPECT_EQ(le32(img, 262136), 12u);    // bytes of the high-NV file
    EXPECT_EQ(le32(img, 262140), 0x16EA0CB0u) << "CRC-32 of the high-NV file";
    EXPECT_FALSE(exists(blk + ".new"));

    nv_high_summary rec;
    ASSERT_EQ(nv_block_inspect(blk.c_str(), &rec), NV_BLOCK_OK);
    EXPECT_TRUE(rec.recorded);
    EXPECT_EQ(rec.count, 2u);
    EXPECT_EQ(nv_high_file_check(high.c_str(), rec), 0);

    // A second backup does not take the pending one's place.
    write_file(nv, bytes(548 + 130, 0x44));
    EXPECT_EQ(nv_block_pack(nv.c_str(), &cfg, high.c_str(), blk.c_str()), -1);
    EXPECT_EQ(read_file(blk), img);
    EXPECT_FALSE(exists(blk + ".new"));
}

TEST(NvBackupGuard, BackupWithoutNvRecordsOrWholeHighFileIsNotPacked)
{
    const std::string dir = temp_dir();
    const std::string nv = dir + "/nv_bak", high = dir + "/high_nv", blk = dir + "/modem_nv";
    write_file(high, k_high);
    write_file(nv, bytes(548, 0));
    EXPECT_EQ(nv_block_pack(nv.c_str(), nullptr, high.c_str(), blk.c_str()), -1) << "identity record only";
    write_file(nv, bytes(548 + 129, 0));
    EXPECT_EQ(nv_block_pack(nv.c_str(), nullptr, high.c_str(), blk.c_str()), -1) << "no whole record";
    write_file(nv, bytes(548 + 130, 0));
    write_file(high, bytes(k_high.begin(), k_high.begin() + 6));
    EXPECT_EQ(nv_block_pack(nv.c_str(), nullptr, high.c_str(), blk.c_str()), -1) << "high file cut in a record";
    EXPECT_FALSE(exists(blk));
}

TEST(NvBackupGuard, HighFileMustBeWhatTheBlockRecorded)
{
    const std::string dir = temp_dir();
    const std::string nv = dir + "/nv_bak", high = dir + "/high_nv", blk = dir + "/modem_nv";
    write_file(nv, bytes(548 + 130, 1));
    write_file(high, k_high);
    ASSERT_EQ(nv_block_pack(nv.c_str(), nullptr, high.c_str(), blk.c_str()), 1);
    nv_high_summary rec;
    ASSERT_EQ(nv_block_inspect(blk.c_str(), &rec), NV_BLOCK_OK);

    struct {
        bytes content;
        bool present;
        int want;
    } cases[] = {
        {k_high, true, 0},
        {{}, true, -1},                                              // empty
        {bytes(k_high.begin(), k_high.begin() + 7), true, -1},       // first record only
        {bytes(k_high.begin(), k_high.begin() + 9), true, -1},       // cut inside the second
        {{0xEF, 0x4E, 0x03, 0x00, 0xA1, 0xA2, 0xA4, 0xF7, 0x52, 0x01, 0x00, 0x5A}, true, -1},   // one byte changed
        {{}, false, -1},                                             // missing
    };
    for (const auto &c : cases) {
        unlink(high.c_str());
        if (c.present)
            write_file(high, c.content);
        EXPECT_EQ(nv_high_file_check(high.c_str(), rec), c.want) << c.content.size() << " bytes";
    }

    // A block of an older writer records nothing: one whole record is enough.
    nv_high_summary none;
    write_file(high, bytes(k_high.begin(), k_high.begin() + 7));
    EXPECT_EQ(nv_high_file_check(high.c_str(), none), 0);
    write_file(high, {});
    EXPECT_EQ(nv_high_file_check(high.c_str(), none), -1);
}

TEST(NvBackupGuard, HighFileOfTheRecordedLengthAndChecksumButOtherRecordsIsRefused)
{
    // Two records of 4 bytes (items 20207 and 20208), and one record of 12
    // bytes whose last four bytes make the same CRC-32 over the same 16
    // bytes: only the item count tells them apart.
    const bytes two = {0xEF, 0x4E, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04,
                       0xF0, 0x4E, 0x04, 0x00, 0x05, 0x06, 0x07, 0x08};
    const bytes one = {0xEF, 0x4E, 0x0C, 0x00, 0x01, 0x02, 0x03, 0x04,
                       0xAA, 0xBB, 0xCC, 0xDD, 0x23, 0xEB, 0x2E, 0xF7};
    const std::string dir = temp_dir();
    const std::string nv = dir + "/nv_bak", high = dir + "/high_nv", blk = dir + "/modem_nv";
    write_file(nv, bytes(548 + 130, 1));
    write_file(high, two);
    ASSERT_EQ(nv_block_pack(nv.c_str(), nullptr, high.c_str(), blk.c_str()), 1);
    nv_high_summary rec;
    ASSERT_EQ(nv_block_inspect(blk.c_str(), &rec), NV_BLOCK_OK);
    EXPECT_EQ(rec.count, 2u);
    EXPECT_EQ(rec.length, 16u);
    EXPECT_EQ(rec.crc, 0x4EDC75A3u);

    write_file(high, one);
    nv_high_summary now;
    ASSERT_EQ(nv_high_file_summary(high.c_str(), &now), 0);
    EXPECT_EQ(now.count, 1u);
    EXPECT_EQ(now.length, 16u);
    EXPECT_EQ(now.crc, 0x4EDC75A3u);
    EXPECT_EQ(nv_high_file_check(high.c_str(), rec), -1) << "one record taken for the two the backup recorded";
}

TEST(NvBackupGuard, BlockStatesAndSettingADamagedOneAside)
{
    const std::string dir = temp_dir();
    const std::string blk = dir + "/modem_nv", high = dir + "/high_nv";
    EXPECT_EQ(nv_block_inspect(blk.c_str(), nullptr), NV_BLOCK_NONE);
    bytes bad(262144, 0);
    bad[0] = 0xF9;
    bad[1] = 0xFF;
    bad[2] = 0x03;   // nv_size 262137: past the image
    write_file(blk, bad);
    write_file(high, {1, 2});
    EXPECT_EQ(nv_block_inspect(blk.c_str(), nullptr), NV_BLOCK_DAMAGED);
    write_file(blk + ".damaged-1", {'o', 'l', 'd'});

    EXPECT_EQ(nv_block_set_aside(blk.c_str(), high.c_str()), 2);
    EXPECT_FALSE(exists(blk));
    EXPECT_FALSE(exists(high));
    EXPECT_EQ(read_file(blk + ".damaged-2"), bad);
    EXPECT_EQ(read_file(high + ".damaged-2"), bytes({1, 2}));
    EXPECT_EQ(read_file(blk + ".damaged-1"), bytes({'o', 'l', 'd'}));

    // A folder at the block's name is no backup either.
    ASSERT_EQ(mkdir(blk.c_str(), 0700), 0);
    EXPECT_EQ(nv_block_inspect(blk.c_str(), nullptr), NV_BLOCK_DAMAGED);
}

// The backup leaves the second file system only after a restore of this
// run that every record confirmed; a high-NV file alone belongs to no backup.
TEST(NvBackupGuard, BackupIsRemovedOnlyAfterAConfirmedRestore)
{
    const std::string dir = temp_dir();
    const std::string blk = dir + "/modem_nv", high = dir + "/high_nv";
    const bytes block(262144, 0x5A);
    write_file(blk, block);
    write_file(high, k_high);

    nv_restore_unconfirm();
    EXPECT_EQ(nv_backup_remove(blk.c_str(), high.c_str()), -1);
    EXPECT_EQ(read_file(blk), block);
    EXPECT_EQ(read_file(high), k_high);
    // Not as a stray file either, with its block beside it.
    EXPECT_EQ(nv_stray_high_remove(blk.c_str(), high.c_str()), -1);
    EXPECT_EQ(read_file(high), k_high);

    // A restore attempt that fails takes back what an earlier one confirmed.
    nv_restore_confirm();
    efs_h_cfg cfg{};
    EXPECT_EQ(mu_restore_nv(-1, "/nonexistent/ttyUSB2", &cfg, (dir + "/nv_bak").c_str()), -1);
    EXPECT_FALSE(nv_restore_confirmed());
    EXPECT_EQ(nv_backup_remove(blk.c_str(), high.c_str()), -1);
    EXPECT_EQ(read_file(blk), block);
    EXPECT_EQ(read_file(high), k_high);

    nv_restore_confirm();
    EXPECT_EQ(nv_backup_remove(blk.c_str(), high.c_str()), 0);
    EXPECT_FALSE(exists(blk));
    EXPECT_FALSE(exists(high));
    // The removal used the confirmation up: a new backup needs its own.
    EXPECT_FALSE(nv_restore_confirmed());
    write_file(blk, block);
    write_file(high, k_high);
    EXPECT_EQ(nv_backup_remove(blk.c_str(), high.c_str()), -1);
    EXPECT_EQ(read_file(blk), block);

    unlink(blk.c_str());
    EXPECT_EQ(nv_stray_high_remove(blk.c_str(), high.c_str()), 0);
    EXPECT_FALSE(exists(high));
}

TEST(NvBackupGuard, RemovalRunsNoCommandForAPathTheShellWouldRead)
{
    const std::string dir = temp_dir();
    const std::string blk = dir + "/modem_nv", high = dir + "/high nv;x";
    write_file(high, k_high);
    EXPECT_EQ(nv_stray_high_remove(blk.c_str(), high.c_str()), -1);
    EXPECT_EQ(read_file(high), k_high);
}
