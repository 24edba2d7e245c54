// The modem container: header, checksum, table, INI copy and sub-image files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "modem_container.h"
#include "scratch_dir.h"
#include "simple_container.h"
#include "up_fd.h"

using namespace modem_orch_test;

namespace {

struct container_file {
    scratch_dir dir;
    unique_fd fd;
    fw_h_t head{};
    uint32_t consumed = 0;
    explicit container_file(const bytes &data)
    {
        std::string path = dir / "modem.bin";
        unique_fd w(open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600));
        EXPECT_EQ(write_full(w.get(), data.data(), data.size()), (ssize_t)data.size());
        fd.reset(open(path.c_str(), O_RDONLY));
    }
    int open_container(uint32_t record_length)
    {
        return modem_container_open(package_span{fd.get(), 0, record_length}, &head, &consumed);
    }
};

std::string file_text(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY));
    std::string s(1 << 16, '\0');
    ssize_t n = fd.ok() ? read_full(fd.get(), &s[0], s.size()) : -1;
    s.resize(n > 0 ? (size_t)n : 0);
    return s;
}

void write_text(const std::string &path, const std::string &text)
{
    unique_fd w(open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600));
    EXPECT_EQ(write_full(w.get(), text.data(), text.size()), (ssize_t)text.size());
}

} // namespace

TEST(Container, HeaderAndTableAreBigEndianWithTheChecksumLeastSignificantFirst)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    ASSERT_EQ(reference_crc32(abc, 3), 0x359A672Fu);
    // MDOM, 2 entries, checksum, 16 + 32 + 3 + 2 = 53 bytes; a DBL entry.
    bytes c = {'M', 'D', 'O', 'M', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 53,
               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3,
               0x05, 0x06, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
               'a', '=', '1', 0xDB, 0x1B};
    set_size_and_crc(&c, 53);
    container_file f(c);
    ASSERT_EQ(f.open_container(53), 0);
    EXPECT_EQ(f.head.fw_h_size, 53u);
    EXPECT_EQ(firm_num, 2);
    EXPECT_EQ(f.consumed, 48u);
    EXPECT_EQ(headbuf[0].fw_h_size, 3u);
    EXPECT_EQ(headbuf[1].fw_h_magic, 0x05060708u);
    EXPECT_EQ(headbuf[1].fw_h_size, 2u);
    EXPECT_EQ(headbuf[2].fw_h_magic, 0u) << "the slot after the last entry is an end mark";

    // The same checksum stored most significant byte first does not match.
    std::swap(c[8], c[11]);
    std::swap(c[9], c[10]);
    container_file swapped(c);
    EXPECT_EQ(swapped.open_container(53), -1);
}

TEST(Container, IniIsCopiedOutAndEntryOneFollowsIt)
{
    for (size_t ini_len : {0u, 1024u, 1500u}) {
        std::string ini(ini_len, 'i');
        container_file f(build_container(ini, {bytes{1, 2, 3}}));
        ASSERT_EQ(f.open_container((uint32_t)(48 + ini_len + 3)), 0) << ini_len;
        std::string ini_path = f.dir / "modem_cof.ini";
        write_text(f.dir / "victim", "keep");
        ASSERT_EQ(symlink((f.dir / "victim").c_str(), ini_path.c_str()), 0);
        ASSERT_EQ(modem_container_copy_ini(package_span{f.fd.get(), 0, 48 + ini_len + 3}, ini_path.c_str(), &f.consumed), 0);
        EXPECT_EQ(file_text(ini_path), ini);
        EXPECT_EQ(file_text(f.dir / "victim"), "keep") << "written through a link";
        EXPECT_EQ(f.consumed, 48u + ini_len);
        uint8_t next[3] = {};
        ASSERT_EQ(pread(f.fd.get(), next, 3, (off_t)f.consumed), 3);
        EXPECT_EQ(next[0], 1);
    }
}

TEST(Container, ChecksumCoversExactlyTheContainerAfterItsHeader)
{
    bytes c = build_container("[About]\n", {bytes(3000, 7)});
    const uint32_t len = (uint32_t)c.size();
    for (size_t at : {size_t{16}, size_t{40}, c.size() - 1}) {
        bytes bad = c;
        bad[at] ^= 0x01;
        container_file f(bad);
        EXPECT_EQ(f.open_container(len), -1) << "byte " << at;
    }
    // What follows the container (the rest of the package) is not covered.
    c.push_back(0xEE);
    container_file tail(c);
    EXPECT_EQ(tail.open_container(len + 1), 0);
}

TEST(Container, UnusableHeadersAreRefusedBeforeTheTableIsRead)
{
    bytes small = build_container("", {bytes{}});
    small.resize(40);
    set_size_and_crc(&small, 40);            // smaller than its 2-entry table
    bytes big = build_container("ab", {bytes{1, 2}});
    big[16 + 16 + 15] = 9;                   // entry 1 claims 9 bytes, 2 are there
    set_size_and_crc(&big, (uint32_t)big.size());
    struct {
        const char *what;
        bytes data;
        uint32_t record_length;
    } cases[] = {
        {"short header", bytes{'M', 'D', 'O', 'M', 0, 0, 0, 1}, 8},
        {"wrong magic", build_container("x", {}, 0x4D444F4E), 33},
        {"16 entries", build_container("x", std::vector<bytes>(15, bytes{1})), 1000},
        {"40 entries", build_container("x", std::vector<bytes>(39, bytes{1})), 1000},
        {"larger than its record", build_container("x", {bytes{1}}), 49},
        {"smaller than its table", small, 40},
        {"bodies past its end", big, (uint32_t)big.size()},
    };
    for (auto &c : cases) {
        for (fw_h_t &h : headbuf)
            h = fw_h_t{0xAA, 0xAA, 0xAA, 0xAA};
        container_file f(c.data);
        EXPECT_EQ(f.open_container(c.record_length), FUU_FLE_ERR) << c.what;
        // Only the sum of the bodies needs the table itself.
        bool table_needed = std::string(c.what) == "bodies past its end";
        EXPECT_EQ(headbuf[0].fw_h_magic == 0xAAu, !table_needed) << c.what;
    }
    container_file fifteen(build_container("x", std::vector<bytes>(14, bytes{1})));
    EXPECT_EQ(fifteen.open_container(1000), 0);
    EXPECT_EQ(headbuf[15].fw_h_magic, 0u);
}

TEST(ExtractSubImage, ReplacesTheFileWithExactlyTheImage)
{
    scratch_dir dir;
    write_text(dir / "src", "0123456789");
    std::string dst = dir / "fsbl.mbn";
    write_text(dst, "OLDOLDOLDOLDOLD");
    unique_fd in(open((dir / "src").c_str(), O_RDONLY));
    ASSERT_EQ(extract_sub_image(package_span{in.get(), 2, 5}, dst.c_str()), 0);
    EXPECT_EQ(file_text(dst), "23456") << "no tail of the older copy stays";
    ASSERT_EQ(extract_sub_image(package_span{in.get(), 7, 0}, (dir / "empty").c_str()), 0);
    EXPECT_EQ(access((dir / "empty").c_str(), F_OK), 0);
    EXPECT_EQ(extract_sub_image(package_span{in.get(), 2, 10}, dst.c_str()), -1) << "source ends early";
    EXPECT_EQ(extract_sub_image(package_span{-1, 0, 1}, dst.c_str()), -1);
}
