// The answer receivers' state machine, fed from byte strings.
#include <gtest/gtest.h>

#include <vector>

#include "dload_commands.h"
#include "hdlc_frame.h"
#include "hdlc_receiver.h"
#include "stream_reply.h"
#include "frame_cases.h"

namespace {


struct feed_result {
    int rc;
    size_t consumed;
    bool complete;
    bytes stored;
};

feed_result feed(const bytes &in, uint32_t buf_size = HDLC_RCV_MAX)
{
    std::vector<uint8_t> buf(buf_size, 0);
    hdlc_rcv_type rcv;
    hdlc_rcv_start(&rcv, buf.data(), buf_size);
    int rc = HDLC_RCV_MORE;
    size_t i = 0;
    while (i < in.size() && rc == HDLC_RCV_MORE)
        rc = hdlc_rcv_byte(&rcv, in[i++]);
    return {rc, i, hdlc_rcv_complete(&rcv), bytes(buf.begin(), buf.begin() + rcv.len)};
}

bytes framed(const bytes &payload)
{
    uint8_t out[HDLC_PKT_BUF_SIZE * 2 + 4];
    ssize_t n = hdlc_frame_payload(payload.data(), payload.size(), true, out, sizeof out);
    return bytes(out, out + (n > 0 ? n : 0));
}

} // namespace

TEST(HdlcReceiver, ReportsTheOutcomeOfTheFirstFrame)
{
    const frame_case cases[] = {
        {"ack after repeated flags", {0x7E, 0x7E, 0x02, 0x6A, 0xD3, 0x7E}, ACK, true},
        {"garbage before the flag", {0x00, 0x55, 0x7E, 0x02, 0x6A, 0xD3, 0x7E}, ACK, true},
        {"invalid command nak", {0x7E, 0x03, 0x00, 0x06, 0x9E, 0x4C, 0x7E}, NAK_INVALID_CMD, true},
        {"nak with stuffed check", {0x7E, 0x03, 0x00, 0x05, 0x05, 0x7D, 0x5E, 0x7E}, NAK_TOO_LARGE, true},
        {"one bit wrong", {0x7E, 0x02, 0x6A, 0xD4, 0x7E}, NAK_INVALID_FCS, false},
        {"early end", {0x7E, 0x02, 0x7E}, NAK_EARLY_END, false},
        {"escape before the flag", {0x7E, 0x02, 0x6A, 0x7D, 0x7E}, NAK_INVALID_FCS, false},
        {"no frame at all", {0x02, 0x6A, 0xD3}, HDLC_RCV_MORE, false},
        {"open frame", {0x7E, 0x02, 0x6A, 0xD3}, HDLC_RCV_MORE, false},
    };
    for (const auto &c : cases) {
        feed_result r = feed(c.in);
        EXPECT_EQ(r.rc, c.rc) << c.name;
        EXPECT_EQ(r.complete, c.complete) << c.name;
    }
}

TEST(HdlcReceiver, ClassifiesIntactFramesByTheirPayload)
{
    struct {
        bytes payload;
        int rc;
    } cases[] = {
        {{0x02}, ACK},
        {{0x16}, FATAL_ERROR},                 // the close answer
        {{0x1C, 0x00}, FATAL_ERROR},           // the open answer
        {{0x03, 0x01, 0x00}, 256},             // NAK codes pass through unchanged
        {{0x03, 0x00, 0x07}, NAK_FAILED},
        {{0x02, 0x00}, FATAL_ERROR},           // acknowledgement of the wrong length
        {{0x03, 0x00, 0x06, 0x00}, FATAL_ERROR},
        {{0x7E, 0x7D}, FATAL_ERROR},           // stuffed payload bytes
    };
    for (const auto &c : cases) {
        feed_result r = feed(framed(c.payload));
        EXPECT_EQ(r.rc, c.rc);
        ASSERT_EQ(r.stored.size(), c.payload.size() + 2);
        EXPECT_EQ(bytes(r.stored.begin(), r.stored.begin() + c.payload.size()), c.payload);
    }
}

TEST(HdlcReceiver, StopsAtTheFirstByteThatDoesNotFit)
{
    struct {
        size_t payload_len;
        uint32_t buf_size;
        int rc;
    } cases[] = {
        {4094, HDLC_RCV_MAX, FATAL_ERROR},      // 4096 stored with the check bytes
        {4095, HDLC_RCV_MAX, NAK_TOO_LARGE},
        {20, 16, NAK_TOO_LARGE},                // a caller's smaller buffer is respected
        {14, 16, FATAL_ERROR},
        {5000, 1u << 20, NAK_TOO_LARGE},        // never more than HDLC_RCV_MAX
    };
    for (const auto &c : cases) {
        bytes payload(c.payload_len, 0x55);
        feed_result r = feed(framed(payload), c.buf_size);
        EXPECT_EQ(r.rc, c.rc) << c.payload_len;
        EXPECT_LE(r.stored.size(), std::min<size_t>(c.buf_size, HDLC_RCV_MAX));
    }
}

