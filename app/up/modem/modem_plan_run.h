// The download attempts of the modem step: up to MODEM_DOWNLOAD_ATTEMPTS
// walks of the sub-image table, each carried out from its plan. The I/O
// goes through modem_flash_io, so the loop runs the same against the modem
// and against a scripted fake.
#pragma once

#include "modem_plan.h"

struct modem_flash_io {
    void *ctx;
    // Looks for the modem's USB ports: 0 when found, negative otherwise.
    int (*check_port)(void *ctx);
    // Hands one image to the handler of its type: 0, or non-zero on failure.
    int (*send)(void *ctx, uint32_t type, const package_span &img);
    // Power-cycles the modem after a failed attempt.
    void (*reset)(void *ctx);
    // Shows the progress after an image was installed.
    void (*progress)(void *ctx);
    // True while a complete NV backup exists.
    bool (*nv_backup_complete)(void *ctx);
    // Told of each step the loop takes that sends nothing (a skipped entry,
    // the end of the walk), after the port check of a known entry passed.
    // May be null.
    void (*quiet_step)(void *ctx, const modem_plan_step &step);
};

// Runs the attempts over the walk w, the images read from the package
// descriptor src, with check_point as the skip flags (a send that succeeds
// sets its image's flag). While file_info asks for NV preservation nothing
// is sent unless a complete backup exists. 0 when an attempt finished, -1
// when the walk was aborted, the backup is missing or the fifth attempt
// failed.
int modem_flash_run(const modem_flash_io &io, int src, const modem_walk &w);
