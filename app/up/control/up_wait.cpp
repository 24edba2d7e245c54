#include "up_wait.h"

#include <cerrno>
#include <ctime>

void up_sleep_ms(unsigned ms)
{
    timespec left{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
