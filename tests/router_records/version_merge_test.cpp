#include <gtest/gtest.h>
#include <vector>

#include "record_files.h"
#include "up_driver.h"
#include "up_version_merge.h"

namespace {

const char *const k_old =
    "boot_nontrust.bin=1.0\n"
    "zImage=1.0\n"
    "rootfs.jffs2=1.0\n"
    "default_nv=1.0\n"
    "dfi_version=1.0\n";
const char *const k_new =
    "boot_nontrust.bin=2.0\n"
    "zImage=2.0\n"
    "rootfs.jffs2=2.0\n"
    "default_nv=2.0\n"
    "dfi_version=2.0\n";

struct merge_case {
    const char *what;
    std::vector<int> installed;   // step ids marked in this run
    const char *old_text;         // null: no old file
    const char *new_text;
    const char *merged;
};

} // namespace

TEST(VersionMerge, ComponentsNotInstalledKeepTheirOldText)
{
    std::string long_old = "zImage=" + std::string(300, 'o') + "\n";
    std::string long_new = std::string(200, 'p') + " zImage=2\n";
    std::string long_merged = std::string(200, 'p') + " zImage=" + std::string(46, 'o') + "\n";
    merge_case cases[] = {
        {"kernel only", {2}, k_old, k_new,
         "boot_nontrust.bin=1.0\nzImage=2.0\nrootfs.jffs2=1.0\ndefault_nv=1.0\ndfi_version=1.0\n"},
        {"nothing installed", {}, k_old, k_new, k_old},
        {"all but dfi", {1, 2, 3, 9}, k_old, k_new,
         "boot_nontrust.bin=2.0\nzImage=2.0\nrootfs.jffs2=2.0\ndefault_nv=2.0\ndfi_version=1.0\n"},
        {"text before the keyword stays", {}, "build zImage-1.0\n", "kernel=zImage-2.0\n",
         "kernel=zImage-1.0\n"},
        {"two keywords: first in table order", {}, "zImage-1 old\nrootfs.jffs2-1\n",
         "rootfs.jffs2 and zImage-2\n", "rootfs.jffs2 and zImage-1 old\n"},
        {"two keywords: first installed, second acts", {2}, "zImage-1\nrootfs.jffs2-1\n",
         "zImage and rootfs.jffs2-2\n", "zImage and rootfs.jffs2-1\n"},
        {"component the old file lacks", {}, "zImage=1.0\n", "dfi_version=2.0\nzImage=2.0\n",
         "dfi_version=2.0\nzImage=1.0\n"},
        {"no old file", {}, nullptr, k_new, k_new},
        {"other lines untouched", {}, k_old, "[router]\nzImage=2.0\n\n", "[router]\nzImage=1.0\n\n"},
        {"old last line without line end", {}, "zImage=1.0", "zImage=2.0\nrootfs.jffs2=2.0\n",
         "zImage=1.0\nrootfs.jffs2=2.0\n"},
        {"merged line cut to 255 characters", {}, long_old.c_str(), long_new.c_str(),
         long_merged.c_str()},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir tmp;
        up_driver_reset();
        for (int id : c.installed)
            ASSERT_EQ(up_set_step_flag(id), 1);
        std::string old_path = tmp / "old.txt";
        if (c.old_text)
            write_text(old_path, c.old_text);
        write_text(tmp / "new.txt", c.new_text);
        ASSERT_EQ(up_merge_version_file(old_path.c_str(), (tmp / "new.txt").c_str(),
                                        (tmp / "work.txt").c_str()),
                  0);
        EXPECT_EQ(read_text(tmp / "work.txt"), c.merged);
        EXPECT_EQ(read_text(tmp / "new.txt"), c.new_text);
    }
    up_driver_reset();
}

TEST(VersionMerge, RecordLookupFindsTheFirstLineFromTheItemOn)
{
    scratch_dir tmp;
    write_text(tmp / "v.txt", "a zImage=1\nzImage=2\n");
    char rec[UP_VERSION_LINE_SIZE];
    EXPECT_EQ(up_get_version_record((tmp / "v.txt").c_str(), "zImage", rec), 1);
    EXPECT_STREQ(rec, "zImage=1\n");
    EXPECT_EQ(up_get_version_record((tmp / "v.txt").c_str(), "rootfs.jffs2", rec), 0);
    EXPECT_EQ(up_get_version_record((tmp / "none.txt").c_str(), "zImage", rec), 0);
}

TEST(VersionMerge, SetUpVersionReportsAChange)
{
    scratch_dir tmp;
    up_driver_reset();
    write_text(tmp / "old.txt", k_old);
    char line[UP_VERSION_LINE_SIZE] = "zImage=2.0\n";
    EXPECT_EQ(up_set_up_version(line, (tmp / "old.txt").c_str()), 1);
    EXPECT_STREQ(line, "zImage=1.0\n");
    char other[UP_VERSION_LINE_SIZE] = "vendor=x\n";
    EXPECT_EQ(up_set_up_version(other, (tmp / "old.txt").c_str()), 0);
    EXPECT_STREQ(other, "vendor=x\n");
}

TEST(VersionMerge, MergeRefusesToWriteOverItsInput)
{
    // Writing the merge into the file it reads would empty the version file.
    scratch_dir tmp;
    write_text(tmp / "v.txt", k_new);
    EXPECT_EQ(up_merge_version_file(nullptr, (tmp / "v.txt").c_str(), (tmp / "v.txt").c_str()), -1);
    EXPECT_EQ(read_text(tmp / "v.txt"), k_new);
    EXPECT_EQ(up_update_version_info(nullptr, "/tmp/x;reboot"), -1);
    EXPECT_EQ(up_update_version_info(nullptr, "/tmp/../etc/passwd"), -1);
}
