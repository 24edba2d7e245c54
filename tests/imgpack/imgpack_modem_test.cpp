#include <cstring>
#include <gtest/gtest.h>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "imgpack_test_util.h"
#include "up_api.h"

namespace {

std::string text_of(const std::vector<uint8_t> &v)
{
    return std::string(v.begin(), v.end());
}

std::string inspect_container(const std::vector<uint8_t> &c, int *problems)
{
    return captured_output([&](FILE *f) { return imgpack_inspect_modem_bytes(c.data(), c.size(), "", f); },
                           problems);
}

// A container of a fixed INI, a DBL and an EFS entry from a description.
std::vector<uint8_t> small_container(scratch_dir &d, const std::string &extra)
{
    put_text(d / "modem.ini", "[About]\nmodem_version=V1\n");
    put_text(d / "dbl.mbn", "DBL!");
    put_text(d / "efs.mbn", "EFS01");
    put_text(d / "c.desc", "ini modem.ini\nimage dbl dbl.mbn\nimage efs efs.mbn\n" + extra);
    std::vector<uint8_t> out;
    std::string err;
    EXPECT_EQ(imgpack_build_modem_file(d / "c.desc", &out, &err), 0) << err;
    return out;
}

} // namespace

TEST(ImgpackModem, ContainerLayoutByteForByte)
{
    scratch_dir d;
    auto c = small_container(d, "");
    std::vector<uint8_t> want = {
        'M', 'D', 'O', 'M', 0, 0, 0, 3, 0x08, 0x73, 0x37, 0xA5, 0, 0, 0, 98,     // header, checksum LSB first
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 25,                          // entry 0: the INI
        5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4,                           // DBL
        'B', 'E', 'F', 'S', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5,                   // EFS
    };
    std::string bodies = "[About]\nmodem_version=V1\nDBL!EFS01";
    want.insert(want.end(), bodies.begin(), bodies.end());
    EXPECT_EQ(c, want);

    // The checksum convention is the one the modem step uses: a running
    // value starting at 0xFFFFFFFF ("abc" gives 0x359A672F).
    EXPECT_EQ(imgpack_modem_checksum(reinterpret_cast<const uint8_t *>("abc"), 3), 0x359A672Fu);
    int problems = -1;
    std::string text = inspect_container(c, &problems);
    EXPECT_EQ(problems, 0) << text;
    EXPECT_NE(text.find("checksum: matches (0xA5377308)"), std::string::npos) << text;
    EXPECT_NE(text.find("entry 1: type 0x05060708 (dbl), 4 bytes at 89"), std::string::npos) << text;
    EXPECT_NE(text.find("entry 2: type 0x42454653 (efs), 5 bytes at 93"), std::string::npos) << text;
    EXPECT_NE(text.find("note: no dsp1 entry"), std::string::npos) << text;
}

TEST(ImgpackModem, GeneratedIniCarriesEveryKeyAndTheIdentityFlags)
{
    scratch_dir d;
    put_text(d / "c.desc",
             "modem_version ZMR_V200_EFS02\nefs_include 1\nbEFS 0\nbAppEFS 1\nefs_restore 1\nversion_check 0\n"
             "diagnose /dev/ttyUSB3\nat /dev/ttyUSB5\nSN 1\nIMEI 0x10\nTESTINF 1\nSIMLOCK 1,ABC\n"
             "GSMBand 0x3F\nUMTSBand 255\nLTEBand 0\nomit LTEBand\n");
    std::vector<uint8_t> c;
    std::string err;
    ASSERT_EQ(imgpack_build_modem_file(d / "c.desc", &c, &err), 0) << err;
    ASSERT_EQ(c.size(), 16u + 16u + 237u);
    EXPECT_EQ(text_of(std::vector<uint8_t>(c.begin() + 32, c.end())),
              "[About]\nmodem_version=ZMR_V200_EFS02\nefs_include=1\nbEFS=0\nbAppEFS=1\nefs_restore=1\n"
              "version_check=0\n[serial_ports]\ndiagnose=/dev/ttyUSB3\nat=/dev/ttyUSB5\n"
              "[BackupRestore_AT]\nSN=1\nIMEI=10\nTESTINF=1\nSIMLOCK=1,ABC\n[Band]\nGSMBand=3f\nUMTSBand=ff\n");

    // Defaults: every key is there, so a container works with the fewest words.
    put_text(d / "min.desc", "modem_version V1\n");
    ASSERT_EQ(imgpack_build_modem_file(d / "min.desc", &c, &err), 0) << err;
    EXPECT_EQ(text_of(std::vector<uint8_t>(c.begin() + 32, c.end())),
              "[About]\nmodem_version=V1\nefs_include=0\nbEFS=1\nbAppEFS=0\nefs_restore=0\nversion_check=1\n"
              "[serial_ports]\ndiagnose=/dev/ttyUSB0\nat=/dev/ttyUSB2\n[BackupRestore_AT]\nSN=0\nIMEI=0\n"
              "TESTINF=0\nSIMLOCK=0\n[Band]\nGSMBand=0\nUMTSBand=0\nLTEBand=0\n");
}

