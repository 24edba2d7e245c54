// Layouts of the NV and RF-NV requests and the checks of their answers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nv_diag_packets.h"
#include "nv_diag_receive.h"

namespace {

using bytes = std::vector<uint8_t>;

// The unstuffed payload of a finished packet (check bytes dropped).
bytes payload_of(const pkt_buffer_type &pkt)
{
    std::vector<uint8_t> wire(2 * HDLC_PKT_BUF_SIZE);
    ssize_t n = hdlc_packet_wire(&pkt, false, wire.data(), wire.size());
    EXPECT_GT(n, 0);
    bytes out;
    for (ssize_t i = 0; i < n - 1; i++) {   // last byte is the closing flag
        uint8_t b = wire[(size_t)i];
        if (b == 0x7D)
            b = (uint8_t)(wire[(size_t)++i] ^ 0x20);
        out.push_back(b);
    }
    out.resize(out.size() - 2);
    return out;
}

// Runs bytes through the answer receiver; the result of the last byte.
int receive(const bytes &in, std::vector<uint8_t> &buf)
{
    buf.assign(NV_ANSWER_BUF_SIZE, 0);
    nv_rcv_type rcv;
    nv_rcv_start(&rcv, buf.data());
    int rc = NV_RCV_MORE;
    for (uint8_t b : in) {
        rc = nv_rcv_byte(&rcv, b);
        if (rc != NV_RCV_MORE)
            break;
    }
    return rc;
}

} // namespace

TEST(NvPackets, ReadAndWriteRequestLayouts)
{
    pkt_buffer_type pkt;
    nv_build_read_request(&pkt, 0x1A2B);
    bytes p = payload_of(pkt);
    ASSERT_EQ(p.size(), 133u);
    EXPECT_EQ(p[0], 0x26);
    EXPECT_EQ(p[1], 0x2B);
    EXPECT_EQ(p[2], 0x1A);
    for (size_t i = 3; i < 131; i++)
        ASSERT_EQ(p[i], 0) << i;
    EXPECT_EQ(p[131], 0xCC);
    EXPECT_EQ(p[132], 0xCC);

    uint8_t record[130];
    for (int i = 0; i < 130; i++)
        record[i] = (uint8_t)(i + 1);
    nv_build_write_request(&pkt, record);
    p = payload_of(pkt);
    ASSERT_EQ(p.size(), 133u);
    EXPECT_EQ(p[0], 0x27);
    EXPECT_EQ(0, memcmp(&p[1], record, 130));
    EXPECT_EQ(p[131], 0);
    EXPECT_EQ(p[132], 0);
}

TEST(NvPackets, RfNvAndModeSwitchLayouts)
{
    pkt_buffer_type pkt;
    rfnv_build_read_request(&pkt, 20207);
    EXPECT_EQ(payload_of(pkt), (bytes{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, 0xEF, 0x4E}));

    const uint8_t data[] = {0xAA, 0xBB, 0xCC};
    ASSERT_EQ(rfnv_build_write_request(&pkt, 21242, data, 3), 0);
    EXPECT_EQ(payload_of(pkt), (bytes{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0, 0, 0x0E, 0x00, 0xFA,
                                      0x52, 0x03, 0x00, 0xAA, 0xBB, 0xCC}));
    std::vector<uint8_t> big(513, 1);
    EXPECT_EQ(rfnv_build_write_request(&pkt, 1, big.data(), 513), -1);

    ftm_build_switch_request(&pkt);
    EXPECT_EQ(payload_of(pkt), (bytes{0x4B, 0x04, 0x0E, 0x00}));
}

TEST(NvPackets, ReadAnswerGivesExactlyOneRecord)
{
    // 133-byte answer and two check bytes: 135 stored bytes.
    bytes ans(135, 0);
    ans[0] = 38;
    ans[1] = 0x34;
    ans[2] = 0x12;
    for (int i = 3; i < 131; i++)
        ans[(size_t)i] = (uint8_t)i;
    uint8_t rec[130];
    ASSERT_TRUE(nv_read_answer_record(ans.data(), 135, rec));
    EXPECT_EQ(rec[0], 0x34);
    EXPECT_EQ(rec[1], 0x12);
    EXPECT_EQ(rec[2], 3);
    EXPECT_EQ(rec[129], 130);

    ans[131] = 5;   // item not set
    EXPECT_FALSE(nv_read_answer_record(ans.data(), 135, rec));
    ans[131] = 0;
    // A short answer would misalign every later record of the backup file.
    EXPECT_FALSE(nv_read_answer_record(ans.data(), 121, rec));
    ans[0] = 19;
    EXPECT_FALSE(nv_read_answer_record(ans.data(), 135, rec));
}

