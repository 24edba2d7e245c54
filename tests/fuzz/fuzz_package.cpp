// Fuzz target: the upgrade package header and record table, read the way the
// driver reads them before the first record is installed (header, record
// count against the package size, descriptors, whole-table check), then the
// modem-record search and the record-name checks. The package is an
// in-memory file, so the size checks see a regular file as in file mode.
//
// The low bit of the first byte (magic1, which nothing interprets) selects
// where the package is taken to come from: the raw partition, whose state
// block also limits the records, or the package file.
#include <cstring>
#include <memory>
#include <new>

#include "fuzz_check.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_extract.h"
#include "up_state_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fd = fuzz_memfd("fuzz-package", data, size);
    const char *source = (size > 0 && (data[0] & 1)) ? UP_PACKAGE_DEV : UP_IMAGE_FILE;
    snprintf(image_name, sizeof image_name, "%s", source);

    package_signature_t head{};
    int rc = up_process_head_upgrade(&head, fd);
    FUZZ_CHECK((rc == 0) == (size >= PACKAGE_HEAD_SIZE));
    if (rc != 0)
        return 0;

    uint32_t count = up_record_table_count(&head);
    std::unique_ptr<package_record_t[]> list;
    if (up_check_record_count(&head, fd) == 0) {
        // The count was found to fit the package, so it bounds the table.
        FUZZ_CHECK(PACKAGE_HEAD_SIZE + (uint64_t)count * PACKAGE_RECORD_SIZE <= size);
        list.reset(new (std::nothrow) package_record_t[count > 0 ? count : 1]());
        FUZZ_CHECK(list != nullptr);
        if (up_process_package_record_list(&head, fd, list.get()) == 0) {
            FUZZ_CHECK(whole_packlen == (uint32_t)head.packlen);
            if (up_check_record_table(&head, fd, list.get()) == 0) {
                for (uint32_t i = 0; i < count; i++) {
                    const package_record_t &rec = list[i];
                    if (rec.record_id <= PACKAGE_2NDFS || rec.record_id == PACKAGE_MODEM_IMAGE)
                        FUZZ_CHECK((uint64_t)rec.record_offset + rec.record_length <= size);
                }
            }
            for (uint32_t i = 0; i < count; i++) {
                char name[UP_RECORD_NAME_MAX];
                if (up_record_file_name(&list[i], name, sizeof name) == 0)
                    FUZZ_CHECK(is_safe_record_name(name) && strchr(name, ' ') == nullptr);
                if (up_record_whole_name(&list[i], name, sizeof name) == 0)
                    FUZZ_CHECK(is_safe_record_name(name));
            }
        }
    }

    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    up_check_modem_state_fd(fd);
    return 0;
}
