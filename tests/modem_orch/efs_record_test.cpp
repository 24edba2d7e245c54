// The file form of the device identity record.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "efs_config.h"
#include "scratch_dir.h"

TEST(EfsRecord, FileFormHasLittleEndianWordsAndTextsAtTheirOffsets)
{
    efs_h_cfg cfg{};
    cfg.SN = 1;
    cfg.SIMLOCK = 0x01020304;
    cfg.GSMBand = 0xA0B0C0D0;
    cfg.INDS = 9;
    strcpy(cfg.strSN, "\"SN1\"");
    strcpy(cfg.strSIMLOCKList, "LIST");
    strcpy(cfg.strINDS, "\"D2\"");
    std::vector<uint8_t> raw(548);
    efs_cfg_encode(&cfg, raw.data());
    EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 4), (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 8, raw.begin() + 12),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 20, raw.begin() + 24),
              (std::vector<uint8_t>{0xD0, 0xC0, 0xB0, 0xA0}));
    EXPECT_EQ(raw[32], 9);
    EXPECT_EQ(memcmp(raw.data() + 36, "\"SN1\"", 6), 0);
    EXPECT_EQ(memcmp(raw.data() + 228, "LIST", 5), 0);
    EXPECT_EQ(memcmp(raw.data() + 484, "\"D2\"", 5), 0);
}

TEST(EfsRecord, WrittenAndReadBackIsTheSame548Bytes)
{
    scratch_dir dir;
    efs_h_cfg cfg{};
    cfg.IMEI = 1;
    cfg.LTEBand = 0x80000001;
    strcpy(cfg.strIMEI, "\"356938035643809\"");
    strcpy(cfg.strTESTINF, "\"PASS\"");
    std::string path = dir / "nv_bak";
    {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(efs_cfg_write(fd, &cfg), 0);
        close(fd);
    }
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    efs_h_cfg back;
    memset(&back, 0x55, sizeof back);
    ASSERT_EQ(efs_cfg_read(fd, &back), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 548);
    close(fd);
    EXPECT_EQ(memcmp(&cfg, &back, sizeof cfg), 0);
}

TEST(EfsRecord, ShortFileFailsAndFullTextFieldsComeBackTerminated)
{
    std::vector<uint8_t> raw(548, 'x');
    efs_h_cfg cfg;
    efs_cfg_decode(raw.data(), &cfg);
    EXPECT_EQ(strlen(cfg.strSN), 63u);
    EXPECT_EQ(strlen(cfg.strSIMLOCKList), 127u);
    EXPECT_EQ(strlen(cfg.strINDS), 63u);

    scratch_dir dir;
    std::string path = dir / "short";
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, raw.data(), 547), 547);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(efs_cfg_read(fd, &cfg), -1);
    close(fd);
}
