// A power cut placed by counting what the modem does: `--power-cut KIND:N`
// cuts the power at the Nth event of KIND since modemsim started. The event
// has taken effect (an item written, an image stored, a reset accepted) and
// nothing after it happens: its answer is never sent, no later request is
// served, the modem neither leaves nor joins the bus. The modem then writes
// MODEMSTATE/out/power_cut ("KIND N") for its host (routersim ends the run
// as a power cut when it appears) and waits to be stopped.
#pragma once

#include <cstddef>
#include <cstdint>

enum power_cut_kind {
    CUT_NONE = -1,
    CUT_EXCHANGE = 0,    // any request taken (a diag frame or an AT command)
    CUT_AT,              // an AT command
    CUT_NV_READ,         // an NV read answered
    CUT_NV_WRITE,        // an NV write acted on
    CUT_RFNV_READ,       // an RF NV read answered
    CUT_RFNV_WRITE,      // an RF NV write acted on
    CUT_WRITE32,         // a boot loader write of the programmer acknowledged
    CUT_STREAM,          // a stream-write block written
    CUT_IMAGE,           // an image stored at its close
    CUT_RESET,           // the programmer's reset accepted
    CUT_ATTACH,          // the modem appeared on the bus (any stage)
    CUT_KIND_COUNT,
};

struct power_cut {
    power_cut_kind kind = CUT_NONE;
    uint32_t at = 0;                 // the Nth event cuts
    uint32_t seen[CUT_KIND_COUNT] = {};
    bool fired = false;
    bool loaded = false;             // taken from the options at the first event
};

// "KIND:N" with N from 1. 0, or -1 with a message in err.
int power_cut_parse(const char *text, power_cut *pc, char *err, size_t err_size);
const char *power_cut_kind_name(power_cut_kind kind);

struct modem_t;
// Counts one event; true when it is the one that cuts the power (the modem
// is then dead: the caller sends nothing more). Also true for every event
// after the cut.
bool power_cut_event(modem_t *m, power_cut_kind kind);
// Writes MODEMSTATE/out/events: "KIND COUNT" for every kind, the events
// counted since the start (up to the cut, when one fell), written whole
// through a rename.
void power_cut_write_counts(const modem_t *m);
// The event kind a diag frame's answer stands for (CUT_NONE: none beyond
// the exchange), from the fault kind and the answer's name.
power_cut_kind power_cut_kind_of_frame(const char *fault_kind, const char *reply_name);
