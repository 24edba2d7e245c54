// Logging stand-in for the router platform's log library.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

enum {
    KQ_LOG_DEBUG = 0,
    KQ_LOG_INFO = 1,
    KQ_LOG_ERROR = 2,
};

enum {
    KQ_LOG_IDENT_SC = 0,
    KQ_LOG_IDENT_DM,
    KQ_LOG_IDENT_AT,
    KQ_LOG_IDENT_WM,
    KQ_LOG_IDENT_NM,
    KQ_LOG_IDENT_RM,
    KQ_LOG_IDENT_UI,
    KQ_LOG_IDENT_UP,
    KQ_LOG_IDENT_NS,
    KQ_LOG_IDENT_DIAG,
    KQ_LOG_IDENT_CGI,
    KQ_LOG_IDENT_WATCHDOG,
    KQ_LOG_IDENT_INVALID,
};

// Opens syslog (facility LOG_USER) under the identity's name: "imgrenew" for
// KQ_LOG_IDENT_UP, "cgi" for KQ_LOG_IDENT_CGI. Returns 0, or 1 for an
// identity the platform does not know.
int log_init(int identity);

// Formats the whole message and sends it to syslog at LOG_DEBUG, LOG_INFO or
// LOG_ERR for levels 0, 1, 2, with trailing newlines removed. Every format
// begins "[%s:%d]", and the file name and line are its first two arguments.
// When standard error is a terminal the line is written there as well.
int log_print(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Formats one message into line, cut to fit and always terminated: the
// length stored, or -1 for a format the C library refuses. Shared by every
// writer of formatted lines (the log, the CGI debug file, the fuzz log).
inline int log_vformat(char *line, size_t size, const char *fmt, va_list ap) __attribute__((format(printf, 3, 0)));
inline int log_vformat(char *line, size_t size, const char *fmt, va_list ap)
{
    if (size == 0)
        return -1;
    int n = vsnprintf(line, size, fmt, ap);
    if (n < 0) {
        line[0] = '\0';
        return -1;
    }
    return (size_t)n < size ? n : (int)(size - 1);
}

// From now on every message is still formatted in full (so a format or
// argument fault shows under the sanitizers) but sent nowhere, and log_init
// connects to nothing: for programs that log millions of lines in a loop,
// such as the fuzz targets, which would otherwise spend their time on the
// clock and flood the system log.
void log_discard_all(void);

#ifndef __FILE_NAME__
#define __FILE_NAME__ __FILE__
#endif

// Formats passed to UP_LOG start with "[%s:%d]"; the macro supplies both.
#define UP_LOG(level, fmt, ...) log_print((level), fmt, __FILE_NAME__, __LINE__, ##__VA_ARGS__)
