// Progress figure and its report to the display.
#include "up_progress.h"

#include <array>

#include "kq_ipc.h"
#include "kq_log.h"
#include "up_api.h"
#include "up_bus_send.h"
#include "up_bytes.h"

namespace {

// The highest figure sent so far: the display's bar only moves forward.
uint32_t s_last_percent;

} // namespace

uint32_t up_progress_percent(uint32_t had, uint32_t whole)
{
    if (whole == 0)
        return 0;
    // 50 * had overflows 32 bits beyond about 85 MB, so the product is 64-bit.
    uint64_t half = (uint64_t)had * 50u / whole;
    // The modem path counts what it downloads on top of the record lengths, so
    // the counters can pass the package length: the display never shows more
    // than 100.
    return half >= 50 ? 100u : (uint32_t)(half * 2);
}

void up_add_had_write(uint32_t len)
{
    had_write = len > UINT32_MAX - had_write ? UINT32_MAX : had_write + len;
}

void up_progress_reset(void)
{
    s_last_percent = 0;
}

int up_report_progress_to_lcd(uint32_t i_opera_status, uint32_t i_up_progress)
{
    (void)i_up_progress;
    uint32_t percent = up_progress_percent(had_write, whole_packlen);
    if (percent < s_last_percent)
        percent = s_last_percent;
    s_last_percent = percent;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had update =%ld----had_write=%lu----whole_packlen=%lu---temp=%llu\n\n",
           (long)percent, (unsigned long)had_write, (unsigned long)whole_packlen,
           (unsigned long long)((uint64_t)had_write * 50u));

    ui_upgrade_opt_req_t req{i_opera_status, percent};
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]send message update step message:state=%lu-----step=%lu\n\n",
           (unsigned long)req.operation, (unsigned long)req.progress);
    std::array<uint8_t, sizeof req> wire{};
    put_le32(wire.data(), req.operation);
    put_le32(wire.data() + 4, req.progress);
    return up_send_asy_msg(UI_ID, UP_UI_PROGRESS_MSG_ID, wire.data(), (uint32_t)wire.size());
}
