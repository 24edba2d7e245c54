// What the modem step does next, worked out from what is known before it
// touches the modem: the journal, the NV backup, the package and the
// modem's answers. No file, port or global is touched here; the step
// gathers the facts, asks, and carries the answer out.
#pragma once

#include <cstdint>

enum class txn_journal : uint8_t {
    none,        // no modem transaction is open
    open,        // a journal of known content
    damaged,     // a journal that cannot be read whole: open, content unknown
};

enum class txn_imei : uint8_t {
    same,        // the attached modem's IMEI is the backup's, or one of them is unknown or wiped
    other,       // another modem is attached
};

struct txn_facts {
    // A journal of a backup that never reached its block (phase backing up,
    // no block) opens nothing: no image was sent.
    txn_journal journal = txn_journal::none;
    uint32_t phase = 0;                // the journal's phase (modem_journal_phase) when open
    bool same_container = false;       // the journal is about this package's container
    bool all_stored = false;           // the journal says every image of that container is stored
    bool backup_pending = false;       // a whole NV backup block is on /2ndfile
    bool backup_expected = false;      // the journal says a backup belongs to it, not yet restored
    bool high_kept = false;            // no whole block, but the high-NV file the journal recorded
                                       // is kept (beside a block set aside as damaged)
    bool container = false;            // the package carries a modem container that was accepted
    bool preserve = false;             // its INI asks for the NV items to be kept
    bool modem_answers = false;        // the modem's ports came up
    txn_imei imei = txn_imei::same;
    bool same_version = false;         // the version check finds the container's firmware running
};

enum class txn_step : uint8_t {
    none,            // nothing open and no container: no modem work
    no_modem,        // a container but no modem answers: the step fails
    same_version,    // nothing open and the modem runs the container's firmware: installed
    flash,           // a new transaction: back up (when asked), journal, flash every image, restore
    flash_rest,      // an open transaction of this container: flash what is not stored yet, restore
    restore,         // an open transaction whose images are all stored: restore only
    finish,          // every image stored and the values back: only the removals are left
    refuse_modem,    // another modem is attached: nothing is flashed or restored, the step fails
    unfinished,      // an open transaction and no usable container: restore a pending backup
                     // when the modem answers, then fail naming the unfinished modem
};

struct txn_decision {
    txn_step step = txn_step::none;
    bool take_backup = false;     // a fresh backup before the flash
    bool restore = false;         // a restore after the flash (or alone)
    bool fail = false;            // the step ends failed whatever the rest does
    bool restore_high = false;    // the kept high-NV file goes back first: the NV items and
                                  // identity of a lost block are not restored, the calibration is
};

txn_decision modem_txn_decide(const txn_facts &f);

const char *modem_txn_step_name(txn_step s);
