// Whole-package check made before the first record is installed. A package
// refused half way through would leave the router with a new kernel and an
// old root file system; refusing it before the first erase leaves it as it was.
#include <array>
#include <cstring>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_extract.h"
#include "modem_container.h"
#include "up_package_auth.h"
#include "up_package_digest.h"
#include "up_package_io.h"
#include "up_partition.h"

namespace {

bool installs_record(uint32_t record_id)
{
    switch (record_id) {
    case PACKAGE_VERSION:
    case PACKAGE_BOOTLOADER:
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS:
    case PACKAGE_2NDFS:
    case PACKAGE_MODEM_IMAGE:
        return true;
    default:
        return false;
    }
}

// Records whose name becomes a file under /tmp and a word of a command: the
// version file, the bootloader, kernel and root file system (file mode) and
// the second file system archive.
bool name_is_used(const package_record_t *rec)
{
    switch (rec->record_id) {
    case PACKAGE_VERSION:
    case PACKAGE_BOOTLOADER:
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS:
        return true;
    case PACKAGE_2NDFS:
        return rec->compressed == 1;
    default:
        return false;
    }
}

// Records written into a partition of the table, by either writer.
bool goes_to_partition(const package_record_t *rec)
{
    return rec->record_id == PACKAGE_KERNEL || rec->record_id == PACKAGE_ROOTFS ||
           (rec->record_id == PACKAGE_2NDFS && rec->compressed == 0);
}

// The package ends at packlen; read raw from its partition it must also end
// before the state block. The partition's own size says nothing about where
// the package ends, and a record past packlen would install erased flash.
// In the partition the package steps over bad blocks, so its end is where
// its last byte lies on the device.
int check_within_package(const package_signature_t *head, int i_flash_fd, const package_record_t *rec)
{
    uint64_t end = (uint64_t)rec->record_offset + rec->record_length;
    uint64_t limit = (uint32_t)head->packlen;
    if (end > limit) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]record ends at %llu, past the package end %llu\n\n",
               (unsigned long long)end, (unsigned long long)limit);
        return -1;
    }
    uint64_t last = 0;
    if (strcmp(image_name, UP_PACKAGE_DEV) == 0 && end > 0 &&
        (up_package_device_offset(i_flash_fd, end - 1, &last) != 0 || last >= UP_STATE_OFFSET)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]record ends at %llu, past the state block on the device\n\n",
               (unsigned long long)end);
        return -1;
    }
    return 0;
}

int check_one(const package_signature_t *head, int i_flash_fd, const package_record_t *rec)
{
    if (!installs_record(rec->record_id))
        return 0;
    if (up_check_record_in_package(i_flash_fd, rec) != 0 || check_within_package(head, i_flash_fd, rec) != 0)
        return -1;
    if (name_is_used(rec)) {
        char name[UP_RECORD_NAME_MAX];
        if (up_record_file_name(rec, name, sizeof name) != 0)
            return -1;
    }
    // Any other value would be installed as nothing and marked installed.
    if (rec->record_id == PACKAGE_2NDFS && rec->compressed > 1) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]2nd file system record with compressed=%lu is not installable\n\n",
               (unsigned long)rec->compressed);
        return -1;
    }
    if (goes_to_partition(rec)) {
        const flash_partition_tab_t *row = up_find_partition(rec->record_id);
        if (row != nullptr && up_check_partition_size(rec, row) != 0)
            return -1;
        // Bad blocks take no data. A partition that cannot be opened here is
        // left to its writer, which fails on the open before any erase.
        if (row != nullptr && access(row->ac_partition_name, F_OK) == 0 &&
            up_check_partition_room(rec, row) != 0)
            return -1;
    }
    return 0;
}

// The package's length in the signature trailer's head after packlen, when
// there is one: 12 + its text length; else 0.
uint64_t trailer_size(int fd, uint32_t packlen)
{
    std::array<uint8_t, UP_SIG_TRAILER_HEAD_SIZE> head{};
    uint32_t text_len = 0;
    if (up_package_pread(fd, packlen, head.data(), head.size()) != (ssize_t)head.size() ||
        up_sig_trailer_head(head.data(), &text_len) != UP_SIG_OK)
        return 0;
    return head.size() + text_len;
}

