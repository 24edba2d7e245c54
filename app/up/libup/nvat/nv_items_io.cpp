// NV item lists read into record files and written back from them.
#include "nv_items_io.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "hdlc_transmit.h"
#include "kq_log.h"
#include "nv_diag_packets.h"
#include "nv_diag_receive.h"
#include "nv_tables.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

// The identity record heads a backup file; NV records follow it.
constexpr long BACKUP_HEADER_SIZE = 548;
// An item that needs this many exchanges ends the whole read.
constexpr int READ_EXCHANGE_LIMIT = 99;
constexpr int READ_SILENT_LIMIT = 3;
// Reads of one item answered with a failure status other than "not set".
constexpr int READ_FAILURE_LIMIT = 3;
// NV records in a row the modem refuses: it takes no write at all.
constexpr int WRITE_REFUSED_LIMIT = 5;
constexpr int WRITE_ATTEMPTS = 5;
constexpr uint32_t START_PAUSE_MS = 300;
constexpr uint32_t RETRY_PAUSE_MS = 500;

// Opens a record file for appending, never through a link.
int open_for_append(const char *path)
{
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

int read_list(const char *diagnose_interface, const char *backup_file,
              const nv_items_stru_type *list, int capacity)
{
    unique_fd port(OpenAndInitSerialCom(diagnose_interface, 0));
    if (!port.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic com port %s failed.\n\n", diagnose_interface);
        return -1;
    }
    unique_fd file(open_for_append(backup_file));
    if (!file.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    Sleep(START_PAUSE_MS);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rf_nv_items[0].nID==%d\n", (int)list[0].nID);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rf_nv_items[1].nID==%d\n", (int)list[1].nID);

    static std::array<uint8_t, NV_ANSWER_BUF_SIZE> ans;
    static pkt_buffer_type pkt;
    int failed_reads = 0;
    for (int i = 0; i < capacity && list[i].nID != NV_ITEM_END; i++) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rf_nv_items[i].nID==%d\n\n", (int)list[i].nID);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]back up No %d-- %s\n\n", (int)list[i].nID,
               list[i].pItemName ? list[i].pItemName : "");
        nv_build_read_request(&pkt, (uint16_t)list[i].nID);
        // The exchange limit counts per item: a list of hundreds of items
        // needs hundreds of exchanges when every one answers at once.
        int n = 0;
        int silent = 0;
        for (int exchanges = 1;; exchanges++) {
            transmit_packet_at(port.get(), &pkt);
            ans.fill(0);
            n = rcv_ack_packet_Backup_Restore(port.get(), ans.data(), NV_CMD_READ);
            if (exchanges >= READ_EXCHANGE_LIMIT) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]no answer to NV item %d after %d exchanges\n\n",
                       (int)list[i].nID, exchanges);
                return -1;
            }
            // A modem that stays silent would hold the read for 99 waits of
            // ten seconds each; a few in a row are enough to know.
            silent = n == 0 ? silent + 1 : 0;
            if (silent >= READ_SILENT_LIMIT) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]no answer to NV item %d: the modem is silent\n\n",
                       (int)list[i].nID);
                return -1;
            }
            if (exchanges >= 2)
                Sleep(RETRY_PAUSE_MS);
            // Only a complete, intact read answer ends the exchanges: a
            // damaged one or a busy modem is asked again.
            if (ans[0] == NV_CMD_READ && n >= (int)NV_REQUEST_SIZE + 2 &&
                nv_answer_status(ans.data(), n) != NV_STATUS_BUSY)
                break;
        }
        std::array<uint8_t, NV_RECORD_SIZE> record{};
        if (!nv_read_answer_record(ans.data(), n, record.data())) {
            const int status = nv_answer_status(ans.data(), n);
            // An item the modem does not hold ("not set") is left out.
            if (status == NV_STATUS_NOT_SET) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]NV item %d not kept: status %d\n\n", (int)list[i].nID, status);
                failed_reads = 0;
                continue;
            }
            // Any other failure is asked again; an item the modem still
            // cannot read fails the backup: the flash would wipe a value
            // that exists nowhere else.
            if (++failed_reads < READ_FAILURE_LIMIT) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]NV item %d read failed with status %d, asked again\n\n",
                       (int)list[i].nID, status);
                Sleep(RETRY_PAUSE_MS);
                i--;
                continue;
            }
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]NV item %d cannot be read (status %d): the backup fails\n\n",
                   (int)list[i].nID, status);
            return -1;
        }
        failed_reads = 0;
        if (write_full(file.get(), record.data(), record.size()) < 0)
            return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
    return 0;
}

} // namespace

