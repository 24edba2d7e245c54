#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "up_extract.h"

namespace {

package_record_t record_named(const std::string &name)
{
    package_record_t r{};
    memcpy(r.record_name, name.data(), std::min(name.size(), sizeof r.record_name));
    return r;
}

} // namespace

TEST(RecordName, RefusesHostileNamesAndAcceptsComponentNames)
{
    struct { const char *name; bool safe; } cases[] = {
        {"zImage", true},
        {"rootfs.jffs2", true},
        {"boot_nontrust.bin", true},
        {"version_info.txt", true},
        {"modem-fw+v2.bin", true},
        {".hidden", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../x", false},
        {"a/b", false},
        {"/etc/passwd", false},
        {"a;touch /tmp/pwned", false},
        {"a;reboot", false},
        {"$(reboot)", false},
        {"`reboot`", false},
        {"a'b", false},
        {"a\"b", false},
        {"a b", false},
        {"a\tb", false},
        {"a\nb", false},
        {"a|b", false},
        {"a&b", false},
        {"a>b", false},
        {"a*", false},
        {"a\\b", false},
        {"\xc3\xa9t\xc3\xa9", false},
        // Names that would replace the tool copies or the unpack folder.
        {"cp", false},
        {"rm", false},
        {"tar", false},
        {"umount", false},
        {"reboot", false},
        {"2ndrootfs", false},
        {"tar.bz2", true},
    };
    for (auto &c : cases)
        EXPECT_EQ(is_safe_record_name(c.name), c.safe) << "name: " << c.name;
    EXPECT_FALSE(is_safe_record_name(nullptr));
    EXPECT_TRUE(is_safe_record_name(std::string(64, 'a').c_str()));
    EXPECT_FALSE(is_safe_record_name(std::string(65, 'a').c_str()));
}

TEST(RecordName, FileNameIsCutAtTheFirstBlankAndChecked)
{
    struct { std::string field; int result; const char *name; } cases[] = {
        {"zImage 2.6.35 build 7", 0, "zImage"},
        {"zImage", 0, "zImage"},
        {"u-boot.bin ;rm -rf /", 0, "u-boot.bin"},
        {" zImage", -1, ""},             // nothing before the cut
        {"a;touch /tmp/pwned", -1, ""},   // the cut leaves "a;touch"
        {"../x y", -1, ""},
        {"$(reboot)", -1, ""},
        {std::string(64, 'k'), 0, nullptr},   // no NUL in the field: 64 characters
    };
    for (auto &c : cases) {
        package_record_t r = record_named(c.field);
        char name[UP_RECORD_NAME_MAX] = "junk";
        EXPECT_EQ(up_record_file_name(&r, name, sizeof name), c.result) << c.field;
        EXPECT_EQ(std::string(name), c.name ? std::string(c.name) : std::string(64, 'k')) << c.field;
    }
    char small[4];
    package_record_t r = record_named("zImage");
    EXPECT_EQ(up_record_file_name(&r, small, sizeof small), -1);
    EXPECT_EQ(up_record_file_name(nullptr, small, sizeof small), -1);
}

TEST(RecordName, WholeNameKeepsTheSuffixAndRefusesItWhenUnsafe)
{
    char name[UP_RECORD_NAME_MAX];
    package_record_t plain = record_named("version_info.txt");
    EXPECT_EQ(up_record_whole_name(&plain, name, sizeof name), 0);
    EXPECT_STREQ(name, "version_info.txt");
    package_record_t suffixed = record_named("version_info.txt v2");
    EXPECT_EQ(up_record_whole_name(&suffixed, name, sizeof name), -1);
    EXPECT_STREQ(name, "");
}
