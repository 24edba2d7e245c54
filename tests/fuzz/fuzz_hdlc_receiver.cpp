// Fuzz target: the HDLC receive state machine of the answer receivers, fed
// the input as a byte stream the way the receivers read the port (a fresh
// receiver after each outcome, as each request starts one). Every frame the
// machine accepts must also be accepted by the one-piece unframer, with the
// same bytes. The input is then framed as a payload, and the receiver must
// give that payload back intact.
#include <cstring>

#include "fuzz_check.h"
#include "hdlc_crc16.h"
#include "hdlc_frame.h"
#include "hdlc_receiver.h"

namespace {

// Receive buffers: the receivers' own size and a small one, so the
// overlong-frame path is reached with short inputs too. Static arrays of
// exactly these sizes: the address sanitizer guards their ends, and no
// allocation is paid per run.
uint8_t g_rcv_buf[HDLC_RCV_MAX];
uint8_t g_small_buf[16];
// The round trip frames at most this much of the input: every byte value and
// escape already occurs in it.
constexpr size_t k_round_trip_max = 512;
uint8_t g_payload[HDLC_RCV_MAX];
uint8_t g_wire[2 * HDLC_RCV_MAX + 2];
uint8_t g_wire2[2 * HDLC_RCV_MAX + 2];
pkt_buffer_type g_pkt;

void feed_stream(const uint8_t *data, size_t size, uint8_t *buf, uint32_t buf_size)
{
    hdlc_rcv_type rcv;
    hdlc_rcv_start(&rcv, buf, buf_size);
    size_t frame_start = 0;     // index of the flag that opened the current frame
    for (size_t i = 0; i < size; i++) {
        if (rcv.state != HDLC_GATHER && data[i] == HDLC_FLAG)
            frame_start = i;
        int rc = hdlc_rcv_byte(&rcv, data[i]);
        FUZZ_CHECK(rcv.len <= buf_size && rcv.len <= HDLC_RCV_MAX);
        if (rc == HDLC_RCV_MORE)
            continue;
        if (hdlc_rcv_complete(&rcv)) {
            FUZZ_CHECK(rcv.len >= 3);
            FUZZ_CHECK(rc == hdlc_reply_code(buf, rcv.len));
            FUZZ_CHECK(crc_16_l_update(CRC_16_L_SEED, buf, rcv.len) == CRC_16_L_OK);
            // The same frame taken apart in one piece.
            size_t payload_len = 0;
            int un = hdlc_unframe(data + frame_start, i + 1 - frame_start, g_payload,
                                  rcv.len - 2, &payload_len);
            FUZZ_CHECK(un == ACK);
            FUZZ_CHECK(payload_len + 2 == rcv.len);
            FUZZ_CHECK(memcmp(g_payload, buf, payload_len) == 0);
        } else {
            FUZZ_CHECK(rc == NAK_EARLY_END || rc == NAK_INVALID_FCS || rc == NAK_TOO_LARGE);
        }
        hdlc_rcv_start(&rcv, buf, buf_size);
        // An aborted frame's flag may open the next one.
        if (data[i] == HDLC_FLAG) {
            hdlc_rcv_byte(&rcv, data[i]);
            frame_start = i;
        }
    }
}

// Frames the input as a payload and receives it back.
void round_trip(const uint8_t *data, size_t size)
{
    if (size + 2 > HDLC_RCV_MAX)
        size = HDLC_RCV_MAX - 2;
    // Room for a payload whose every byte is stuffed, with both flags.
    size_t wire_size = 2 * (size + 2) + 2;
    ssize_t n = hdlc_frame_payload(data, size, true, g_wire, wire_size);
    FUZZ_CHECK(n > 0);
    hdlc_rcv_type rcv;
    hdlc_rcv_start(&rcv, g_rcv_buf, sizeof g_rcv_buf);
    int rc = HDLC_RCV_MORE;
    ssize_t i = 0;
    while (i < n && rc == HDLC_RCV_MORE)
        rc = hdlc_rcv_byte(&rcv, g_wire[(size_t)i++]);
    if (size == 0) {
        // An empty payload leaves only the two check bytes: too short.
        FUZZ_CHECK(rc == NAK_EARLY_END);
        return;
    }
    FUZZ_CHECK(i == n && hdlc_rcv_complete(&rcv));
    FUZZ_CHECK(rcv.len == size + 2 && memcmp(g_rcv_buf, data, size) == 0);

    // The packet builder produces the same wire bytes as the one-step framer,
    // as long as the payload fits in a packet.
    if (hdlc_build_packet(&g_pkt, data, size) == 0) {
        ssize_t n2 = hdlc_packet_wire(&g_pkt, true, g_wire2, wire_size);
        FUZZ_CHECK(n2 == n && memcmp(g_wire, g_wire2, (size_t)n) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Odd-sized inputs go to the small buffer: one pass per run keeps the
    // runs fast, and the mutations change the size often enough.
    if (size % 2 == 0)
        feed_stream(data, size, g_rcv_buf, sizeof g_rcv_buf);
    else
        feed_stream(data, size, g_small_buf, sizeof g_small_buf);
    round_trip(data, size < k_round_trip_max ? size : k_round_trip_max);
    return 0;
}
