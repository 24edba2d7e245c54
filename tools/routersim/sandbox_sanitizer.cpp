// A sanitized build's programs inside the simulated router (sandbox_sanitizer.h).
#include "sandbox_sanitizer.h"

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif

namespace {

// defaults, then the variable's own settings, which come later and so win.
std::string with_defaults(const char *defaults, const char *variable)
{
    const char *own = getenv(variable);
    std::string v = defaults;
    if (own != nullptr && own[0] != '\0')
        v += std::string(v.empty() ? "" : ":") + own;
    return v;
}

} // namespace

bool sanitized_build(void)
{
#ifdef SIM_ASAN
    return true;
#else
    return false;
#endif
}

std::vector<std::string> sanitizer_environment(void)
{
    if (!sanitized_build())
        return {};
    // Leaks are looked for in the unit tests; in the router a program's
    // memory errors count, and ASAN_OPTIONS=detect_leaks=1 in routersim's
    // environment turns the leak check on there too.
    return {
        "ASAN_OPTIONS=" + with_defaults("verify_asan_link_order=0:detect_leaks=0", "ASAN_OPTIONS"),
        "UBSAN_OPTIONS=" + with_defaults("print_stacktrace=1", "UBSAN_OPTIONS"),
        "LSAN_OPTIONS=" + with_defaults("", "LSAN_OPTIONS"),
    };
}
