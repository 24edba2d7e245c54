// Readers of the package header and record table, and the search for a
// record type. The descriptor may be a file or the raw package partition;
// every read is bounded by what the package holds.
//
// One header reader and one record walker serve every public operation.
// Each operation says where its lines go: the upgrade's log (with the
// header and descriptor dumps), or lines on standard output for the
// library's modem check, whose output the router reads.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "kq_assert.h"
#include "kq_log.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_package_io.h"
#include "up_state_io.h"

namespace {

// When the package size cannot be learnt (a descriptor that cannot seek),
// no table may be larger than the package partition itself.
constexpr uint64_t UP_PACKAGE_MAX_SIZE = 0x8000000;   // 128 MiB, /dev/mtd6

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

// Where a reader's lines go.
enum class read_sink {
    LOG,       // the upgrade's log, at the level each line names
    STDOUT,    // one line each on standard output; no dumps
};

// One line of a reader. fmt is the text alone, without the "[%s:%d]" prefix
// and the newlines of the log form: the log gets "[file:line]text" at level,
// standard output gets "text\n" (level unused).
__attribute__((format(printf, 5, 6)))
void report_line(read_sink sink, int level, const char *file, int line, const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (sink == read_sink::LOG)
        log_print(level, "[%s:%d]%s\n\n", file, line, text);
    else
        printf("%s\n", text);
}

#define READ_REPORT(sink, level, ...) report_line((sink), (level), __FILE_NAME__, __LINE__, __VA_ARGS__)

// The header reader: the 28 bytes at package offset 0 into head. Its two
// failures go to sink; the log also gets the dump of the fields.
int read_head(package_signature_t *head, int fd, read_sink sink)
{
    if (head == nullptr) {
        READ_REPORT(sink, KQ_LOG_ERROR, "NULL p_pack_head_attr point");
        return -1;
    }
    std::array<uint8_t, PACKAGE_HEAD_SIZE> raw{};
    if (up_package_pread(fd, 0, raw.data(), raw.size()) != (ssize_t)raw.size()) {
        READ_REPORT(sink, KQ_LOG_ERROR, "read fw head info fail");
        return -1;
    }
    decode_package_head(raw.data(), head);
    if (sink == read_sink::LOG)
        log_package_head(head);
    return 0;
}

// What the record walker does with the table. on_count (may be null) is
// called once the count is accepted, before any read: non-zero refuses the
// walk. visit gets each descriptor in table order: 0 goes on, anything
// else ends the walk and is its result.
struct record_visitor {
    int (*on_count)(void *ctx, uint32_t count);
    int (*visit)(void *ctx, uint32_t index, const package_record_t &rec);
    void *ctx;
};

// The record walker. Its lines go to sink. -1 for a null header, a count
// the package cannot hold, a refusal of on_count or a failed read; 0 when
// every descriptor was visited; otherwise what visit ended the walk with.
int walk_records(const package_signature_t *head, int fd, read_sink sink, const record_visitor &v)
{
    if (head == nullptr) {
        READ_REPORT(sink, KQ_LOG_DEBUG, "NULL p_pack_head_attr point");
        return -1;
    }
    READ_REPORT(sink, KQ_LOG_ERROR, " i_record_num is:%ld", (long)(int32_t)head->num_records);
    // Refused before any read: the caller sized its array from this count,
    // and a count the package cannot hold is a damaged header.
    if (up_check_record_count(head, fd) != 0)
        return -1;
    const uint32_t count = up_record_table_count(head);
    if (v.on_count != nullptr && v.on_count(v.ctx, count) != 0)
        return -1;
    for (uint32_t i = 0; i < count; ++i) {
        package_record_t rec{};
        if (read_package_record_raw(fd, i, &rec) != 0) {
            READ_REPORT(sink, KQ_LOG_ERROR, " to read the pack recork list faile");
            return -1;
        }
        const int rc = v.visit(v.ctx, i, rec);
        if (rc != 0)
            return rc;
    }
    return 0;
}

// The list operation's visitor: each descriptor stored in the caller's
// array (room for the accepted count) and dumped to the log.
struct record_store {
    package_record_t *list;
    uint32_t room;
};

int store_accept_count(void *ctx, uint32_t count)
{
    auto *s = static_cast<record_store *>(ctx);
    if (count > 0 && s->list == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_record_list point\n\n");
        return -1;
    }
    s->room = count;
    return 0;
}

int store_record(void *ctx, uint32_t index, const package_record_t &rec)
{
    auto *s = static_cast<record_store *>(ctx);
    if (!UP_ASSERT(index < s->room, "a descriptor is stored only inside the caller's table"))
        return -1;
    s->list[index] = rec;
    log_package_record(&s->list[index]);
    return 0;
}

// The search's visitor: ends the walk (1) at the first descriptor of the
// record type ctx points to.
int match_record_id(void *ctx, uint32_t, const package_record_t &rec)
{
    return rec.record_id == *static_cast<const uint32_t *>(ctx) ? 1 : 0;
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
    return read_head(p_pack_head_attr, i_flash_fd, read_sink::LOG);
}

int up_process_package_record_list(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   package_record_t *p_pack_record_list)
{
    // Only the list sets the package length the progress figures use.
    if (p_pack_head_attr != nullptr)
        whole_packlen = (uint32_t)p_pack_head_attr->packlen;
    record_store store{p_pack_record_list, 0};
    if (walk_records(p_pack_head_attr, i_flash_fd, read_sink::LOG,
                     record_visitor{store_accept_count, store_record, &store}) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]up_process_package_record_list success\n\n");
    return 0;
}

int up_process_package_check_modem(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   uint32_t record_id)
{
    const int rc = walk_records(p_pack_head_attr, i_flash_fd, read_sink::STDOUT,
                                record_visitor{nullptr, match_record_id, &record_id});
    return rc == 1 ? 0 : -1;
}

int up_check_modem_state_fd(int fd)
{
    package_signature_t head{};
    if (read_head(&head, fd, read_sink::STDOUT) != 0) {
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
