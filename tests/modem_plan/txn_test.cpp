// The modem step's decision, row by row: the journal, the backup, the
// package and the modem's answers to what the step does next.
#include <gtest/gtest.h>

#include <string>

#include "modem_txn.h"

namespace {

// Phases as the journal stores them.
constexpr uint32_t BACKING_UP = 1;
constexpr uint32_t BACKED_UP = 2;
constexpr uint32_t FLASHING = 3;
constexpr uint32_t FLASHED = 4;
constexpr uint32_t RESTORED = 5;

struct row {
    const char *name;
    txn_facts facts;
    txn_step step;
    bool take_backup, restore, fail;
};

txn_facts facts(txn_journal j, uint32_t phase, bool same_container, bool all_stored, bool backup, bool container,
                bool preserve, bool answers, txn_imei imei, bool same_version)
{
    txn_facts f;
    // The journal of an open transaction says a backup belongs to it when
    // one is pending (rows that differ set it themselves).
    f.backup_expected = j == txn_journal::open && backup;
    f.journal = j;
    f.phase = phase;
    f.same_container = same_container;
    f.all_stored = all_stored;
    f.backup_pending = backup;
    f.container = container;
    f.preserve = preserve;
    f.modem_answers = answers;
    f.imei = imei;
    f.same_version = same_version;
    return f;
}

// The journal says a backup belongs to the transaction, and none is left.
txn_facts lost_backup(txn_facts f)
{
    f.backup_expected = true;
    return f;
}

constexpr txn_journal NONE = txn_journal::none;
constexpr txn_journal OPEN = txn_journal::open;
constexpr txn_journal DAMAGED = txn_journal::damaged;
constexpr txn_imei SAME = txn_imei::same;
constexpr txn_imei OTHER = txn_imei::other;

//                                     journal   phase     same  all   backup contnr presrv answer imei   samever
const row ROWS[] = {
    // Nothing open.
    {"router-only package, nothing open", facts(NONE, 0, false, false, false, false, false, true, SAME, false),
     txn_step::none, false, false, false},
    {"no modem answers", facts(NONE, 0, false, false, false, true, true, false, SAME, false),
     txn_step::no_modem, false, false, true},
    {"the modem runs the container's firmware", facts(NONE, 0, false, false, false, true, true, true, SAME, true),
     txn_step::same_version, false, false, false},
    {"a new preserving flash", facts(NONE, 0, false, false, false, true, true, true, SAME, false),
     txn_step::flash, true, true, false},
    {"a new flash without preservation", facts(NONE, 0, false, false, false, true, false, true, SAME, false),
     txn_step::flash, false, false, false},
    {"a backup cut before its block: nothing sent", facts(OPEN, BACKING_UP, true, false, false, true, true, true, SAME, true),
     txn_step::same_version, false, false, false},
    // Open: the version decides nothing.
    {"cut after the version image, same container", facts(OPEN, FLASHING, true, false, true, true, true, true, SAME, true),
     txn_step::flash_rest, false, true, false},
    {"cut after the backup, before any image", facts(OPEN, BACKED_UP, true, false, true, true, true, true, SAME, true),
     txn_step::flash_rest, false, true, false},
    {"every image stored, the journal not yet flashed", facts(OPEN, FLASHING, true, true, true, true, true, true, SAME, false),
     txn_step::restore, false, true, false},
    {"flashed, the restore refused earlier: only a restore", facts(OPEN, FLASHED, true, true, true, true, true, true, SAME, false),
     txn_step::restore, false, true, false},
    {"restored, the backup removal cut", facts(OPEN, RESTORED, true, true, true, true, true, true, SAME, false),
     txn_step::restore, false, true, false},
    {"restored and the backup gone: only the journal", facts(OPEN, RESTORED, true, true, false, true, true, true, SAME, false),
     txn_step::finish, false, false, false},
    {"flashed, the backup restored by a run that could not complete it",
     facts(OPEN, FLASHED, true, true, false, true, true, true, SAME, false), txn_step::finish, false, false, false},
    {"flashed, the backup lost: the restore is tried and fails", lost_backup(facts(OPEN, FLASHED, true, true, false, true, true, true, SAME, false)),
     txn_step::restore, false, true, false},
    {"a package of another container", facts(OPEN, FLASHED, false, false, true, true, true, true, SAME, true),
     txn_step::flash, false, true, false},
    {"another container, not preserving, backup pending", facts(OPEN, FLASHING, false, false, true, true, false, true, SAME, false),
     txn_step::flash, false, true, false},
    {"another container, open without a backup, preserving", facts(OPEN, FLASHING, false, false, false, true, true, true, SAME, false),
     txn_step::flash, true, true, false},
    {"the backup lost (damaged) mid-flash: a fresh one first", lost_backup(facts(OPEN, FLASHING, true, false, false, true, true, true, SAME, false)),
     txn_step::flash_rest, true, true, false},
    {"the backup restored by a refused container's run: a fresh one first", facts(OPEN, FLASHING, true, false, false, true, true, true, SAME, false),
     txn_step::flash_rest, true, true, false},
    {"a damaged journal", facts(DAMAGED, 0, false, false, false, true, true, true, SAME, true),
     txn_step::flash, true, true, false},
    {"a pending block without a journal", facts(NONE, 0, false, false, true, true, true, true, SAME, true),
     txn_step::flash, false, true, false},
    // Open, and no way to complete it.
    {"router-only package, open, the modem answers", facts(OPEN, FLASHING, false, false, true, false, false, true, SAME, false),
     txn_step::unfinished, false, true, true},
    {"refused container, open, no backup", facts(OPEN, FLASHING, false, false, false, false, false, true, SAME, false),
     txn_step::unfinished, false, false, true},
    {"router-only package, open, silent modem", facts(OPEN, FLASHED, false, false, true, false, false, false, SAME, false),
     txn_step::unfinished, false, false, true},
    {"open and no modem answers", facts(OPEN, FLASHING, true, false, true, true, true, false, SAME, false),
     txn_step::no_modem, false, false, true},
    // Another modem.
    {"another modem, same container", facts(OPEN, FLASHED, true, true, true, true, true, true, OTHER, false),
     txn_step::refuse_modem, false, false, true},
    {"another modem, router-only package", facts(NONE, 0, false, false, true, false, false, true, OTHER, false),
     txn_step::refuse_modem, false, false, true},
    {"another modem and nothing open: a new flash", facts(NONE, 0, false, false, false, true, true, true, OTHER, false),
     txn_step::flash, true, true, false},
};

} // namespace

