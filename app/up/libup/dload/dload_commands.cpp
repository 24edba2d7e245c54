// Command routines of the three modem stages: each builds its request,
// sends it and judges the reply, with the retries and pauses the modem's
// boot loader and flash programmer need.
#include "dload_commands.h"

#include <array>
#include <cstring>

#include "dload_receive.h"
#include "hdlc_frame.h"
#include "hdlc_transmit.h"
#include "kq_log.h"
#include "serial_port.h"
#include "up_bytes.h"
#include "up_fd.h"

// The flash programmer's fixed greeting (32 ASCII bytes, no terminator).
const uint8_t hellopacket[HELLO_PACKET_LEN] = {
    0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F, 0x77, 0x6E, 0x6C, 0x6F,
    0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F, 0x6C, 0x20, 0x68, 0x6F, 0x73, 0x74,
};

// DIAG offline request, already framed (no opening flag).
const uint8_t offline_frame[6] = {0x29, 0x01, 0x00, 0x31, 0x40, 0x7E};

namespace {

constexpr int NOP_TRIES = 3;
constexpr int SECURITY_TRIES = 50;
constexpr int OPEN_TRIES = 10;
constexpr int CLOSE_TRIES = 10;
constexpr uint32_t RETRY_PAUSE_MS = 500;
constexpr uint32_t PREQ_REPLY_LEN = 11;
constexpr int PREQ_READS = 6;

// Builds pkt from a payload; false (logged) when it cannot be framed.
bool build(pkt_buffer_type *pkt, const uint8_t *payload, size_t len)
{
    if (hdlc_build_packet(pkt, payload, len) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]request of %lu bytes does not fit a frame\n\n",
               (unsigned long)len);
        return false;
    }
    return true;
}

// Only the programmer's own answer to a request (its code + 1) counts:
// silence, a torn frame or a NAK (whose code's high byte is 0) does not.
bool answers(const uint8_t *buf, bool complete, uint8_t request)
{
    return complete && buf[0] == (uint8_t)(request + 1);
}

using receiver_fn = int (*)(int fd_diagnose, uint8_t *buf, bool *complete);

// Sends a programmer request until it is answered, at most tries times.
// 0 when answered, 1 otherwise.
int stream_request(int fd_diagnose, const uint8_t *payload, size_t len, int tries,
                   uint32_t pause_ms, receiver_fn receive)
{
    pkt_buffer_type pkt;
    if (!build(&pkt, payload, len))
        return 1;
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> rsp;
    for (int i = 0; i < tries; i++) {
        transmit_packet(fd_diagnose, &pkt);
        if (pause_ms)
            Sleep(pause_ms);
        rsp.fill(0);
        bool complete = false;
        receive(fd_diagnose, rsp.data(), &complete);
        if (answers(rsp.data(), complete, payload[0]))
            return 0;
        Sleep(RETRY_PAUSE_MS);
    }
    return 1;
}

// The image-open exchange shared by every image type.
int open_image(int fd_diagnose, uint8_t type, uint32_t pause_ms)
{
    const uint8_t payload[2] = {STREAM_OPEN, type};
    return stream_request(fd_diagnose, payload, sizeof payload, OPEN_TRIES, pause_ms,
                          rcv_ack_packet_for_timeout);
}

} // namespace

bool preq_reply_ok(const uint8_t *buf)
{
    return buf[0] == CMD_PARAMS && buf[3] == 0x40 && buf[4] == 0x00 && buf[10] == 0x7E;
}

bool open_reply_ok(const uint8_t *buf, bool complete)
{
    return answers(buf, complete, STREAM_OPEN);
}

