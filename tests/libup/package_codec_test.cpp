#include <cstring>
#include <gtest/gtest.h>

#include "up_package.h"

TEST(PackageCodec, HeadFieldsAreLittleEndianAtTheirOffsets)
{
    package_signature_t h{0x11223344u, 0x55667788u, 3u, 2u, 0xCAFEBABEu, -5, 1u};
    uint8_t raw[PACKAGE_HEAD_SIZE];
    encode_package_head(&h, raw);
    const uint8_t want[PACKAGE_HEAD_SIZE] = {
        0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 3, 0, 0, 0, 2, 0, 0, 0,
        0xBE, 0xBA, 0xFE, 0xCA, 0xFB, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
    EXPECT_EQ(memcmp(raw, want, sizeof want), 0);
    package_signature_t back{};
    decode_package_head(raw, &back);
    EXPECT_EQ(memcmp(&back, &h, sizeof h), 0);
    EXPECT_EQ(back.packlen, -5);
}

TEST(PackageCodec, RecordRoundTripKeepsAFullNameField)
{
    package_record_t r{};
    r.record_offset = 0x1C + 84;
    r.record_length = 0x01020304;
    r.compressed = 1;
    r.record_id = PACKAGE_MODEM_IMAGE;
    r.component_version = 0xFFFFFFFFu;
    memset(r.record_name, 'n', sizeof r.record_name);   // 64 characters, no NUL
    uint8_t raw[PACKAGE_RECORD_SIZE];
    encode_package_record(&r, raw);
    EXPECT_EQ(raw[4], 0x04);
    EXPECT_EQ(raw[7], 0x01);
    EXPECT_EQ(raw[12], PACKAGE_MODEM_IMAGE);
    EXPECT_EQ(raw[20], 'n');
    EXPECT_EQ(raw[83], 'n');
    package_record_t back{};
    decode_package_record(raw, &back);
    EXPECT_EQ(memcmp(&back, &r, sizeof r), 0);
}