// The modem step checks each container's CRC (everything after its 16-byte
// head, as far as the head's size says) before it sends an image: the pass
// computes those CRCs on its way, so the check reads nothing again. A head
// that cannot be read or makes no sense gives no range; the modem step then
// reads and refuses it as before.
size_t crc_ranges(int fd, const package_signature_t *head, const package_record_t *list,
                  std::array<up_crc_range, UP_PACKAGE_CRC_RANGES> *ranges)
{
    size_t n = 0;
    const uint32_t count = up_record_table_count(head);
    for (uint32_t i = 0; i < count && n < ranges->size(); ++i) {
        const package_record_t &rec = list[i];
        std::array<uint8_t, FW_H_SIZE> raw{};
        if (rec.record_id != PACKAGE_MODEM_IMAGE || rec.record_length < FW_H_SIZE ||
            up_package_pread(fd, rec.record_offset, raw.data(), raw.size()) != (ssize_t)raw.size())
            continue;
        fw_h_t fw{};
        fw_h_decode(raw.data(), &fw);
        if (fw.fw_h_size >= FW_H_SIZE && fw.fw_h_size <= rec.record_length)
            (*ranges)[n++] = up_crc_range{(uint64_t)rec.record_offset + FW_H_SIZE, fw.fw_h_size - FW_H_SIZE};
    }
    return n;
}

// The header and table the run uses are the bytes the pass read: read again
// through the checked reader (from the pass's blocks) and compared.
int recheck_table(int fd, const package_signature_t *head, const package_record_t *list)
{
    std::array<uint8_t, PACKAGE_HEAD_SIZE> raw{}, want{};
    encode_package_head(head, want.data());
    if (up_package_pread(fd, 0, raw.data(), raw.size()) != (ssize_t)raw.size() || raw != want) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package header changed while it was read: refused\n\n");
        return -1;
    }
    const uint32_t count = up_record_table_count(head);
    for (uint32_t i = 0; i < count; ++i) {
        std::array<uint8_t, PACKAGE_RECORD_SIZE> rec{}, want_rec{};
        encode_package_record(&list[i], want_rec.data());
        const uint64_t at = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * i;
        if (up_package_pread(fd, at, rec.data(), rec.size()) != (ssize_t)rec.size() || rec != want_rec) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]package record table changed while it was read: refused\n\n");
            return -1;
        }
    }
    return 0;
}

} // namespace

int up_check_package_end(const package_signature_t *head, int fd)
{
    if (!up_package_is_partition(fd))
        return 0;
    const uint32_t packlen = (uint32_t)head->packlen;
    const uint64_t end = (uint64_t)packlen + trailer_size(fd, packlen);
    uint64_t last = 0;
    if (end == 0)
        return 0;
    if (up_package_device_offset(fd, end - 1, &last) != 0 || last >= UP_STATE_OFFSET) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]package and its signature end at package offset 0x%llx, past the state block at 0x%lx of "
               "the package partition: refused\n\n",
               (unsigned long long)end, (unsigned long)UP_STATE_OFFSET);
        return -1;
    }
    return 0;
}

int up_verify_package(int fd, const package_signature_t *head, const package_record_t *list,
                      up_auth_check *auth, uint8_t hash[UP_PACKAGE_HASH_SIZE])
{
    // The bytes the run may read: the package up to packlen, and at least its
    // header and table, as far as the file or partition holds them.
    uint64_t capacity = 0;
    if (up_package_capacity(fd, &capacity) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot tell the package size\n\n");
        return -1;
    }
    const uint64_t table_end = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * up_record_table_count(head);
    uint64_t len = (uint32_t)head->packlen;
    if (len < table_end)
        len = table_end;
    if (len > capacity)
        len = capacity;
    std::array<up_crc_range, UP_PACKAGE_CRC_RANGES> ranges{};
    const size_t n_ranges = crc_ranges(fd, head, list, &ranges);
    if (up_package_digest_pass(fd, len, ranges.data(), n_ranges, hash) != 0) {
        if (auth->needs_hash)
            up_auth_end(auth, nullptr);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package cannot be read whole: nothing is installed\n\n");
        return -1;
    }
    if (up_auth_end(auth, hash) != 0 || recheck_table(fd, head, list) != 0)
        return -1;
    UP_LOG(KQ_LOG_INFO, "[%s:%d]package read whole: %llu bytes, %lu block digests kept\n\n",
           (unsigned long long)len, (unsigned long)((len + UP_PACKAGE_BLOCK - 1) / UP_PACKAGE_BLOCK));
    return 0;
}

int up_check_record_table(const package_signature_t *p_pack_head_attr, int i_flash_fd,
                          const package_record_t *p_pack_record_list)
{
    // The count is signed, as the table reader takes it.
    int32_t count = (int32_t)p_pack_head_attr->num_records;
    for (int32_t i = 0; i < count; ++i) {
        if (check_one(p_pack_head_attr, i_flash_fd, &p_pack_record_list[i]) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]record %ld (id %lu) is refused: nothing is installed\n\n",
                   (long)i, (unsigned long)p_pack_record_list[i].record_id);
            return -1;
        }
    }
    return 0;
}
