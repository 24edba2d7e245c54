// Readability check of a record, made before any erase.
#include "up_record_bounds.h"

#include <array>
#include <unistd.h>

#include "kq_log.h"
#include "up_extract.h"
#include "up_fd.h"
#include "up_package_digest.h"
#include "up_package_io.h"

namespace {

// One erase block: the same size the writers move, so the check pass costs
// the same reads as the write pass that follows it.
std::array<uint8_t, 0x20000> s_check_block;

} // namespace

int up_check_record_readable(int fd, const package_record_t *rec)
{
    if (up_check_record_in_package(fd, rec) != 0)
        return -1;
    // The digest pass read every byte of the package before the first
    // erase; reading the record again here would only cost a third read.
    if (up_package_digest_covers(fd, rec->record_offset, rec->record_length))
        return 0;
    uint32_t remain = rec->record_length;
    while (remain > 0) {
        size_t want = remain < s_check_block.size() ? remain : s_check_block.size();
        const uint64_t at = (uint64_t)rec->record_offset + (rec->record_length - remain);
        if (up_package_pread(fd, at, s_check_block.data(), want) != (ssize_t)want) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]record %lu cannot be read whole: %lu bytes missing\n\n",
                   (unsigned long)rec->record_id, (unsigned long)remain);
            return -1;
        }
        remain -= (uint32_t)want;
    }
    return 0;
}
