// Packages and checks shared by the upgrade scenarios in the simulated router.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "scratch_dir.h"
#include "simharness.h"
#include "test_files.h"
#include "up_bytes.h"
#include "up_package.h"
#include "up_pkg_sig.h"

namespace sysrouter {

using simharness::bus_message;
using simharness::sim_router;

constexpr uint32_t k_block = 0x20000;
constexpr int k_ui = 12, k_sc = 0;
constexpr uint32_t k_progress_id = 0x10200004u, k_reboot_id = 0x10000004u;

using testkit::random_bytes;

// A folder with the records' data and an imgpack description.
struct package_dir : scratch_dir {
    package_dir() { keep = getenv("KEEP_STATE") != nullptr; }
    void put(const std::string &rel, const std::string &text) const
    {
        std::string full = path + "/" + rel;
        (void)!system(("mkdir -p \"$(dirname '" + full + "')\"").c_str());
        std::ofstream(full, std::ios::binary) << text;
    }
    void put(const std::string &rel, const std::vector<uint8_t> &bytes) const
    {
        simharness::write_file(path + "/" + rel, bytes);
    }
    // Runs imgpack build; the package is <dir>/pkg.bin.
    std::string build(const std::string &description) const
    {
        put("desc", description);
        std::string out = path + "/pkg.bin";
        int rc = simharness::run_program({simharness::bin_path("imgpack"), "build", out, path + "/desc"});
        EXPECT_EQ(rc, 0) << "imgpack build failed";
        return out;
    }
};

// The records of a full router package, kept for comparing the flash.
struct full_package {
    package_dir dir;
    std::vector<uint8_t> boot = random_bytes(70000, 1);
    std::vector<uint8_t> kernel = random_bytes(300000, 2);
    std::vector<uint8_t> rootfs = random_bytes(1200000, 3);
    std::string path;

