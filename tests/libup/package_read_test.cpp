#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

#include "package_test_util.h"
#include "test_files.h"
#include "up_api.h"
#include "up_state_io.h"

TEST(PackageRead, HeaderNeedsAll28Bytes)
{
    auto bytes = package_bytes(0, {});
    for (size_t len : {0ul, 1ul, 27ul}) {
        auto fd = file_with(std::vector<uint8_t>(bytes.begin(), bytes.begin() + (long)len));
        package_signature_t h{};
        EXPECT_EQ(up_process_head_upgrade(&h, fd.get()), -1) << len;
    }
    auto fd = file_with(bytes);
    package_signature_t h{};
    ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    // Magic numbers, version, checksum and downgrade flag are taken as they are.
    EXPECT_EQ(h.magic1, 0xDEADBEEFu);
    EXPECT_EQ(h.version, 99u);
    EXPECT_EQ(h.downgrade_enabled, 7u);
    EXPECT_EQ(up_process_head_upgrade(nullptr, fd.get()), -1);
}

TEST(PackageRead, RecordTableCases)
{
    std::string name64(64, 'x');
    struct {
        const char *what;
        std::vector<uint8_t> bytes;
        int result;
        uint32_t records_read;
    } cases[] = {
        {"zero records", package_bytes(0, {}, 28), 0, 0},
        {"two records", package_bytes(2, {{2, "zImage 1.0"}, {7, "modem.bin"}}, 1000, 1000), 0, 2},
        {"64-character name", package_bytes(1, {{4, name64}}), 0, 1},
        {"table cut inside the second descriptor",
         [] { auto b = package_bytes(2, {{2, "a"}, {3, "b"}}); b.resize(b.size() - 10); return b; }(), -1, 0},
        {"count beyond the package", package_bytes(0x7FFFFFFF, {{2, "a"}}), -1, 0},
        {"erased partition", std::vector<uint8_t>(4096, 0xFF), 0, 0},
        {"count 0x80000000 reads nothing", package_bytes(0x80000000u, {}), 0, 0},
    };
    for (auto &c : cases) {
        auto fd = file_with(c.bytes);
        package_signature_t h{};
        ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0) << c.what;
        package_record_t recs[2];
        memset(recs, 0xAA, sizeof recs);
        EXPECT_EQ(up_process_package_record_list(&h, fd.get(), recs), c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(up_record_table_count(&h), c.records_read) << c.what;
            EXPECT_EQ(whole_packlen, (uint32_t)h.packlen) << c.what;
        }
    }
}

TEST(PackageRead, NamesAndFieldsAreCopiedWhole)
{
    std::string name64(64, 'q');
    auto fd = file_with(package_bytes(2, {{2, "zImage 2.6", 196, 10}, {4, name64, 206, 5}}, 211, 211));
    package_signature_t h{};
    ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    package_record_t recs[2];
    ASSERT_EQ(up_process_package_record_list(&h, fd.get(), recs), 0);
    EXPECT_EQ(recs[0].record_id, 2u);
    EXPECT_EQ(recs[0].record_offset, 196u);
    EXPECT_STREQ(recs[0].record_name, "zImage 2.6");
    EXPECT_EQ(memcmp(recs[1].record_name, name64.data(), 64), 0);
    EXPECT_EQ(whole_packlen, 211u);
}

TEST(PackageRead, AbsurdCountIsRefusedBeforeAnyRead)
{
    auto fd = file_with(package_bytes(0x7FFFFFFF, {{7, "m"}}));
    package_signature_t h{};
    ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    off_t before = lseek(fd.get(), 0, SEEK_CUR);
    EXPECT_EQ(up_check_record_count(&h, fd.get()), -1);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), before);   // position restored
    // The reader gets no array at all: it must refuse rather than write into it.
    EXPECT_EQ(up_process_package_record_list(&h, fd.get(), nullptr), -1);
    EXPECT_EQ(up_process_package_check_modem(&h, fd.get(), PACKAGE_MODEM_IMAGE), -1);
}

