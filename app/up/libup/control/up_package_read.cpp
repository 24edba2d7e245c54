// Readers of the package header and record table, and the search for a
// record type. The descriptor may be a file or the raw package partition;
// every read is bounded by what the package holds.
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_package_io.h"
#include "up_state_io.h"

namespace {

// When the package size cannot be learnt (a descriptor that cannot seek),
// no table may be larger than the package partition itself.
constexpr uint64_t UP_PACKAGE_MAX_SIZE = 0x8000000;   // 128 MiB, /dev/mtd6

int read_package_head_raw(int fd, package_signature_t *head)
{
    std::array<uint8_t, PACKAGE_HEAD_SIZE> raw{};
    if (up_package_pread(fd, 0, raw.data(), raw.size()) != (ssize_t)raw.size())
        return -1;
    decode_package_head(raw.data(), head);
    return 0;
}

// Reads the index-th descriptor of the record table; -1 on a failed or short read.
int read_package_record_raw(int fd, uint32_t index, package_record_t *rec)
{
    std::array<uint8_t, PACKAGE_RECORD_SIZE> raw{};
    const uint64_t at = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * index;
    if (up_package_pread(fd, at, raw.data(), raw.size()) != (ssize_t)raw.size())
        return -1;
    decode_package_record(raw.data(), rec);
    return 0;
}

void log_package_head(const package_signature_t *h)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##############################print head info###################\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-magic1:%4x\n\n", (unsigned)h->magic1);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-magic2:%4x\n\n", (unsigned)h->magic2);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-version:%ld\n\n", (long)(int32_t)h->version);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-wholecrc:%4x\n\n", (unsigned)h->wholecrc);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-packlen:%ld\n\n", (long)h->packlen);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-num_records:%ld\n\n", (long)(int32_t)h->num_records);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]p_pack_head_attr-downgrade_enabled:%ld\n\n",
           (long)(int32_t)h->downgrade_enabled);
}

void log_package_record(const package_record_t *r)
{
    // The stored name need not be terminated; log a terminated copy.
    char name[PACKAGE_NAME_SIZE + 1];
    memcpy(name, r->record_name, PACKAGE_NAME_SIZE);
    name[PACKAGE_NAME_SIZE] = '\0';
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]#################################record info######################\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-record_offset=%ld\n\n", (long)(int32_t)r->record_offset);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-record_length=%ld\n\n", (long)(int32_t)r->record_length);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-compressed=%ld\n\n", (long)(int32_t)r->compressed);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-component_version=%ld\n\n",
           (long)(int32_t)r->component_version);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-record_name=%s\n\n", name);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]secrecord-record_id=%u\n\n", (unsigned)r->record_id);
}

// The library's second header reader: the same read, its two failures told
// on standard output, no dump.
int up_process_head_upgrade_quiet(package_signature_t *head, int fd)
{
    if (head == nullptr) {
        puts("NULL p_pack_head_attr point");
        return -1;
    }
    if (read_package_head_raw(fd, head) != 0) {
        puts("read fw head info fail");
        return -1;
    }
    return 0;
}

} // namespace

uint32_t up_record_table_count(const package_signature_t *p_pack_head_attr)
{
    if (p_pack_head_attr == nullptr || (int32_t)p_pack_head_attr->num_records < 0)
        return 0;
    return p_pack_head_attr->num_records;
}

int up_check_record_count(const package_signature_t *p_pack_head_attr, int i_flash_fd)
{
    if (p_pack_head_attr == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_head_attr point\n\n");
        return -1;
    }
    uint32_t count = up_record_table_count(p_pack_head_attr);
    if (count == 0)
        return 0;
    uint64_t have = UP_PACKAGE_MAX_SIZE;
    uint64_t capacity = 0;
    if (up_package_capacity(i_flash_fd, &capacity) == 0)
        have = capacity;
    // Raw from its partition the package ends at packlen and before the
    // state block: the partition's own size says nothing about it, and a
    // count sized by it would read tens of MiB of erased flash as records.
    uint64_t before_state = 0;
    if (up_package_is_partition(i_flash_fd)) {
        uint64_t packlen = (uint32_t)p_pack_head_attr->packlen;
        if (packlen < have)
            have = packlen;
        if (up_package_bytes_before(i_flash_fd, UP_STATE_OFFSET, &before_state) == 0 && before_state < have)
            have = before_state;
    }
    uint64_t need = PACKAGE_HEAD_SIZE + (uint64_t)PACKAGE_RECORD_SIZE * count;
    if (need > have) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]record count %lu needs %llu bytes but the package holds only %llu, refused\n\n",
               (unsigned long)count, (unsigned long long)need, (unsigned long long)have);
        return -1;
    }
    return 0;
}

int up_process_head_upgrade(package_signature_t *p_pack_head_attr, int i_flash_fd)
{
    if (p_pack_head_attr == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_head_attr point\n\n");
        return -1;
    }
    if (read_package_head_raw(i_flash_fd, p_pack_head_attr) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]read fw head info fail\n\n");
        return -1;
    }
    log_package_head(p_pack_head_attr);
    return 0;
}

int up_process_package_record_list(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   package_record_t *p_pack_record_list)
{
    if (p_pack_head_attr == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]NULL p_pack_head_attr point\n\n");
        return -1;
    }
    whole_packlen = (uint32_t)p_pack_head_attr->packlen;
    UP_LOG(KQ_LOG_ERROR, "[%s:%d] i_record_num is:%ld\n\n", (long)(int32_t)p_pack_head_attr->num_records);
    // Refused before any read: the caller sized its array from this count,
    // and a count the package cannot hold is a damaged header.
    if (up_check_record_count(p_pack_head_attr, i_flash_fd) != 0)
        return -1;
    uint32_t count = up_record_table_count(p_pack_head_attr);
    if (count > 0 && p_pack_record_list == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_record_list point\n\n");
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (read_package_record_raw(i_flash_fd, i, &p_pack_record_list[i]) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d] to read the pack recork list faile\n\n");
            return -1;
        }
        log_package_record(&p_pack_record_list[i]);
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]up_process_package_record_list success\n\n");
    return 0;
}

int up_process_package_check_modem(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   uint32_t record_id)
{
    if (p_pack_head_attr == nullptr) {
        puts("NULL p_pack_head_attr point");
        return -1;
    }
    printf(" i_record_num is:%ld\n", (long)(int32_t)p_pack_head_attr->num_records);
    if (up_check_record_count(p_pack_head_attr, i_flash_fd) != 0)
        return -1;
    uint32_t count = up_record_table_count(p_pack_head_attr);
    for (uint32_t i = 0; i < count; ++i) {
        package_record_t rec{};
        if (read_package_record_raw(i_flash_fd, i, &rec) != 0) {
            puts(" to read the pack recork list faile");
            return -1;
        }
        if (rec.record_id == record_id)
            return 0;
    }
    return -1;
}

int up_check_modem_state_fd(int fd)
{
    package_signature_t head{};
    if (up_process_head_upgrade_quiet(&head, fd) != 0) {
        puts("check head before upgrade error");
        return -1;
    }
    if (up_process_package_check_modem(&head, fd, PACKAGE_MODEM_IMAGE) != 0) {
        puts("check head before upgrade error");
        return -1;
    }
    return 0;
}

int up_upgrade_check_modem_state(void)
{
    unique_fd fd(open(UP_PACKAGE_DEV, O_RDONLY));
    if (!fd.ok()) {
        puts("open firmware image failed");
        return -1;
    }
    return up_check_modem_state_fd(fd.get());
}
