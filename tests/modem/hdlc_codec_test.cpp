// Frame building, CRC-16 and frame decoding against the protocol's vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hdlc_crc16.h"
#include "hdlc_frame.h"
#include "hdlc_response.h"
#include "frame_cases.h"

namespace {


bytes frame(const bytes &payload, bool leading = true)
{
    static pkt_buffer_type pkt;
    EXPECT_EQ(hdlc_build_packet(&pkt, payload.data(), payload.size()), 0);
    uint8_t out[HDLC_PKT_BUF_SIZE + 1];
    ssize_t n = hdlc_packet_wire(&pkt, leading, out, sizeof out);
    EXPECT_GT(n, 0);
    return bytes(out, out + (n > 0 ? n : 0));
}

bytes frame_direct(const bytes &payload, bool leading = true)
{
    uint8_t out[HDLC_PKT_BUF_SIZE];
    ssize_t n = hdlc_frame_payload(payload.data(), payload.size(), leading, out, sizeof out);
    EXPECT_GT(n, 0);
    return bytes(out, out + (n > 0 ? n : 0));
}

} // namespace

TEST(Crc16, CheckValueAndTable)
{
    const char *digits = "123456789";
    EXPECT_EQ(crc_16_l_calc((const uint8_t *)digits, 9), 0x906E);
    EXPECT_EQ(crc_16_l_table[0], 0x0000);
    EXPECT_EQ(crc_16_l_table[1], 0x1189);
    EXPECT_EQ(crc_16_l_table[255], 0x0F78);
    EXPECT_EQ(crc_16_l_calc(nullptr, 0), 0x0000);
}

TEST(Crc16, PayloadWithItsCheckBytesGivesTheGoodConstant)
{
    const bytes payloads[] = {{0x06}, {0x02}, {0x03, 0x00, 0x05}, {0x7E, 0x7D, 0x00, 0xFF}};
    for (const auto &p : payloads) {
        uint16_t fcs = crc_16_l_calc(p.data(), p.size());
        bytes all = p;
        all.push_back((uint8_t)fcs);
        all.push_back((uint8_t)(fcs >> 8));
        EXPECT_EQ(crc_16_l_update(CRC_16_L_SEED, all.data(), all.size()), CRC_16_L_OK);
    }
}

TEST(HdlcFrame, FramesStuffReservedBytesAndAppendCrc)
{
    struct {
        bytes payload, wire;
    } cases[] = {
        {{0x06}, {0x7E, 0x06, 0x4E, 0x95, 0x7E}},                                  // NOP
        {{0x03, 0x00, 0x05}, {0x7E, 0x03, 0x00, 0x05, 0x05, 0x7D, 0x5E, 0x7E}},    // FCS 0x7E05
        {{}, {0x7E, 0x00, 0x00, 0x7E}},                                            // empty
        {{0x3A}, {0x7E, 0x3A, 0xA1, 0x6E, 0x7E}},                                  // mode switch
        {{0x02}, {0x7E, 0x02, 0x6A, 0xD3, 0x7E}},                                  // ACK
        {{0x03, 0x00, 0x06}, {0x7E, 0x03, 0x00, 0x06, 0x9E, 0x4C, 0x7E}},
        {{0x29, 0x01, 0x00}, {0x7E, 0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}},          // offline
    };
    for (const auto &c : cases) {
        EXPECT_EQ(frame(c.payload), c.wire);
        EXPECT_EQ(frame_direct(c.payload), c.wire);
        bytes no_flag(c.wire.begin() + 1, c.wire.end());
        EXPECT_EQ(frame(c.payload, false), no_flag);
    }
}

