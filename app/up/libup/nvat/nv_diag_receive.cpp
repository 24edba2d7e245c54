// Byte-by-byte reception of NV and factory-test answers.
#include "nv_diag_receive.h"

#include <ctime>

#include "hdlc_crc16.h"
#include "hdlc_frame.h"
#include "hdlc_receiver.h"
#include "hdlc_response.h"
#include "kq_log.h"
#include "serial_port.h"

namespace {

// A modem that trickles bytes or never closes its answer must not hold the
// tool: an answer ends after this many bytes read or this much time, which
// is one silent read's wait and some margin.
constexpr uint32_t RCV_BYTE_LIMIT = 2 * NV_ANSWER_BUF_SIZE + 64;
constexpr int RCV_TIME_LIMIT_S = 15;

int gather(nv_rcv_type *rcv, uint8_t byte)
{
    if (rcv->escaped) {
        rcv->escaped = false;
        byte = (uint8_t)(byte ^ HDLC_ESC_MASK);
    } else if (byte == HDLC_FLAG) {
        if (rcv->len < 3)
            return NAK_EARLY_END;
        if (rcv->crc != CRC_16_L_OK)
            return NAK_INVALID_FCS;
        rcv->state = HDLC_PACKET_RCVD;
        return (int)rcv->len;
    } else if (byte == HDLC_ESC) {
        rcv->escaped = true;
        return NV_RCV_MORE;
    }
    if (rcv->len > NV_ANSWER_BUF_SIZE - 1)
        return NAK_TOO_LARGE;
    rcv->buf[rcv->len++] = byte;
    rcv->crc = crc_16_l_step(rcv->crc, byte);
    return NV_RCV_MORE;
}

double seconds_since(const timespec &start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9;
}

int receive(int fd, uint8_t *buf, uint8_t flagbyte, bool high_nv)
{
    nv_rcv_type rcv;
    nv_rcv_start(&rcv, buf);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (uint32_t reads = 0; reads < RCV_BYTE_LIMIT; reads++) {
        if (seconds_since(start) > RCV_TIME_LIMIT_S)
            break;
        uint8_t byte = 0;
        // No byte is ever made up for a read that brought none.
        if (ReadComPort(fd, &byte, 1) != 1)
            break;
        if (high_nv && rcv.state == HDLC_HUNT_FOR_FLAG) {
            if (byte == flagbyte) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]receive ..\n\n");
            } else if (byte == 24) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]received unknown flag %x ..\n\n", (unsigned)byte);
                return (int)rcv.len;
            }
        }
        int rc = nv_rcv_byte(&rcv, byte);
        if (rc != NV_RCV_MORE)
            return rc;
    }
    return 0;
}

} // namespace

void nv_rcv_start(nv_rcv_type *rcv, uint8_t *buf)
{
    rcv->state = HDLC_HUNT_FOR_FLAG;
    rcv->len = 0;
    rcv->crc = CRC_16_L_SEED;
    rcv->escaped = false;
    rcv->buf = buf;
}

int nv_rcv_byte(nv_rcv_type *rcv, uint8_t byte)
{
    switch (rcv->state) {
    case HDLC_HUNT_FOR_FLAG:
    case HDLC_GOT_FLAG:
        // Flags before the answer are dropped; the first other byte opens
        // it, so an answer sent without an opening flag is taken too.
        if (byte == HDLC_FLAG) {
            rcv->state = HDLC_GOT_FLAG;
            return NV_RCV_MORE;
        }
        rcv->len = 0;
        rcv->crc = CRC_16_L_SEED;
        rcv->escaped = false;
        rcv->state = HDLC_GATHER;
        return gather(rcv, byte);
    case HDLC_GATHER:
        return gather(rcv, byte);
    default:
        return (int)rcv->len;
    }
}

int rcv_ack_packet_Backup_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte)
{
    return receive(at_fd, buf, flagbyte, false);
}

int rcv_ftm_ack_packet_Backup_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte)
{
    return receive(at_fd, buf, flagbyte, false);
}

int rcv_ack_packet_Backup_high_nv_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte)
{
    return receive(at_fd, buf, flagbyte, true);
}
