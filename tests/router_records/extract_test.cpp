#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "package_file.h"
#include "up_extract.h"

namespace {

struct extract_fixture : ::testing::Test {
    scratch_dir tmp;
    std::string out = tmp / "out";
    std::string unpack = tmp / "unpack";
    void SetUp() override { make_dirs(out); }

    int extract(const package_record_t &r, const std::string &pkg)
    {
        unique_fd fd(open(pkg.c_str(), O_RDONLY));
        return up_extract_record_into(fd.get(), &r, out.c_str(), "tar", unpack.c_str());
    }
};

} // namespace

TEST_F(extract_fixture, RawRecordsAreCopiedWhole)
{
    // Sizes around the 128 KiB copy block.
    for (size_t len : {size_t(0), size_t(1), size_t(0x20000 - 1), size_t(0x20000),
                       size_t(0x20000 * 2 + 5)}) {
        std::string pkg = tmp / "pkg.bin";
        std::string data = pattern(len);
        package_record_t r = write_package(pkg, "zImage 2.6.35 test build", data);
        ASSERT_EQ(extract(r, pkg), 0) << len;
        EXPECT_EQ(read_text(out + "/zImage"), data) << len;
        unlink((out + "/zImage").c_str());
    }
}

TEST_F(extract_fixture, WhatWasAtTheNameBeforeIsReplacedNotReused)
{
    std::string pkg = tmp / "pkg.bin";
    package_record_t r = write_package(pkg, "boot.bin", "NEW");
    // A longer old file would keep its tail.
    write_text(out + "/boot.bin", "oldoldold");
    ASSERT_EQ(extract(r, pkg), 0);
    EXPECT_EQ(read_text(out + "/boot.bin"), "NEW");
    // A planted link would take the write elsewhere.
    write_text(tmp / "victim", "precious");
    ASSERT_EQ(unlink((out + "/boot.bin").c_str()), 0);
    ASSERT_EQ(symlink((tmp / "victim").c_str(), (out + "/boot.bin").c_str()), 0);
    ASSERT_EQ(extract(r, pkg), 0);
    EXPECT_EQ(read_text(tmp / "victim"), "precious");
    struct stat st {};
    ASSERT_EQ(lstat((out + "/boot.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_text(out + "/boot.bin"), "NEW");
}

TEST_F(extract_fixture, RecordBeyondThePackageIsRefusedBeforeAnyFileExists)
{
    std::string pkg = tmp / "pkg.bin";
    package_record_t r = write_package(pkg, "zImage", pattern(1000));
    struct { uint32_t offset, length; } cases[] = {
        {r.record_offset, 1001},
        {r.record_offset + 1, 1000},
        {0xFFFFFF00u, 0x200},        // would wrap in 32 bits
        {r.record_offset, 0xFFFFFFFFu},
    };
    for (auto &c : cases) {
        package_record_t bad = r;
        bad.record_offset = c.offset;
        bad.record_length = c.length;
        EXPECT_EQ(extract(bad, pkg), -1) << c.offset << "+" << c.length;
        EXPECT_FALSE(exists(out + "/zImage"));
    }
}

TEST_F(extract_fixture, HostileNamesCreateNothing)
{
    std::string pkg = tmp / "pkg.bin";
    for (const char *name : {"../escaped", "a;touch x", "$(touch x)", "`touch x`", "a'b", " lead",
                             "..", "tar"}) {
        package_record_t r = write_package(pkg, name, "data", 1);
        EXPECT_EQ(extract(r, pkg), -1) << name;
    }
    EXPECT_FALSE(exists(tmp / "escaped"));
    EXPECT_FALSE(exists(unpack));
    // Only the package itself and the empty output folder remain.
    EXPECT_EQ(system(("test -z \"$(ls -A '" + out + "')\"").c_str()), 0);
}

TEST_F(extract_fixture, CompressedRecordIsUnpackedAndItsArchiveRemoved)
{
    std::string src = tmp / "src";
    make_dirs(src + "/nv");
    make_dirs(src + "/webpage");
    write_text(src + "/nv/default.cfg", "a=1\n");
    write_text(src + "/webpage/index.html", "<p>");
    ASSERT_EQ(system(("tar cjf '" + tmp / "fs.tar.bz2" + "' -C '" + src + "' nv webpage").c_str()), 0);
    std::string pkg = tmp / "pkg.bin";
    package_record_t r = write_package(pkg, "2ndfs.tar.bz2 v3", read_text(tmp / "fs.tar.bz2"), 1);

    // An existing unpack folder is replaced by a fresh one: nothing it held,
    // nor the target of a link in it, reaches the install.
    make_dirs(unpack + "/webpage");
    write_text(unpack + "/webpage/planted.html", "x");
    write_text(tmp / "victim", "precious");
    ASSERT_EQ(symlink((tmp / "victim").c_str(), (unpack + "/nv").c_str()), 0);
    ASSERT_EQ(extract(r, pkg), 0);
    EXPECT_EQ(read_text(unpack + "/nv/default.cfg"), "a=1\n");
    EXPECT_EQ(read_text(unpack + "/webpage/index.html"), "<p>");
    EXPECT_FALSE(exists(unpack + "/webpage/planted.html"));
    EXPECT_EQ(read_text(tmp / "victim"), "precious");
    EXPECT_FALSE(exists(out + "/2ndfs.tar.bz2"));
}

TEST_F(extract_fixture, BrokenArchiveFails)
{
    std::string pkg = tmp / "pkg.bin";
    package_record_t r = write_package(pkg, "2ndfs.tar.bz2", "not an archive", 1);
    EXPECT_EQ(extract(r, pkg), -1);
}

TEST_F(extract_fixture, UnreadablePackageFails)
{
    package_record_t r = make_record("zImage", 0, 10);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    unique_fd rd(p[0]), wr(p[1]);
    // A pipe has no size to check the record against.
    EXPECT_EQ(up_extract_record_into(rd.get(), &r, out.c_str(), "tar", unpack.c_str()), -1);
    EXPECT_EQ(up_extract_record_into(rd.get(), nullptr, out.c_str(), "tar", unpack.c_str()), -1);
    EXPECT_FALSE(exists(out + "/zImage"));
}
