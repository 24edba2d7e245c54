// The whole-package check made before the first record is installed.
#include <gtest/gtest.h>

#include <fcntl.h>

#include "package_builder.h"
#include "test_files.h"
#include "up_driver.h"
#include "up_record_bounds.h"

namespace {

std::vector<test_record> good_records()
{
    return {
        {PACKAGE_VERSION, "version_info.txt", pattern(100, 1)},
        {PACKAGE_BOOTLOADER, "boot_nontrust.bin v2", pattern(5000, 2)},
        {PACKAGE_KERNEL, "zImage 2.6.35", pattern(70000, 3)},
        {PACKAGE_ROOTFS, "rootfs.jffs2", pattern(140000, 4)},
        {PACKAGE_2NDFS, "2ndfs.tar.bz2", pattern(3000, 5), 1},
        {PACKAGE_BOOT_IMAGE, "../anything goes", pattern(10, 6)},
        {5, "$(reboot)", pattern(10, 7)},
    };
}

struct package_on_disk {
    scratch_dir dir;
    std::vector<package_record_t> descs;
    package_signature_t head{};
    unique_fd fd;
    explicit package_on_disk(const std::vector<test_record> &records, size_t cut = 0)
    {
        std::vector<uint8_t> bytes = build_package(records, &descs);
        bytes.resize(bytes.size() - cut);
        write_bytes(dir / "root.bin", bytes);
        fd.reset(open((dir / "root.bin").c_str(), O_RDONLY));
        head.num_records = (uint32_t)records.size();
        head.packlen = (int32_t)(bytes.size() + cut);
    }
    int check() { return up_check_record_table(&head, fd.get(), descs.data()); }
};

} // namespace

TEST(PackageCheck, AcceptsAWellFormedPackage)
{
    package_on_disk pkg(good_records());
    EXPECT_EQ(pkg.check(), 0);
    package_on_disk raw2nd({{PACKAGE_2NDFS, "ignored;name", pattern(300000, 9), 0}});
    EXPECT_EQ(raw2nd.check(), 0);
}

TEST(PackageCheck, RefusesAnyBadRecordBeforeInstallingAnything)
{
    struct hostile { const char *what; size_t index; void (*spoil)(package_record_t &); };
    hostile cases[] = {
        {"kernel past the end", 2, [](package_record_t &r) { r.record_length = 0x200000; }},
        {"offset past the end", 3, [](package_record_t &r) { r.record_offset = 0x7FFFFFF0; }},
        {"offset + length wraps 32 bits", 3,
         [](package_record_t &r) { r.record_offset = 0xFFFFFF00; r.record_length = 0x200; }},
        {"version name climbs out of /tmp", 0, [](package_record_t &r) { strcpy(r.record_name, "../etc/passwd"); }},
        {"bootloader name runs a command", 1,
         [](package_record_t &r) { strcpy(r.record_name, "a;touch /tmp/pwned"); }},
        {"archive name with a substitution", 4, [](package_record_t &r) { strcpy(r.record_name, "$(reboot)"); }},
        {"kernel name empty", 2, [](package_record_t &r) { memset(r.record_name, 0, sizeof r.record_name); }},
        {"second file system neither archive nor image", 4, [](package_record_t &r) { r.compressed = 2; }},
    };
    for (auto &c : cases) {
        package_on_disk pkg(good_records());
        c.spoil(pkg.descs[c.index]);
        EXPECT_EQ(pkg.check(), -1) << c.what;
    }
}

TEST(PackageCheck, ARecordLargerThanItsPartitionIsRefusedUpFront)
{
    // The data is really there, so only the size rule can refuse it.
    std::vector<test_record> recs = good_records();
    recs[2].data = pattern(0x300001, 3);
    package_on_disk big(recs);
    EXPECT_EQ(big.check(), -1);
    recs[2].data.pop_back();
    package_on_disk fits(recs);
    EXPECT_EQ(fits.check(), 0);
}

TEST(PackageCheck, ARecordPastPacklenIsRefusedEvenInsideTheDevice)
{
    // Read raw from a partition, the device is far longer than the package.
    package_on_disk pkg(good_records());
    pkg.head.packlen -= 4000;          // ends inside the archive
    EXPECT_EQ(pkg.check(), -1);
    pkg.head.packlen += 4000;
    EXPECT_EQ(pkg.check(), 0);
}

TEST(PackageCheck, ACutPackageIsRefused)
{
    std::vector<test_record> recs = good_records();
    recs.resize(5);                             // the archive is the last record
    package_on_disk pkg(recs, 1);               // and its final byte is missing
    EXPECT_EQ(pkg.check(), -1);
}

TEST(RecordReadable, ReadsTheWholeRecordOrRefuses)
{
    package_on_disk pkg({{PACKAGE_ROOTFS, "rootfs.jffs2", pattern(300000, 4)}});
    EXPECT_EQ(up_check_record_readable(pkg.fd.get(), &pkg.descs[0]), 0);
    package_record_t longer = pkg.descs[0];
    longer.record_length += 1;
    EXPECT_EQ(up_check_record_readable(pkg.fd.get(), &longer), -1);
}
