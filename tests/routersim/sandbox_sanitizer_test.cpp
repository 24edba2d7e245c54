// What the router's processes preload and which sanitizer options they see:
// in a sanitized build the ASan runtime must come before the flash hooks and
// libfaketime, or every sanitized program of the router refuses to start.
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

// GCC links the runtime as a shared library (clang links it into the program,
// which then has it first anyway).
#if defined(__SANITIZE_ADDRESS__) && !defined(__clang__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

} // namespace

TEST(SandboxSanitizer, RuntimeFirstInThePreloadAndOptionsPassedOnlyWhenSanitized)
{
    setenv("UBSAN_OPTIONS", "halt_on_error=1", 1);
    std::vector<std::string> argv = bwrap_command(layout_with_faketime());
    unsetenv("UBSAN_OPTIONS");
    std::string runtime = sanitizer_runtime_path();
    std::string hooks = "/opt/routersim/lib/libflashemu.so /usr/lib/faketime/libfaketime.so.1";
    if (!sanitized) {
        EXPECT_EQ(runtime, "");
        EXPECT_EQ(setenv_value(argv, "LD_PRELOAD"), hooks);
        EXPECT_EQ(setenv_value(argv, "ASAN_OPTIONS"), "(unset)");
        EXPECT_EQ(setenv_value(argv, "UBSAN_OPTIONS"), "(unset)");
        return;
    }
    ASSERT_NE(runtime.find("/libasan.so"), std::string::npos) << runtime;
    EXPECT_EQ(setenv_value(argv, "LD_PRELOAD"), runtime + " " + hooks);
    EXPECT_EQ(setenv_value(argv, "ASAN_OPTIONS").rfind("detect_leaks=0", 0), 0u);
    // The caller's own settings come after the defaults, so they win.
    EXPECT_EQ(setenv_value(argv, "UBSAN_OPTIONS"), "print_stacktrace=1:halt_on_error=1");
}