TEST(ImgpackModem, DeliberatelyBadContainers)
{
    struct {
        const char *what;
        std::string extra;
        size_t offset;                   // a byte that shows the damage
        std::vector<uint8_t> bytes;
        int problems;
        const char *in_text;
    } cases[] = {
        {"wrong magic", "magic 0x4D444F4E\n", 0, {'M', 'D', 'O', 'N'}, 1, "magic is not MDOM"},
        {"flipped checksum byte", "flip_checksum_byte 2\n", 8, {0x08, 0x73, 0xC8, 0xA5}, 1, "checksum differs"},
        {"checksum most significant byte first", "checksum_order msb\n", 8, {0xA5, 0x37, 0x73, 0x08}, 1,
         "checksum differs"},
        {"given checksum", "checksum 0x01020304\n", 8, {4, 3, 2, 1}, 1, "checksum differs"},
        {"40 declared entries", "declare_entries 40\n", 4, {0, 0, 0, 40}, 1, "40 entries declared"},
        {"entry of unknown type", "image 0x31323334 dbl.mbn\n", 64, {0x31, 0x32, 0x33, 0x34, 0, 0, 0, 0}, 0,
         "skipped by its size"},
        {"end mark without body", "image end\n", 64, {0, 0, 0, 0}, 0, "end mark: the walk ends here"},
    };
    for (auto &c : cases) {
        scratch_dir d;
        auto bytes = small_container(d, c.extra);
        ASSERT_GE(bytes.size(), c.offset + c.bytes.size()) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + (long)c.offset, bytes.begin() + (long)(c.offset + c.bytes.size())),
                  c.bytes)
            << c.what;
        int problems = -1;
        std::string text = inspect_container(bytes, &problems);
        EXPECT_EQ(problems, c.problems) << c.what << "\n" << text;
        EXPECT_NE(text.find(c.in_text), std::string::npos) << c.what << "\n" << text;
    }
}

TEST(ImgpackModem, InspectRefusesContainersThatDoNotAddUp)
{
    scratch_dir d;
    auto good = small_container(d, "");
    struct {
        const char *what;
        size_t cut;              // bytes kept
        size_t poke_at;
        uint8_t poke;
        const char *in_text;
    } cases[] = {
        {"header cut", 15, 0, 0, "needs a 16-byte header"},
        {"container shorter than fw_h_size", 97, 0, 0, "does not fit"},
        {"entry body past fw_h_size", 98, 63, 9, "past fw_h_size"},
        {"bodies shorter than fw_h_size", 98, 63, 4, "the entries end at 97 but fw_h_size is 98"},
    };
    for (auto &c : cases) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + (long)c.cut);
        if (c.poke_at != 0)
            bytes[c.poke_at] = c.poke;
        int problems = 0;
        std::string text = inspect_container(bytes, &problems);
        EXPECT_GE(problems, 1) << c.what << "\n" << text;
        EXPECT_NE(text.find(c.in_text), std::string::npos) << c.what << "\n" << text;
    }
}

TEST(ImgpackModem, DescriptionErrorsNameTheLine)
{
    scratch_dir d;
    put_text(d / "f", "x");
    std::string sixteen = "modem_version V1\n";
    for (int i = 0; i < 15; ++i)
        sixteen += "image dbl f\n";
    struct {
        const char *what;
        std::string text;
        const char *in_error;
    } cases[] = {
        {"value the INI filter would change", "modem_version M-1.2\n", "line 1: modem_version value must be"},
        {"value with a blank", "diagnose \"/dev/tty USB0\"\n", "line 1: diagnose value"},
        {"value of 128 characters", "modem_version " + std::string(128, 'v') + "\n", "at most 127"},
        {"flag that is no number", "modem_version V\nSN yes\n", "line 2: SN needs a number"},
        {"no version", "efs_include 1\n", "modem_version is required"},
        {"sixteen entries", sixteen, "at most 15"},
        {"image without path", "modem_version V\nimage dsp1\n", "line 2: image dsp1 needs a PATH"},
        {"unknown image type word", "modem_version V\nimage dsp3 f\n", "line 2: image needs TYPE"},
        {"unknown keyword", "modem_version V\nefs_includ 1\n", "line 2: unknown keyword"},
        {"omit of no key", "omit nothing\n", "omit needs the name"},
        {"flip byte 4", "modem_version V\nflip_checksum_byte 4\n", "0 to 3"},
        {"missing image file", "modem_version V\nimage dbl nothing\n", "container line 2"},
    };
    for (auto &c : cases) {
        put_text(d / "c.desc", c.text);
        std::vector<uint8_t> out;
        std::string err;
        EXPECT_EQ(imgpack_build_modem_file(d / "c.desc", &out, &err), -1) << c.what;
        EXPECT_NE(err.find(c.in_error), std::string::npos) << c.what << ": " << err;
    }
}

