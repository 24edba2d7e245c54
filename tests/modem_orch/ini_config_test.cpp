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

    // -1, or 0 with the value.
    int read(const char *zone, const char *key, std::string *value, size_t size = 512) const
    {
        std::string buf(size, '\0');
        int rc = read_ini_config(path.c_str(), zone, key, &buf[0], size);
        *value = buf.c_str();
        return rc;
    }
};

std::string trimmed(std::string s)
{
    s.resize(s.size() + 1);
    trim_str(&s[0]);
    return s.c_str();
}

void reset_config()
{
    memset(&file_info, 0, sizeof file_info);
    memset(&efs_config, 0, sizeof efs_config);
}

const char *const BASE_INI = "[About]\r\n"
                             "modem_version = ZMR_V2.0 \r\n"
                             "efs_include=0\r\n"
                             "[serial_ports]\r\n"
                             "diagnose = /dev/ttyUSB0\r\n"
                             "at = /dev/ttyUSB2\r\n";

} // namespace

TEST(TrimStr, KeepsOnlyLettersDigitsAndFiveSigns)
{
    EXPECT_EQ(trimmed(" /dev/ttyUSB0\r\n"), "/dev/ttyUSB0");
    EXPECT_EQ(trimmed(" M-1.2 "), "M1.2");
    EXPECT_EQ(trimmed("\"a:b\"\t=c_d,e/f"), "ab=c_d,e/f");
    EXPECT_EQ(trimmed(""), "");
}

TEST(TrimStr, RefusesMoreThan127KeptCharactersAndNeverWritesPastThem)
{
    std::string exact(127, 'a');
    EXPECT_EQ(trim_str(&exact[0]), 0);
    EXPECT_EQ(exact.size(), 127u);
    // 130 kept characters among blanks: cut to the first 127, reported.
    std::string text = std::string(130, 'b') + "   ";
    EXPECT_EQ(trim_str(&text[0]), -1);
    EXPECT_EQ(strlen(text.c_str()), 127u);
}

TEST(ReadIniConfig, FindsZoneLinesOnlyWithABracket)
{
    // "About=1" has no bracket: it is no zone line, so the key before [About]
    // is not taken.
    ini_file f("About=1\nmodem_version=wrong\n[About]\nmodem_version=right\n");
    std::string v;
    ASSERT_EQ(f.read("About", "modem_version", &v), 0);
    EXPECT_EQ(v, "right");
}

TEST(ReadIniConfig, ValueIsFilteredTextAfterTheFirstEquals)
{
    ini_file f("[serial_ports]\ndiagnose = /dev/ttyUSB0\r\nat=x=y\n");
    std::string v;
    ASSERT_EQ(f.read("serial_ports", "diagnose", &v), 0);
    EXPECT_EQ(v, "/dev/ttyUSB0");
    ASSERT_EQ(f.read("serial_ports", "at", &v), 0);
    EXPECT_EQ(v, "x=y");
}

TEST(ReadIniConfig, KeyMissingFromItsZoneIsTakenFromALaterZone)
{
    ini_file f("[About]\nmodem_version=1\n[Band]\nefs_include=1\n");
    std::string v;
    ASSERT_EQ(f.read("About", "efs_include", &v), 0);
    EXPECT_EQ(v, "1");
}

