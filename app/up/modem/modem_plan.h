// What one download attempt does with the container's sub-image table,
// worked out before anything reaches the modem. The plan reads no file and
// no port: it follows the table from entry 1, the skip flags and the byte
// count, and assumes every send succeeds (the loop that carries it out stops
// at the first failure, so the rest of the plan is never taken then).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "modem_container.h"
#include "modem_upgrade.h"

// A sub-image type the modem step knows: its skip flag (none for the hex
// and partition-table images, which every attempt sends) and its log lines
// (each follows the "[%s:%d]" prefix).
struct modem_image_kind {
    uint32_t type;
    int32_t modem_check_point_t::*flag;
    const char *type_line;
    const char *failure_line;
    const char *success_line;
};

// The kind of a sub-image type, or null for a type the step does not know.
const modem_image_kind *modem_image_kind_of(uint32_t type);

// The sub-image table as read from the container: slot 0 is the INI, the
// walk starts at slot 1.
struct fw_table_span {
    const fw_h_t *entries;
    size_t slots;
};

// Where the walk runs: the table, the package offset of entry 1's body, the
// container bytes accounted for before it (header, table and INI) and the
// container's size.
struct modem_walk {
    fw_table_span table;
    uint64_t body_at;
    uint32_t base_num;
    uint32_t container_size;
};

enum class modem_step_action : uint8_t {
    send,        // the image goes to its handler; its flag is set afterwards
    installed,   // flagged as installed: skipped, its size not counted
    unknown,     // a type the step does not know: skipped by its size
    end_done,    // the end of the table with every flag set: finished
    end_abort,   // the end of the table with a flag missing: the step fails
    size_done,   // the container's bytes are all accounted for: finished
};

// One step of an attempt. The entry fields are those of the slot read (for
// end_done and end_abort the end mark, or the last slot when the table has
// none); size_done reads no slot and has them 0.
struct modem_plan_step {
    modem_step_action action;
    int slot;                       // table slot, 0 for size_done
    uint32_t type;                  // the entry's type
    uint32_t size;                  // the entry's body size
    uint32_t num;                   // container bytes accounted for before the step
    uint64_t body_off;              // package offset of the entry's body
    const modem_image_kind *kind;   // send and installed only
};

// An attempt: its steps in order, the last one ending it (end_done,
// end_abort or size_done). The walk reads at most every slot from 1 on,
// and ends at the latest at the last one, so the slots bound the steps.
struct modem_plan {
    std::array<modem_plan_step, MODEM_TABLE_SLOTS> steps;
    size_t count;
};

// Plans one attempt of the walk w from the skip flags at its start. A table
// of more than MODEM_TABLE_SLOTS slots is read as its first ones.
void modem_plan_attempt(const modem_walk &w, const modem_check_point_t &flags, modem_plan *out);

// True when every one of the seven flags is set.
bool modem_all_flags_set(const modem_check_point_t &flags);
