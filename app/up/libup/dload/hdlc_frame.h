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

// Takes one received frame apart: in holds the frame with or without its
// flags. Unstuffs it into payload (check bytes removed) and reports ACK when
// the check sequence is right, NAK_EARLY_END for fewer than 3 bytes,
// NAK_INVALID_FCS for a wrong check sequence or a dangling escape, and
// NAK_TOO_LARGE when the unstuffed frame would not fit in payload_size + 2.
int hdlc_unframe(const uint8_t *in, size_t len, uint8_t *payload, size_t payload_size,
                 size_t *payload_len);
