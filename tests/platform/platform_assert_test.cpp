// A broken rule is logged with its file and line and fails the step, in
// every build type.
#include <gtest/gtest.h>

#include <cstring>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "kq_assert.h"

namespace {

// A step guarded the documented way: -1 when its rule does not hold.
int guarded_step(int have, int limit, int *done)
{
    if (!UP_ASSERT(have <= limit, "a step never takes more than its limit"))
        return -1;
    *done = have;
    return 0;
}

// Runs guarded_step in a child whose standard error is a terminal, so the
// log line is copied there; returns the child's output and its exit status.
std::string run_step_on_terminal(int have, int limit, int *status)
{
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        int done = -7;
        int rc = guarded_step(have, limit, &done);
        _exit(rc == 0 ? (done == have ? 0 : 3) : (done == -7 ? 1 : 4));
    }
    std::string out;
    if (pid < 0)
        return out;
    char buf[512];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, (size_t)n);
    }
    waitpid(pid, status, 0);
    close(master);
    return out;
}

TEST(RuleCheck, HeldRuleIsSilentAndBrokenRuleIsLoggedWithFileAndLine)
{
    int status = -1;
    std::string held = run_step_on_terminal(4, 5, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(held, "");

    std::string broken = run_step_on_terminal(6, 5, &status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the step must fail before doing its work";
    EXPECT_NE(broken.find("platform_assert_test.cpp:18]broken rule: "
                          "a step never takes more than its limit"),
              std::string::npos)
        << broken;
}

TEST(RuleCheck, ConditionIsEvaluatedOnce)
{
    int calls = 0;
    auto counted = [&calls]() { return ++calls > 0; };
    EXPECT_TRUE(UP_ASSERT(counted(), "counted once"));
    EXPECT_EQ(calls, 1);
}

} // namespace
