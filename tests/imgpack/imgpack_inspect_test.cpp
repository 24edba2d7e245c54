#include <cstring>
#include <gtest/gtest.h>

#include "imgpack.h"
#include "imgpack_test_util.h"
#include "package_bytes.h"
#include "up_api.h"

namespace {

struct rec {
    uint32_t id, offset, length, compressed;
    const char *name;
};

// Crafts package bytes directly, so hostile layouts need no imgpack option.
std::vector<uint8_t> craft(const std::vector<rec> &recs, size_t total, uint32_t count_override = 0)
{
    std::vector<testkit::package_table_record> table;
    for (const rec &r : recs)
        table.push_back({r.id, r.name, r.offset, r.length, r.compressed});
    package_signature_t h{1, 2, 3, count_override ? count_override : (uint32_t)recs.size(), 0, (int32_t)total, 0};
    std::vector<uint8_t> out = testkit::package_table_bytes(h, table, total, 0x5A);
    out.resize(total);      // a table cut short stays cut
    // A sound wholecrc, so that only the case at hand decides the verdict.
    if (total > 28) {
        h.wholecrc = Crc32_ComputeBuf(0, out.data() + 28, (uint32_t)(total - 28));
        std::vector<uint8_t> head(28);
        encode_package_head(&h, head.data());
        std::copy(head.begin(), head.end(), out.begin());
    }
    return out;
}

std::string inspect_text(const std::vector<uint8_t> &pkg, int *rc)
{
    return captured_output([&](FILE *f) { return imgpack_inspect_bytes(pkg, f); }, rc);
}

} // namespace

TEST(ImgpackInspect, VerdictPerPackage)
{
    const uint32_t t2 = 28 + 84 * 2;
    struct {
        const char *what;
        std::vector<uint8_t> pkg;
        int rc;
        const char *in_text;
    } cases[] = {
        {"sound package", craft({{0, t2, 10, 0, "version_info.txt"}, {2, t2 + 10, 100, 0, "zImage 1"}}, t2 + 110), 0,
         "direct write to /dev/mtd2 in partition mode, flash_erase+nandwrite in file mode"},
        {"record one byte past the end", craft({{0, t2, 10, 0, "v"}, {3, t2 + 10, 101, 0, "rootfs"}}, t2 + 110), 1,
         "past the end of the package"},
        {"offset beyond 4 GiB arithmetic", craft({{0, t2, 10, 0, "v"}, {7, 0xFFFFFFF0u, 0x20, 0, "m"}}, t2 + 10), 1,
         "past the end of the package"},
        {"table longer than the file", craft({{0, 200, 1, 0, "v"}}, 100, 5), 1, "a table of 5 records needs"},
        {"short header", std::vector<uint8_t>(27, 0), 1, "the header needs 28 bytes"},
        {"kernel larger than its partition", craft({{0, t2, 1, 0, "v"}, {2, t2 + 1, 0x300001, 0, "zImage"}}, t2 + 1 + 0x300001), 1,
         "larger than its partition"},
        {"kernel exactly its partition", craft({{0, t2, 1, 0, "v"}, {2, t2 + 1, 0x300000, 0, "zImage"}}, t2 + 1 + 0x300000), 0,
         "result: ok"},
        {"unsafe extraction name", craft({{0, t2, 1, 0, "v"}, {1, t2 + 1, 1, 0, "../../sbin/init"}}, t2 + 2), 1,
         "unsafe record name"},
        {"no version record", craft({{4, t2, 1, 1, "fs.tar.bz2"}, {7, t2 + 1, 1, 0, "m"}}, t2 + 2), 1,
         "no version record"},
        {"raw second file system needs no version", craft({{4, t2, 1, 0, "fs.img"}, {6, t2 + 1, 1, 0, "b"}}, t2 + 2), 0,
         "raw image: direct write to /dev/mtd4"},
        {"erased partition", std::vector<uint8_t>(4096, 0xFF), 1, "counts as negative"},
        {"unknown types are skipped", craft({{0, t2, 1, 0, "v"}, {8, t2 + 1, 1, 0, "u"}}, t2 + 2), 0,
         "not a known record type: logged and skipped"},
    };
    for (auto &c : cases) {
        int rc = -5;
        std::string text = inspect_text(c.pkg, &rc);
        EXPECT_EQ(rc, c.rc) << c.what << "\n" << text;
        EXPECT_NE(text.find(c.in_text), std::string::npos) << c.what << "\n" << text;
    }
}

TEST(ImgpackInspect, NamesAreShownPrintableAndBounded)
{
    const uint32_t t1 = 28 + 84;
    auto pkg = craft({{0, t1, 1, 0, "v"}}, t1 + 1);
    memset(pkg.data() + 28 + 20, 'n', 64);     // 64 characters and no terminator
    pkg[28 + 20 + 3] = 0x07;
    int rc = 0;
    std::string text = inspect_text(pkg, &rc);
    EXPECT_NE(text.find("name \"nnn\\x07" + std::string(60, 'n') + "\"\n"), std::string::npos) << text;
}

