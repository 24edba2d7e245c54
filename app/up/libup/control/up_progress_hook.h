// The library advances had_write while it streams a large modem image; the
// program that owns the display decides how a figure reaches it. The upgrade
// tool installs its reporter at start-up, so no link order can silently drop
// a report, and programs without a display (the virtual modem's tests, the
// benchmarks) simply install none.
#pragma once

#include <cstdint>

using up_progress_reporter_t = int (*)(uint32_t i_opera_status, uint32_t i_up_progress);

// Installs fn (null removes the reporter).
void up_set_progress_reporter(up_progress_reporter_t fn);

// Passes a report to the installed reporter: its result, or -1 when none is
// installed.
int up_report_library_progress(uint32_t i_opera_status, uint32_t i_up_progress);