int send_offlin_cmd(const char *diagnose_interface)
{
    unique_fd fd(OpenAndInitSerialCom(diagnose_interface, 0));
    if (!fd.ok())
        return -1;
    if (WriteToComPort(fd.get(), offline_frame, sizeof offline_frame) < (int)sizeof offline_frame) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]write to comm port failed.\n\n");
        return -1;
    }
    std::array<uint8_t, sizeof offline_frame> rsp{};
    int n = ReadComPort(fd.get(), rsp.data(), (uint32_t)rsp.size());
    if (n == (int)rsp.size() && rsp[0] == 0x29 && rsp[1] == 0x01) {
        UP_LOG(KQ_LOG_INFO, "[%s:%d]send offline command success.\n\n");
        return 0;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]write to comm port failed.\n\n");
    return -1;
}

int dload_switch_cmd(int fd_diagnose)
{
    pkt_buffer_type pkt;
    const uint8_t payload[1] = {CMD_DLOAD_SWITCH};
    if (!build(&pkt, payload, sizeof payload))
        return -1;
    transmit_packet_no_leading_flag(fd_diagnose, &pkt);
    std::array<uint8_t, 4> rsp{};
    int n = ReadComPort(fd_diagnose, rsp.data(), (uint32_t)rsp.size());
    return (n == 4 && rsp[0] == CMD_DLOAD_SWITCH && rsp[3] == 0x7E) ? 0 : -1;
}

int nop_cmd(int fd_diagnose)
{
    pkt_buffer_type pkt;
    const uint8_t payload[1] = {CMD_NOP};
    if (!build(&pkt, payload, sizeof payload))
        return -1;
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> rsp;
    for (int i = 0; i < NOP_TRIES; i++) {
        transmit_packet(fd_diagnose, &pkt);
        rsp.fill(0);
        int ret = rcv_ack_packet_for_timeout(fd_diagnose, rsp.data());
        if (ret == ACK)
            return 0;
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]ret==%ld\n", (long)ret);
        Sleep(1000);
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]nop_cmd time out exit!\n\n");
    return -1;
}

int preq_cmd_MDM8220(int fd_diagnose)
{
    pkt_buffer_type pkt;
    const uint8_t payload[1] = {CMD_PREQ};
    if (!build(&pkt, payload, sizeof payload))
        return 1;
    transmit_packet(fd_diagnose, &pkt);
    std::array<uint8_t, 400> rsp{};
    int n = 0;
    for (int i = 0; i < PREQ_READS; i++) {
        rsp.fill(0);
        n = ReadComPort(fd_diagnose, rsp.data(), (uint32_t)rsp.size());
        if (n == (int)PREQ_REPLY_LEN)
            break;
    }
    if (n > 0)
        cprintf_hex_force(rsp.data(), (uint32_t)n);
    return preq_reply_ok(rsp.data()) ? 0 : 1;
}

int go_cmd(int fd_diagnose, uint32_t go_addr)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]will to go cmd\n\n");
    pkt_buffer_type pkt;
    uint8_t payload[5] = {CMD_GO};
    put_be32(payload + 1, go_addr);
    if (!build(&pkt, payload, sizeof payload)) {
        close(fd_diagnose);   // the GO exchange always leaves the port closed
        return -1;
    }
    transmit_packet(fd_diagnose, &pkt);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]send go command success.\n\n");
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> rsp;
    rsp.fill(0);
    if (rcv_ack_packet_go_cmd(fd_diagnose, rsp.data()) == 0) {
        UP_LOG(KQ_LOG_INFO, "[%s:%d]send go command %x success.\n\n", (unsigned)CMD_GO);
        return 0;
    }
    // The receiver has closed the port: resending would need a new open, and
    // a boot loader that refused GO is better restarted by the caller's
    // power cycle than poked again.
    Sleep(1000);
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]send go command %x failed.\n\n", (unsigned)CMD_GO);
    return -1;
}

