// The modem journal's file: its bytes, the files it refuses, and its
// writes and removal on a folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "modem_journal.h"
#include "scratch_dir.h"

namespace {

modem_journal sample()
{
    modem_journal j;
    j.phase = MJ_FLASHING;
    j.flags = MJ_FLAG_BACKUP | MJ_FLAG_IMEI;
    j.container_size = 2100005;
    j.container_crc = 0xA1B2C3D4;
    j.stored = 0x0F;
    j.high_count = 6;
    j.high_length = 896;
    j.high_crc = 0x11223344;
    snprintf(j.version.data(), j.version.size(), "%s", "ZMR_V200");
    snprintf(j.imei.data(), j.imei.size(), "%s", "861234567890123");
    return j;
}

std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void put_bytes(const std::string &path, const std::vector<uint8_t> &b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write((const char *)b.data(), (std::streamsize)b.size());
}

} // namespace

TEST(ModemJournal, FileFormIsLittleEndianWithItsCheckValueLast)
{
    uint8_t raw[128];
    modem_journal_encode(sample(), raw);
    const std::vector<uint8_t> head(raw, raw + 40);
    EXPECT_EQ(head, (std::vector<uint8_t>{'M',  'J',  'N',  'L',  1,    0,    0,    0,    3,    0,
                                          0,    0,    3,    0,    0,    0,    0x25, 0x0B, 0x20, 0x00,
                                          0xD4, 0xC3, 0xB2, 0xA1, 0x0F, 0,    0,    0,    6,    0,
                                          0,    0,    0x80, 0x03, 0,    0,    0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(std::string((const char *)raw + 40), "ZMR_V200");
    EXPECT_EQ(raw[40 + 8], 0);
    EXPECT_EQ(std::string((const char *)raw + 88), "861234567890123");
    for (int i = 112; i < 124; i++)
        EXPECT_EQ(raw[i], 0) << "reserved byte " << i;
    // CRC-32 of bytes 0 to 123.
    EXPECT_EQ(std::vector<uint8_t>(raw + 124, raw + 128), (std::vector<uint8_t>{0xA8, 0xBF, 0xE7, 0x5D}));

    modem_journal back;
    ASSERT_TRUE(modem_journal_decode(raw, &back));
    EXPECT_EQ(back.phase, 3u);
    EXPECT_EQ(back.flags, 3u);
    EXPECT_EQ(back.container_size, 2100005u);
    EXPECT_EQ(back.container_crc, 0xA1B2C3D4u);
    EXPECT_EQ(back.stored, 0x0Fu);
    EXPECT_EQ(back.high_count, 6u);
    EXPECT_EQ(back.high_length, 896u);
    EXPECT_EQ(back.high_crc, 0x11223344u);
    EXPECT_STREQ(back.version.data(), "ZMR_V200");
    EXPECT_STREQ(back.imei.data(), "861234567890123");
}

TEST(ModemJournal, AnythingButAWholeJournalIsDamaged)
{
    uint8_t good[128];
    modem_journal_encode(sample(), good);
    struct {
        const char *what;
        size_t at;
        uint8_t value;
    } flips[] = {{"magic", 0, 'X'}, {"format", 4, 2}, {"phase 0", 8, 0}, {"phase 6", 8, 6},
                 {"a version byte", 41, 'Q'}, {"the check value", 127, 0x00}};
    for (const auto &f : flips) {
        uint8_t raw[128];
        memcpy(raw, good, sizeof raw);
        raw[f.at] = f.value;
        modem_journal j;
        EXPECT_FALSE(modem_journal_decode(raw, &j)) << f.what;
    }

    scratch_dir dir;
    const std::string path = dir / "modem_journal";
    modem_journal j;
    EXPECT_EQ(modem_journal_read(path.c_str(), &j), MJ_NONE);
    put_bytes(path, std::vector<uint8_t>(good, good + 127));
    EXPECT_EQ(modem_journal_read(path.c_str(), &j), MJ_DAMAGED) << "one byte short";
    std::vector<uint8_t> longer(good, good + 128);
    longer.push_back(0);
    put_bytes(path, longer);
    EXPECT_EQ(modem_journal_read(path.c_str(), &j), MJ_DAMAGED) << "one byte long";
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), path.c_str()), 0);
    put_bytes(dir / "elsewhere", std::vector<uint8_t>(good, good + 128));
    EXPECT_EQ(modem_journal_read(path.c_str(), &j), MJ_DAMAGED) << "a link is not read through";
}

TEST(ModemJournal, WriteReplacesWholeAndRemoveLeavesNothing)
{
    scratch_dir dir;
    const std::string path = dir / "modem_journal";
    // A leftover of an interrupted write is replaced, never written through.
    put_bytes(path + ".new", {1, 2, 3});
    modem_journal j = sample();
    ASSERT_EQ(modem_journal_write(path.c_str(), j), 0);
    EXPECT_EQ(file_bytes(path).size(), 128u);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0);
    j.phase = MJ_FLASHED;
    j.stored = 0x7F;
    ASSERT_EQ(modem_journal_write(path.c_str(), j), 0);
    modem_journal back;
    ASSERT_EQ(modem_journal_read(path.c_str(), &back), MJ_OK);
    EXPECT_EQ(back.phase, 4u);
    EXPECT_EQ(back.stored, 0x7Fu);
    ASSERT_EQ(modem_journal_remove(path.c_str()), 0);
    EXPECT_EQ(modem_journal_read(path.c_str(), &back), MJ_NONE);
    EXPECT_EQ(modem_journal_remove(path.c_str()), 0) << "removing no journal is no failure";
}

TEST(ModemJournal, ImeiDigitsOfAnAnswer)
{
    struct {
        const char *answer;
        const char *digits;
    } cases[] = {{"\"861234567890123\"", "861234567890123"},
                 {"861234567890124", "861234567890124"},
                 {"\"000000000000000\"", ""},   // wiped
                 {"", ""},
                 {"ERROR", ""},
                 {"\"12345678901234567890123456789\"", "12345678901234567890123"}};
    for (const auto &c : cases) {
        std::array<char, MJ_IMEI_SIZE> out;
        modem_imei_digits(c.answer, &out);
        EXPECT_STREQ(out.data(), c.digits) << c.answer;
    }
}
