// The streaming download reports progress through the upgrade tool's
// display code. Programs that link the download protocol without it (the
// virtual modem's tests, the benchmarks) get this silent stand-in; being
// weak, it gives way to the tool's own definition wherever that is linked.
#include "../up_progress.h"

__attribute__((weak)) int up_report_progress_to_lcd(uint32_t i_opera_status,
                                                     uint32_t i_up_progress)
{
    (void)i_opera_status;
    (void)i_up_progress;
    return -1;
}
