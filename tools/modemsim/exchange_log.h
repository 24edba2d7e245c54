// The exchange log MODEMSTATE/out/modem.log: one line per frame received or
// answered and per port event, so a test can assert what crossed the port.
#pragma once

#include <cstdint>

// Opens (appends to) the log. Returns 0 or -1.
int modem_log_open(const char *path);
void modem_log_close(void);

// Writes one line: seconds since start, then the formatted text. Flushed at
// once, so a test can read the log while the modem runs.
void modem_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds of the monotonic clock (the faked one under a time scale).
int64_t modem_now_ms(void);

// Sleeps ms milliseconds (shortened under a time scale too).
void modem_sleep_ms(uint32_t ms);
