// Building outgoing HDLC frames and taking received ones apart. Pure: no
// descriptor is touched, so the virtual modem frames with the same code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr uint8_t HDLC_FLAG = 0x7E;
constexpr uint8_t HDLC_ESC = 0x7D;
constexpr uint8_t HDLC_ESC_MASK = 0x20;
constexpr uint32_t HDLC_PKT_BUF_SIZE = 8192;

// A frame under construction: stuffed payload and check sequence; after
// finishing, buf[length] holds the closing flag (not counted in length).
struct pkt_buffer_type {
    uint32_t length;
    bool broken;                       // a byte did not fit: unusable
    uint16_t crc;                      // running check value of the stored payload
    uint8_t buf[HDLC_PKT_BUF_SIZE];
};

void pkt_buffer_start(pkt_buffer_type *pkt);
void add_byte_to_packet(pkt_buffer_type *pkt, uint8_t val);
void finish_building_packet(pkt_buffer_type *pkt);

// Starts pkt, appends len payload bytes and finishes it. 0, or -1 when the
// payload did not fit (pkt is then broken).
int hdlc_build_packet(pkt_buffer_type *pkt, const uint8_t *payload, size_t len);

// The wire bytes of a finished packet (optional opening flag, body, closing
// flag) into out. Bytes stored, or -1 when the packet is broken or the
// frame does not fit in out_size.
ssize_t hdlc_packet_wire(const pkt_buffer_type *pkt, bool leading_flag, uint8_t *out,
                         size_t out_size);

// Frames len payload bytes straight into out (stuffed payload, check
// sequence, closing flag; opening flag when leading_flag). Bytes stored, or
// -1 when the frame does not fit in out_size.
ssize_t hdlc_frame_payload(const uint8_t *payload, size_t len, bool leading_flag, uint8_t *out,
                           size_t out_size);

// How the byte behind an escape (0x7D) is read.
enum hdlc_escape_rule {
    // Any byte behind an escape stands for itself xor 0x20; an escape with
    // nothing behind it spoils the frame.
    HDLC_ESC_ANY,
    // Only 0x5E and 0x5D are read as escaped; an escape before anything
    // else, or at the end of the bytes, stands for itself.
    HDLC_ESC_KNOWN,
};

// How hdlc_unstuff stopped.
enum hdlc_unstuff_end {
    HDLC_UNSTUFF_FLAG,          // at an unescaped flag (*used is its index)
    HDLC_UNSTUFF_END,           // all len bytes taken
    HDLC_UNSTUFF_DANGLING,      // HDLC_ESC_ANY: the last byte is an escape
    HDLC_UNSTUFF_REFUSED,       // emit refused a byte (*used is its index)
};

// The one unstuffer of byte spans: unstuffs in[0..len) up to the first
// unescaped flag, handing each plain byte to emit (a callable taking a
// uint8_t and returning false to stop). *used receives the index where it
// stopped. The receive state machine (hdlc_receiver.h) is the byte-at-a-time
// form for bytes read off the port.
template <typename Emit>
hdlc_unstuff_end hdlc_unstuff(const uint8_t *in, size_t len, hdlc_escape_rule rule, Emit &&emit,
                              size_t *used)
{
    size_t i = 0;
    hdlc_unstuff_end end = HDLC_UNSTUFF_END;
    for (; i < len; i++) {
        uint8_t b = in[i];
        if (b == HDLC_FLAG) {
            end = HDLC_UNSTUFF_FLAG;
            break;
        }
        if (b == HDLC_ESC) {
            if (rule == HDLC_ESC_ANY) {
                if (i + 1 >= len) {
                    end = HDLC_UNSTUFF_DANGLING;
                    break;
                }
                b = (uint8_t)(in[++i] ^ HDLC_ESC_MASK);
            } else if (i + 1 < len && (in[i + 1] == 0x5D || in[i + 1] == 0x5E)) {
                b = (uint8_t)(in[++i] ^ HDLC_ESC_MASK);
            }
        }
        if (!emit(b)) {
            end = HDLC_UNSTUFF_REFUSED;
            break;
        }
    }
    *used = i;
    return end;
}

// Takes one received frame apart: in holds the frame with or without its
// flags. Unstuffs it into payload (check bytes removed) and reports ACK when
// the check sequence is right, NAK_EARLY_END for fewer than 3 bytes,
// NAK_INVALID_FCS for a wrong check sequence or a dangling escape, and
// NAK_TOO_LARGE when the unstuffed frame would not fit in payload_size + 2.
int hdlc_unframe(const uint8_t *in, size_t len, uint8_t *payload, size_t payload_size,
                 size_t *payload_len);
