// The version record, the bootloader and the compressed second file system,
// installed by the real imgrenew in the simulated router.
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>

#include "sys_router.h"
#include "up_package.h"

namespace {

using simharness::read_file;
using simharness::run_program;
using simharness::write_file;

const char k_new_versions[] =
    "bootloader=boot_nontrust.bin-2.0.0\n"
    "kernel=zImage-2.0.0\n"
    "rootfs=rootfs.jffs2-2.0.0\n"
    "config=default_nv-2.0.0\n"
    "modem=dfi_version-2.0.0\n";

void text_file(const std::string &path, const std::string &text)
{
    ASSERT_TRUE(write_file(path, std::vector<uint8_t>(text.begin(), text.end())));
}

// Package source files and an imgpack description in the router's scratch
// space; returns the built package's path.
struct package_source {
    std::string dir;
    std::vector<uint8_t> boot = pattern_bytes(300000, 1);

    explicit package_source(const std::string &at) : dir(at)
    {
        EXPECT_EQ(run_program({"mkdir", "-p", dir + "/2ndfs/nv", dir + "/2ndfs/webpage/img",
                               dir + "/2ndfs/lcdui"}),
                  0);
        text_file(dir + "/version_info.txt", k_new_versions);
        EXPECT_TRUE(write_file(dir + "/boot.bin", boot));
        text_file(dir + "/2ndfs/nv/default.cfg", "wifi_ssid=NewRouter\nnew_key=1\n");
        text_file(dir + "/2ndfs/webpage/index.html", "new index\n");
        text_file(dir + "/2ndfs/webpage/img/a.png", "png\n");
        text_file(dir + "/2ndfs/lcdui/logo2.txt", "new logo\n");
    }
    std::string build(const std::string &records)
    {
        text_file(dir + "/desc", records);
        EXPECT_EQ(run_program({simharness::bin_path("imgpack"), "build", dir + "/pkg.bin",
                               dir + "/desc"}),
                  0);
        return dir + "/pkg.bin";
    }
};

const char k_full_desc[] =
    "record version version_info.txt 0 version_info.txt\n"
    "record bootloader \"boot_nontrust.bin v2.0.0\" 0 boot.bin\n"
    "record 2ndfs 2ndfs.tar.bz2 1 2ndfs/\n";

std::string run_up(records_router &rr, const std::string &file_mode_package = "")
{
    simharness::run_options opt;
    opt.time_scale = 50;
    opt.timeout_s = 600;
    opt.file_mode_package = file_mode_package;
    EXPECT_EQ(rr.r.run({"imgrenew", "up"}, opt), 0);
    return rr.r.status();
}

} // namespace

TEST(SysRecords, FileRecordsInstallAndTheVersionFileIsMerged)
{
    for (bool file_mode : {false, true}) {
        SCOPED_TRACE(file_mode ? "file mode" : "partition mode");
        records_router rr;
        ASSERT_TRUE(rr.r.ok());
        package_source src(rr.scratch("src"));
        std::string pkg = src.build(k_full_desc);
        if (!file_mode) {
            ASSERT_EQ(rr.r.load_package(pkg), 0);
        }
        EXPECT_EQ(run_up(rr, file_mode ? pkg : ""), "0");

        // The boot stream tool got the name cut at its blank, and wrote it.
        EXPECT_EQ(rr.r.out("tools.log"), "/usr/bin/kobs-ng init /tmp/boot_nontrust.bin\n");
        EXPECT_TRUE(rr.r.flash_equals(0, 0, src.boot));

        // Configuration defaults: copied and imported into the store.
        EXPECT_EQ(rr.file("nv/default.cfg"), "wifi_ssid=NewRouter\nnew_key=1\n");
        std::string store = rr.file("nv/nv_store.cfg");
        EXPECT_NE(store.find("wifi_ssid=NewRouter\n"), std::string::npos) << store;
        EXPECT_NE(store.find("new_key=1\n"), std::string::npos) << store;
        EXPECT_NE(store.find("web_language_select=en\n"), std::string::npos) << store;

        // Web pages copied over the old ones; display resources replaced.
        EXPECT_EQ(rr.file("webpage/index.html"), "new index\n");
        EXPECT_EQ(rr.file("webpage/img/a.png"), "png\n");
        EXPECT_TRUE(rr.has_file("webpage/login.html"));
        EXPECT_EQ(rr.file("lcdui/logo2.txt"), "new logo\n");
        EXPECT_FALSE(rr.has_file("lcdui/logo.txt"));

        // Bootloader and configuration came from this package; the kernel,
        // root file system and modem lines keep the router's old text.
        EXPECT_EQ(rr.file("version/version_info.txt"),
                  "bootloader=boot_nontrust.bin-2.0.0\n"
                  "kernel=zImage-1.0.0\n"
                  "rootfs=rootfs.jffs2-1.0.0\n"
                  "config=default_nv-2.0.0\n"
                  "modem=dfi_version-1.0.0\n");
        EXPECT_EQ(rr.r.out("flash-faults.log"), "");
    }
}

