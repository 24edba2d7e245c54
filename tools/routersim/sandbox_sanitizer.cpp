// A sanitized build's programs inside the simulated router (sandbox_sanitizer.h).
#include "sandbox_sanitizer.h"

#include <cstdlib>
#include <cstring>
#include <link.h>

namespace {

int find_asan(struct dl_phdr_info *info, size_t, void *data)
{
    const char *name = info->dlpi_name;
    if (name == nullptr || name[0] == '\0')
        return 0;
    const char *base = strrchr(name, '/');
    base = base != nullptr ? base + 1 : name;
    if (strncmp(base, "libasan.so", 10) != 0)
        return 0;
    *static_cast<std::string *>(data) = name;
    return 1;
}

// value of the variable, with defaults in front: the variable's own settings
// come later and so win.
std::string with_defaults(const char *defaults, const char *variable)
{
    const char *own = getenv(variable);
    std::string v = defaults;
    if (own != nullptr && own[0] != '\0')
        v += std::string(":") + own;
    return v;
}

} // namespace

std::string sanitizer_runtime_path(void)
{
    std::string path;
    dl_iterate_phdr(find_asan, &path);
    return path;
}

std::vector<std::string> sanitizer_environment(void)
{
    if (sanitizer_runtime_path().empty())
        return {};
    // Leaks are looked for in the unit tests; in the router the runtime is
    // in every shell and archiver too, whose leaks at exit are not ours.
    return {
        "ASAN_OPTIONS=" + with_defaults("detect_leaks=0", "ASAN_OPTIONS"),
        "UBSAN_OPTIONS=" + with_defaults("print_stacktrace=1", "UBSAN_OPTIONS"),
        "LSAN_OPTIONS=" + with_defaults("", "LSAN_OPTIONS"),
    };
}
