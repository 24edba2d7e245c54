// The modem container: header, checksum, table, INI copy and sub-image files.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "modem_container.h"
#include "scratch_dir.h"
#include "simple_container.h"
#include "up_fd.h"

using namespace modem_orch_test;

namespace {

// The container in a file, opened at its first byte.
struct container_file {
    scratch_dir dir;
    unique_fd fd;
    explicit container_file(const bytes &data, const bytes &after = {})
    {
        std::string path = dir / "modem.bin";
        bytes all = data;
        all.insert(all.end(), after.begin(), after.end());
        int w = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        EXPECT_EQ(write(w, all.data(), all.size()), (ssize_t)all.size());
        close(w);
        fd.reset(open(path.c_str(), O_RDONLY));
    }
    int open_container(uint32_t record_length, fw_h_t *head, uint32_t *consumed)
    {
        return modem_container_open(fd.get(), record_length, head, consumed);
    }
    off_t pos() const { return lseek(fd.get(), 0, SEEK_CUR); }
};

std::string file_text(const std::string &path)
{
    unique_fd fd(open(path.c_str(), O_RDONLY));
    std::string s(1 << 16, '\0');
    ssize_t n = fd.ok() ? read_full(fd.get(), &s[0], s.size()) : -1;
    s.resize(n > 0 ? (size_t)n : 0);
    return fd.ok() ? s : "<missing>";
}

} // namespace

TEST(Container, ReferenceChecksumOfTheTests)
{
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(reference_crc32(abc, 3), 0x359A672Fu);
}

TEST(Container, HeaderAndTableAreBigEndianWithTheChecksumLeastSignificantFirst)
{
    // Written out by hand: MDOM, 2 entries, checksum, 16 + 32 + 3 + 2 = 53 bytes.
    bytes c = {'M', 'D', 'O', 'M', 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 53,
               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3,
               0x05, 0x06, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2,
               'a', '=', '1', 0xDB, 0x1B};
    uint32_t crc = reference_crc32(c.data() + 16, c.size() - 16);
    c[8] = (uint8_t)crc;
    c[9] = (uint8_t)(crc >> 8);
    c[10] = (uint8_t)(crc >> 16);
    c[11] = (uint8_t)(crc >> 24);
    container_file f(c);
    fw_h_t head{};
    uint32_t consumed = 0;
    ASSERT_EQ(f.open_container(53, &head, &consumed), 0);
    EXPECT_EQ(head.fw_h_size, 53u);
    EXPECT_EQ(firm_num, 2);
    EXPECT_EQ(consumed, 48u);
    EXPECT_EQ(f.pos(), 48);
    EXPECT_EQ(headbuf[0].fw_h_size, 3u);
    EXPECT_EQ(headbuf[1].fw_h_magic, 0x05060708u);
    EXPECT_EQ(headbuf[1].fw_h_size, 2u);
    EXPECT_EQ(headbuf[2].fw_h_magic, 0u) << "the slot after the last entry is an end mark";

    // The same checksum stored most significant byte first does not match.
    std::swap(c[8], c[11]);
    std::swap(c[9], c[10]);
    container_file swapped(c);
    EXPECT_EQ(swapped.open_container(53, &head, &consumed), -1);
}

TEST(Container, IniIsCopiedOutAndTheNextReadStartsAtEntryOne)
{
    for (size_t ini_len : {0u, 1024u, 1500u}) {
        std::string ini(ini_len, 'i');
        bytes c = build_container(ini, {{0x05060708, bytes{1, 2, 3}}});
        container_file f(c);
        fw_h_t head{};
        uint32_t consumed = 0;
        ASSERT_EQ(f.open_container((uint32_t)c.size(), &head, &consumed), 0) << ini_len;
        std::string ini_path = f.dir / "modem_cof.ini";
        ASSERT_EQ(modem_container_copy_ini(f.fd.get(), ini_path.c_str(), &consumed), 0);
        EXPECT_EQ(file_text(ini_path), ini);
        EXPECT_EQ(consumed, 48u + ini_len);
        uint8_t next[3] = {};
        ASSERT_EQ(read(f.fd.get(), next, 3), 3);
        EXPECT_EQ(next[0], 1);
        EXPECT_EQ(next[2], 3);
    }
}

TEST(Container, OnlyTheConfigurationVerifies)
{
    bytes c = build_container("[About]\n", {});
    container_file f(c);
    fw_h_t head{};
    uint32_t consumed = 0;
    ASSERT_EQ(f.open_container((uint32_t)c.size(), &head, &consumed), 0);
    EXPECT_EQ(firm_num, 1);
    EXPECT_EQ(consumed, 32u);
    EXPECT_EQ(head.fw_h_size, 32u + 8u);
}

TEST(Container, ChecksumCoversExactlyTheContainerAfterItsHeader)
{
    bytes c = build_container("[About]\nmodem_version=1\n", {{0x11121314, bytes(3000, 7)}});
    const uint32_t len = (uint32_t)c.size();
    for (size_t at : {size_t{16}, size_t{40}, c.size() / 2, c.size() - 1}) {
        bytes bad = c;
        bad[at] ^= 0x01;
        container_file f(bad);
        fw_h_t head{};
        uint32_t consumed = 0;
        EXPECT_EQ(f.open_container(len, &head, &consumed), -1) << "byte " << at;
    }
    // What follows the container (the rest of the package) is not covered.
    container_file tail(c, bytes{0xEE, 0xEE});
    fw_h_t head{};
    uint32_t consumed = 0;
    EXPECT_EQ(tail.open_container(len + 2, &head, &consumed), 0);
}

