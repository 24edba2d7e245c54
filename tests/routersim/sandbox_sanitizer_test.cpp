// What the router's processes preload and which sanitizer options they see:
// in a sanitized build the ASan runtime comes after the flash hooks and
// libfaketime, which the runtime must be told to accept.
#include <gtest/gtest.h>

#include <cstdlib>

#include "routersim.h"
#include "sandbox_sanitizer.h"

namespace {

// The value bwrap_command sets for name, or "(unset)".
std::string setenv_value(const std::vector<std::string> &argv, const std::string &name)
{
    for (size_t i = 0; i + 2 < argv.size(); ++i)
        if (argv[i] == "--setenv" && argv[i + 1] == name)
            return argv[i + 2];
    return "(unset)";
}

sandbox_layout layout_with_faketime()
{
    sandbox_layout l;
    l.state = "/nonexistent/state";
    l.run_dir = "/nonexistent/run";
    l.out_dir = "/nonexistent/out";
    l.paths = {"/nonexistent/bin", "/nonexistent/lib"};
    l.faketime_lib = "/usr/lib/faketime/libfaketime.so.1";
    l.command = {"imgrenew", "up"};
    return l;
}

} // namespace

// clang names its ASan build with __has_feature only.
#if defined(__SANITIZE_ADDRESS__)
#define TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEST_ASAN 1
#endif
#endif

TEST(SandboxSanitizer, OptionsReachTheRouterOnlyInASanitizedBuild)
{
    setenv("UBSAN_OPTIONS", "halt_on_error=1", 1);
    std::vector<std::string> argv = bwrap_command(layout_with_faketime());
    unsetenv("UBSAN_OPTIONS");
    // The preload is the same in both: the hooks, then libfaketime.
    EXPECT_EQ(setenv_value(argv, "LD_PRELOAD"),
              "/opt/routersim/lib/libflashemu.so /usr/lib/faketime/libfaketime.so.1");
#ifdef TEST_ASAN
    EXPECT_TRUE(sanitized_build());
    EXPECT_EQ(setenv_value(argv, "ASAN_OPTIONS").rfind("verify_asan_link_order=0:detect_leaks=0", 0), 0u);
    // The caller's own settings come after the defaults, so they win.
    EXPECT_EQ(setenv_value(argv, "UBSAN_OPTIONS"), "print_stacktrace=1:halt_on_error=1");
#else
    EXPECT_FALSE(sanitized_build());
    EXPECT_EQ(setenv_value(argv, "ASAN_OPTIONS"), "(unset)");
    EXPECT_EQ(setenv_value(argv, "UBSAN_OPTIONS"), "(unset)");
#endif
}
