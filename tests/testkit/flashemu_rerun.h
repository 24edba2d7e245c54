// Test programs that exercise code on emulated NAND run themselves a second
// time with the flash emulation preloaded: the emulation learns its devices
// at the first descriptor it sees, so the images must exist before it loads.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// Runs this program again with flashemu_lib preloaded over devices (image
// files separated by ':') and faults logged to fault_log. The child's exit
// status, or 1 when it could not start or did not exit.
inline int rerun_under_flashemu(char **argv, const char *flashemu_lib, const std::string &devices,
                                const std::string &fault_log)
{
    setenv("FLASHEMU_DEVICES", devices.c_str(), 1);
    setenv("FLASHEMU_FAULT_LOG", fault_log.c_str(), 1);
    setenv("LD_PRELOAD", flashemu_lib, 1);
    // A sanitizer build refuses to start with a library loaded ahead of its runtime.
    std::string asan = "verify_asan_link_order=0";
    if (const char *old = getenv("ASAN_OPTIONS"))
        asan += std::string(":") + old;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
