// The exchange log MODEMSTATE/out/modem.log.
#include "exchange_log.h"

#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <ctime>

namespace {

FILE *g_log = nullptr;
int64_t g_start_ms = -1;

} // namespace

int64_t modem_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int modem_log_open(const char *path)
{
    modem_log_close();
    g_log = fopen(path, "ae");
    g_start_ms = modem_now_ms();
    return g_log ? 0 : -1;
}

void modem_log_close(void)
{
    if (g_log != nullptr)
        fclose(g_log);
    g_log = nullptr;
}

void modem_log(const char *fmt, ...)
{
    if (g_log == nullptr)
        return;
    int64_t ms = modem_now_ms() - g_start_ms;
    fprintf(g_log, "%lld.%03lld ", (long long)(ms / 1000), (long long)(ms % 1000));
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_log, fmt, ap);
    va_end(ap);
    fputc('\n', g_log);
    fflush(g_log);
}

void modem_sleep_ms(uint32_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
