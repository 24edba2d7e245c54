// Reading answers from the diagnostic port, one byte per read for framed
// answers and in one piece for stream-write replies.
#include "dload_receive.h"

#include <array>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "hdlc_receiver.h"
#include "kq_log.h"
#include "serial_port.h"
#include "stream_reply.h"

namespace {

// A modem that streams bytes without ever closing a frame would otherwise
// keep a receiver reading forever: two largest stuffed frames is plenty.
constexpr uint32_t RCV_READ_LIMIT = 2 * HDLC_RCV_MAX + 64;
// The GO answer is short; the boot loader may also send nothing at all.
constexpr int GO_READ_LIMIT = 300;
constexpr int ADDR_CHECK_TRIES = 2;
constexpr uint32_t ADDR_CHECK_PAUSE_MS = 500;
// The byte limits alone do not bound the time: each read may wait 10.5 s,
// so a modem trickling one byte every 10 s would hold a receiver for a day.
// No answer takes longer than this from the first read to its closing flag.
constexpr uint64_t RCV_TIME_LIMIT_MS = 30000;

uint64_t now_ms(void)
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}

// True once a receiver that started at start has used up its time.
bool out_of_time(uint64_t start)
{
    return now_ms() - start >= RCV_TIME_LIMIT_MS;
}

int rcv_frame(int fd_diagnose, uint8_t *buf, bool logged, bool *complete)
{
    hdlc_rcv_type rcv;
    hdlc_rcv_start(&rcv, buf, DLOAD_RSP_BUF_SIZE);
    if (complete)
        *complete = false;
    int rc = HDLC_RCV_MORE;
    const uint64_t start = now_ms();
    for (uint32_t reads = 0; rc == HDLC_RCV_MORE; reads++) {
        uint8_t byte = 0;
        // A read that delivered nothing is not data: the modem went silent
        // or vanished, and no byte may be made up for it.
        if (reads >= RCV_READ_LIMIT || out_of_time(start) || ReadComPort(fd_diagnose, &byte, 1) != 1) {
            rc = NAK_FAILED;
            break;
        }
        if (logged) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read from port %02hhx\n\n", byte);
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]current state =%d\n\n", rcv.state);
        }
        rc = hdlc_rcv_byte(&rcv, byte);
        if (logged)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]current length is =%d\n\n", (int)rcv.len);
    }
    if (logged)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]current buf[0] %02hhx\n\n", buf[0]);
    if (complete)
        *complete = hdlc_rcv_complete(&rcv);
    return rc;
}

int addr_check(int fd_diagnose, uint8_t *buf, uint32_t write_addr, bool loose)
{
    for (int attempt = 0; attempt < ADDR_CHECK_TRIES; attempt++) {
        std::array<uint8_t, STREAM_REPLY_RX_SIZE> rx{};
        size_t got = 0;
        const uint64_t start = now_ms();
        // The reply normally comes in one read; a port that splits it is
        // read on until the closing flag or the buffer is full.
        while (got < rx.size() && !out_of_time(start)) {
            int n = ReadComPort(fd_diagnose, rx.data() + got, (uint32_t)(rx.size() - got));
            if (n <= 0)
                break;
            got += (size_t)n;
            if (stream_reply_complete(rx.data(), got))
                break;
        }
        long num = 0;
        if (stream_reply_check(rx.data(), got, write_addr, loose, buf, &num) == 0)
            return 0;
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]read ttyUSB0 ack failed,the return value is:NumRxBytes=%ld\n",
               num);
        cprintf_hex_force(rx.data(), (uint32_t)got);
        Sleep(ADDR_CHECK_PAUSE_MS);
    }
    return -1;
}

} // namespace

int rcv_ack_packet(int fd_diagnose, uint8_t *buf, bool *complete)
{
    return rcv_frame(fd_diagnose, buf, false, complete);
}

int rcv_ack_packet_for_timeout(int fd_diagnose, uint8_t *buf, bool *complete)
{
    return rcv_frame(fd_diagnose, buf, true, complete);
}

int rcv_ack_packet_go_cmd(int fd_diagnose, uint8_t *buf)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rcv_ack_packet_go_cmd\n\n");
    hdlc_rcv_type rcv;
    hdlc_rcv_start(&rcv, buf, DLOAD_RSP_BUF_SIZE);
    int rc = 0;
    const uint64_t start = now_ms();
    for (int reads = 0;; reads++) {
        if (reads >= GO_READ_LIMIT || out_of_time(start)) {
            rc = 0;
            break;
        }
        uint8_t byte = 0;
        int n = rcv.escaped ? ReadComPort(fd_diagnose, &byte, 1)
                            : ReadComPort1(fd_diagnose, &byte, 1);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]received %d bytes \n\n", n);
        if (n != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rcv_ack_packet_go_cmd read ack failed\n \n");
            rc = 0;
            break;
        }
        rc = hdlc_rcv_byte(&rcv, byte);
        if (rc != HDLC_RCV_MORE)
            break;
    }
    // The port is always closed here, also at the read limit, so the caller
    // never has to guess whether the descriptor is still its own.
    close(fd_diagnose);
    return rc;
}

int rcv_ack_packet_addr_check(int fd_diagnose, uint8_t *buf, uint32_t write_addr)
{
    return addr_check(fd_diagnose, buf, write_addr, false);
}

int rcv_ack_packet_new(int fd_diagnose, uint8_t *buf)
{
    return addr_check(fd_diagnose, buf, 0, true);
}
