// Frame transmission. A packet that overflowed or does not fit the transmit
// buffer is never put on the wire: half a frame or a canned NAK sent as a
// request would only confuse the modem, and the caller's reply wait then
// reports the failure.
#include "hdlc_transmit.h"

#include <array>

#include "kq_log.h"
#include "serial_port.h"

namespace {

int transmit_copy(int fd_diagnose, const pkt_buffer_type *pkt, bool leading_flag, uint8_t *out,
                  uint32_t out_size)
{
    ssize_t n = hdlc_packet_wire(pkt, leading_flag, out, out_size);
    if (n < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]packet not sent: broken or %lu bytes too large\n\n",
               (unsigned long)pkt->length);
        return 0;
    }
    return WriteToComPort(fd_diagnose, out, (uint32_t)n);
}

} // namespace

int transmit_packet(int fd_diagnose, const pkt_buffer_type *pkt)
{
    std::array<uint8_t, HDLC_TX_MAX> out;
    return transmit_copy(fd_diagnose, pkt, true, out.data(), (uint32_t)out.size());
}

int transmit_packet_no_leading_flag(int fd_diagnose, const pkt_buffer_type *pkt)
{
    if (pkt->broken || pkt->length >= HDLC_PKT_BUF_SIZE) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]packet not sent: broken or %lu bytes too large\n\n",
               (unsigned long)pkt->length);
        return 0;
    }
    return WriteToComPort(fd_diagnose, pkt->buf, pkt->length + 1);
}

int transmit_packet_at(int fd_diagnose, const pkt_buffer_type *pkt)
{
    std::array<uint8_t, HDLC_TX_AT_MAX> out;
    return transmit_copy(fd_diagnose, pkt, true, out.data(), (uint32_t)out.size());
}

int transmit_byte(int fd_diagnose, uint8_t data)
{
    return WriteToComPort(fd_diagnose, &data, 1);
}

int cprintf_packet(const pkt_buffer_type *pkt)
{
    std::array<uint8_t, HDLC_PKT_BUF_SIZE + 1> out;
    ssize_t n = hdlc_packet_wire(pkt, true, out.data(), out.size());
    if (n > 0)
        cprintf_hex_force(out.data(), (uint32_t)n);
    return 0;
}
