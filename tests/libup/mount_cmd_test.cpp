#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "up_api.h"
#include "up_mount_io.h"

namespace {

std::string temp_mounts(const std::string &text)
{
    char path[] = "/tmp/libup_mountsXXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    return path;
}

} // namespace

TEST(MountTest, SubstringOfAnyLineCounts)
{
    std::string table =
        "proc /proc proc rw 0 0\n"
        "/dev/mtdblock6 /2ndfile/image_path_old jffs2 rw 0 0\n";
    std::string path = temp_mounts(table);
    struct { const char *folder; int result; } cases[] = {
        {"/2ndfile/image_path", 0},      // a longer path that contains it counts
        {"/proc", 0},
        {"jffs2", 0},
        {"/2ndfile/other", -1},
        {"", 0},
    };
    for (auto &c : cases)
        EXPECT_EQ(up_check_mount_in(path.c_str(), c.folder), c.result) << c.folder;
    EXPECT_EQ(up_check_mount_in(path.c_str(), nullptr), -1);
    EXPECT_EQ(up_check_mount_in("/nonexistent/mounts", "/proc"), -1);
    unlink(path.c_str());
}

TEST(DirExists, OnlyDirectories)
{
    char dir[] = "/tmp/libup_dirXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/f";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(dir_exists(dir), 1);
    EXPECT_EQ(dir_exists(file.c_str()), 0);
    EXPECT_EQ(dir_exists((std::string(dir) + "/missing").c_str()), 0);
    EXPECT_EQ(dir_exists(nullptr), 0);
    unlink(file.c_str());
    rmdir(dir);
}

TEST(SysCmd, OnlyExitStatusZeroSucceeds)
{
    struct { const char *cmd; int result; } cases[] = {
        {"true", 0}, {"false", -1}, {"exit 3", -1}, {"kill -9 $$", -1}, {"/nonexistent/tool", -1},
    };
    for (auto &c : cases)
        EXPECT_EQ(up_util_sys_cmd(c.cmd), c.result) << c.cmd;
    EXPECT_EQ(up_util_sys_cmd(nullptr), -1);
}

TEST(SysCmd, ReportsOnStandardOutput)
{
    testing::internal::CaptureStdout();
    up_util_sys_cmd("exit 1");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[up_util_sys_cmd]["), std::string::npos) << out;
    EXPECT_NE(out.find("the command return:256 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("[up_cmd.cpp]["), std::string::npos) << out;
    EXPECT_NE(out.find("run command :exit 1 faile \n"), std::string::npos) << out;
}
