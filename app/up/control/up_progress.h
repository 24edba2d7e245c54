// Progress reports to the front-panel display over the message bus.
#pragma once

#include <cstdint>

enum {
    UPGRADE_AVAILABLE = 0,
    UPGRADE_IN_PROGRESS = 1,
    UPGRADE_COMPLETE = 2,
    UPGRADE_FILED = 3,
    UPGRADE_CANCEL = 4,
};

// Payload of the progress message: two 32-bit words, little-endian on the wire.
struct ui_upgrade_opt_req_t {
    uint32_t operation;
    uint32_t progress;
};
static_assert(sizeof(ui_upgrade_opt_req_t) == 8, "progress payload is 8 bytes");

constexpr uint32_t UP_UI_PROGRESS_MSG_ID = 0x10200004u;

// The figure for had bytes of whole: 0 when whole is 0, else
// 2 * floor(50 * had / whole) worked in 64 bits, never above 100.
uint32_t up_progress_percent(uint32_t had, uint32_t whole);

// Sends (i_opera_status, figure from had_write / whole_packlen) to the
// display. i_up_progress is not used: the display always gets the counters'
// figure, and never a figure below one this process has already sent.
// 0 when sent, -1 otherwise; callers go on either way.
int up_report_progress_to_lcd(uint32_t i_opera_status, uint32_t i_up_progress);

// Adds len installed bytes to had_write; the counter stops at its maximum
// instead of wrapping back towards 0.
void up_add_had_write(uint32_t len);

// Forgets the figures sent so far (a new installation in the same process).
void up_progress_reset(void);
