// Logging stand-in: every message goes to syslog through /dev/log, and to
// standard error as well when a person is watching a terminal.
#include "kq_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {

// The identities this platform gives a name; the others log as "kq".
const char *ident_name(int identity)
{
    switch (identity) {
    case KQ_LOG_IDENT_UP: return "imgrenew";
    case KQ_LOG_IDENT_CGI: return "cgi";
    default: return "kq";
    }
}

int syslog_priority(int level)
{
    switch (level) {
    case KQ_LOG_INFO: return LOG_INFO;
    case KQ_LOG_ERROR: return LOG_ERR;
    default: return LOG_DEBUG;
    }
}

} // namespace

int log_init(int identity)
{
    if (identity < KQ_LOG_IDENT_SC || identity >= KQ_LOG_IDENT_INVALID)
        return 1;
    // LOG_NDELAY connects at once, so a later chroot or fd clean-up cannot
    // lose the first message.
    openlog(ident_name(identity), LOG_NDELAY, LOG_USER);
    return 0;
}

int log_print(int level, const char *fmt, ...)
{
    if (fmt == nullptr)
        return -1;
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    size_t len = strnlen(line, sizeof line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';
    syslog(syslog_priority(level), "%s", line);
    if (isatty(STDERR_FILENO))
        fprintf(stderr, "%s\n", line);
    return 0;
}
