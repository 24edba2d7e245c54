#include <gtest/gtest.h>

#include "up_progress.h"

TEST(Progress, FigureIsEvenCappedAndSafeForLargePackages)
{
    struct { uint32_t had, whole, percent; } cases[] = {
        {0, 0, 0},               // table not read yet
        {500, 0, 0},
        {0, 1000, 0},
        {999, 1000, 98},
        {1000, 1000, 100},
        {1, 3, 32},
        {2, 3, 66},
        {2000, 1000, 100},       // modem download counted beyond the package
        {UINT32_MAX, 1000, 100},
        // 50 * had no longer fits 32 bits beyond ~85 MB (100 * had beyond ~42 MB)
        {90000000, 100000000, 90},
        {45000000, 100000000, 44},
        {UINT32_MAX - 1, UINT32_MAX, 98},
        {UINT32_MAX, UINT32_MAX, 100},
    };
    for (auto &c : cases)
        EXPECT_EQ(up_progress_percent(c.had, c.whole), c.percent) << c.had << "/" << c.whole;
}

TEST(Progress, FigureNeverDecreasesAsTheCounterGrows)
{
    const uint32_t whole = 123456789;
    uint32_t last = 0;
    for (uint64_t had = 0; had <= whole + 5000000ull; had += 997331) {
        uint32_t p = up_progress_percent((uint32_t)had, whole);
        EXPECT_EQ(p % 2, 0u);
        EXPECT_LE(p, 100u);
        EXPECT_GE(p, last);
        last = p;
    }
    EXPECT_EQ(last, 100u);
}
