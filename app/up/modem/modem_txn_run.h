// The modem step's I/O around its decision (modem_txn.h): what it reads of
// the journal, the backup and the modem, and the journal's updates as the
// transaction goes on.
#pragma once

#include <array>
#include <string>

#include "modem_journal.h"
#include "modem_txn.h"
#include "modem_upgrade.h"

struct modem_txn {
    modem_journal_state state = MJ_NONE;
    modem_journal journal;
    // The attached modem's IMEI digits, empty when unknown or wiped.
    std::array<char, MJ_IMEI_SIZE> modem_imei{};
};

// Removes what an interrupted write left beside the backup and journal
// files ("<name>.new"): never a file anything reads.
void modem_txn_leftovers_remove(void);

// Reads the journal into t. 0, or -1 when it cannot be read (nothing is
// then known and the step must not go on).
int modem_txn_load(modem_txn *t);

// The journal fact of the decision.
txn_journal modem_txn_journal_fact(const modem_txn &t);

// Reads the attached modem's IMEI over the AT port into t->modem_imei.
void modem_txn_read_imei(modem_txn *t);
// Whether the attached modem is the one the pending backup (or the open
// journal) belongs to; an IMEI unknown on either side, or wiped, counts as
// the same modem. Logs a mismatch.
txn_imei modem_txn_compare_imei(const modem_txn &t, bool backup_pending);

// Writes the journal at a new phase; the first write of a transaction
// fills in what it is about. 0, or -1 (nothing may be sent then).
int modem_txn_put(modem_txn *t, uint32_t phase);
// Starts a journal for a new transaction (nothing written yet): the
// container, the modem's IMEI, and whether a backup belongs to it.
void modem_txn_begin(modem_txn *t, uint32_t container_size, uint32_t container_crc, const char *version,
                     bool backup);
// Notes in the journal that a backup belongs to the transaction, with the
// summary of its high-NV file.
void modem_txn_note_backup(modem_txn *t);

// The journal's record of the images stored, as skip flags, and back.
void modem_txn_flags_from(const modem_txn &t, modem_check_point_t *flags);
uint32_t modem_txn_stored_mask(const modem_check_point_t &flags);

// Whether the transaction has a backup to restore: a whole block, or a
// journal that says one belongs to it (then a missing block fails the
// restore, naming it).
bool modem_txn_backup_expected(const modem_txn &t, bool backup_pending);

// The high-NV file kept for the transaction's backup when its block is
// lost or was set aside as damaged: the journal says a backup belongs to
// the transaction and records the file's summary. True with *path set.
bool modem_txn_high_kept(const modem_txn &t, bool backup_pending, std::string *path);

// The verdict of a run that leaves the modem unfinished (logged at error
// level, naming the journal's phase and container version).
void modem_txn_log_unfinished(const modem_txn &t, const char *why);

// Removes the journal once the modem holds every image and every value is
// back: the last write of a transaction. 0, or -1.
int modem_txn_close(modem_txn *t);
