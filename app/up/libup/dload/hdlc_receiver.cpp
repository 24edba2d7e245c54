// Flag hunting, unstuffing and check-sequence test of received frames.
#include "hdlc_receiver.h"

#include "hdlc_crc16.h"
#include "hdlc_frame.h"

void hdlc_rcv_start(hdlc_rcv_type *rcv, uint8_t *buf, uint32_t buf_size)
{
    rcv->state = HDLC_HUNT_FOR_FLAG;
    rcv->len = 0;
    rcv->crc = CRC_16_L_SEED;
    rcv->escaped = false;
    rcv->buf = buf;
    rcv->buf_size = buf_size < HDLC_RCV_MAX ? buf_size : HDLC_RCV_MAX;
}

int hdlc_reply_code(const uint8_t *buf, uint32_t len)
{
    if (len == 3 && buf[0] == 0x02)
        return ACK;
    if (len == 5 && buf[0] == 0x03)
        return buf[1] * 256 + buf[2];
    return FATAL_ERROR;
}

namespace {

int gather(hdlc_rcv_type *rcv, uint8_t byte)
{
    if (rcv->escaped) {
        rcv->escaped = false;
        if (byte == HDLC_FLAG) {
            // An escape straight before a flag aborts the frame; the flag
            // may already open the next one.
            rcv->state = HDLC_GOT_FLAG;
            return NAK_INVALID_FCS;
        }
        byte = (uint8_t)(byte ^ HDLC_ESC_MASK);
    } else if (byte == HDLC_FLAG) {
        if (rcv->len < 3) {
            rcv->state = HDLC_HUNT_FOR_FLAG;
            return NAK_EARLY_END;
        }
        if (rcv->crc != CRC_16_L_OK) {
            rcv->state = HDLC_HUNT_FOR_FLAG;
            return NAK_INVALID_FCS;
        }
        rcv->state = HDLC_PACKET_RCVD;
        return hdlc_reply_code(rcv->buf, rcv->len);
    } else if (byte == HDLC_ESC) {
        rcv->escaped = true;
        return HDLC_RCV_MORE;
    }
    if (rcv->len >= rcv->buf_size) {
        rcv->state = HDLC_HUNT_FOR_FLAG;
        return NAK_TOO_LARGE;
    }
    rcv->buf[rcv->len++] = byte;
    rcv->crc = crc_16_l_step(rcv->crc, byte);
    return HDLC_RCV_MORE;
}

} // namespace

int hdlc_rcv_byte(hdlc_rcv_type *rcv, uint8_t byte)
{
    switch (rcv->state) {
    case HDLC_HUNT_FOR_FLAG:
        if (byte == HDLC_FLAG)
            rcv->state = HDLC_GOT_FLAG;
        return HDLC_RCV_MORE;
    case HDLC_GOT_FLAG:
        if (byte == HDLC_FLAG)
            return HDLC_RCV_MORE;       // flags may repeat between frames
        rcv->len = 0;
        rcv->crc = CRC_16_L_SEED;
        rcv->escaped = false;
        rcv->state = HDLC_GATHER;
        return gather(rcv, byte);
    case HDLC_GATHER:
        return gather(rcv, byte);
    default:
        rcv->state = HDLC_HUNT_FOR_FLAG;
        return HDLC_RCV_MORE;
    }
}