TEST(ImgpackProgram, BuildThenInspectAndExitCodes)
{
    scratch_dir d;
    std::string imgpack = std::string(UP_BIN_DIR) + "/imgpack";
    put_text(d / "version_info.txt", "zImage 2\n");
    put_file(d / "zImage", pattern(1000, 3));
    put_text(d / "desc.txt",
             "record version version_info.txt 0 version_info.txt\nrecord kernel zImage 0 zImage\n");
    EXPECT_EQ(run_program({imgpack, "build", d / "pkg.bin", d / "desc.txt"}, d / "out1"), 0);
    EXPECT_EQ(run_program({imgpack, "inspect", d / "pkg.bin"}, d / "out2"), 0);
    auto listing = get_file(d / "out2");
    std::string text(listing.begin(), listing.end());
    EXPECT_NE(text.find("record 1: type 2 (kernel)"), std::string::npos) << text;

    // Cut the last byte: the kernel record now ends past the package.
    auto bytes = get_file(d / "pkg.bin");
    bytes.pop_back();
    put_file(d / "cut.bin", bytes);
    EXPECT_EQ(run_program({imgpack, "inspect", d / "cut.bin"}, d / "out3"), 1);
    listing = get_file(d / "out3");
    text.assign(listing.begin(), listing.end());
    EXPECT_NE(text.find("past the end of the package"), std::string::npos) << text;

    EXPECT_EQ(run_program({imgpack, "inspect", d / "missing.bin"}, d / "out4"), 1);
    EXPECT_EQ(run_program({imgpack, "frobnicate"}, d / "out5"), 2);
    EXPECT_EQ(run_program({imgpack, "--help"}, d / "out6"), 0);
}

TEST(ImgpackInspect, WarningsForPackagesImgrenewTakesButThatWillNotInstallAsMeant)
{
    const uint32_t t2 = 28 + 84 * 2;
    auto sound = craft({{0, t2, 10, 0, "version_info.txt"}, {2, t2 + 10, 100, 0, "zImage"}}, t2 + 110);
    int rc = -5;
    std::string text = inspect_text(sound, &rc);
    EXPECT_EQ(rc, 0) << text;
    EXPECT_EQ(text.find("warning"), std::string::npos) << text;

    // The header's wholecrc no longer covers the bytes: imgrenew installs them anyway.
    auto damaged = sound;
    damaged[t2 + 50] ^= 0x80;
    text = inspect_text(damaged, &rc);
    EXPECT_EQ(rc, 3) << text;
    EXPECT_NE(text.find("wholecrc: differs"), std::string::npos) << text;
    EXPECT_NE(text.find("\nwarning: the package is damaged (wholecrc differs) but imgrenew up would install it\n"),
              std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 16), "result: warning\n");

    // A failure outweighs a warning: status 1 and the failure's verdict.
    auto cut = damaged;
    cut.resize(cut.size() - 1);
    text = inspect_text(cut, &rc);
    EXPECT_EQ(rc, 1) << text;
    EXPECT_EQ(text.substr(text.size() - 47), "result: imgrenew up would fail on this package\n");
}

TEST(ImgpackInspect, ModemRecordBesideRouterRecordsMeetsTheErasedStateWord)
{
    scratch_dir d;
    put_text(d / "version_info.txt", "zImage 2\n");
    put_file(d / "zImage", pattern(1000, 3));
    put_text(d / "dbl.mbn", "DBL!");
    put_text(d / "c.desc", "modem_version V1\nimage dbl dbl.mbn\n");
    put_text(d / "router.desc", "record version version_info.txt 0 version_info.txt\nrecord kernel zImage 0 zImage\n");
    put_text(d / "both.desc", "record version version_info.txt 0 version_info.txt\nrecord kernel zImage 0 zImage\n"
                              "modem m.bin c.desc\n");
    put_text(d / "modem.desc", "record version version_info.txt 0 version_info.txt\nmodem m.bin c.desc\n");
    // How imgrenew reads an erased state word, not a fault of the package: a
    // note, and a sound package still ends with result: ok and status 0.
    const char *note =
        "\nnote: the package has a modem record: on a freshly erased package partition the state word reads as "
        "60 and imgrenew up skips the bootloader, kernel, rootfs and 2ndfs records; for a full install load it with "
        "`routersim load-package STATE PKG --full-install`, or run `imgrenew set 0` on the router first\n"
        "result: ok\n";
    struct {
        const char *desc;
        int rc;
        bool noted;
    } cases[] = {{"router.desc", 0, false}, {"both.desc", 0, true}, {"modem.desc", 0, false}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.desc);
        std::vector<uint8_t> pkg;
        imgpack_desc desc;
        std::string err;
        auto text_in = get_file(d / c.desc);
        ASSERT_EQ(imgpack_parse_description(std::string(text_in.begin(), text_in.end()), d.path, &desc, &err), 0)
            << err;
        ASSERT_EQ(imgpack_build_bytes(desc, &pkg, &err, nullptr), 0) << err;
        int rc = -5;
        std::string text = inspect_text(pkg, &rc);
        EXPECT_EQ(rc, c.rc) << text;
        EXPECT_EQ(text.find(note) != std::string::npos, c.noted) << text;
        EXPECT_EQ(text.find("warning"), std::string::npos) << text;
    }
}
