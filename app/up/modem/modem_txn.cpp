// The decision of the modem step. A transaction is open while a journal
// exists, or a whole NV backup block does (a block of a step that wrote no
// journal): then the modem may be half-flashed or wiped, so the version it
// reports decides nothing, and only a run that completes the transaction
// may report the modem installed.
#include "modem_txn.h"

#include "modem_journal.h"

txn_decision modem_txn_decide(const txn_facts &f)
{
    txn_decision d;
    const bool open = f.backup_pending || f.journal == txn_journal::damaged ||
                      (f.journal == txn_journal::open && f.phase != MJ_BACKING_UP);
    // A backup belongs to the modem it was read from: another modem gets
    // neither its values nor a flash that would wipe its own.
    if (open && f.imei == txn_imei::other) {
        d.step = txn_step::refuse_modem;
        d.fail = true;
        return d;
    }
    // A block lost or damaged takes the NV items and identity with it, but
    // not the RF calibration of a high-NV file the journal recorded: it goes
    // back into the transaction's modem before anything else is done.
    d.restore_high = open && f.high_kept && !f.backup_pending && f.modem_answers;
    if (!f.container) {
        if (!open)
            return d;
        d.step = txn_step::unfinished;
        d.restore = f.backup_pending && f.modem_answers;
        d.fail = true;
        return d;
    }
    if (!f.modem_answers) {
        d.step = txn_step::no_modem;
        d.fail = true;
        return d;
    }
    if (!open) {
        if (f.same_version) {
            d.step = txn_step::same_version;
            return d;
        }
        d.step = txn_step::flash;
        d.take_backup = f.preserve;
        d.restore = f.preserve;
        return d;
    }
    if (f.journal == txn_journal::open && f.same_container) {
        const bool flashed = f.phase >= MJ_FLASHED || f.all_stored;
        // Every image is stored and no backup is left to restore (it was
        // restored, by this transaction's end or by a run that could not
        // complete it): only the removals are left.
        if (flashed && !f.backup_pending && (f.phase == MJ_RESTORED || !f.backup_expected)) {
            d.step = txn_step::finish;
            return d;
        }
        d.step = flashed ? txn_step::restore : txn_step::flash_rest;
        // A backup lost since (set aside as damaged) is taken afresh before
        // anything more is sent: the modem may still hold its values.
        d.take_backup = d.step == txn_step::flash_rest && f.preserve && !f.backup_pending;
        d.restore = true;
        return d;
    }
    // Another container, a journal of unknown content, or a backup without
    // a journal: the modem's images are not known, every one is flashed.
    d.step = txn_step::flash;
    d.take_backup = f.preserve && !f.backup_pending;
    d.restore = true;
    return d;
}

const char *modem_txn_step_name(txn_step s)
{
    switch (s) {
    case txn_step::none: return "none";
    case txn_step::no_modem: return "no modem";
    case txn_step::same_version: return "same version";
    case txn_step::flash: return "flash";
    case txn_step::flash_rest: return "flash the rest";
    case txn_step::restore: return "restore";
    case txn_step::finish: return "finish";
    case txn_step::refuse_modem: return "refuse another modem";
    case txn_step::unfinished: return "unfinished";
    }
    return "?";
}