TEST(Container, UnusableHeadersAreRefusedBeforeTheTableIsRead)
{
    fw_h_t head{};
    uint32_t consumed = 0;
    struct {
        const char *what;
        bytes data;
        uint32_t record_length;
    } cases[] = {
        {"short header", bytes{'M', 'D', 'O', 'M', 0, 0, 0, 1}, 8},
        {"wrong magic", build_container("x", {}, 0x4D444F4E), 33},
        {"16 entries", build_container("x", std::vector<entry>(15, {0x05060708, bytes{1}})), 1000},
        {"40 entries", build_container("x", std::vector<entry>(39, {0x05060708, bytes{1}})), 1000},
        {"larger than its record", build_container("x", {{0x05060708, bytes{1}}}), 49},
    };
    for (auto &c : cases) {
        for (fw_h_t &h : headbuf)
            h = fw_h_t{0xAA, 0xAA, 0xAA, 0xAA};
        container_file f(c.data);
        EXPECT_EQ(f.open_container(c.record_length, &head, &consumed), FUU_FLE_ERR) << c.what;
        EXPECT_EQ(headbuf[0].fw_h_magic, 0xAAu) << c.what << ": table read";
    }
    // 15 entries fit.
    bytes ok = build_container("x", std::vector<entry>(14, {0x05060708, bytes{1}}));
    container_file f(ok);
    EXPECT_EQ(f.open_container((uint32_t)ok.size(), &head, &consumed), 0);
    EXPECT_EQ(headbuf[15].fw_h_magic, 0u);
}

TEST(Container, SizesThatDoNotAddUpAreRefused)
{
    fw_h_t head{};
    uint32_t consumed = 0;
    // Container size smaller than its own table: 2 entries need 48 bytes.
    bytes small = build_container("", {{0x05060708, bytes{}}});
    small.resize(40);
    set_size_and_crc(&small, 40);
    container_file a(small);
    EXPECT_EQ(a.open_container(40, &head, &consumed), FUU_FLE_ERR);
    // An entry whose body reaches past the container.
    bytes big = build_container("ab", {{0x05060708, bytes{1, 2}}});
    big[16 + 16 + 15] = 9;   // entry 1 claims 9 bytes, 2 are there
    set_size_and_crc(&big, (uint32_t)big.size());
    container_file b(big);
    EXPECT_EQ(b.open_container((uint32_t)big.size(), &head, &consumed), FUU_FLE_ERR);
}

TEST(ExtractSubImage, ReplacesTheFileWithExactlyTheImage)
{
    scratch_dir dir;
    std::string src = dir / "src";
    {
        unique_fd w(open(src.c_str(), O_CREAT | O_WRONLY, 0600));
        ASSERT_EQ(write(w.get(), "0123456789", 10), 10);
    }
    std::string dst = dir / "fsbl.mbn";
    {
        unique_fd w(open(dst.c_str(), O_CREAT | O_WRONLY, 0600));
        ASSERT_EQ(write(w.get(), "OLDOLDOLDOLDOLD", 15), 15);
    }
    unique_fd in(open(src.c_str(), O_RDONLY));
    ASSERT_EQ(lseek(in.get(), 2, SEEK_SET), 2);
    ASSERT_EQ(extract_sub_image(in.get(), 5, dst.c_str()), 0);
    EXPECT_EQ(file_text(dst), "23456") << "no tail of the older copy stays";
    EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 7);

    std::string empty = dir / "empty";
    ASSERT_EQ(extract_sub_image(in.get(), 0, empty.c_str()), 0);
    EXPECT_EQ(file_text(empty), "");
    // The source ends before the image does.
    EXPECT_EQ(extract_sub_image(in.get(), 10, dst.c_str()), -1);
    EXPECT_EQ(extract_sub_image(-1, 1, dst.c_str()), -1);
    EXPECT_EQ(extract_sub_image(in.get(), 1, nullptr), -1);
}

TEST(Container, IniCopyNeverWritesThroughALink)
{
    bytes c = build_container("[About]\n", {});
    container_file f(c);
    fw_h_t head{};
    uint32_t consumed = 0;
    ASSERT_EQ(f.open_container((uint32_t)c.size(), &head, &consumed), 0);
    std::string target = f.dir / "victim";
    {
        unique_fd w(open(target.c_str(), O_CREAT | O_WRONLY, 0600));
        ASSERT_EQ(write(w.get(), "keep", 4), 4);
    }
    std::string ini = f.dir / "modem_cof.ini";
    ASSERT_EQ(symlink(target.c_str(), ini.c_str()), 0);
    ASSERT_EQ(modem_container_copy_ini(f.fd.get(), ini.c_str(), &consumed), 0);
    EXPECT_EQ(file_text(target), "keep");
    EXPECT_EQ(file_text(ini), "[About]\n");
    struct stat st;
    ASSERT_EQ(lstat(ini.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}
