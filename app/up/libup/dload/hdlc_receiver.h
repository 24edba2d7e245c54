// The receive state machine of the answer receivers: fed one byte at a time
// by whoever reads the port, so it can be driven from a buffer in tests and
// from a pseudo-terminal by the virtual modem alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hdlc_response.h"

enum {
    HDLC_HUNT_FOR_FLAG = 0,
    HDLC_GOT_FLAG = 1,
    HDLC_GATHER = 2,
    HDLC_PACKET_RCVD = 3,
};

// Largest unstuffed frame (payload and check bytes) a receiver keeps.
constexpr uint32_t HDLC_RCV_MAX = 4096;

// Returned by hdlc_rcv_byte while the frame is not complete.
constexpr int HDLC_RCV_MORE = -1;

struct hdlc_rcv_type {
    int state;
    uint32_t len;           // unstuffed bytes stored in buf, check bytes included
    uint16_t crc;           // running CRC, not complemented
    bool escaped;           // the previous byte was the escape 0x7D
    uint8_t *buf;
    uint32_t buf_size;      // at most HDLC_RCV_MAX is used
};

// Starts hunting for a frame that will be stored in buf.
void hdlc_rcv_start(hdlc_rcv_type *rcv, uint8_t *buf, uint32_t buf_size);

// Feeds one received byte. HDLC_RCV_MORE while the frame goes on; otherwise
// the outcome: NAK_EARLY_END, NAK_INVALID_FCS (also for an escape directly
// before a flag), NAK_TOO_LARGE for a frame that does not fit, or for an
// intact frame (state HDLC_PACKET_RCVD) the code of hdlc_reply_code.
int hdlc_rcv_byte(hdlc_rcv_type *rcv, uint8_t byte);

// The response code of an intact unstuffed frame of len bytes (check bytes
// included): ACK for the acknowledgement, the NAK's 16-bit code, otherwise
// FATAL_ERROR.
int hdlc_reply_code(const uint8_t *buf, uint32_t len);

// True once a frame with a correct check sequence has been taken in.
inline bool hdlc_rcv_complete(const hdlc_rcv_type *rcv) { return rcv->state == HDLC_PACKET_RCVD; }