TEST(ImgpackModem, PackageRecordCarriesTheContainerAndInspectChecksIt)
{
    scratch_dir d;
    std::string imgpack = std::string(UP_BIN_DIR) + "/imgpack";
    auto container = small_container(d, "");
    put_text(d / "version_info.txt", "modem=dfi_version-2\n");
    put_text(d / "p.desc", "record version version_info.txt 0 version_info.txt\nmodem qd4700_modem.bin c.desc 3\n");
    ASSERT_EQ(run_program({imgpack, "build", d / "p.bin", d / "p.desc"}, d / "o1"), 0);
    auto pkg = get_file(d / "p.bin");
    package_signature_t h{};
    decode_package_head(pkg.data(), &h);
    ASSERT_EQ(h.num_records, 2u);
    package_record_t r{};
    decode_package_record(pkg.data() + 28 + 84, &r);
    EXPECT_EQ(r.record_id, 7u);
    EXPECT_EQ(r.compressed, 0u);
    EXPECT_EQ(r.component_version, 3u);
    EXPECT_STREQ(r.record_name, "qd4700_modem.bin");
    ASSERT_EQ(r.record_length, 98u);
    EXPECT_EQ(std::vector<uint8_t>(pkg.begin() + r.record_offset, pkg.begin() + r.record_offset + 98), container);
    EXPECT_EQ(run_program({imgpack, "inspect", d / "p.bin"}, d / "o2"), 0);
    EXPECT_NE(text_of(get_file(d / "o2")).find("  entry 2: type 0x42454653 (efs)"), std::string::npos);

    // The same container on its own, then with a flipped byte inside the
    // package: inspect of the package fails on the modem record.
    ASSERT_EQ(run_program({imgpack, "modem", d / "c.bin", d / "c.desc"}, d / "o3"), 0);
    EXPECT_EQ(get_file(d / "c.bin"), container);
    EXPECT_EQ(run_program({imgpack, "inspect", d / "c.bin"}, d / "o4"), 0);
    pkg[r.record_offset + 90] ^= 1;
    put_file(d / "bad.bin", pkg);
    EXPECT_EQ(run_program({imgpack, "inspect", d / "bad.bin"}, d / "o5"), 1);
    EXPECT_NE(text_of(get_file(d / "o5")).find("checksum differs"), std::string::npos);
    put_text(d / "bad.desc", "modem_version V-1\n");
    EXPECT_EQ(run_program({imgpack, "modem", d / "c2.bin", d / "bad.desc"}, d / "o6"), 1);
    EXPECT_NE(access((d / "c2.bin").c_str(), F_OK), 0);
}

TEST(ImgpackModem, PartitionTableTheProgrammerCommandRefusesIsAWarning)
{
    scratch_dir d;
    std::string imgpack = std::string(UP_BIN_DIR) + "/imgpack";
    struct {
        size_t table;
        int rc;
    } cases[] = {{1, 0}, {511, 0}, {512, 3}, {0, 3}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.table);
        put_file(d / "part.mbn", pattern(c.table, 9));
        put_text(d / "p.desc", "modem_version V1\nimage partition part.mbn\n");
        ASSERT_EQ(run_program({imgpack, "modem", d / "p.bin", d / "p.desc"}, d / "o1"), 0);
        EXPECT_EQ(run_program({imgpack, "inspect", d / "p.bin"}, d / "o2"), c.rc);
        std::string text = text_of(get_file(d / "o2"));
        std::string warning = "warning: a partition table of " + std::to_string(c.table) +
                              " bytes: the programmer command takes 1 to 511, so every attempt fails with "
                              "\"BIN file length error\"\n";
        EXPECT_EQ(text.find(warning) != std::string::npos, c.rc == 3) << text;
        EXPECT_EQ(text.find("result: warning\n") != std::string::npos, c.rc == 3) << text;
    }
}
