// The modem step's reads and writes around its decision: the journal, the
// IMEI of the attached modem against the backup's, the leftovers of
// interrupted writes.
#include "modem_txn_run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "at_channel.h"
#include "kq_log.h"
#include "modem_config.h"
#include "nv_backup_store.h"

namespace {

// The skip flags in the journal's order of bits.
constexpr int32_t modem_check_point_t::*STORED_BITS[] = {
    &modem_check_point_t::dbl_download,  &modem_check_point_t::fsbl_download, &modem_check_point_t::osbl_download,
    &modem_check_point_t::amss_download, &modem_check_point_t::dsp1_download, &modem_check_point_t::dsp2_download,
    &modem_check_point_t::efs_download,
};

void remove_leftover(const char *path)
{
    if (unlink(path) == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]removed %s, left by an interrupted write\n\n", path);
        nv_sync_parent_dir(path);
    }
}

// The IMEI the backup belongs to: the journal's, else the block's identity
// record when it holds one. Empty when neither is known.
std::array<char, MJ_IMEI_SIZE> backup_imei(const modem_txn &t, bool backup_pending)
{
    std::array<char, MJ_IMEI_SIZE> out{};
    if (t.state == MJ_OK && (t.journal.flags & MJ_FLAG_IMEI) != 0)
        return t.journal.imei;
    efs_h_cfg id{};
    if (backup_pending && nv_block_identity(MODEM_NV_BLOCK_FILE, &id) == 1 && id.IMEI != 0)
        modem_imei_digits(id.strIMEI, &out);
    return out;
}

} // namespace

void modem_txn_leftovers_remove(void)
{
    remove_leftover(MODEM_NV_BLOCK_FILE ".new");
    remove_leftover(MODEM_HIGH_NV_FILE ".new");
    remove_leftover(MODEM_JOURNAL_FILE ".new");
}

int modem_txn_load(modem_txn *t)
{
    t->journal = modem_journal{};
    t->state = modem_journal_read(MODEM_JOURNAL_FILE, &t->journal);
    switch (t->state) {
    case MJ_NONE: return 0;
    case MJ_OK:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem journal found: %s, container %s, images stored 0x%02lx\n\n",
               modem_journal_phase_name(t->journal.phase), t->journal.version.data(), (unsigned long)t->journal.stored);
        return 0;
    case MJ_DAMAGED:
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem journal %s is damaged: the earlier modem update is taken as unfinished\n\n",
               MODEM_JOURNAL_FILE);
        t->journal = modem_journal{};
        return 0;
    case MJ_IO_ERROR: break;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem journal %s cannot be read\n\n", MODEM_JOURNAL_FILE);
    return -1;
}

txn_journal modem_txn_journal_fact(const modem_txn &t)
{
    switch (t.state) {
    case MJ_OK: return txn_journal::open;
    case MJ_DAMAGED: return txn_journal::damaged;
    default: break;
    }
    return txn_journal::none;
}

void modem_txn_read_imei(modem_txn *t)
{
    char answer[64] = {};
    t->modem_imei.fill('\0');
    if (get_imei(file_info.at_inface, answer, sizeof answer) == 0)
        modem_imei_digits(answer, &t->modem_imei);
}

txn_imei modem_txn_compare_imei(const modem_txn &t, bool backup_pending)
{
    const std::array<char, MJ_IMEI_SIZE> theirs = backup_imei(t, backup_pending);
    if (theirs[0] == '\0' || t.modem_imei[0] == '\0' || strcmp(theirs.data(), t.modem_imei.data()) == 0)
        return txn_imei::same;
    UP_LOG(KQ_LOG_ERROR,
           "[%s:%d]another modem is attached (IMEI %s, the modem NV backup is of IMEI %s): nothing is flashed or restored, the backup is kept\n\n",
           t.modem_imei.data(), theirs.data());
    return txn_imei::other;
}

