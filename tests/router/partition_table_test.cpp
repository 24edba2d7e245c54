#include <gtest/gtest.h>

#include <cstring>

#include "up_partition.h"

TEST(PartitionTable, MapsRecordTypesToTheirPartitions)
{
    struct { uint32_t id; const char *dev; uint32_t len; } cases[] = {
        {1, "/dev/mtd0", 0x80000},
        {2, "/dev/mtd2", 0x300000},
        {3, "/dev/mtd3", 0x2000000},
        {4, "/dev/mtd4", 0x1000000},
        {5, "", 0},
    };
    for (auto &c : cases) {
        const flash_partition_tab_t *row = up_find_partition(c.id);
        ASSERT_NE(row, nullptr) << c.id;
        EXPECT_STREQ(row->ac_partition_name, c.dev);
        EXPECT_EQ(row->i_len, c.len);
        EXPECT_EQ(row->i_start_addr, 0u);
    }
    for (uint32_t id : {0u, 6u, 7u, 8u, 0xFFFFFFFFu})
        EXPECT_EQ(up_find_partition(id), nullptr) << id;
}

TEST(PartitionTable, RecordMayFillItsPartitionButNotExceedIt)
{
    const flash_partition_tab_t *kernel = up_find_partition(2);
    ASSERT_NE(kernel, nullptr);
    struct { uint32_t length; int result; } cases[] = {
        {0, 0}, {1, 0}, {0x300000, 0}, {0x300001, -1}, {0xFFFFFFFF, -1},
    };
    for (auto &c : cases) {
        package_record_t rec{};
        rec.record_id = 2;
        rec.record_length = c.length;
        EXPECT_EQ(up_check_partition_size(&rec, kernel), c.result) << c.length;
    }
}

TEST(PartitionWriters, RecordWithoutPartitionSucceedsWithoutTouchingFlash)
{
    package_record_t rec{};
    rec.record_id = 6;
    rec.record_length = 100;
    EXPECT_EQ(up_process_direct_write_submodule_file(-1, &rec), 0);
    EXPECT_EQ(up_process_update_partition(-1, &rec), 0);
    EXPECT_EQ(up_process_direct_write_submodule_file(-1, nullptr), -1);
    EXPECT_EQ(up_process_update_partition(-1, nullptr), -1);
    EXPECT_EQ(up_update_fix_rule(-1, nullptr), -1);
}