TEST(PackageRead, RecordCountFitsExactly)
{
    auto bytes = package_bytes(3, {{1, "a"}, {2, "b"}, {3, "c"}});
    auto fd = file_with(bytes);
    package_signature_t h{};
    ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    EXPECT_EQ(up_check_record_count(&h, fd.get()), 0);
    h.num_records = 4;
    EXPECT_EQ(up_check_record_count(&h, fd.get()), -1);
    h.num_records = 0xFFFFFFFFu;     // counts as negative: an empty table
    EXPECT_EQ(up_check_record_count(&h, fd.get()), 0);
    EXPECT_EQ(up_check_record_count(nullptr, fd.get()), -1);
}

TEST(PackageRead, ModemRecordSearch)
{
    struct {
        const char *what;
        std::vector<uint8_t> bytes;
        int found;
    } cases[] = {
        {"modem second", package_bytes(2, {{2, "k"}, {7, "m"}}), 0},
        {"no modem", package_bytes(2, {{2, "k"}, {3, "r"}}), -1},
        {"modem past the count", package_bytes(1, {{2, "k"}, {7, "m"}}), -1},
        {"erased partition", std::vector<uint8_t>(4096, 0xFF), -1},
        {"short header", std::vector<uint8_t>(20, 0), -1},
        {"table cut before the modem", [] { auto b = package_bytes(2, {{2, "k"}, {7, "m"}}); b.resize(120); return b; }(), -1},
    };
    for (auto &c : cases) {
        auto fd = file_with(c.bytes);
        EXPECT_EQ(up_check_modem_state_fd(fd.get()), c.found) << c.what;
    }
}

// The modem check writes its lines on standard output, where the router
// reads them; the upgrade's own reader writes nothing there.
TEST(PackageRead, ModemCheckLinesGoToStandardOutputOnly)
{
    struct {
        const char *what;
        std::vector<uint8_t> bytes;
        const char *out;
    } cases[] = {
        {"modem second", package_bytes(2, {{2, "k"}, {7, "m"}}), " i_record_num is:2\n"},
        {"no modem", package_bytes(2, {{2, "k"}, {3, "r"}}),
         " i_record_num is:2\ncheck head before upgrade error\n"},
        {"short header", std::vector<uint8_t>(20, 0), "read fw head info fail\ncheck head before upgrade error\n"},
        {"count the package cannot hold", [] { auto b = package_bytes(2, {{2, "k"}, {7, "m"}}); b.resize(120); return b; }(),
         " i_record_num is:2\ncheck head before upgrade error\n"},
    };
    for (auto &c : cases) {
        auto fd = file_with(c.bytes);
        testing::internal::CaptureStdout();
        up_check_modem_state_fd(fd.get());
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(up_process_package_check_modem(nullptr, -1, 7), -1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NULL p_pack_head_attr point\n");

    auto fd = file_with(package_bytes(2, {{2, "k"}, {7, "m"}}));
    testing::internal::CaptureStdout();
    package_signature_t h{};
    EXPECT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    package_record_t recs[2];
    EXPECT_EQ(up_process_package_record_list(&h, fd.get(), recs), 0);
    EXPECT_EQ(up_process_head_upgrade(nullptr, fd.get()), -1);
    EXPECT_EQ(up_process_package_record_list(nullptr, fd.get(), recs), -1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(recs[1].record_id, 7u);
}

// Only the list sets the package length; the search leaves it alone.
TEST(PackageRead, OnlyTheListSetsThePackageLength)
{
    auto fd = file_with(package_bytes(2, {{2, "k"}, {7, "m"}}, 500, 500));
    package_signature_t h{};
    ASSERT_EQ(up_process_head_upgrade(&h, fd.get()), 0);
    whole_packlen = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(up_process_package_check_modem(&h, fd.get(), 7), 0);
    EXPECT_EQ(up_process_package_check_modem(&h, fd.get(), 9), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(whole_packlen, 1u);
    package_record_t recs[2];
    ASSERT_EQ(up_process_package_record_list(&h, fd.get(), recs), 0);
    EXPECT_EQ(whole_packlen, 500u);
}