void modem_txn_begin(modem_txn *t, uint32_t container_size, uint32_t container_crc, const char *version,
                     bool backup)
{
    const modem_journal before = t->journal;
    const bool was_open = t->state == MJ_OK;
    t->journal = modem_journal{};
    t->journal.container_size = container_size;
    t->journal.container_crc = container_crc;
    snprintf(t->journal.version.data(), t->journal.version.size(), "%s", version);
    // The modem the transaction is about stays the one of the open
    // transaction, as does its backup.
    if (was_open && (before.flags & MJ_FLAG_IMEI) != 0) {
        t->journal.imei = before.imei;
        t->journal.flags |= MJ_FLAG_IMEI;
    } else if (t->modem_imei[0] != '\0') {
        t->journal.imei = t->modem_imei;
        t->journal.flags |= MJ_FLAG_IMEI;
    }
    if (was_open && (before.flags & MJ_FLAG_BACKUP) != 0) {
        t->journal.flags |= MJ_FLAG_BACKUP;
        t->journal.high_count = before.high_count;
        t->journal.high_length = before.high_length;
        t->journal.high_crc = before.high_crc;
    }
    if (backup)
        modem_txn_note_backup(t);
}

void modem_txn_note_backup(modem_txn *t)
{
    nv_high_summary high;
    if (nv_block_inspect(MODEM_NV_BLOCK_FILE, &high) != NV_BLOCK_OK)
        return;
    t->journal.flags |= MJ_FLAG_BACKUP;
    if (high.recorded) {
        t->journal.high_count = high.count;
        t->journal.high_length = high.length;
        t->journal.high_crc = high.crc;
    }
}

int modem_txn_put(modem_txn *t, uint32_t phase)
{
    t->journal.phase = phase;
    if (modem_journal_write(MODEM_JOURNAL_FILE, t->journal) != 0)
        return -1;
    t->state = MJ_OK;
    return 0;
}

void modem_txn_flags_from(const modem_txn &t, modem_check_point_t *flags)
{
    for (size_t i = 0; i < sizeof STORED_BITS / sizeof STORED_BITS[0]; i++)
        if ((t.journal.stored >> i) & 1u)
            flags->*STORED_BITS[i] = 1;
}

uint32_t modem_txn_stored_mask(const modem_check_point_t &flags)
{
    uint32_t mask = 0;
    for (size_t i = 0; i < sizeof STORED_BITS / sizeof STORED_BITS[0]; i++)
        if (flags.*STORED_BITS[i] == 1)
            mask |= 1u << i;
    return mask;
}

bool modem_txn_backup_expected(const modem_txn &t, bool backup_pending)
{
    return backup_pending || (t.state == MJ_OK && (t.journal.flags & MJ_FLAG_BACKUP) != 0);
}

bool modem_txn_high_kept(const modem_txn &t, bool backup_pending, std::string *path)
{
    if (backup_pending || t.state != MJ_OK || (t.journal.flags & MJ_FLAG_BACKUP) == 0 ||
        t.journal.phase == MJ_RESTORED)
        return false;
    nv_high_summary recorded;
    recorded.recorded = true;
    recorded.count = t.journal.high_count;
    recorded.length = t.journal.high_length;
    recorded.crc = t.journal.high_crc;
    return nv_high_find_kept(MODEM_HIGH_NV_FILE, recorded, path) == 1;
}

void modem_txn_log_unfinished(const modem_txn &t, const char *why)
{
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]modem update unfinished: %s (modem journal %s, phase %s, container %s)\n\n", why,
           MODEM_JOURNAL_FILE, t.state == MJ_OK ? modem_journal_phase_name(t.journal.phase) : "unknown",
           t.state == MJ_OK && t.journal.version[0] != '\0' ? t.journal.version.data() : "unknown");
}

int modem_txn_close(modem_txn *t)
{
    if (modem_journal_remove(MODEM_JOURNAL_FILE) != 0)
        return -1;
    t->state = MJ_NONE;
    t->journal = modem_journal{};
    return 0;
}
