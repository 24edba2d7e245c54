// Logging stand-in: every message goes to the system log through /dev/log,
// and to standard error as well when a person is watching a terminal.
//
// The log client is our own rather than the C library's syslog(): the modem
// download logs a line per 1 KiB block, and syslog() pays per call for time
// zone checks and, whenever no log daemon listens, a fresh socket and connect.
// Here the connection is kept, a lost one is retried at most once a second,
// and the terminal test is made once.
#include "kq_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char *LOG_SOCKET = "/dev/log";

const char *g_ident = "kq";
int g_sock = -1;
time_t g_next_connect;          // monotonic seconds of the next connect attempt
int g_stderr_tty = -1;          // unknown until the first message
bool g_discard = false;         // format only, send nothing

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

time_t monotonic_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void disconnect()
{
    if (g_sock >= 0)
        close(g_sock);
    g_sock = -1;
}

bool connect_log()
{
    if (g_sock >= 0)
        return true;
    time_t now = monotonic_seconds();
    if (now < g_next_connect)
        return false;
    g_next_connect = now + 1;
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", LOG_SOCKET);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(s);
        return false;
    }
    // A log daemon that stops reading must slow the tool down, not hang it
    // in the middle of a flash write.
    struct timeval tv = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    g_sock = s;
    return true;
}

// "<PRI>Mmm dd hh:mm:ss ident[pid]: text", the form log daemons expect.
void send_line(int priority, const char *text)
{
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char msg[2300];
    int n = snprintf(msg, sizeof msg, "<%d>%s %2d %02d:%02d:%02d %s[%ld]: %s",
                     LOG_USER | priority, months[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour,
                     tm.tm_min, tm.tm_sec, g_ident, (long)getpid(), text);
    if (n < 0)
        return;
    size_t len = (size_t)n < sizeof msg ? (size_t)n : sizeof msg - 1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!connect_log())
            return;
        ssize_t sent;
        do {
            sent = send(g_sock, msg, len, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        if (sent >= 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return;             // sent, or dropped after the wait above
        // The daemon went away (or was restarted): reconnect once at once.
        disconnect();
        g_next_connect = 0;
    }
}

} // namespace

int log_init(int identity)
{
    if (identity < KQ_LOG_IDENT_SC || identity >= KQ_LOG_IDENT_INVALID)
        return 1;
    if (g_discard)
        return 0;
    g_ident = ident_name(identity);
    // Connect at once, so that the first message is not the one to find out.
    g_next_connect = 0;
    connect_log();
    return 0;
}

int log_print(int level, const char *fmt, ...)
{
    if (fmt == nullptr)
        return -1;
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = log_vformat(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    if (g_discard)
        return 0;
    size_t len = strnlen(line, sizeof line);   // up to an embedded NUL, as the receiver sees it
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';
    send_line(syslog_priority(level), line);
    if (g_stderr_tty < 0)
        g_stderr_tty = isatty(STDERR_FILENO) ? 1 : 0;
    if (g_stderr_tty)
        fprintf(stderr, "%s\n", line);
    return 0;
}

void log_discard_all(void)
{
    g_discard = true;
}
