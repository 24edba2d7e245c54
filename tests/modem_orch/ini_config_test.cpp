// The INI reader, its value filter and the modem configuration built from it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "ini_reader.h"
#include "modem_config.h"
#include "scratch_dir.h"

namespace {

struct ini_file {
    scratch_dir dir;
    std::string path = dir / "modem_cof.ini";
    explicit ini_file(const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
    // The value, or "<-1>".
    std::string read(const char *zone, const char *key, size_t size = 512) const
    {
        std::string buf(size, '\0');
        int rc = read_ini_config(path.c_str(), zone, key, &buf[0], size);
        return rc == 0 ? std::string(buf.c_str()) : "<-1>";
    }
};

// Reads a whole INI into freshly cleared records. Its result.
int configure(const std::string &text)
{
    memset(&file_info, 0, sizeof file_info);
    memset(&efs_config, 0, sizeof efs_config);
    ini_file f(text);
    return get_file_info_config(f.path.c_str());
}

const std::string PORTS = "[serial_ports]\ndiagnose=/dev/ttyUSB0\nat=/dev/ttyUSB2\n";

} // namespace

TEST(IniReader, FilterKeepsLettersDigitsAndFiveSignsUpTo127)
{
    auto trimmed = [](std::string s) {
        s.resize(s.size() + 1);
        int rc = trim_str(&s[0]);
        return std::to_string(rc) + ":" + s.c_str();
    };
    EXPECT_EQ(trimmed(" /dev/ttyUSB0\r\n"), "0:/dev/ttyUSB0");
    EXPECT_EQ(trimmed(" M-1.2 "), "0:M1.2");
    EXPECT_EQ(trimmed("\"a:b\"\t=c_d,e/f"), "0:ab=c_d,e/f");
    EXPECT_EQ(trimmed(std::string(127, 'a') + "  "), "0:" + std::string(127, 'a'));
    EXPECT_EQ(trimmed(std::string(130, 'b')), "-1:" + std::string(127, 'b'));
}

TEST(IniReader, FindsTheZoneLineThenTheFirstLaterLineNamingTheKey)
{
    ini_file f("About=1\nmodem_version=wrong\n[About]\nmodem_version = M-1.2 \r\n"
               "[serial_ports]\ndiagnose = /dev/ttyUSB0\r\nat=x=y\nefs_include=1\n"
               "# " + std::string(253, 'x') + "tail_key=tail\n");
    // "About=1" has no bracket: no zone line.
    EXPECT_EQ(f.read("About", "modem_version"), "M1.2");
    EXPECT_EQ(f.read("serial_ports", "diagnose"), "/dev/ttyUSB0");
    EXPECT_EQ(f.read("serial_ports", "at"), "x=y");
    // Absent from its zone, taken from a later one.
    EXPECT_EQ(f.read("About", "efs_include"), "1");
    // A line longer than 255 characters is read as several lines.
    EXPECT_EQ(f.read("About", "tail_key"), "tail");
}

TEST(IniReader, MissingFileZoneKeyOrEqualsAndOverlongValuesGiveMinusOne)
{
    char buf[16] = "untouched";
    EXPECT_EQ(read_ini_config("/nonexistent/modem_cof.ini", "About", "x", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "untouched");
    ini_file f("[About]\nmodem_version ZMR\nlong=" + std::string(200, 'v') + "\nshort=abcdef\n");
    EXPECT_EQ(f.read("Band", "GSMBand"), "<-1>");
    EXPECT_EQ(f.read("About", "efs_include"), "<-1>");
    EXPECT_EQ(f.read("About", "modem_version"), "<-1>");   // no "="
    EXPECT_EQ(f.read("About", "long"), "<-1>");
    EXPECT_EQ(f.read("About", "short", 6), "<-1>");
    EXPECT_EQ(f.read("About", "short", 7), "abcdef");
}

TEST(ModemConfig, ReadsVersionPortsAndDefaults)
{
    ASSERT_EQ(configure("[About]\nmodem_version = ZMR_V2.0 \r\nefs_include=0\n" + PORTS), 0);
    EXPECT_STREQ(file_info.InnerVersion, "ZMR_V2.0");
    EXPECT_STREQ(file_info.diagnose_inface, "/dev/ttyUSB0");
    EXPECT_STREQ(file_info.at_inface, "/dev/ttyUSB2");
    EXPECT_EQ(file_info.efs_enabled, 0);
    EXPECT_EQ(file_info.efs_restore, 0);
    EXPECT_EQ(file_info.version_check, 1);
    EXPECT_EQ(file_info.befs, 0);

    // A missing required key stops the reading; what came before is kept.
    EXPECT_EQ(configure("[About]\nmodem_version=V9\nefs_include=1\n[serial_ports]\nat=/dev/ttyUSB2\n"), -1);
    EXPECT_STREQ(file_info.InnerVersion, "V9");
    EXPECT_EQ(file_info.efs_enabled, 1);
    EXPECT_STREQ(file_info.at_inface, "");
    EXPECT_EQ(configure("[About]\nversion_check=1\n"), -1);
    EXPECT_EQ(file_info.version_check, 0) << "nothing after the missing version is read";
}

TEST(ModemConfig, EfsKindIsAlwaysChosenForAnImageWithEfs)
{
    struct {
        const char *about;
        int befs;
    } cases[] = {
        {"efs_include=1\nbEFS=0\nbAppEFS=1\n", 0}, {"efs_include=1\nbEFS=0\nbAppEFS=0\n", 1},
        {"efs_include=1\nbEFS=0\n", 1},            {"efs_include=1\nbEFS=1\nbAppEFS=1\n", 1},
        {"efs_include=0\nbEFS=0\nbAppEFS=0\n", 0}, {"efs_include=0\nbEFS=7\n", 7},
    };
    for (auto &c : cases) {
        configure(std::string("[About]\nmodem_version=V\n") + c.about + PORTS);
        EXPECT_EQ(file_info.befs, c.befs) << c.about;
    }
}

TEST(ModemConfig, IdentityFlagsAndBandsWheneverNvIsPreserved)
{
    const std::string identity = "[BackupRestore_AT]\nSN=1\nIMEI=1\nTESTINF=0\nSIMLOCK=1,ABC\n"
                                 "[Band]\nGSMBand=0x0f\nUMTSBand=ff00\nLTEBand=80000001\n";
    ASSERT_EQ(configure("[About]\nmodem_version=V\nefs_include=0\nefs_restore=1\n" + PORTS + identity), 0);
    EXPECT_EQ(efs_config.SN, 1u);
    EXPECT_EQ(efs_config.TESTINF, 0u);
    EXPECT_EQ(efs_config.SIMLOCK, 1u);
    EXPECT_STREQ(efs_config.strSIMLOCKList, "ABC");
    EXPECT_EQ(efs_config.GSMBand, 0x0fu);
    EXPECT_EQ(efs_config.UMTSBand, 0xff00u);
    EXPECT_EQ(efs_config.LTEBand, 0x80000001u);

    // efs_include 1 preserves the NV items: the identity zones are read.
    efs_config = efs_h_cfg{};
    ASSERT_EQ(configure("[About]\nmodem_version=V\nefs_include=1\n" + PORTS + identity), 0);
    EXPECT_EQ(efs_config.SN, 1u) << "efs_include alone did not read the identity zones";
    EXPECT_EQ(efs_config.IMEI, 1u);
    EXPECT_EQ(efs_config.LTEBand, 0x80000001u);
    // Neither: nothing is read.
    efs_config = efs_h_cfg{};
    ASSERT_EQ(configure("[About]\nmodem_version=V\nefs_include=0\nefs_restore=0\n" + PORTS + identity), 0);
    EXPECT_EQ(efs_config.SN, 0u);
    EXPECT_EQ(efs_config.GSMBand, 0u);

    // A lone SIMLOCK value means no lock; a missing key leaves only its own
    // item out: the keys after it are still read.
    EXPECT_EQ(configure("[About]\nmodem_version=V\nefs_include=0\nefs_restore=1\n" + PORTS +
                        "[BackupRestore_AT]\nIMEI=1\nTESTINF=1\nSIMLOCK=1\n[Band]\nGSMBand=1\nLTEBand=3\n"),
              -1);
    EXPECT_EQ(efs_config.SN, 0u);
    EXPECT_EQ(efs_config.IMEI, 1u);
    EXPECT_EQ(efs_config.TESTINF, 1u);
    EXPECT_EQ(efs_config.SIMLOCK, 0u);
    EXPECT_STREQ(efs_config.strSIMLOCKList, "");
    EXPECT_EQ(efs_config.GSMBand, 1u);
    EXPECT_EQ(efs_config.UMTSBand, 0u);
    EXPECT_EQ(efs_config.LTEBand, 3u);
}
