// The record of the package the resume state belongs to: its 80 bytes, and
// what does not count as a record.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "scratch_dir.h"
#include "up_state_owner.h"

namespace {

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

up_state_owner sample()
{
    up_state_owner o{0x01234567u, {}};
    for (size_t i = 0; i < o.hash.size(); ++i)
        o.hash[i] = (uint8_t)(0xA0 + i);
    return o;
}

} // namespace

TEST(StateOwner, TheRecordIsWrittenWholeAndReadBack)
{
    scratch_dir dir;
    const std::string path = dir / "update_state_package";
    ASSERT_EQ(up_state_owner_write(path.c_str(), sample()), 0);

    std::string raw = read_all(path);
    ASSERT_EQ(raw.size(), 80u);
    EXPECT_EQ(raw.substr(0, 16), std::string("UPSTPKG1\x67\x45\x23\x01\0\0\0\0", 16));
    EXPECT_EQ((uint8_t)raw[16], 0xA0);
    EXPECT_EQ((uint8_t)raw[79], 0xDF);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0) << "the temporary file is left";

    up_state_owner back{};
    ASSERT_EQ(up_state_owner_read(path.c_str(), &back), 1);
    EXPECT_EQ(back.packlen, 0x01234567u);
    EXPECT_EQ(back.hash, sample().hash);

    // Written again over the old record, through a new file.
    up_state_owner other = sample();
    other.packlen = 7;
    ASSERT_EQ(up_state_owner_write(path.c_str(), other), 0);
    ASSERT_EQ(up_state_owner_read(path.c_str(), &back), 1);
    EXPECT_EQ(back.packlen, 7u);
}

TEST(StateOwner, AnythingButARecordOwnsNoState)
{
    scratch_dir dir;
    const std::string path = dir / "update_state_package";
    up_state_owner o{};
    EXPECT_EQ(up_state_owner_read(path.c_str(), &o), 0) << "no file";

    ASSERT_EQ(up_state_owner_write(path.c_str(), sample()), 0);
    const std::string good = read_all(path);
    struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"one byte more", good + "x"},
        {"one byte less", good.substr(0, 79)},
        {"another magic", "UPSTPKG2" + good.substr(8)},
        {"reserved bytes set", good.substr(0, 12) + std::string("\x01\0\0\0", 4) + good.substr(16)},
        {"empty", ""},
    };
    for (const auto &c : cases) {
        write_all(path, c.bytes);
        EXPECT_EQ(up_state_owner_read(path.c_str(), &o), 0) << c.what;
    }
}

TEST(StateOwner, ALinkAtTheTemporaryNameIsReplacedNotFollowed)
{
    scratch_dir dir;
    const std::string path = dir / "update_state_package";
    const std::string target = dir / "elsewhere";
    write_all(target, "keep me");
    ASSERT_EQ(symlink(target.c_str(), (path + ".new").c_str()), 0);
    ASSERT_EQ(up_state_owner_write(path.c_str(), sample()), 0);
    EXPECT_EQ(read_all(target), "keep me");
    EXPECT_EQ(read_all(path).size(), 80u);
}
