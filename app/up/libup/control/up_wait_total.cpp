#include "up_wait_total.h"

namespace {

uint32_t g_waited_ms = 0;

} // namespace

void up_count_wait_ms(uint32_t ms)
{
    g_waited_ms = ms > UINT32_MAX - g_waited_ms ? UINT32_MAX : g_waited_ms + ms;
}

uint32_t up_waited_ms(void)
{
    return g_waited_ms;
}
