// Finding a process by text in its command line.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "up_api.h"

namespace {

bool found(const std::string &haystack, const char *needle, size_t len = std::string::npos)
{
    return strinstr(haystack.data(), len == std::string::npos ? haystack.size() : len, needle) != nullptr;
}

} // namespace

TEST(Strinstr, IsARealSubstringSearchBoundedByTheBuffer)
{
    EXPECT_TRUE(found("aab", "ab")) << "a needle after a partial match";
    EXPECT_TRUE(found("xab", "ab"));
    EXPECT_TRUE(found("/sbin/udhcpc -i usb0", "udhcpc"));
    EXPECT_FALSE(found("/usr/bin/modem_pr", "modem_pro"));
    EXPECT_TRUE(found("", ""));
    EXPECT_FALSE(found("", "a"));
    // A lone NUL is scanned over; two end the text; no match spans a NUL.
    EXPECT_TRUE(found(std::string("\0udhcpc", 7), "udhcpc"));
    EXPECT_FALSE(found(std::string("ab\0\0udhcpc", 10), "udhcpc"));
    EXPECT_FALSE(found(std::string("ud\0hcpc", 7), "udhcpc"));
    // A full 255-byte command line: the needle's start fits, its end does not.
    std::string full = std::string(252, 'x') + "kq_";
    EXPECT_FALSE(found(full, "kq_wm"));
    EXPECT_FALSE(found("abcudhcpc", "udhcpc", 5));
}

TEST(CheckProcess, FindsARunningProcessByItsArguments)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execlp("sleep", "sleep", "37.25", (char *)nullptr);
        _exit(127);
    }
    int32_t pid = -7;
    uint32_t rc = 0;
    for (int i = 0; i < 100 && rc == 0; i++) {   // until exec has replaced the command line
        rc = check_process("sleep 37.25", &pid);
        if (rc == 0)
            usleep(10000);
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(rc, 1u);
    EXPECT_EQ(pid, child);
    int32_t untouched = -7;
    EXPECT_EQ(check_process("no process has this 3f9a1c text", &untouched), 0u);
    EXPECT_EQ(untouched, -7);
}
