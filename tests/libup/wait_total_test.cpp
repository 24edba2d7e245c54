#include <gtest/gtest.h>

#include "serial_port.h"
#include "up_wait_total.h"

TEST(WaitTotal, LibrarySleepAddsTheRequestedMilliseconds)
{
    uint32_t before = up_waited_ms();
    Sleep(3);
    Sleep(0);
    EXPECT_EQ(up_waited_ms() - before, 3u);
    up_count_wait_ms(1500);
    EXPECT_EQ(up_waited_ms() - before, 1503u);
}
