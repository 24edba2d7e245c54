// The high-priority RF NV items through the factory-test subsystem, and the
// switch into factory test mode.
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>

#include "hdlc_transmit.h"
#include "kq_log.h"
#include "nv_backup_store.h"
#include "nv_diag_packets.h"
#include "nv_diag_receive.h"
#include "nv_items_io.h"
#include "nv_tables.h"
#include "serial_port.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

constexpr int HIGH_READ_EXCHANGES = 4;
constexpr int HIGH_WRITE_ATTEMPTS = 5;
constexpr int HIGH_STATUS_ATTEMPTS = 3;
// A port that accepts nothing any more must not keep the writer sending.
constexpr int HIGH_SEND_RETRIES = 20;
constexpr uint32_t START_PAUSE_MS = 300;
constexpr uint32_t READ_PAUSE_MS = 1000;

// One RF-NV record read and written to file. 0 for a stored record and for
// an item the modem does not hold ("not set"); 1 for any other failure
// status (the caller asks again); -1 when the modem gave no usable answer at
// all (silent, damaged answers, or not in factory test mode) or the item is
// longer than a backup record holds: the backup would then lack calibration
// it should hold.
int read_high_item(int port, int file, const nv_items_stru_type &row)
{
    static std::array<uint8_t, NV_ANSWER_BUF_SIZE> ans;
    static pkt_buffer_type pkt;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rf_nv_items[i].nID==%d\n\n", (int)row.nID);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]back up No %d-- %s\n\n", (int)row.nID, row.pItemName);
    rfnv_build_read_request(&pkt, (uint16_t)row.nID);
    int n = 0;
    for (int exchange = 1; exchange <= HIGH_READ_EXCHANGES; exchange++) {
        ans.fill(0);
        transmit_packet_no_leading_flag(port, &pkt);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to receive response package\n\n");
        n = rcv_ack_packet_Backup_high_nv_Restore(port, ans.data(), DIAG_SUBSYS_CMD);
        // A damaged answer (a receiver error code, not a count) is asked again.
        if (ans[0] == DIAG_SUBSYS_CMD && n >= 16)
            break;
        if (exchange == 2 || exchange == 3)
            Sleep(READ_PAUSE_MS);
    }
    if (n < 12 || ans[0] != DIAG_SUBSYS_CMD) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]receive invalid response\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]received len=%d----package len= %x data len=%x\n\n", n,
           (unsigned)get_le16(&ans[8]), (unsigned)get_le16(&ans[14]));
    const uint8_t *rec = nullptr;
    size_t rec_len = 0;
    if (!rfnv_read_answer_record(ans.data(), n, &rec, &rec_len)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d] backup rf_nv_items[i].nID = %u failed : %x--%x\n\n",
               (unsigned)row.nID, (unsigned)ans[9], (unsigned)ans[10]);
        const uint16_t status = n >= 12 ? get_le16(&ans[10]) : 0xFFFF;
        // An item the modem does not hold is left out, as ever.
        if (status == NV_STATUS_NOT_SET)
            return 0;
        // A value longer than the backup's records hold would be lost by
        // the flash: the backup fails rather than leave it out.
        if (status == 0 && n >= 16 && get_le16(&ans[14]) > RFNV_DATA_MAX) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]RF NV item %u holds %u bytes, more than a backup record holds (%u): the backup fails\n\n",
                   (unsigned)row.nID, (unsigned)get_le16(&ans[14]), (unsigned)RFNV_DATA_MAX);
            return -1;
        }
        return 1;
    }
    if (write_full(file, rec, rec_len) < 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%x--%x--%x--%x\n\n", (unsigned)rec[0], (unsigned)rec[1],
           (unsigned)rec[2], (unsigned)rec[3]);
    return 0;
}

} // namespace

