// The fuzz targets' log: every message is formatted in full, as the platform
// log does, so a format or argument fault in a log line still shows under
// the sanitizers, but nothing is sent. Millions of runs would otherwise spend
// their time on the log's clock and process-id calls and flood the system log.
#include "kq_log.h"

namespace {

struct discard_log {
    discard_log() { log_discard_all(); }
} g_discard_log;

} // namespace
