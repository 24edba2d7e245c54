#include "up_wait.h"

#include <cerrno>
#include <ctime>

#include "kq_log.h"
#include "up_wait_total.h"

void up_sleep_ms(unsigned ms)
{
    timespec left{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    up_count_wait_ms(ms);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]required waits so far: %lu ms\n\n", (unsigned long)up_waited_ms());
}
