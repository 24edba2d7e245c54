// Configuration store: import merges, reads truncate safely, bad files are
// refused with the store's codes and leave the store as it was.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "kq_nv.h"
#include "kq_os.h"

namespace {

struct Store : ::testing::Test {
    char dir[64] = "/tmp/kqnv_test_XXXXXX";
    std::string store, input;
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir), nullptr);
        store = std::string(dir) + "/nv_store.cfg";
        input = std::string(dir) + "/in.cfg";
        nvm_set_store_path(store.c_str());
    }
    void TearDown() override
    {
        nvm_set_store_path(nullptr);
        ASSERT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
    }
    static void write(const std::string &path, const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string read(const std::string &path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

TEST_F(Store, ImportMergesIntoExistingStore)
{
    write(store, "web_language_select=en\nwifi_ssid=old\n");
    write(input, "wifi_ssid=new\r\n# comment\nbad line\nlan_ip=192.168.0.1\n");
    ASSERT_EQ(nvm_import(input.c_str(), 8, 0, 0), NV_OK);
    EXPECT_EQ(read(store), "web_language_select=en\nwifi_ssid=new\nlan_ip=192.168.0.1\n");
    char buf[32];
    ASSERT_EQ(nvm_readnv("lan_ip", buf, sizeof buf), NV_OK);
    EXPECT_STREQ(buf, "192.168.0.1");
}

TEST_F(Store, ImportRefusesUnreadableOrEmptyFilesAndKeepsStore)
{
    write(store, "a=1\n");
    EXPECT_EQ(nvm_import((std::string(dir) + "/missing").c_str(), 2, 1, 1), NV_EFILE);
    write(input, "no equals here\n=value without name\n");
    EXPECT_EQ(nvm_import(input.c_str(), 2, 1, 1), NV_EINVAL);
    EXPECT_EQ(nvm_import(nullptr, 2, 1, 1), NV_EINVAL);
    EXPECT_EQ(read(store), "a=1\n");
}

TEST_F(Store, ImportCreatesMissingStoreAndSkipsOverlongLines)
{
    write(input, "x=" + std::string(10000, 'v') + "\ny=2");
    ASSERT_EQ(nvm_import(input.c_str(), 8, 0, 0), NV_OK);
    EXPECT_EQ(read(store), "y=2\n");
}

TEST_F(Store, ReadTruncatesAndAlwaysTerminates)
{
    write(store, "web_language_select=english_long_value\n");
    char buf[10];
    memset(buf, 'Z', sizeof buf);
    ASSERT_EQ(nvm_readnv("web_language_select", buf, sizeof buf), NV_OK);
    EXPECT_STREQ(buf, "english_l");
    EXPECT_EQ(nvm_readnv("absent", buf, sizeof buf), NV_NOTFOUND);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(nvm_readnv("web_language_select", buf, 0), NV_EINVAL);
}

TEST(Strings, CaseInsensitiveCompareAndSearch)
{
    EXPECT_EQ(kq_strcasecmp("TEST", "test"), 0);
    EXPECT_EQ(kq_strcasecmp("Test", "test"), 0);
    EXPECT_NE(kq_strcasecmp("tests", "test"), 0);
    EXPECT_NE(kq_strcasecmp(nullptr, "test"), 0);
    const char *s = "a=b";
    EXPECT_EQ(kq_strchr(s, '='), s + 1);
    EXPECT_EQ(kq_strchr(s, 'x'), nullptr);
    EXPECT_EQ(kq_strchr(nullptr, 'x'), nullptr);
}

} // namespace