TEST(ModemTxnDecide, EveryRowOfTheTable)
{
    for (const row &r : ROWS) {
        SCOPED_TRACE(r.name);
        const txn_decision d = modem_txn_decide(r.facts);
        EXPECT_EQ(std::string(modem_txn_step_name(d.step)), modem_txn_step_name(r.step));
        EXPECT_EQ(d.take_backup, r.take_backup);
        EXPECT_EQ(d.restore, r.restore);
        EXPECT_EQ(d.fail, r.fail);
    }
}

TEST(ModemTxnDecide, NothingReportsSuccessWhileTheModemIsUnfinished)
{
    // Every combination with something open: the step either completes the
    // transaction (flash, flash the rest, restore, finish) or fails.
    const txn_journal journals[] = {NONE, OPEN, DAMAGED};
    for (txn_journal j : journals)
        for (uint32_t phase = 1; phase <= 5; phase++)
            for (int bits = 0; bits < 256; bits++) {
                txn_facts f = facts(j, phase, bits & 1, bits & 2, bits & 4, bits & 8, bits & 16, bits & 32,
                                    (bits & 64) ? OTHER : SAME, true);
                f.backup_expected = bits & 128;
                const bool open = f.backup_pending || j == DAMAGED || (j == OPEN && phase != BACKING_UP);
                if (!open)
                    continue;
                const txn_decision d = modem_txn_decide(f);
                SCOPED_TRACE(std::to_string((int)j) + " phase " + std::to_string(phase) + " bits " + std::to_string(bits));
                EXPECT_NE(d.step, txn_step::same_version);
                EXPECT_NE(d.step, txn_step::none);
                const bool completes = d.step == txn_step::flash || d.step == txn_step::flash_rest ||
                                       d.step == txn_step::restore || d.step == txn_step::finish;
                EXPECT_TRUE(completes || d.fail);
                if (d.step == txn_step::flash || d.step == txn_step::flash_rest) {
                    EXPECT_TRUE(d.restore) << "a flash of an open transaction restores its backup";
                }
                // Only the removals are left only when no backup is left.
                if (d.step == txn_step::finish) {
                    EXPECT_FALSE(f.backup_pending);
                }
            }
}

TEST(ModemTxnDecide, TheKeptHighFileOfALostBlockGoesBackOnlyIntoTheTransactionsAnsweringModem)
{
    struct high_row {
        const char *name;
        txn_facts facts;
        txn_step step;
        bool restore_high;
    };
    const auto kept = [](txn_facts f) {
        f.backup_expected = true;
        f.high_kept = true;
        return f;
    };
    const high_row rows[] = {
        {"flashed, the block set aside", kept(facts(OPEN, FLASHED, true, true, false, true, true, true, SAME, false)),
         txn_step::restore, true},
        {"mid-flash, the block set aside", kept(facts(OPEN, FLASHING, true, false, false, true, true, true, SAME, false)),
         txn_step::flash_rest, true},
        {"router-only package", kept(facts(OPEN, FLASHED, false, false, false, false, false, true, SAME, false)),
         txn_step::unfinished, true},
        {"another modem", kept(facts(OPEN, FLASHED, true, true, false, true, true, true, OTHER, false)),
         txn_step::refuse_modem, false},
        {"a silent modem", kept(facts(OPEN, FLASHED, false, false, false, false, false, false, SAME, false)),
         txn_step::unfinished, false},
        {"no modem answers the container", kept(facts(OPEN, FLASHED, true, true, false, true, true, false, SAME, false)),
         txn_step::no_modem, false},
        {"a whole block pending after all", kept(facts(OPEN, FLASHED, true, true, true, true, true, true, SAME, false)),
         txn_step::restore, false},
    };
    for (const high_row &r : rows) {
        SCOPED_TRACE(r.name);
        const txn_decision d = modem_txn_decide(r.facts);
        EXPECT_EQ(std::string(modem_txn_step_name(d.step)), modem_txn_step_name(r.step));
        EXPECT_EQ(d.restore_high, r.restore_high);
    }
}