int Read_NV_ITEM(const char *diagnose_interface, const char *backup_file)
{
    return read_list(diagnose_interface, backup_file, rf_nv_items, RF_NV_ITEMS_ROWS);
}

int Read_Normal_NV_ITEM(const char *diagnose_interface, const char *backup_file)
{
    return read_list(diagnose_interface, backup_file, qd4700_modem_nv, 331);
}

void nv_write_retry_pause(int n, unsigned char first, int *failures)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rcv_ack_packet_Backup_Restore ret %d %02hhx\n\n", n, first);
    Sleep(RETRY_PAUSE_MS);
    (*failures)++;
    if (*failures > 2)
        Sleep(RETRY_PAUSE_MS);
}

int Write_NV_ITEM(int at_fd, const char *backup_file)
{
    struct stat st {};
    long size = stat(backup_file, &st) == 0 ? (long)st.st_size : 0;
    long count = size > BACKUP_HEADER_SIZE ? (size - BACKUP_HEADER_SIZE) / (long)NV_RECORD_SIZE : 0;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]block count= %ld\n", count);

    // A file shorter than its header is no backup: nothing can be restored.
    if (size < BACKUP_HEADER_SIZE) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read size ==%ld failed.\n\n", (long)NV_RECORD_SIZE);
        return -1;
    }
    unique_fd file(open(backup_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!file.ok() || lseek(file.get(), BACKUP_HEADER_SIZE, SEEK_SET) != BACKUP_HEADER_SIZE) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open nv_bak file err\n\n");
        return -1;
    }
    static std::array<uint8_t, NV_ANSWER_BUF_SIZE> ans;
    static pkt_buffer_type pkt;
    long unconfirmed = 0;
    int refused_in_row = 0;
    int silent = 0;
    for (long i = 0; i < count; i++) {
        std::array<uint8_t, 512> record{};
        if (read_full(file.get(), record.data(), NV_RECORD_SIZE) != (ssize_t)NV_RECORD_SIZE) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read size ==%ld failed.\n\n", (long)NV_RECORD_SIZE);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]restore NV No : %d\n\n", (int)i);
        const uint16_t id = (uint16_t)(record[0] | record[1] << 8);
        nv_build_write_request(&pkt, record.data());
        int failures = 0;
        bool confirmed = false;
        while (failures < WRITE_ATTEMPTS) {
            ans.fill(0);
            int sent = transmit_packet_no_leading_flag(at_fd, &pkt);
            int n = sent > 0 ? rcv_ack_packet_Backup_Restore(at_fd, ans.data(), NV_CMD_WRITE) : 0;
            // Only an answer that names the record and reports status 0
            // means the item is back in the modem.
            if (nv_write_answer_confirms(ans.data(), n, id)) {
                confirmed = true;
                break;
            }
            // Each unanswered exchange costs a receive timeout: a silent
            // modem would hold the restore for hours. A few in a row end it,
            // as in the backup read, and the caller keeps the backup.
            silent = n <= 0 ? silent + 1 : 0;
            if (silent >= NV_WRITE_SILENT_LIMIT) {
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]no answer to the write of NV record %ld: the modem is silent\n\n", i);
                return -1;
            }
            nv_write_retry_pause(n, ans[0], &failures);
        }
        if (!confirmed) {
            unconfirmed++;
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]NV item %u was not restored: the modem refused it\n\n", (unsigned)id);
            // A modem that refuses every write would hold the restore for
            // its five attempts on every record: a few records in a row end
            // it, as silence does, and the backup is kept.
            if (++refused_in_row >= WRITE_REFUSED_LIMIT) {
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]the modem refused %d NV records in a row: the restore stops\n\n",
                       refused_in_row);
                return -1;
            }
        } else {
            refused_in_row = 0;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d].\n");
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
    // Calibration the modem did not take is not restored: the caller must
    // keep the backup so that the next run tries again.
    if (unconfirmed > 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%ld of %ld NV records were not confirmed by the modem\n\n",
               unconfirmed, count);
        return -1;
    }
    return 0;
}
