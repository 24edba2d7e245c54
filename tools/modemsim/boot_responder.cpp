// The boot loader in download mode: NOP, parameter request, 32-bit writes into
// RAM and GO, which starts the uploaded flash programmer.
#include "exchange_log.h"
#include "hdlc_response.h"
#include "modem_core.h"
#include "up_bytes.h"

namespace {

constexpr uint8_t CMD_GO = 0x05;
constexpr uint8_t CMD_NOP = 0x06;
constexpr uint8_t CMD_PREQ = 0x07;
constexpr uint8_t CMD_PARAMS = 0x08;
constexpr uint8_t CMD_WRITE_32BIT = 0x0F;

// Protocol version 1 (oldest accepted 1), largest write 0x4000 bytes, then
// model, flash size and type. Chosen so that the check sequence needs no
// escape: the tool wants the answer as exactly 11 bytes.
constexpr uint8_t k_params[] = {CMD_PARAMS, 0x01, 0x01, 0x40, 0x00, 0x00, 0x00, 0x00};

void on_write32(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    if (len < 7 || len != 7u + get_be16(p + 5)) {
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    uint32_t addr = get_be32(p + 1);
    uint32_t count = get_be16(p + 5);
    if (addr < MODEM_DLOAD_BASE || addr - MODEM_DLOAD_BASE > MODEM_PROGRAMMER_MAX - count) {
        modem_log("write outside the programmer's RAM: 0x%08x+%u", (unsigned)addr, (unsigned)count);
        reply_nak(reply, NAK_INVALID_DEST);
        return;
    }
    uint32_t off = addr - MODEM_DLOAD_BASE;
    if (image_store_write(&m->boot.ram, off, p + 7, count) != 0) {
        reply_nak(reply, NAK_FAILED);
        return;
    }
    if (off > m->boot.loaded_end) {
        // A block was skipped: the RAM in between holds garbage.
        if (!m->boot.hole)
            modem_log("hole in the programmer at 0x%08x..0x%08x", (unsigned)(MODEM_DLOAD_BASE + m->boot.loaded_end),
                      (unsigned)addr);
        m->boot.hole = true;
    } else if (off + count > m->boot.loaded_end) {
        m->boot.loaded_end = off + count;
    }
    reply_ack(reply);
}

void on_go(modem_t *m, const uint8_t *p, size_t len, modem_reply *reply)
{
    if (len != 5) {
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    uint32_t addr = get_be32(p + 1);
    if (addr != MODEM_DLOAD_BASE || m->boot.loaded_end == 0 || m->boot.hole) {
        // A jump into a programmer with a gap (or into nothing) runs garbage;
        // a real modem then simply stops answering.
        modem_log("go 0x%08x into a broken programmer (%u bytes, %s): modem crashed", (unsigned)addr,
                  (unsigned)m->boot.loaded_end, m->boot.hole ? "with a hole" : "no hole");
        image_store_commit(&m->boot.ram);
        m->hung = true;
        return;
    }
    image_store_commit(&m->boot.ram);
    modem_log("programmer of %u bytes started", (unsigned)m->boot.loaded_end);
    reply_ack(reply);
    m->stage = STAGE_PROGRAMMER;
    m->diag_rx.hunting = true;
    programmer_reset(m);
}

} // namespace

void boot_reset(modem_t *m)
{
    m->boot.loaded_end = 0;
    m->boot.hole = false;
    image_store_begin(&m->boot.ram, m->opts.state_dir.data(), "programmer.bin");
}

void boot_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply)
{
    // NOP and the parameter request are the command byte alone.
    if ((payload[0] == CMD_NOP || payload[0] == CMD_PREQ) && len != 1) {
        reply_nak(reply, NAK_INVALID_LEN);
        return;
    }
    switch (payload[0]) {
    case CMD_NOP:
        reply_ack(reply);
        return;
    case CMD_PREQ:
        reply_set(reply, "params", k_params, sizeof k_params);
        reply->leading_flag = false;
        return;
    case CMD_WRITE_32BIT:
        on_write32(m, payload, len, reply);
        return;
    case CMD_GO:
        on_go(m, payload, len, reply);
        return;
    default:
        reply_nak(reply, NAK_INVALID_CMD);
        return;
    }
}
