// Progress reports raised inside the library, handed to the program's reporter.
#include "up_progress_hook.h"

namespace {

up_progress_reporter_t s_reporter;

} // namespace

void up_set_progress_reporter(up_progress_reporter_t fn)
{
    s_reporter = fn;
}

int up_report_library_progress(uint32_t i_opera_status, uint32_t i_up_progress)
{
    return s_reporter != nullptr ? s_reporter(i_opera_status, i_up_progress) : -1;
}