TEST(HdlcFrame, EscapedPayloadByteCountsOnceForTheCrc)
{
    bytes wire = frame({0x7D});
    uint16_t fcs = crc_16_l_calc((const uint8_t *)"\x7D", 1);
    ASSERT_GE(wire.size(), 4u);
    EXPECT_EQ(wire[1], 0x7D);
    EXPECT_EQ(wire[2], 0x5D);
    EXPECT_EQ(wire, frame_direct({0x7D}));
    size_t n = 0;
    uint8_t payload[8];
    EXPECT_EQ(hdlc_unframe(wire.data(), wire.size(), payload, sizeof payload, &n), ACK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(payload[0], 0x7D);
    (void)fcs;
}

TEST(HdlcFrame, CannedNakFramesCarryTheirOwnCheckSequence)
{
    struct {
        const uint8_t *frame;
        size_t len;
        int code;
    } cases[] = {
        {rsp_nak_invalid_fcs, sizeof rsp_nak_invalid_fcs, NAK_INVALID_FCS},
        {rsp_nak_invalid_dest, sizeof rsp_nak_invalid_dest, NAK_INVALID_DEST},
        {rsp_nak_invalid_len, sizeof rsp_nak_invalid_len, NAK_INVALID_LEN},
        {rsp_nak_early_end, sizeof rsp_nak_early_end, NAK_EARLY_END},
        {rsp_nak_too_large, sizeof rsp_nak_too_large, NAK_TOO_LARGE},
        {rsp_nak_invalid_cmd, sizeof rsp_nak_invalid_cmd, NAK_INVALID_CMD},
        {rsp_nak_failed, sizeof rsp_nak_failed, NAK_FAILED},
        {rsp_nak_wrong_iid, sizeof rsp_nak_wrong_iid, NAK_WRONG_IID},
        {rsp_nak_bad_vpp, sizeof rsp_nak_bad_vpp, NAK_BAD_VPP},
        // The modem's verify-failed frame carries 10, one below the code
        // that the receivers' list gives that name.
        {rsp_nak_verify_failed, sizeof rsp_nak_verify_failed, NAK_VERIFY_FAILED - 1},
    };
    for (const auto &c : cases) {
        uint8_t payload[3] = {0x03, 0x00, (uint8_t)c.code};
        bytes wire = frame_direct(bytes(payload, payload + 3), false);
        EXPECT_EQ(wire, bytes(c.frame, c.frame + c.len)) << "code " << c.code;
    }
    EXPECT_EQ(frame_direct({0x02}, false), bytes(rsp_ack, rsp_ack + sizeof rsp_ack));
}

TEST(HdlcFrame, FillingUpToTheLimitBreaksThePacketAtTheRightLength)
{
    struct {
        uint32_t length;
        uint8_t byte;
        bool broken;
        uint32_t new_length;
    } cases[] = {
        {8184, 0x7E, false, 8186},  // escaped pair still fits at 8184
        {8185, 0x00, false, 8186},  // plain byte still fits at 8185
        {8185, 0x7D, true, 8185},   // escaped pair no longer fits
        {8186, 0x00, true, 8186},   // nothing fits any more
    };
    for (const auto &c : cases) {
        static pkt_buffer_type pkt;
        pkt_buffer_start(&pkt);
        pkt.length = c.length;
        add_byte_to_packet(&pkt, c.byte);
        EXPECT_EQ(pkt.broken, c.broken) << c.length;
        EXPECT_EQ(pkt.length, c.new_length) << c.length;
        // A broken packet takes nothing more and never reaches the wire.
        if (pkt.broken) {
            add_byte_to_packet(&pkt, 0x00);
            EXPECT_EQ(pkt.length, c.new_length);
            finish_building_packet(&pkt);
            EXPECT_EQ(memcmp(pkt.buf, rsp_nak_invalid_len, sizeof rsp_nak_invalid_len), 0);
            uint8_t out[HDLC_PKT_BUF_SIZE + 2];
            EXPECT_EQ(hdlc_packet_wire(&pkt, true, out, sizeof out), -1);
        }
    }
}

TEST(HdlcFrame, LargestPacketOfReservedBytesNeverOverrunsTheBuffer)
{
    static pkt_buffer_type pkt;
    static uint8_t payload[HDLC_PKT_BUF_SIZE];
    memset(payload, 0x7E, sizeof payload);
    for (size_t len : {4090u, 4091u, 4092u, 5000u, 8192u}) {
        int rc = hdlc_build_packet(&pkt, payload, len);
        EXPECT_LT(pkt.length, HDLC_PKT_BUF_SIZE);
        // Whether 4092 fits depends on the stuffing of its check bytes.
        if (len != 4092) {
            EXPECT_EQ(rc, len <= 4091 ? 0 : -1) << len;
        }
    }
}

TEST(HdlcFrame, WireCopyRefusesTooSmallBuffers)
{
    static pkt_buffer_type pkt;
    uint8_t p[1] = {0x06};
    ASSERT_EQ(hdlc_build_packet(&pkt, p, 1), 0);
    uint8_t out[5];
    EXPECT_EQ(hdlc_packet_wire(&pkt, true, out, 4), -1);
    EXPECT_EQ(hdlc_packet_wire(&pkt, true, out, 5), 5);
    EXPECT_EQ(hdlc_packet_wire(&pkt, false, out, 4), 4);
    EXPECT_EQ(hdlc_frame_payload(p, 1, true, out, 4), -1);
    uint8_t reserved[1] = {0x7E};
    EXPECT_EQ(hdlc_frame_payload(reserved, 1, false, out, 2), -1);
}

TEST(HdlcUnframe, DecodesAndRejectsFrames)
{
    struct {
        bytes in;
        int rc;
        bytes payload;
    } cases[] = {
        {{0x7E, 0x7E, 0x02, 0x6A, 0xD3, 0x7E}, ACK, {0x02}},
        {{0x02, 0x6A, 0xD3}, ACK, {0x02}},
        {{0x7E, 0x03, 0x00, 0x05, 0x05, 0x7D, 0x5E, 0x7E}, ACK, {0x03, 0x00, 0x05}},
        {{0x7E, 0x02, 0x6A, 0xD4, 0x7E}, NAK_INVALID_FCS, {}},
        {{0x7E, 0x02, 0x7E}, NAK_EARLY_END, {}},
        {{0x7E, 0x7E}, NAK_EARLY_END, {}},
        {{0x7E, 0x02, 0x6A, 0x7D, 0x7E}, NAK_INVALID_FCS, {}},    // dangling escape
        {{0x7E, 0x02, 0x7E, 0x6A, 0xD3, 0x7E}, NAK_INVALID_FCS, {}},  // flag inside
    };
    for (const auto &c : cases) {
        uint8_t payload[16];
        size_t n = 99;
        EXPECT_EQ(hdlc_unframe(c.in.data(), c.in.size(), payload, sizeof payload, &n), c.rc);
        if (c.rc == ACK) {
            EXPECT_EQ(bytes(payload, payload + n), c.payload);
        } else {
            EXPECT_EQ(n, 0u);
        }
    }
}

TEST(HdlcUnframe, PayloadLongerThanTheCallerBufferIsTooLarge)
{
    bytes payload(100, 0x55);
    bytes wire = frame_direct(payload);
    uint8_t out[99];
    size_t n = 0;
    EXPECT_EQ(hdlc_unframe(wire.data(), wire.size(), out, sizeof out, &n), NAK_TOO_LARGE);
    uint8_t big[100];
    EXPECT_EQ(hdlc_unframe(wire.data(), wire.size(), big, sizeof big, &n), ACK);
    EXPECT_EQ(n, 100u);
}
