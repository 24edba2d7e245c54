#include <gtest/gtest.h>

#include "up_driver.h"

TEST(StepTable, MarksTheFirstRowOfAComponentOnly)
{
    struct { int id; int found; int row; } cases[] = {
        {1, 1, 0}, {2, 1, 1}, {3, 1, 2}, {9, 1, 3}, {6, 1, 4},
        {0, 0, -1}, {4, 0, -1}, {7, 0, -1}, {-1, 0, -1},
    };
    for (auto &c : cases) {
        up_driver_reset();
        EXPECT_EQ(up_set_step_flag(c.id), c.found) << c.id;
        for (int r = 0; r < UP_STEP_TABLE_ROWS; ++r)
            EXPECT_EQ(up_update_step_table[r].update_flag, r == c.row ? 1 : 0) << c.id << " row " << r;
    }
}

TEST(StepTable, ResetGivesTheStartTable)
{
    up_set_step_flag(2);
    need_up_version = 0;
    up_driver_reset();
    EXPECT_EQ(need_up_version, 1);
    const char *keys[] = {"boot_nontrust.bin", "zImage", "rootfs.jffs2", "default_nv", "dfi_version", ""};
    const int ids[] = {1, 2, 3, 9, 6, -1};
    for (int r = 0; r < UP_STEP_TABLE_ROWS; ++r) {
        EXPECT_STREQ(up_update_step_table[r].partion_key_words, keys[r]);
        EXPECT_EQ(up_update_step_table[r].partion_id, ids[r]);
        EXPECT_EQ(up_update_step_table[r].update_flag, 0);
    }
}