    explicit full_package(bool with_version = true, bool good_2ndfs = true)
    {
        dir.put("boot.bin", boot);
        dir.put("zImage", kernel);
        dir.put("rootfs.jffs2", rootfs);
        if (good_2ndfs)
            dir.put("sec/nv/default.cfg", "web_language_select=fr\nwifi_ssid=NewRouter\n");
        dir.put("sec/webpage/index.html", "<html>new</html>\n");
        dir.put("sec/lcdui/logo.bin", "new logo\n");
        dir.put("version_info.txt", "boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\n"
                                    "default_nv-2.0\ndfi_version-2.0\n");
        std::string desc;
        if (with_version)
            desc += "record version version_info.txt 0 version_info.txt\n";
        desc += "record bootloader boot_nontrust.bin 0 boot.bin\n"
                "record kernel \"zImage 2.0\" 0 zImage\n"
                "record rootfs rootfs.jffs2 0 rootfs.jffs2\n"
                "record 2ndfs 2ndfs.tar.bz2 1 sec\n";
        path = dir.build(desc);
    }
};

// The partition holds the record, then erased bytes to the end of its last block.
// A started router with the package where the run will look for it: loaded
// into the package partition, or (file mode) left as a file the run names.
// Call through ASSERT_NO_FATAL_FAILURE.
inline void place_package(sim_router &r, const std::string &package, bool file_mode)
{
    ASSERT_TRUE(r.ok());
    if (!file_mode) {
        ASSERT_EQ(r.load_package(package), 0);
    }
}

inline ::testing::AssertionResult partition_holds(const sim_router &r, int mtd,
                                                  const std::vector<uint8_t> &data)
{
    if (!r.flash_equals(mtd, 0, data))
        return ::testing::AssertionFailure() << "mtd" << mtd << " does not hold the record";
    uint64_t end = (data.size() + k_block - 1) / k_block * k_block;
    if (!r.flash_erased(mtd, data.size(), end - data.size()))
        return ::testing::AssertionFailure() << "mtd" << mtd << " last block is not padded with 0xFF";
    return ::testing::AssertionSuccess();
}

inline bool partition_untouched(const sim_router &r, int mtd, uint64_t len)
{
    return r.flash_erased(mtd, 0, len);
}

// Progress messages carry even figures that never go down; a completion at
// 100 follows them, and the reboot request is the last message.
inline void expect_successful_bus(const std::vector<bus_message> &bus)
{
    ASSERT_GE(bus.size(), 3u);
    long long last = 0;
    size_t complete = bus.size();
    for (size_t i = 0; i + 1 < bus.size(); ++i) {
        const bus_message &m = bus[i];
        EXPECT_EQ(m.module, k_ui) << "message " << i;
        EXPECT_EQ(m.msg_id, k_progress_id);
        long long p = m.payload.at("progress");
        EXPECT_EQ(p % 2, 0) << "odd figure " << p;
        EXPECT_GE(p, last) << "figure went down at message " << i;
        EXPECT_LE(p, 100);
        last = p;
        long long op = m.payload.at("operation");
        EXPECT_NE(op, 3) << "failure report in a successful run";
        if (op == 2 && complete == bus.size())
            complete = i;
    }
    ASSERT_EQ(complete, bus.size() - 2) << "completion must come right before the reboot request";
    EXPECT_EQ(bus[complete].payload.at("progress"), 100);
    const bus_message &reboot = bus.back();
    EXPECT_EQ(reboot.module, k_sc);
    EXPECT_EQ(reboot.msg_id, k_reboot_id);
    EXPECT_EQ(reboot.payload.at("sys_state"), 4);
    EXPECT_EQ(reboot.payload.at("temp_level"), 0);
}

// A failure report (UPGRADE_FILED) was sent, no completion, and the reboot was requested.
inline void expect_failed_bus(const std::vector<bus_message> &bus)
{
    ASSERT_FALSE(bus.empty());
    bool failed = false;
    for (const bus_message &m : bus) {
        if (m.module == k_ui) {
            EXPECT_NE(m.payload.at("operation"), 2) << "completion reported for a failed run";
            failed = failed || m.payload.at("operation") == 3;
        }
    }
    EXPECT_TRUE(failed) << "no UPGRADE_FILED report";
    EXPECT_EQ(bus.back().module, k_sc);
    EXPECT_EQ(bus.back().msg_id, k_reboot_id);
    EXPECT_EQ(bus.back().payload.at("sys_state"), 4);
}

inline void expect_reboot_requested(const std::vector<bus_message> &bus)
{
    ASSERT_FALSE(bus.empty());
    EXPECT_EQ(bus.back().module, k_sc);
    EXPECT_EQ(bus.back().msg_id, k_reboot_id);
}

// imgrenew up, then a look at the run's /tmp before the reboot takes effect.
inline std::vector<std::string> up_then_probe()
{
    return {"sh", "-c",
            "imgrenew up; rc=$?; test -e /tmp/up_reboot_flag.txt && echo REBOOT_FLAG_PRESENT; "
            "test -e /tmp/pwned && echo PWNED; exit $rc"};
}

// Bytes of a package file, patched and written back.
inline void patch_le32(const std::string &path, size_t offset, uint32_t value)
{
    std::string text = simharness::read_file(path);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    put_le32(bytes.data() + offset, value);
    simharness::write_file(path, bytes);
}

// Records, as a run of this package does before its first state bit, that
// the state word belongs to the package at path: /2ndfile/update_state_package
// holds "UPSTPKG1", packlen, four zero bytes and the BLAKE2b-512 of the
// package's packlen bytes.
inline void record_state_package(const sim_router &r, const std::string &path)
{
    std::string text = simharness::read_file(path);
    ASSERT_GE(text.size(), PACKAGE_HEAD_SIZE);
    const uint32_t packlen = get_le32(reinterpret_cast<const uint8_t *>(text.data()) + 20);
    ASSERT_LE(packlen, text.size());
    ASSERT_EQ(up_sig_init(), 0);
    up_sig_hasher h;
    up_sig_hash_start(&h);
    up_sig_hash_add(&h, reinterpret_cast<const uint8_t *>(text.data()), packlen);
    std::vector<uint8_t> record = {'U', 'P', 'S', 'T', 'P', 'K', 'G', '1', 0, 0, 0, 0, 0, 0, 0, 0};
    put_le32(record.data() + 8, packlen);
    record.resize(80);
    up_sig_hash_end(&h, record.data() + 16);
    ASSERT_TRUE(simharness::write_file(r.state() + "/2ndfile/update_state_package", record));
}

inline size_t record_field(size_t index, size_t field_offset)
{
    return PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * index + field_offset;
}

}  // namespace sysrouter
