#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "imgpack.h"
#include "imgpack_test_util.h"
#include "up_api.h"
#include "up_fd.h"

namespace {

// Reads the package back with the library readers imgrenew itself uses.
int read_back(const std::string &path, package_signature_t *h, std::vector<package_record_t> *recs)
{
    unique_fd fd(open(path.c_str(), O_RDONLY));
    if (!fd.ok() || up_process_head_upgrade(h, fd.get()) != 0)
        return -1;
    recs->resize(up_record_table_count(h));
    if (up_check_record_count(h, fd.get()) != 0)
        return -1;
    return up_process_package_record_list(h, fd.get(), recs->data());
}

} // namespace

TEST(ImgpackBuild, RoundTripThroughTheInstallersReader)
{
    scratch_dir d;
    ASSERT_EQ(mkdir((d / "tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "tree/nv").c_str(), 0755), 0);
    put_text(d / "tree/nv/default.cfg", "web_language_select=en\n");
    put_text(d / "version_info.txt", "zImage 2.0\n");
    auto kernel = pattern(4097, 1);
    auto modem = pattern(3, 2);
    put_file(d / "zImage", kernel);
    put_file(d / "modem.bin", modem);
    put_text(d / "desc.txt",
             "# a full package\n"
             "magic1 0x4B515550\nmagic2 7\nversion 2\ndowngrade_enabled 1\n"
             "record version version_info.txt 0 version_info.txt\n"
             "record kernel \"zImage 2.6.35 build\" 0 zImage 0x20\n"
             "record 2ndfs 2ndfs.tar.bz2 1 tree\n"
             "record 7 qd4700_modem.bin 0 " + (d / "modem.bin") + "\n");
    ASSERT_EQ(imgpack_build((d / "out.bin").c_str(), (d / "desc.txt").c_str()), 0);

    auto bytes = get_file(d / "out.bin");
    package_signature_t h{};
    std::vector<package_record_t> recs;
    ASSERT_EQ(read_back(d / "out.bin", &h, &recs), 0);
    EXPECT_EQ(h.magic1, 0x4B515550u);
    EXPECT_EQ(h.magic2, 7u);
    EXPECT_EQ(h.version, 2u);
    EXPECT_EQ(h.downgrade_enabled, 1u);
    EXPECT_EQ((size_t)h.packlen, bytes.size());
    EXPECT_EQ(h.wholecrc, Crc32_ComputeBuf(0, bytes.data() + 28, (uint32_t)bytes.size() - 28));
    ASSERT_EQ(recs.size(), 4u);

    struct { uint32_t id, compressed, version; const char *name; } want[] = {
        {0, 0, 0, "version_info.txt"}, {2, 0, 0x20, "zImage 2.6.35 build"},
        {4, 1, 0, "2ndfs.tar.bz2"}, {7, 0, 0, "qd4700_modem.bin"},
    };
    uint32_t prev_end = 28 + 84 * 4;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(recs[i].record_id, want[i].id) << i;
        EXPECT_EQ(recs[i].compressed, want[i].compressed) << i;
        EXPECT_EQ(recs[i].component_version, want[i].version) << i;
        EXPECT_STREQ(recs[i].record_name, want[i].name) << i;
        EXPECT_EQ(recs[i].record_offset % IMGPACK_ALIGN, 0u) << i;
        EXPECT_GE(recs[i].record_offset, prev_end) << i;
        EXPECT_LT(recs[i].record_offset - prev_end, IMGPACK_ALIGN) << i;
        prev_end = recs[i].record_offset + recs[i].record_length;
    }
    EXPECT_EQ(prev_end, bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + recs[1].record_offset,
                                   bytes.begin() + recs[1].record_offset + recs[1].record_length),
              kernel);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + recs[3].record_offset, bytes.end()), modem);

    // The directory record is a bzip2 tar holding the tree's content.
    std::vector<uint8_t> archive(bytes.begin() + recs[2].record_offset,
                                 bytes.begin() + recs[2].record_offset + recs[2].record_length);
    ASSERT_GE(archive.size(), 3u);
    EXPECT_EQ(memcmp(archive.data(), "BZh", 3), 0);
    put_file(d / "a.tar.bz2", archive);
    ASSERT_EQ(mkdir((d / "unpacked").c_str(), 0755), 0);
    EXPECT_EQ(run_program({"/bin/tar", "-xjf", d / "a.tar.bz2", "-C", d / "unpacked"}, d / "tar.out"), 0);
    EXPECT_EQ(get_file(d / "unpacked/nv/default.cfg"), get_file(d / "tree/nv/default.cfg"));
}

TEST(ImgpackBuild, EmptyDescriptionGivesABareHeader)
{
    imgpack_desc desc;
    std::vector<uint8_t> pkg;
    std::string err;
    ASSERT_EQ(imgpack_build_bytes(desc, &pkg, &err, nullptr), 0);
    ASSERT_EQ(pkg.size(), 28u);
    package_signature_t h{};
    decode_package_head(pkg.data(), &h);
    EXPECT_EQ(h.num_records, 0u);
    EXPECT_EQ(h.packlen, 28);
}

TEST(ImgpackBuild, DescriptionErrorsNameTheLine)
{
    scratch_dir d;
    ASSERT_EQ(mkdir((d / "tree").c_str(), 0755), 0);
    put_text(d / "f", "x");
    struct { const char *what; std::string text; const char *in_error; } cases[] = {
        {"unknown type", "record firmware a 0 f\n", "line 1: unknown record type"},
        {"name of 65 bytes", "\nrecord kernel " + std::string(65, 'k') + " 0 f\n", "line 2: record name longer"},
        {"name with a slash", "record kernel ../etc/passwd 0 f\n", "not a safe file name"},
        {"name with a quote in the file part", "record kernel \"a;rm\" 0 f\n", "not a safe file name"},
        {"too few words", "record kernel k 0\n", "record needs"},
        {"negative flag", "record kernel k -1 f\n", "compressed flag"},
        {"flag too large", "record kernel k 0x100000000 f\n", "compressed flag"},
        {"directory not compressed", "record 2ndfs t 0 tree\n", "must have compressed 1"},
        {"missing data", "record kernel k 0 nothing\n", "nothing"},
        {"unterminated quote", "record kernel \"k 0 f\n", "unterminated quote"},
        {"unknown keyword", "magic3 1\n", "unknown keyword"},
        {"header field without value", "magic1\n", "magic1 needs one number"},
    };
    for (auto &c : cases) {
        put_text(d / "desc.txt", c.text);
        imgpack_desc desc;
        std::vector<uint8_t> pkg;
        std::string err;
        int rc = imgpack_parse_description(c.text, d.path, &desc, &err);
        if (rc == 0)
            rc = imgpack_build_bytes(desc, &pkg, &err, nullptr);
        EXPECT_EQ(rc, -1) << c.what;
        EXPECT_NE(err.find(c.in_error), std::string::npos) << c.what << ": " << err;
        // The command does not leave a package behind when the description is bad.
        EXPECT_EQ(imgpack_build((d / "out.bin").c_str(), (d / "desc.txt").c_str()), 1) << c.what;
        EXPECT_NE(access((d / "out.bin").c_str(), F_OK), 0) << c.what;
    }
}
