// Outgoing frame construction and the decoding of one received frame.
#include "hdlc_frame.h"

#include <cstring>

#include "hdlc_crc16.h"
#include "hdlc_response.h"
#include "kq_log.h"

namespace {

// Room kept free behind the stored bytes: the last plain byte may land at
// index 8185, leaving space for the check sequence and the closing flag.
constexpr uint32_t PKT_LAST_INDEX = HDLC_PKT_BUF_SIZE - 1;

bool needs_escape(uint8_t b) { return b == HDLC_FLAG || b == HDLC_ESC; }

} // namespace

void pkt_buffer_start(pkt_buffer_type *pkt)
{
    pkt->length = 0;
    pkt->broken = false;
    pkt->crc = CRC_16_L_SEED;
}

void add_byte_to_packet(pkt_buffer_type *pkt, uint8_t val)
{
    if (pkt->broken) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]already broken.\n\n");
        return;
    }
    if (needs_escape(val)) {
        if (pkt->length + 7 <= PKT_LAST_INDEX) {
            pkt->buf[pkt->length++] = HDLC_ESC;
            pkt->buf[pkt->length++] = (uint8_t)(val ^ HDLC_ESC_MASK);
            pkt->crc = crc_16_l_step(pkt->crc, val);
        } else {
            pkt->broken = true;
        }
        return;
    }
    if (pkt->length + 6 <= PKT_LAST_INDEX) {
        pkt->buf[pkt->length++] = val;
        pkt->crc = crc_16_l_step(pkt->crc, val);
    } else
        pkt->broken = true;
}

void finish_building_packet(pkt_buffer_type *pkt)
{
    if (pkt->broken) {
        // The frame is marked unusable by putting the modem's own
        // invalid-length answer where the frame would start.
        memcpy(pkt->buf, rsp_nak_invalid_len, sizeof rsp_nak_invalid_len);
        return;
    }
    // The check value runs along as bytes are added, so a 1 KiB stream
    // block is not walked a second time here.
    uint16_t crc = (uint16_t)~pkt->crc;
    add_byte_to_packet(pkt, (uint8_t)(crc & 0xFF));
    add_byte_to_packet(pkt, (uint8_t)(crc >> 8));
    // add_byte_to_packet leaves at least one free byte behind a fitting byte,
    // so the flag always lands inside buf.
    pkt->buf[pkt->length] = HDLC_FLAG;
}

int hdlc_build_packet(pkt_buffer_type *pkt, const uint8_t *payload, size_t len)
{
    pkt_buffer_start(pkt);
    for (size_t i = 0; i < len && !pkt->broken; i++)
        add_byte_to_packet(pkt, payload[i]);
    finish_building_packet(pkt);
    return pkt->broken ? -1 : 0;
}

ssize_t hdlc_packet_wire(const pkt_buffer_type *pkt, bool leading_flag, uint8_t *out,
                         size_t out_size)
{
    if (pkt->broken || pkt->length >= HDLC_PKT_BUF_SIZE)
        return -1;
    size_t need = (size_t)pkt->length + 1 + (leading_flag ? 1 : 0);
    if (need > out_size)
        return -1;
    size_t n = 0;
    if (leading_flag)
        out[n++] = HDLC_FLAG;
    memcpy(out + n, pkt->buf, (size_t)pkt->length + 1);
    return (ssize_t)need;
}

ssize_t hdlc_frame_payload(const uint8_t *payload, size_t len, bool leading_flag, uint8_t *out,
                           size_t out_size)
{
    size_t n = 0;
    auto put = [&](uint8_t b) -> bool {
        if (needs_escape(b)) {
            if (n + 2 > out_size)
                return false;
            out[n++] = HDLC_ESC;
            out[n++] = (uint8_t)(b ^ HDLC_ESC_MASK);
            return true;
        }
        if (n + 1 > out_size)
            return false;
        out[n++] = b;
        return true;
    };
    if (leading_flag) {
        if (out_size < 1)
            return -1;
        out[n++] = HDLC_FLAG;
    }
    // The check value runs along with the stuffing, in one pass. When out
    // has room for the worst case (every byte escaped, then the check bytes
    // and the flag), the per-byte room test is left out: this loop frames
    // every 1 KiB block of a modem image.
    uint16_t run = CRC_16_L_SEED;
    if (len <= (out_size - n - 5) / 2 && out_size - n >= 5) {
        uint8_t *o = out + n;       // a plain pointer: n is shared with put
        for (size_t i = 0; i < len; i++) {
            uint8_t b = payload[i];
            run = crc_16_l_step(run, b);
            if (needs_escape(b)) {
                *o++ = HDLC_ESC;
                *o++ = (uint8_t)(b ^ HDLC_ESC_MASK);
            } else {
                *o++ = b;
            }
        }
        n = (size_t)(o - out);
    } else {
        for (size_t i = 0; i < len; i++) {
            run = crc_16_l_step(run, payload[i]);
            if (!put(payload[i]))
                return -1;
        }
    }
    uint16_t crc = (uint16_t)~run;
    if (!put((uint8_t)(crc & 0xFF)) || !put((uint8_t)(crc >> 8)) || n + 1 > out_size)
        return -1;
    out[n++] = HDLC_FLAG;
    return (ssize_t)n;
}

int hdlc_unframe(const uint8_t *in, size_t len, uint8_t *payload, size_t payload_size,
                 size_t *payload_len)
{
    *payload_len = 0;
    size_t begin = 0;
    size_t end = len;
    while (begin < end && in[begin] == HDLC_FLAG)
        begin++;
    while (end > begin && in[end - 1] == HDLC_FLAG)
        end--;

    uint8_t check[2] = {0, 0};
    size_t count = 0;                    // unstuffed bytes, check bytes included
    uint16_t crc = CRC_16_L_SEED;
    auto keep = [&](uint8_t b) -> bool {
        crc = crc_16_l_step(crc, b);
        // Hold back the last two bytes: they are the check sequence.
        if (count >= 2) {
            if (count - 2 >= payload_size)
                return false;
            payload[count - 2] = check[0];
        }
        check[0] = check[1];
        check[1] = b;
        count++;
        return true;
    };
    size_t used = 0;
    switch (hdlc_unstuff(in + begin, end - begin, HDLC_ESC_ANY, keep, &used)) {
    case HDLC_UNSTUFF_END:
        break;
    case HDLC_UNSTUFF_REFUSED:
        return NAK_TOO_LARGE;
    case HDLC_UNSTUFF_FLAG:              // a second frame or a torn one
    case HDLC_UNSTUFF_DANGLING:          // escape with nothing behind it
        return NAK_INVALID_FCS;
    }
    if (count < 3)
        return NAK_EARLY_END;
    if (crc != CRC_16_L_OK)
        return NAK_INVALID_FCS;
    *payload_len = count - 2;
    return ACK;
}