TEST(ReadIniConfig, MissingFileZoneKeyOrEqualsGiveMinusOne)
{
    char buf[16] = "untouched";
    EXPECT_EQ(read_ini_config("/nonexistent/modem_cof.ini", "About", "x", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "untouched");
    std::string v;
    ini_file f("[About]\nmodem_version ZMR\n");
    EXPECT_EQ(f.read("Band", "GSMBand", &v), -1);
    EXPECT_EQ(f.read("About", "efs_include", &v), -1);
    EXPECT_EQ(f.read("About", "modem_version", &v), -1);   // no "="
}

TEST(ReadIniConfig, LongLinesAreReadAsSeveralLines)
{
    // A 300-character line: its tail (from byte 255 on) is a line of its own,
    // in which the key is found.
    std::string line = "# " + std::string(253, 'x') + "key=tail\n";
    ini_file f("[Z]\n" + line);
    std::string v;
    ASSERT_EQ(f.read("Z", "key", &v), 0);
    EXPECT_EQ(v, "tail");
}

TEST(ReadIniConfig, OverlongValueOrTooSmallDestinationIsRefused)
{
    ini_file f("[Z]\nlong=" + std::string(200, 'v') + "\nshort=abcdef\n");
    std::string v;
    EXPECT_EQ(f.read("Z", "long", &v), -1);
    EXPECT_EQ(f.read("Z", "short", &v, 6), -1);
    ASSERT_EQ(f.read("Z", "short", &v, 7), 0);
    EXPECT_EQ(v, "abcdef");
}

TEST(ModemConfig, ReadsVersionPortsAndDefaults)
{
    reset_config();
    ini_file f(BASE_INI);
    ASSERT_EQ(get_file_info_config(f.path.c_str()), 0);
    EXPECT_STREQ(file_info.InnerVersion, "ZMR_V2.0");
    EXPECT_STREQ(file_info.diagnose_inface, "/dev/ttyUSB0");
    EXPECT_STREQ(file_info.at_inface, "/dev/ttyUSB2");
    EXPECT_EQ(file_info.efs_enabled, 0);
    EXPECT_EQ(file_info.efs_restore, 0);
    EXPECT_EQ(file_info.version_check, 1);
    EXPECT_EQ(file_info.befs, 0);
}

TEST(ModemConfig, EfsKindIsAlwaysChosenForAnImageWithEfs)
{
    struct {
        const char *about;
        int befs;
    } cases[] = {
        {"efs_include=1\nbEFS=0\nbAppEFS=1\n", 0},
        {"efs_include=1\nbEFS=0\nbAppEFS=0\n", 1},
        {"efs_include=1\nbEFS=0\n", 1},
        {"efs_include=1\n", 1},
        {"efs_include=1\nbEFS=1\nbAppEFS=1\n", 1},
        {"efs_include=0\nbEFS=0\nbAppEFS=0\n", 0},
        {"efs_include=0\nbEFS=7\n", 7},
    };
    for (auto &c : cases) {
        reset_config();
        ini_file f(std::string("[About]\nmodem_version=V\n") + c.about +
                   "[serial_ports]\ndiagnose=/dev/ttyUSB0\nat=/dev/ttyUSB2\n");
        get_file_info_config(f.path.c_str());
        EXPECT_EQ(file_info.befs, c.befs) << c.about;
    }
}

TEST(ModemConfig, MissingRequiredKeyStopsWithTheFieldsReadSoFar)
{
    reset_config();
    ini_file f("[About]\nmodem_version=V9\nefs_include=1\n[serial_ports]\nat=/dev/ttyUSB2\n");
    EXPECT_EQ(get_file_info_config(f.path.c_str()), -1);
    EXPECT_STREQ(file_info.InnerVersion, "V9");
    EXPECT_EQ(file_info.efs_enabled, 1);
    EXPECT_STREQ(file_info.diagnose_inface, "");
    EXPECT_STREQ(file_info.at_inface, "");

    reset_config();
    ini_file g("[About]\nversion_check=0\n");
    EXPECT_EQ(get_file_info_config(g.path.c_str()), -1);
    EXPECT_EQ(file_info.version_check, 0) << "nothing after the missing version is read";
}

TEST(ModemConfig, IdentityFlagsAndBandsOnlyWhenRestoreIsAsked)
{
    const std::string identity = "[BackupRestore_AT]\nSN=1\nIMEI=1\nTESTINF=0\nSIMLOCK=1,ABC\n"
                                 "[Band]\nGSMBand=0x0f\nUMTSBand=ff00\nLTEBand=80000001\n";
    reset_config();
    ini_file with(std::string(BASE_INI) + "[About]\nefs_restore=1\n" + identity);
    ASSERT_EQ(get_file_info_config(with.path.c_str()), 0);
    EXPECT_EQ(file_info.efs_restore, 1);
    EXPECT_EQ(efs_config.SN, 1u);
    EXPECT_EQ(efs_config.IMEI, 1u);
    EXPECT_EQ(efs_config.TESTINF, 0u);
    EXPECT_EQ(efs_config.SIMLOCK, 1u);
    EXPECT_STREQ(efs_config.strSIMLOCKList, "ABC");
    EXPECT_EQ(efs_config.GSMBand, 0x0fu);
    EXPECT_EQ(efs_config.UMTSBand, 0xff00u);
    EXPECT_EQ(efs_config.LTEBand, 0x80000001u);

    reset_config();
    ini_file without(std::string(BASE_INI) + identity);
    ASSERT_EQ(get_file_info_config(without.path.c_str()), 0);
    EXPECT_EQ(efs_config.SN, 0u);
    EXPECT_EQ(efs_config.GSMBand, 0u);
}

TEST(ModemConfig, SimlockWithoutCommaMeansNoLock)
{
    reset_config();
    ini_file f(std::string(BASE_INI) + "efs_restore=1\n[BackupRestore_AT]\nSN=0\nIMEI=0\n"
                                       "TESTINF=0\nSIMLOCK=1\n[Band]\nGSMBand=1\nUMTSBand=1\n");
    EXPECT_EQ(get_file_info_config(f.path.c_str()), -1) << "LTEBand is missing";
    EXPECT_EQ(efs_config.SIMLOCK, 0u);
    EXPECT_STREQ(efs_config.strSIMLOCKList, "");
    EXPECT_EQ(efs_config.UMTSBand, 1u);
}
