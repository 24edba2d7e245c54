// The sum of the fixed waits a run has made (the pauses the upgrade requires:
// after each record, around power cycles and port opens, between retries).
// Both the tool's wait helper and the library's Sleep add to it, so a
// benchmark can tell the required waiting from the tool's own work.
#pragma once

#include <cstdint>

// Adds ms to the total (saturating).
void up_count_wait_ms(uint32_t ms);

// Milliseconds waited so far in this process.
uint32_t up_waited_ms(void);