TEST(HdlcReceiver, LeavesBytesBehindTheClosingFlagUnread)
{
    bytes in = {0x7E, 0x02, 0x6A, 0xD3, 0x7E, 0x7E, 0x03};
    feed_result r = feed(in);
    EXPECT_EQ(r.rc, ACK);
    EXPECT_EQ(r.consumed, 5u);
}

TEST(StreamReply, AcceptsOnlyTheReplyForTheWrittenAddress)
{
    const bytes reply_400 = framed({0x08, 0x00, 0x04, 0x00, 0x00});
    const bytes reply_7e00 = framed({0x08, 0x00, 0x7E, 0x00, 0x00});
    struct {
        const char *name;
        bytes rx;
        uint32_t addr;
        bool loose;
        int rc;
    } cases[] = {
        {"address 0x400", reply_400, 0x400, false, 0},
        {"same reply for 0x800", reply_400, 0x800, false, -1},
        {"stuffed address byte", reply_7e00, 0x7E00, false, 0},
        {"garbage before the frame", [&] { bytes b = {0x11, 0x22}; b.insert(b.end(), reply_400.begin(), reply_400.end()); return b; }(), 0x400, false, 0},
        {"no flag", {0x08, 0x00, 0x04, 0x00, 0x00}, 0x400, false, -1},
        {"a nak", framed({0x03, 0x00, 0x06}), 0x400, false, -1},
        {"empty read", {}, 0, false, -1},
        {"loose takes any low byte 0", reply_400, 0, true, 0},
        {"loose refuses low byte not 0", framed({0x08, 0x01, 0x04, 0x00, 0x00}), 0, true, -1},
    };
    for (const auto &c : cases) {
        uint8_t out[16] = {};
        long num = -1;
        EXPECT_EQ(stream_reply_check(c.rx.data(), c.rx.size(), c.addr, c.loose, out, &num), c.rc)
            << c.name;
        if (c.rc == 0) {
            EXPECT_EQ(out[0], 0x7E) << c.name;
            EXPECT_EQ(out[1], 0x08) << c.name;
        }
    }
}

TEST(StreamReply, ReadsNoFurtherThanItsBuffer)
{
    bytes rx(64, 0x41);
    rx[0] = 0x7E;
    uint8_t out[16];
    long num = 0;
    EXPECT_EQ(stream_reply_check(rx.data(), rx.size(), 0, false, out, &num), -1);
    EXPECT_EQ(num, (long)STREAM_REPLY_RX_SIZE);
    EXPECT_FALSE(stream_reply_complete(rx.data(), rx.size()));
    const bytes ok = framed({0x08, 0, 0, 0, 0});
    EXPECT_TRUE(stream_reply_complete(ok.data(), ok.size()));
    EXPECT_FALSE(stream_reply_complete(ok.data(), ok.size() - 1));
    const bytes two_flags = {0x7E, 0x7E};
    EXPECT_FALSE(stream_reply_complete(two_flags.data(), two_flags.size()));
}

TEST(ReplyTests, ParameterAndOpenRepliesAreJudgedByTheirOwnBytes)
{
    uint8_t preq_ok[11] = {0x08, 0x01, 0x01, 0x40, 0x00, 0xAA, 0xBB, 0xCC, 0x12, 0x34, 0x7E};
    uint8_t preq_bad[11] = {0x08, 0x01, 0x01, 0x04, 0x00, 0xAA, 0xBB, 0xCC, 0x12, 0x34, 0x7E};
    EXPECT_TRUE(preq_reply_ok(preq_ok));
    EXPECT_FALSE(preq_reply_ok(preq_bad));

    uint8_t open_ok[4] = {0x1C, 0x00};
    uint8_t open_status[4] = {0x1C, 0x01};
    uint8_t nak[5] = {0x03, 0x00, 0x06};
    uint8_t nothing[4] = {};
    EXPECT_TRUE(open_reply_ok(open_ok, true));
    EXPECT_TRUE(open_reply_ok(open_status, true));
    // A NAK, silence or a torn frame is not an opened image.
    EXPECT_FALSE(open_reply_ok(nak, true));
    EXPECT_FALSE(open_reply_ok(nothing, false));
    EXPECT_FALSE(open_reply_ok(open_ok, false));
}