TEST(NvPackets, WriteAnswerMustNameTheItemAndReportSuccess)
{
    bytes ans(135, 0);
    ans[0] = 39;
    ans[1] = 0x10;
    ans[2] = 0x00;
    EXPECT_TRUE(nv_write_answer_confirms(ans.data(), 135, 0x0010));
    EXPECT_FALSE(nv_write_answer_confirms(ans.data(), 135, 0x0011));
    ans[131] = 1;
    EXPECT_FALSE(nv_write_answer_confirms(ans.data(), 135, 0x0010));
}

TEST(NvPackets, RfNvAnswers)
{
    // 75, fields, status 0, item 20207, length 2, data, two check bytes.
    bytes ans{0x4B, 0x0B, 0x24, 0x00, 0x5C, 0x02, 0, 0, 0x90, 0x00, 0, 0, 0xEF, 0x4E, 0x02, 0x00, 0x55, 0x66, 0xAA, 0xBB};
    const uint8_t *rec = nullptr;
    size_t len = 0;
    ASSERT_TRUE(rfnv_read_answer_record(ans.data(), (int)ans.size(), &rec, &len));
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(bytes(rec, rec + len), (bytes{0xEF, 0x4E, 0x02, 0x00, 0x55, 0x66}));
    ans[10] = 1;    // status 1
    EXPECT_FALSE(rfnv_read_answer_record(ans.data(), (int)ans.size(), &rec, &len));
    ans[10] = 0;
    ans[14] = 0x40; // a length reaching past the answer
    EXPECT_FALSE(rfnv_read_answer_record(ans.data(), (int)ans.size(), &rec, &len));

    bytes wr{0x4B, 0x0B, 0x24, 0x00, 0x5D, 0x02, 0, 0, 0x0E, 0x00, 0x02, 0x00, 0xFA, 0x52, 0x11, 0x22};
    EXPECT_TRUE(rfnv_write_answer_confirms(wr.data(), (int)wr.size(), 21242));
    EXPECT_FALSE(rfnv_write_answer_confirms(wr.data(), (int)wr.size(), 21239));
    EXPECT_FALSE(rfnv_write_answer_confirms(wr.data(), 13, 21242));
}

TEST(NvPackets, NetworkOrderHelpers)
{
    const uint8_t in[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(Get32fromBuf(in), 0x12345678u);
    EXPECT_EQ(Get16fromBuf(in), 0x1234u);
    uint8_t out[4] = {};
    Send16toBuf(out, 0x1234);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    Send32toBuf(out, 0xA1B2C3D4u);
    EXPECT_EQ(bytes(out, out + 4), (bytes{0xA1, 0xB2, 0xC3, 0xD4}));
}

TEST(NvReceiver, AnswersWithAndWithoutOpeningFlag)
{
    std::vector<uint8_t> buf;
    // Mode-switch answer 4B 04 0E 00 with its check bytes, as the modem
    // frames it.
    pkt_buffer_type pkt;
    ftm_build_switch_request(&pkt);
    std::vector<uint8_t> wire(64);
    ssize_t n = hdlc_packet_wire(&pkt, true, wire.data(), wire.size());
    wire.resize((size_t)n);
    EXPECT_EQ(receive(wire, buf), 6);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 4), (bytes{0x4B, 0x04, 0x0E, 0x00}));
    bytes no_flag(wire.begin() + 1, wire.end());
    bytes doubled(2 + no_flag.size(), 0x7E);
    std::copy(no_flag.begin(), no_flag.end(), doubled.begin() + 2);
    EXPECT_EQ(receive(no_flag, buf), 6);
    EXPECT_EQ(receive(doubled, buf), 6);

    bytes bad = wire;
    bad[2] ^= 0x01;
    EXPECT_EQ(receive(bad, buf), 1);            // wrong check sequence
    EXPECT_EQ(receive(bytes{0x7E, 0x4B, 0x04, 0x7E}, buf), 4);   // too short

    // Reserved bytes inside the answer arrive escaped and are stored plain.
    const uint8_t with_reserved[] = {0x26, 0x7E, 0x7D, 0x01};
    std::vector<uint8_t> framed(64);
    n = hdlc_frame_payload(with_reserved, sizeof with_reserved, false, framed.data(), framed.size());
    framed.resize((size_t)n);
    EXPECT_EQ(receive(framed, buf), 6);
    EXPECT_EQ(bytes(buf.begin(), buf.begin() + 4), (bytes{0x26, 0x7E, 0x7D, 0x01}));

    bytes endless(5000, 0x11);
    EXPECT_EQ(receive(endless, buf), 5);        // never closed: too large
}
