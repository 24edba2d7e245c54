#include <gtest/gtest.h>
#include <unistd.h>

#include "kq_nv.h"
#include "record_files.h"
#include "up_records.h"

namespace {

// A router's second file system in service and an unpacked package tree.
struct second_fs_fixture : ::testing::Test {
    scratch_dir tmp;
    std::string tools = tmp / "tools";
    std::string tree = tmp / "2ndrootfs";
    std::string root = tmp / "2ndfile";
    std::string store = root + "/nv/nv_store.cfg";

    void SetUp() override
    {
        make_dirs(tools);
        ASSERT_EQ(symlink("/bin/cp", (tools + "/cp").c_str()), 0);
        for (const char *d : {"/nv", "/webpage", "/lcdui"})
            make_dirs(root + d);
        write_text(store, "web_language_select=en\n");
        write_text(root + "/webpage/index.html", "old index");
        write_text(root + "/webpage/only_old.html", "stays");
        write_text(root + "/lcdui/old.bmp", "old icon");
        nvm_set_store_path(store.c_str());
    }
    void TearDown() override { nvm_set_store_path(NV_STORE_PATH); }

    void make_tree(bool with_cfg, bool with_web, bool with_lcd)
    {
        if (with_cfg) {
            make_dirs(tree + "/nv");
            write_text(tree + "/nv/default.cfg", "wifi_ssid=router\nweb_language_select=de\n");
        }
        if (with_web) {
            make_dirs(tree + "/webpage/css");
            write_text(tree + "/webpage/index.html", "new index");
            write_text(tree + "/webpage/css/a.css", "css");
        }
        if (with_lcd) {
            make_dirs(tree + "/lcdui");
            write_text(tree + "/lcdui/new.bmp", "new icon");
        }
    }
    int database() { return up_install_database_from(tools.c_str(), tree.c_str(), root.c_str()); }
    int resources() { return up_install_resources_from(tools.c_str(), tree.c_str(), root.c_str()); }
};

} // namespace

TEST_F(second_fs_fixture, DefaultsAreCopiedAndImported)
{
    make_tree(true, true, true);
    ASSERT_EQ(database(), 0);
    EXPECT_EQ(read_text(root + "/nv/default.cfg"), read_text(tree + "/nv/default.cfg"));
    char value[32];
    ASSERT_EQ(nvm_readnv("wifi_ssid", value, sizeof value), NV_OK);
    EXPECT_STREQ(value, "router");
    ASSERT_EQ(nvm_readnv("web_language_select", value, sizeof value), NV_OK);
    EXPECT_STREQ(value, "de");
}

TEST_F(second_fs_fixture, WebPagesAreCopiedOverAndDisplayResourcesReplaced)
{
    make_tree(true, true, true);
    ASSERT_EQ(resources(), 0);
    EXPECT_EQ(read_text(root + "/webpage/index.html"), "new index");
    EXPECT_EQ(read_text(root + "/webpage/css/a.css"), "css");
    EXPECT_EQ(read_text(root + "/webpage/only_old.html"), "stays");
    EXPECT_EQ(read_text(root + "/lcdui/new.bmp"), "new icon");
    EXPECT_FALSE(exists(root + "/lcdui/old.bmp"));
}

TEST_F(second_fs_fixture, MissingPartsFailAndLeaveTheRouterAlone)
{
    struct { bool cfg, web, lcd; int db, res; } cases[] = {
        {false, true, true, -1, 0},
        {true, false, true, 0, -1},
        {true, true, false, 0, -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cfg << c.web << c.lcd);
        ASSERT_EQ(system(("rm -rf '" + tree + "'").c_str()), 0);
        make_tree(c.cfg, c.web, c.lcd);
        ASSERT_EQ(system(("rm -rf '" + root + "/lcdui/'*").c_str()), 0);
        write_text(root + "/lcdui/old.bmp", "old icon");
        write_text(store, "web_language_select=en\n");
        EXPECT_EQ(database(), c.db);
        if (c.db != 0) {
            EXPECT_EQ(read_text(store), "web_language_select=en\n");
        }
        EXPECT_EQ(resources(), c.res);
        // A failed step leaves the old display resources in place.
        EXPECT_EQ(exists(root + "/lcdui/old.bmp"), c.res != 0);
    }
}

TEST_F(second_fs_fixture, AnEmptyDisplayFolderKeepsTheOldResources)
{
    make_tree(true, true, false);
    make_dirs(tree + "/lcdui");
    EXPECT_EQ(resources(), -1);
    EXPECT_EQ(read_text(root + "/lcdui/old.bmp"), "old icon");
}

TEST_F(second_fs_fixture, LinksInTheTreeAreNotFollowed)
{
    make_tree(false, false, true);
    write_text(tmp / "secret", "root:x:0:0\nsecret=1\n");
    make_dirs(tree + "/nv");
    ASSERT_EQ(symlink((tmp / "secret").c_str(), (tree + "/nv/default.cfg").c_str()), 0);
    ASSERT_EQ(symlink(tmp.path.c_str(), (tree + "/webpage").c_str()), 0);
    EXPECT_EQ(database(), -1);
    EXPECT_EQ(resources(), -1);
    char value[8];
    EXPECT_EQ(nvm_readnv("secret", value, sizeof value), NV_NOTFOUND);
    EXPECT_FALSE(exists(root + "/webpage/secret"));
}
