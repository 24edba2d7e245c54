// Fuzz target: the version file merge, which reads the version file that
// came in the package line by line and takes the installed file's text for
// every component not installed in this run. Input: 1 byte whose low bits
// mark which components were installed in this run, 2 bytes (little-endian)
// giving the length of the installed file, then the installed file and the
// package's file. Both input files are in-memory files opened by their
// /proc/self/fd names. The merge makes its work file afresh (it removes
// whatever stands at the name and creates it exclusively), so that one lives
// in a private folder (mkdtemp, mode 0700) made once per process.
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

fuzz_mem_file g_old, g_new;
std::string g_dir;
std::string g_work;

void remove_private_dir()
{
    unlink(g_work.c_str());
    rmdir(g_dir.c_str());
}

void make_private_dir()
{
    if (!g_dir.empty())
        return;
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && base[0] ? base : "/tmp") + "/fuzz-version-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
    g_dir = buf.data();
    g_work = g_dir + "/version_work";
    atexit(remove_private_dir);
}

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
    make_private_dir();

    up_driver_reset();
    for (int i = 0; i < UP_STEP_TABLE_ROWS && up_update_step_table[i].partion_id != -1; i++)
        up_update_step_table[i].update_flag = (installed >> i) & 1;

    FUZZ_CHECK(up_merge_version_file(g_old.path, g_new.path, g_work.c_str()) == 0);

    // Every line read (at most 255 characters each) is written out once,
    // itself at most 255 characters and a line end.
    struct stat st {};
    FUZZ_CHECK(stat(g_work.c_str(), &st) == 0);
    size_t chunks = count_lines(new_data, new_len) + new_len / (UP_VERSION_LINE_SIZE - 1);
    FUZZ_CHECK((size_t)st.st_size <= chunks * UP_VERSION_LINE_SIZE);
    return 0;
}
