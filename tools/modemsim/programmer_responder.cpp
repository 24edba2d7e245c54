// The RAM flash programmer: hello, security mode, partition table, then per
// image open / stream writes / close, and reset.
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "exchange_log.h"
#include "hdlc_response.h"
#include "modem_core.h"
#include "up_bytes.h"

namespace {

constexpr uint8_t SP_HELLO = 0x01;
constexpr uint8_t SP_STREAM_WRITE = 0x07;
constexpr uint8_t SP_RESET = 0x0B;
constexpr uint8_t SP_CLOSE = 0x15;
constexpr uint8_t SP_SECURITY = 0x17;
constexpr uint8_t SP_PARTITION = 0x19;
constexpr uint8_t SP_OPEN = 0x1B;
constexpr uint8_t SP_VERSION = 0x03;         // protocol version we speak
constexpr uint8_t NAK_INVALID_ADDR = 0x0F;
constexpr size_t PARTITION_MAX = 511;

// The host's hello: 0x01, the 32-byte magic, its protocol version, the oldest
// version it is compatible with, and its feature bits.
constexpr char HELLO_MAGIC[] = "QCOM fast download protocol host";
constexpr size_t HELLO_LEN = 36;
constexpr uint8_t SP_OLDEST = 0x02;          // oldest host version we still speak

void on_hello(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    if (len != HELLO_LEN) {
        modem_log("hello of %u bytes refused", (unsigned)len);
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    if (memcmp(p + 1, HELLO_MAGIC, 32) != 0) {
        modem_log("hello with a wrong magic refused");
        reply_nak(reply, NAK_INVALID_CMD);
        return;
    }
    // The host speaks p[33] and still understands down to p[34].
    if (p[33] < SP_OLDEST || p[34] > SP_VERSION || p[34] > p[33]) {
        modem_log("hello of protocol %u (compatible %u) refused", (unsigned)p[33], (unsigned)p[34]);
        reply_nak(reply, NAK_FAILED);
        return;
    }
    uint8_t r[64] = {0};
    size_t n = 0;
    r[n++] = 0x02;
    // The target answers with the host's magic, its last word turned round.
    memcpy(r + n, p + 1, 28);
    memcpy(r + n + 28, "targ", 4);
    n += 32;
    r[n++] = SP_VERSION;
    r[n++] = SP_OLDEST;                            // oldest compatible
    put_le32(r + n, (uint32_t)(MODEM_MAX_PAYLOAD - 5)); // largest stream block
    n += 4;
    put_le32(r + n, 0);                            // flash base
    n += 4;
    r[n++] = 4;
    memcpy(r + n, "NAND", 4);
    n += 4;
    put_le16(r + n, 1);                            // window: stop-and-wait
    n += 2;
    put_le16(r + n, 0);                            // no sector list
    n += 2;
    r[n++] = 0;                                    // features
    reply_set(reply, "hello-reply", r, n);
    image_store_abort(&m->prog.image);
    m->prog = programmer_state{};
    m->prog.hello = true;
}

void on_partition(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    // 0x19, the override flag 0x00, then a table of 1 to 511 bytes.
    if (len < 3 || len - 2 > PARTITION_MAX) {
        modem_log("partition table of %u bytes refused", (unsigned)(len < 2 ? 0 : len - 2));
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    if (p[1] != 0x00) {
        reply_nak(reply, NAK_INVALID_CMD);
        return;
    }
    if (!m->prog.secure) {
        modem_log("partition table before security mode refused");
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    image_store table;
    if (image_store_begin(&table, m->opts.state_dir.data(), "partition") != 0 ||
        image_store_write(&table, 0, p + 2, len - 2) != 0 || image_store_commit(&table) != 0) {
        image_store_abort(&table);
        reply_nak(reply, NAK_FAILED);
        return;
    }
    modem_log("partition table stored, %u bytes", (unsigned)(len - 2));
    m->prog.partition = true;
    uint8_t r[2] = {0x1A, 0x00};                   // accepted
    reply_set(reply, "partition-reply", r, sizeof r);
}

void on_open(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    const char *name = len == 2 ? image_file_name(p[1]) : nullptr;
    if (name == nullptr) {
        reply_nak(reply, len == 2 ? NAK_INVALID_DEST : NAK_INVALID_LEN);
        return;
    }
    if (!m->prog.partition) {
        modem_log("open before the partition table refused");
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    if (m->prog.open_type >= 0) {
        modem_log("open while image 0x%02x is open refused", (unsigned)m->prog.open_type);
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    image_fail_t fails = fault_set_image_fails(&m->faults, name);
    if (fails == IMAGE_FAIL_OPEN) {
        modem_log("fault fail-image %s: open refused", name);
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    if (image_store_begin(&m->prog.image, m->opts.state_dir.data(), name) != 0) {
        reply_nak(reply, NAK_FAILED);
        return;
    }
    m->prog.open_type = p[1];
    m->prog.next_addr = 0;
    m->prog.have_last = false;
    m->prog.open_fails = fails;
    if (fails != IMAGE_OK)
        modem_log("fault fail-image %s armed (%s)", name, fails == IMAGE_FAIL_STREAM ? "stream" : "close");
    uint8_t r[2] = {0x1C, 0x00};
    reply_set(reply, "open-reply", r, sizeof r);
}

void on_stream_write(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    if (len < 6) {
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    if (m->prog.open_type < 0) {
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    if (m->prog.open_fails == IMAGE_FAIL_STREAM) {
        reply_nak(reply, NAK_VERIFY_FAILED);
        return;
    }
    uint32_t addr = get_le32(p + 1);
    uint32_t count = (uint32_t)(len - 5);
    programmer_state &s = m->prog;
    bool resend = s.have_last && addr == s.last_addr && count == s.last_len;
    if (addr != s.next_addr && !resend) {
        modem_log("stream address 0x%08x out of sequence, expected 0x%08x", (unsigned)addr,
                  (unsigned)s.next_addr);
        reply_nak(reply, NAK_INVALID_ADDR);
        return;
    }
    if (image_store_write(&s.image, addr, p + 5, count) != 0) {
        reply_nak(reply, NAK_FAILED);
        return;
    }
    if (!resend) {
        s.last_addr = addr;
        s.last_len = count;
        s.have_last = true;
        s.next_addr = addr + count;
    }
    uint8_t r[5] = {0x08};
    put_le32(r + 1, addr);
    reply_set(reply, "stream-ack", r, sizeof r);
}

void on_close(modem_t *m, size_t len, modem_reply *reply)
{
    programmer_state &s = m->prog;
    if (len != 1) {
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    if (s.open_type < 0) {
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    const char *name = image_file_name((uint8_t)s.open_type);
    s.open_type = -1;
    if (s.open_fails != IMAGE_OK) {
        image_store_abort(&s.image);
        modem_log("image %s refused (fault), nothing stored", name);
        reply_nak(reply, NAK_VERIFY_FAILED);
        return;
    }
    if (image_store_commit(&s.image) != 0) {
        reply_nak(reply, NAK_FAILED);
        return;
    }
    modem_log("image %s stored, %u bytes", name, (unsigned)s.next_addr);
    modem_flash_stored(m, name);
    uint8_t r[1] = {0x16};
    reply_set(reply, "close-reply", r, sizeof r);
}

} // namespace

void programmer_reset(modem_t *m)
{
    image_store_abort(&m->prog.image);
    m->prog = programmer_state{};
}

void programmer_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply)
{
    uint8_t cmd = payload[0];
    if (cmd == SP_HELLO) {
        on_hello(m, payload, len, reply);
        return;
    }
    if (cmd == SP_RESET) {
        // 0x0B and seven zero bytes.
        static const uint8_t zeros[7] = {0};
        if (len != 8 || memcmp(payload + 1, zeros, sizeof zeros) != 0) {
            modem_log("reset of %u bytes or with non-zero bytes refused", (unsigned)len);
            reply_nak(reply, len != 8 ? NAK_INVALID_LEN : NAK_INVALID_CMD);
            return;
        }
        programmer_reset(m);
        uint8_t r[1] = {0x0C};
        reply_set(reply, "reset-reply", r, sizeof r);
        modem_reenumerate(m, STAGE_NORMAL);
        return;
    }
    // Nothing but hello (and reset) before the host has said hello.
    if (!m->prog.hello) {
        reply_nak(reply, NAK_OP_NOT_PERMITTED);
        return;
    }
    switch (cmd) {
    case SP_SECURITY:
        if (len != 2) {
            reply_nak(reply, NAK_INVALID_LEN);
            return;
        }
        if (payload[1] != 0x01) {
            modem_log("security mode %u refused", (unsigned)payload[1]);
            reply_nak(reply, NAK_INVALID_CMD);
            return;
        }
        m->prog.secure = true;
        {
            uint8_t r[1] = {0x18};
            reply_set(reply, "security-reply", r, sizeof r);
        }
        return;
    case SP_PARTITION:
        on_partition(m, payload, len, reply);
        return;
    case SP_OPEN:
        if (!m->prog.secure) {
            reply_nak(reply, NAK_OP_NOT_PERMITTED);
            return;
        }
        on_open(m, payload, len, reply);
        return;
    case SP_STREAM_WRITE:
        on_stream_write(m, payload, len, reply);
        return;
    case SP_CLOSE:
        on_close(m, len, reply);
        return;
    default:
        reply_nak(reply, NAK_INVALID_CMD);
        return;
    }
}