TEST(SysRecords, ArchiveWithoutDefaultsFailsBeforeTouchingResources)
{
    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    package_source src(rr.scratch("src"));
    ASSERT_EQ(run_program({"rm", "-rf", src.dir + "/2ndfs/nv"}), 0);
    ASSERT_EQ(rr.r.load_package(src.build("record version version_info.txt 0 version_info.txt\n"
                                          "record 2ndfs 2ndfs.tar.bz2 1 2ndfs/\n")),
              0);
    std::string old_index = rr.file("webpage/index.html");
    EXPECT_EQ(run_up(rr), "0");
    EXPECT_TRUE(rr.r.syslog_contains("update database error"));
    EXPECT_TRUE(rr.r.syslog_contains("update 2nd fs error"));
    EXPECT_EQ(rr.file("webpage/index.html"), old_index);
    EXPECT_TRUE(rr.has_file("lcdui/logo.txt"));
    EXPECT_FALSE(rr.has_file("lcdui/logo2.txt"));
}

TEST(SysRecords, FailingBootStreamToolFailsTheRecord)
{
    // An empty boot stream is refused by the tool: its status decides.
    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    package_source src(rr.scratch("src"));
    text_file(src.dir + "/empty.bin", "");
    ASSERT_EQ(rr.r.load_package(src.build("record version version_info.txt 0 version_info.txt\n"
                                          "record bootloader boot_nontrust.bin 0 empty.bin\n")),
              0);
    EXPECT_EQ(run_up(rr), "0");
    EXPECT_EQ(rr.r.out("tools.log"), "/usr/bin/kobs-ng init /tmp/boot_nontrust.bin\n");
    EXPECT_TRUE(rr.r.syslog_contains("update u-boot.bin error"));
    EXPECT_TRUE(rr.r.syslog_contains("update bootloader failed"));
}

namespace {

// A package of a sound version record and one record with the raw name.
std::vector<uint8_t> package_with_name(uint32_t id, const std::string &name, uint32_t compressed)
{
    const uint32_t data_at = PACKAGE_HEAD_SIZE + 2 * PACKAGE_RECORD_SIZE;
    std::string version(k_new_versions);
    std::vector<uint8_t> body = pattern_bytes(4096, 7);
    std::vector<uint8_t> pkg(data_at + version.size() + body.size());
    memcpy(pkg.data() + data_at, version.data(), version.size());
    memcpy(pkg.data() + data_at + version.size(), body.data(), body.size());
    package_signature_t h{1, 2, 1, 2, 0, (int32_t)pkg.size(), 0};
    encode_package_head(&h, pkg.data());
    package_record_t v{data_at, (uint32_t)version.size(), 0, PACKAGE_VERSION, 0, "version_info.txt"};
    package_record_t x{data_at + (uint32_t)version.size(), (uint32_t)body.size(), compressed, id, 0,
                       ""};
    memcpy(x.record_name, name.data(), std::min(name.size(), sizeof x.record_name));
    encode_package_record(&v, pkg.data() + PACKAGE_HEAD_SIZE);
    encode_package_record(&x, pkg.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE);
    return pkg;
}

std::string without_lines_containing(const std::string &text, const std::string &what)
{
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line))
        if (line.find(what) == std::string::npos)
            out += line + "\n";
    return out;
}

} // namespace

TEST(SysRecords, HostileRecordNamesAreRefusedBeforeAnyCommand)
{
    const char *names[] = {"../x", "a;touch /tmp/pwned", "$(reboot)", "`reboot`", "a'b",
                           "a\"b", "x;touch${IFS}/2ndfile/pwned", "../../2ndfile/webpage/x"};
    for (uint32_t id : {(uint32_t)PACKAGE_BOOTLOADER, (uint32_t)PACKAGE_2NDFS}) {
        for (const char *name : names) {
            SCOPED_TRACE(testing::Message() << "record " << id << " named " << name);
            records_router rr;
            ASSERT_TRUE(rr.r.ok());
            std::string pkg = rr.scratch("pkg.bin");
            ASSERT_TRUE(write_file(pkg, package_with_name(id, name, id == PACKAGE_2NDFS ? 1 : 0)));
            ASSERT_EQ(rr.r.load_package(pkg), 0);
            std::string before = rr.tree_listing();
            std::vector<uint8_t> boot = rr.r.flash(0, 0, 0x80000);

            EXPECT_EQ(run_up(rr), "0");
            EXPECT_TRUE(rr.r.syslog_contains("refuse record name"));
            EXPECT_EQ(rr.r.out("tools.log"), "");
            EXPECT_EQ(rr.r.flash(0, 0, 0x80000), boot);
            std::string stdout_text = rr.r.out("stdout");
            EXPECT_EQ(stdout_text.find("jxvf"), std::string::npos) << stdout_text;
            EXPECT_EQ(stdout_text.find("kobs-ng"), std::string::npos) << stdout_text;
            // The failure clean-up keeps a copy of the factory data; nothing else is new.
            EXPECT_EQ(without_lines_containing(rr.tree_listing(), "factory_nv"),
                      without_lines_containing(before, "factory_nv"));
            EXPECT_EQ(rr.r.out("flash-faults.log"), "");
        }
    }
}

TEST(SysRecords, VersionFileAlreadyInTmpIsNotExtractedAgain)
{
    records_router rr;
    ASSERT_TRUE(rr.r.ok());
    package_source src(rr.scratch("src"));
    ASSERT_EQ(rr.r.load_package(src.build("record version version_info.txt 0 version_info.txt\n")), 0);
    EXPECT_EQ(rr.sh("echo 'vendor=left by an earlier run' > /tmp/version_info.txt; imgrenew up"), "0");
    EXPECT_EQ(rr.file("version/version_info.txt"), "vendor=left by an earlier run\n");
}
