// Finding a process by text in its command line.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "up_api.h"

namespace {

bool found(const std::string &haystack, const char *needle)
{
    return strinstr(haystack.data(), haystack.size(), needle) != nullptr;
}

} // namespace

TEST(Strinstr, IsARealSubstringSearch)
{
    EXPECT_TRUE(found("aab", "ab")) << "a needle after a partial match";
    EXPECT_TRUE(found("xab", "ab"));
    EXPECT_TRUE(found("/sbin/udhcpc -i usb0", "udhcpc"));
    EXPECT_TRUE(found("kq_kq_wm", "kq_wm"));
    EXPECT_TRUE(found("abc", "abc"));
    EXPECT_FALSE(found("abc", "abcd"));
    EXPECT_FALSE(found("/usr/bin/modem_pr", "modem_pro"));
    EXPECT_TRUE(found("", ""));
    EXPECT_TRUE(found("anything", ""));
    EXPECT_FALSE(found("", "a"));
}

TEST(Strinstr, SingleNulIsScannedOverTwoEndTheText)
{
    EXPECT_TRUE(found(std::string("\0udhcpc", 7), "udhcpc"));
    EXPECT_FALSE(found(std::string("ab\0\0udhcpc", 10), "udhcpc"));
    // A needle never matches across a NUL.
    EXPECT_FALSE(found(std::string("ud\0hcpc", 7), "udhcpc"));
}

TEST(Strinstr, NeverLooksPastTheBuffer)
{
    // A full 255-byte command line: the needle's start fits, its end does not.
    std::string h(255, 'x');
    h.replace(252, 3, "kq_");
    EXPECT_FALSE(strinstr(h.data(), h.size(), "kq_wm") != nullptr);
    EXPECT_TRUE(strinstr(h.data(), h.size(), "kq_") != nullptr);
    // Only the given length counts, whatever follows in memory.
    std::string longer = "abcudhcpc";
    EXPECT_FALSE(strinstr(longer.data(), 5, "udhcpc") != nullptr);
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
