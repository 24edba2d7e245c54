// The state word and the erase primitive on emulated NAND: the flash
// emulation library is preloaded into this program (see main), so the
// image files below answer the MTD ioctls and take writes as NAND does.
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "flashemu_rerun.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_state_io.h"

namespace {

constexpr size_t k_blocks = 3;
constexpr size_t k_size = k_blocks * UP_ERASE_BLOCK;
const char *const k_images[] = {"state.img", "erased.img", "erase.img", "bounds.img"};

std::string g_dir;

std::string image(const char *name)
{
    return g_dir + "/" + name;
}

std::vector<uint8_t> pattern()
{
    std::vector<uint8_t> v(k_size);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = (uint8_t)(i * 13 + (i >> 11));
    return v;
}

void write_image(const std::string &path, const std::vector<uint8_t> &bytes)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.ok() || write_full(fd.get(), bytes.data(), bytes.size()) != (ssize_t)bytes.size())
        abort();
}

std::vector<uint8_t> read_image(const std::string &path)
{
    std::vector<uint8_t> out(k_size);
    unique_fd fd(open(path.c_str(), O_RDONLY));
    if (!fd.ok() || read_full(fd.get(), out.data(), out.size()) != (ssize_t)out.size())
        abort();
    return out;
}

std::string fault_log()
{
    std::string out;
    unique_file f(fopen(image("faults.log").c_str(), "r"));
    int c;
    while (f.ok() && (c = fgetc(f.get())) != EOF)
        out += (char)c;
    return out;
}

} // namespace

TEST(StateOnFlash, WriteKeepsTheRestOfTheBlockAndEveryOtherBlock)
{
    std::vector<uint8_t> want = pattern();
    unique_fd fd(open(image("state.img").c_str(), O_RDWR));
    ASSERT_TRUE(fd.ok());
    for (int32_t value : {60, 256, 0, 4}) {
        ASSERT_EQ(up_state_write_at(fd.get(), UP_ERASE_BLOCK, value), 0) << value;
        put_le32(want.data() + UP_ERASE_BLOCK, (uint32_t)value);
        EXPECT_EQ(read_image(image("state.img")), want) << value;
        int32_t back = -7;
        ASSERT_EQ(up_state_read_at(fd.get(), UP_ERASE_BLOCK, &back), 0);
        EXPECT_EQ(back, value);
    }
    EXPECT_EQ(fault_log(), "");
}

TEST(StateOnFlash, ErasedBlockReadsMinusOne)
{
    unique_fd fd(open(image("erased.img").c_str(), O_RDWR));
    int32_t v = 0;
    ASSERT_EQ(up_state_read_at(fd.get(), UP_ERASE_BLOCK, &v), 0);
    EXPECT_EQ(v, -1);
}

TEST(EraseOnFlash, LengthsAndRanges)
{
    std::vector<uint8_t> want = pattern();
    unique_fd fd(open(image("erase.img").c_str(), O_RDWR));
    ASSERT_TRUE(fd.ok());
    EXPECT_EQ(up_mtd_erase(fd.get(), 0, 0), 0);                        // asks, erases nothing
    EXPECT_EQ(up_mtd_erase(fd.get(), 0, 0x30000), -1);
    EXPECT_EQ(up_mtd_erase(fd.get(), 0, 0x1000), -1);
    EXPECT_EQ(read_image(image("erase.img")), want);
    ASSERT_EQ(up_mtd_erase(fd.get(), UP_ERASE_BLOCK, UP_ERASE_BLOCK), 0);
    std::fill(want.begin() + UP_ERASE_BLOCK, want.begin() + 2 * UP_ERASE_BLOCK, 0xFF);
    EXPECT_EQ(read_image(image("erase.img")), want);
}

TEST(EraseOnFlash, RangePastTheDeviceFails)
{
    unique_fd fd(open(image("bounds.img").c_str(), O_RDWR));
    ASSERT_TRUE(fd.ok());
    EXPECT_EQ(up_mtd_erase(fd.get(), 2 * UP_ERASE_BLOCK, 2 * UP_ERASE_BLOCK), -1);
    EXPECT_EQ(up_mtd_erase(fd.get(), 0x1000, UP_ERASE_BLOCK), -1);     // unaligned start
}

// Re-executes with the emulation preloaded; it learns its devices at the
// first descriptor it sees, so the images are made before that.
int main(int argc, char **argv)
{
    const char *dir = getenv("LIBUP_FLASH_TEST_DIR");
    if (dir == nullptr) {
        char tmpl[] = "/tmp/libup_flash_XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return 2;
        g_dir = tmpl;
        std::string devices;
        for (const char *name : k_images) {
            std::vector<uint8_t> bytes = pattern();
            if (std::string(name) == "erased.img")
                std::fill(bytes.begin() + UP_ERASE_BLOCK, bytes.begin() + 2 * UP_ERASE_BLOCK, 0xFF);
            write_image(image(name), bytes);
            devices += (devices.empty() ? "" : ":") + image(name);
        }
        setenv("LIBUP_FLASH_TEST_DIR", tmpl, 1);
        int rc = rerun_under_flashemu(argv, UP_LIB_DIR "/libflashemu.so", devices,
                                      image("faults.log"));
        for (const char *name : k_images)
            unlink(image(name).c_str());
        unlink(image("faults.log").c_str());
        rmdir(tmpl);
        return rc;
    }
    g_dir = dir;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
