// Fuzz target: the INI reader of the modem configuration. The input is the
// INI file carried in a modem container; it is read the way the modem step
// reads it (every key of the configuration) and the value filter is run on
// the raw text as well. The file is an in-memory file opened by its
// /proc/self/fd name.
#include <cstring>

#include "fuzz_check.h"
#include "ini_reader.h"
#include "modem_config.h"

namespace {

fuzz_mem_file g_ini;

bool kept_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           c == '_' || c == '=' || c == '.' || c == '/' || c == ',';
}

// A field filled by the reader is terminated within its size.
template <size_t N> void check_field(const char (&field)[N])
{
    FUZZ_CHECK(memchr(field, '\0', N) != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_mem_file_fill(&g_ini, "fuzz-modem-ini", data, size);

    file_info = file_info_st{};
    efs_config = efs_h_cfg{};
    get_file_info_config(g_ini.path);
    check_field(file_info.InnerVersion);
    check_field(file_info.diagnose_inface);
    check_field(file_info.at_inface);
    check_field(efs_config.strSIMLOCKList);

    // A value asked for into a small field: it fits with its terminator or
    // the key counts as missing.
    char small[8];
    memset(small, 'x', sizeof small);
    if (read_ini_config(g_ini.path, "About", "modem_version", small, sizeof small) == 0)
        FUZZ_CHECK(strnlen(small, sizeof small) < sizeof small);

    // The filter keeps only its characters, at most INI_VALUE_MAX of them.
    char text[512];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, n);
    text[n] = '\0';
    int rc = trim_str(text);
    size_t kept = strlen(text);
    FUZZ_CHECK(kept <= INI_VALUE_MAX);
    FUZZ_CHECK(rc == 0 || kept == INI_VALUE_MAX);
    for (size_t i = 0; i < kept; i++)
        FUZZ_CHECK(kept_char(text[i]));
    return 0;
}