int Read_High_NV_ITEM(const char *diagnose_interface, const char *backup_file)
{
    if (diagnose_interface == nullptr || diagnose_interface[0] == '\0') {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]invalid diag interface name %s\n\n", "");
        return -1;
    }
    unique_fd port(OpenAndInitSerialCom(diagnose_interface, 0));
    if (!port.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic com port %s failed.\n\n", diagnose_interface);
        return -1;
    }
    // The records go to a new file that replaces the old one only when it
    // is complete and on disk, as the block file does: a power cut leaves
    // the earlier file or the whole new one, never a short one.
    const std::string tmp = std::string(backup_file) + ".new";
    unlink(tmp.c_str());
    unique_fd file(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    Sleep(START_PAUSE_MS);
    for (int i = 0; i < 7 && qd4700_modem_high_nv[i].nID != NV_ITEM_END; i++) {
        // A failure status other than "not set" is asked again, then fails
        // the backup: the item is not left out without a word.
        int rc = 1;
        for (int attempt = 0; attempt < HIGH_STATUS_ATTEMPTS && rc == 1; attempt++) {
            if (attempt > 0)
                Sleep(READ_PAUSE_MS);
            rc = read_high_item(port.get(), file.get(), qd4700_modem_high_nv[i]);
        }
        if (rc == 1)
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]RF NV item %d cannot be read: the backup fails\n\n",
                   (int)qd4700_modem_high_nv[i].nID);
        if (rc != 0) {
            unlink(tmp.c_str());
            return -1;
        }
    }
    if (fsync(file.get()) != 0 || rename(tmp.c_str(), backup_file) != 0 || nv_sync_parent_dir(backup_file) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot put %s in place: %s\n\n", backup_file, strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int Write_High_NV_ITEM(int at_fd, const char *backup_file)
{
    unique_fd file(open(backup_file, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!file.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed open backupfile %s\n\n", backup_file);
        return -1;
    }
    static std::array<uint8_t, NV_ANSWER_BUF_SIZE> ans;
    static pkt_buffer_type pkt;
    int silent = 0;
    for (;;) {
        std::array<uint8_t, 2> head{};
        if (read_full(file.get(), head.data(), 2) != 2)
            break;
        const uint16_t id = get_le16(head.data());
        if (read_full(file.get(), head.data(), 2) != 2) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read NV data length failed \n\n");
            break;
        }
        const uint16_t len = get_le16(head.data());
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to restore NV id=%u   nv_data_len=%u\n\n", (unsigned)id,
               (unsigned)len);
        // A length beyond what an item can hold means the file is damaged:
        // nothing of it can be trusted from here on.
        if (len > RFNV_DATA_MAX) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]NV data length %u is too large\n\n", (unsigned)len);
            return -1;
        }
        std::array<uint8_t, RFNV_DATA_MAX> data{};
        if (read_full(file.get(), data.data(), len) != (ssize_t)len) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read NV data  failed \n\n");
            break;
        }
        rfnv_build_write_request(&pkt, id, data.data(), len);
        int n = 0;
        int failures = 0;
        int send_failures = 0;
        while (failures < HIGH_WRITE_ATTEMPTS) {
            ans.fill(0);
            if (transmit_packet_no_leading_flag(at_fd, &pkt) <= 0) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]transmit packet failed, retry.\n\n");
                if (++send_failures >= HIGH_SEND_RETRIES)
                    break;
                continue;
            }
            n = rcv_ack_packet_Backup_Restore(at_fd, ans.data(), DIAG_SUBSYS_CMD);
            // A damaged answer is asked again rather than taken as a refusal.
            if (ans[0] == DIAG_SUBSYS_CMD && n > 13)
                break;
            // A silent modem would hold the restore for minutes per item: a
            // few unanswered exchanges in a row end it, the backup is kept.
            silent = n == 0 ? silent + 1 : 0;
            if (silent >= NV_WRITE_SILENT_LIMIT) {
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]no answer to the write of RF NV item %u: the modem is silent\n\n",
                       (unsigned)id);
                return -1;
            }
            nv_write_retry_pause(n, ans[0], &failures);
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]resp code is %u nvid=%u\n\n", (unsigned)get_le16(&ans[10]),
               (unsigned)get_le16(&ans[12]));
        for (int k = 0; k < n && k < (int)ans.size(); k++)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%02hhx \n", ans[(size_t)k]);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
        if (!rfnv_write_answer_confirms(ans.data(), n, id)) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]received invalid response\n\n");
            return -1;
        }
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d].\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]restore high nv success\n\n");
    return 0;
}

int send_ftm_cmd(const char *diagnose_interface)
{
    static pkt_buffer_type pkt;
    ftm_build_switch_request(&pkt);
    unique_fd port(OpenAndInitSerialCom(diagnose_interface, 0));
    if (!port.ok())
        return -1;
    if (transmit_packet_no_leading_flag(port.get(), &pkt) <= 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]send switch ftm mode failed\n");
        return -1;
    }
    std::array<uint8_t, 8> ans{};
    int n = ReadComPort(port.get(), ans.data(), (uint32_t)ans.size());
    if (ftm_switch_answer_ok(ans.data(), n)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]switch successfully......\n");
        return 0;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to switch mode\n");
    return -1;
}