int dload_hello_cmd(int fd_diagnose)
{
    pkt_buffer_type pkt;
    uint8_t payload[1 + HELLO_PACKET_LEN + 3];
    payload[0] = STREAM_HELLO;
    memcpy(payload + 1, hellopacket, HELLO_PACKET_LEN);
    payload[1 + HELLO_PACKET_LEN] = 0x03;
    payload[2 + HELLO_PACKET_LEN] = 0x02;
    payload[3 + HELLO_PACKET_LEN] = 0x01;
    if (!build(&pkt, payload, sizeof payload))
        return -1;
    transmit_packet(fd_diagnose, &pkt);
    Sleep(1000);
    std::array<uint8_t, 500> rsp{};
    int n = ReadComPort(fd_diagnose, rsp.data(), (uint32_t)rsp.size());
    if (n > 0)
        return rsp[1] == STREAM_HELLO + 1 ? 0 : -1;
    if (n == 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]time out exit!\n\n");
        return -1;
    }
    return 1;
}

int dload_security_cmd(int fd_diagnose)
{
    const uint8_t payload[2] = {STREAM_SECURITY, 0x01};
    return stream_request(fd_diagnose, payload, sizeof payload, SECURITY_TRIES, 0,
                          rcv_ack_packet_for_timeout);
}

int dload_Dbl_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_DBL, 0); }
int dload_Fsbl_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_FSBL, 0); }
int dload_Osbl_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_OSBL, 0); }
int dload_amss_V330_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_AMSS, 0); }
int dload_DSP1_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_DSP1, 0); }
int dload_DSP2_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_DSP2, 0); }
// The EFS opens take a moment on the programmer's side before it answers.
int dload_bAppEFS_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_BAPPEFS, 500); }
int dload_bEFS_cmd(int fd_diagnose) { return open_image(fd_diagnose, OPEN_TYPE_BEFS, 500); }

int dload_close_packet_cmd(int fd_diagnose)
{
    const uint8_t payload[1] = {STREAM_CLOSE};
    return stream_request(fd_diagnose, payload, sizeof payload, CLOSE_TRIES, 0, rcv_ack_packet);
}

int dload_reset_packet_cmd(int fd_diagnose)
{
    pkt_buffer_type pkt;
    const uint8_t payload[8] = {STREAM_RESET};
    if (!build(&pkt, payload, sizeof payload))
        return 0;
    transmit_packet(fd_diagnose, &pkt);
    std::array<uint8_t, 512> rsp{};
    int n = ReadComPort(fd_diagnose, rsp.data(), 400);
    if (n > 0) {
        cprintf_hex_force(rsp.data(), (uint32_t)n);
        return rsp[1] == STREAM_RESET + 1 ? 1 : 0;
    }
    if (n == 0)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]time out exit!\n\n");
    return 0;
}

int dload_partition_table_cmd(int fd_diagnose, const package_span &img)
{
    const uint32_t length = img.len > PARTITION_TABLE_MAX ? PARTITION_TABLE_MAX + 1 : (uint32_t)img.len;
    if (length < 1 || length > PARTITION_TABLE_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]BIN file length error\n\n");
        return -1;
    }
    std::array<uint8_t, 512> table{};
    // The whole table or nothing: zeros in place of bytes never read would
    // reach the modem as its partition table.
    ssize_t got = up_package_pread(img.fd, img.off, table.data(), length);
    if (got != (ssize_t)length) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from BIN file\n\n");
        return -1;
    }
    pkt_buffer_type pkt;
    uint8_t payload[2 + PARTITION_TABLE_MAX] = {STREAM_PARTITION, 0x00};
    memcpy(payload + 2, table.data(), length);
    if (!build(&pkt, payload, 2 + (size_t)length))
        return -1;
    transmit_packet(fd_diagnose, &pkt);
    std::array<uint8_t, 512> rsp{};
    int n = ReadComPort(fd_diagnose, rsp.data(), 400);
    for (int i = 0; i < n; i++)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d] 0x%x \n", (unsigned)rsp[(size_t)i]);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
    return rsp[1] == STREAM_PARTITION + 1 ? 0 : -1;
}
