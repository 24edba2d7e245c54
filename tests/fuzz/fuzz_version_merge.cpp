// Fuzz target: the version file merge, which reads the version file that
// came in the package line by line and takes the installed file's text for
// every component not installed in this run. Input: 1 byte whose low bits
// mark which components were installed in this run, 2 bytes (little-endian)
// giving the length of the installed file, then the installed file and the
// package's file. Both files and the work file are in-memory files opened by
// their /proc/self/fd names, so no directory is involved.
#include <cstring>
#include <sys/stat.h>

#include "fuzz_check.h"
#include "up_driver.h"
#include "up_version_merge.h"

namespace {

size_t count_lines(const uint8_t *data, size_t size)
{
    size_t lines = 0;
    for (size_t i = 0; i < size; i++)
        if (data[i] == '\n')
            lines++;
    return lines + 1;
}

fuzz_mem_file g_old, g_new, g_work;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    uint8_t installed = data[0];
    size_t rest = size - 3;
    size_t old_len = (size_t)(data[1] | data[2] << 8) % (rest + 1);
    const uint8_t *old_data = data + 3;
    const uint8_t *new_data = old_data + old_len;
    size_t new_len = rest - old_len;
    fuzz_mem_file_fill(&g_old, "fuzz-version-old", old_data, old_len);
    fuzz_mem_file_fill(&g_new, "fuzz-version-new", new_data, new_len);
    fuzz_mem_file_fill(&g_work, "fuzz-version-work", nullptr, 0);

    up_driver_reset();
    for (int i = 0; i < UP_STEP_TABLE_ROWS && up_update_step_table[i].partion_id != -1; i++)
        up_update_step_table[i].update_flag = (installed >> i) & 1;

    FUZZ_CHECK(up_merge_version_file(g_old.path, g_new.path, g_work.path) == 0);

    // Every line read (at most 255 characters each) is written out once,
    // itself at most 255 characters and a line end.
    struct stat st {};
    FUZZ_CHECK(fstat(g_work.fd, &st) == 0);
    size_t chunks = count_lines(new_data, new_len) + new_len / (UP_VERSION_LINE_SIZE - 1);
    FUZZ_CHECK((size_t)st.st_size <= chunks * UP_VERSION_LINE_SIZE);
    return 0;
}
