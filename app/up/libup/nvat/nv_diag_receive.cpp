// Byte-by-byte reception of NV and factory-test answers.
#include "nv_diag_receive.h"

#include <ctime>

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
        if (high_nv && reads == 0) {
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
    hdlc_rcv_start(rcv, buf, NV_ANSWER_BUF_SIZE);
    rcv->state = HDLC_GOT_FLAG;
}

int nv_rcv_byte(nv_rcv_type *rcv, uint8_t byte)
{
    int rc = hdlc_rcv_byte(rcv, byte);
    if (rc == HDLC_RCV_MORE)
        return NV_RCV_MORE;
    // A complete answer is judged by its caller from its bytes, so the count
    // stored is what counts here, not the download protocol's reply code.
    return hdlc_rcv_complete(rcv) ? (int)rcv->len : rc;
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
