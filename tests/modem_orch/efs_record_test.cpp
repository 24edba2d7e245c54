// The file form of the device identity record.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "efs_config.h"

TEST(EfsRecord, FileFormHasLittleEndianWordsAndTextsAtTheirOffsetsAndReadsBackTheSame)
{
    efs_h_cfg cfg{};
    cfg.SN = 1;
    cfg.SIMLOCK = 0x01020304;
    cfg.GSMBand = 0xA0B0C0D0;
    strcpy(cfg.strSN, "\"SN1\"");
    strcpy(cfg.strSIMLOCKList, "LIST");
    strcpy(cfg.strINDS, "\"D2\"");
    std::vector<uint8_t> raw(548);
    efs_cfg_encode(&cfg, raw.data());
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 8, raw.begin() + 12),
              (std::vector<uint8_t>{0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 20, raw.begin() + 24),
              (std::vector<uint8_t>{0xD0, 0xC0, 0xB0, 0xA0}));
    EXPECT_EQ(memcmp(raw.data() + 36, "\"SN1\"", 6), 0);
    EXPECT_EQ(memcmp(raw.data() + 228, "LIST", 5), 0);
    EXPECT_EQ(memcmp(raw.data() + 484, "\"D2\"", 5), 0);

    efs_h_cfg back;
    memset(&back, 0x55, sizeof back);
    efs_cfg_decode(raw.data(), &back);
    EXPECT_EQ(memcmp(&cfg, &back, sizeof cfg), 0);

    // Text fields come back terminated within their field.
    std::vector<uint8_t> full(548, 'x');
    efs_cfg_decode(full.data(), &back);
    EXPECT_EQ(strlen(back.strSN), 63u);
    EXPECT_EQ(strlen(back.strSIMLOCKList), 127u);
}
