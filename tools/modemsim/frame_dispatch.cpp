// From bytes on the diag port to answers: frame collection, the check
// sequence test, fault injection, the stage's responder and the log.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "exchange_log.h"
#include "hdlc_crc16.h"
#include "hdlc_frame.h"
#include "hdlc_response.h"
#include "modem_core.h"
#include "up_bytes.h"

namespace {

struct frame_info {
    const char *kind = "unknown";
    bool has_addr = false;
    uint32_t addr = 0;
    char detail[96] = {0};
};

void describe_normal(const uint8_t *p, size_t len, frame_info *f)
{
    if (nv_frame_describe(p, len, &f->kind, &f->has_addr, &f->addr, f->detail, sizeof f->detail))
        return;
    if (p[0] == 0x29)
        f->kind = "offline";
    else if (p[0] == 0x3A)
        f->kind = "switch";
    else
        f->kind = "diag";
    snprintf(f->detail, sizeof f->detail, "%s cmd=0x%02x", f->kind, (unsigned)p[0]);
    (void)len;
}

void describe_boot(const uint8_t *p, size_t len, frame_info *f)
{
    switch (p[0]) {
    case 0x06: f->kind = "nop"; break;
    case 0x07: f->kind = "preq"; break;
    case 0x05:
        f->kind = "go";
        if (len >= 5) {
            f->has_addr = true;
            f->addr = get_be32(p + 1);
        }
        break;
    case 0x0F:
        f->kind = "write32";
        if (len >= 7) {
            f->has_addr = true;
            f->addr = get_be32(p + 1);
            snprintf(f->detail, sizeof f->detail, "write32 addr=0x%08x len=%u", (unsigned)f->addr,
                     (unsigned)get_be16(p + 5));
            return;
        }
        break;
    default: break;
    }
    if (f->has_addr)
        snprintf(f->detail, sizeof f->detail, "%s addr=0x%08x", f->kind, (unsigned)f->addr);
    else
        snprintf(f->detail, sizeof f->detail, "%s cmd=0x%02x", f->kind, (unsigned)p[0]);
}

void describe_programmer(const uint8_t *p, size_t len, frame_info *f)
{
    switch (p[0]) {
    case 0x01: f->kind = "hello"; break;
    case 0x17: f->kind = "security"; break;
    case 0x19: f->kind = "partition"; break;
    case 0x15: f->kind = "close"; break;
    case 0x0B: f->kind = "reset"; break;
    case 0x1B:
        f->kind = "open";
        if (len >= 2) {
            snprintf(f->detail, sizeof f->detail, "open type=0x%02x (%s)", (unsigned)p[1],
                     image_type_label(p[1]));
            return;
        }
        break;
    case 0x07:
        f->kind = "stream-write";
        if (len >= 5) {
            f->has_addr = true;
            f->addr = get_le32(p + 1);
            snprintf(f->detail, sizeof f->detail, "stream-write addr=0x%08x data=%u", (unsigned)f->addr,
                     (unsigned)(len - 5));
            return;
        }
        break;
    default: break;
    }
    snprintf(f->detail, sizeof f->detail, "%s cmd=0x%02x", f->kind, (unsigned)p[0]);
}

void describe_frame(modem_stage_t stage, const uint8_t *p, size_t len, frame_info *f)
{
    if (stage == STAGE_NORMAL)
        describe_normal(p, len, f);
    else if (stage == STAGE_BOOTLOADER)
        describe_boot(p, len, f);
    else
        describe_programmer(p, len, f);
}

// Like hdlc_frame_payload, but with the check sequence given: the only way to
// put a wrong one on the wire on purpose.
ssize_t frame_with_check(const uint8_t *payload, size_t len, uint16_t check, bool leading_flag,
                         uint8_t *out, size_t out_size)
{
    size_t n = 0;
    auto put = [&](uint8_t b) {
        if (n < out_size)
            out[n] = b;
        n++;
    };
    auto put_stuffed = [&](uint8_t b) {
        if (b == HDLC_FLAG || b == HDLC_ESC) {
            put(HDLC_ESC);
            put((uint8_t)(b ^ HDLC_ESC_MASK));
        } else {
            put(b);
        }
    };
    if (leading_flag)
        put(HDLC_FLAG);
    for (size_t i = 0; i < len; i++)
        put_stuffed(payload[i]);
    put_stuffed((uint8_t)(check & 0xFF));
    put_stuffed((uint8_t)(check >> 8));
    put(HDLC_FLAG);
    return n <= out_size ? (ssize_t)n : -1;
}

// Writes the answer's bytes the way the fault asks: whole, in pieces, or
// byte by byte.
int write_shaped(modem_t *m, const uint8_t *wire, size_t n, const fault_decision &d)
{
    size_t pieces = d.trickle_ms > 0 ? n : d.split_pieces > 1 ? d.split_pieces : 1;
    if (pieces > n)
        pieces = n;
    size_t done = 0;
    for (size_t i = 0; i < pieces; i++) {
        size_t len = i + 1 == pieces ? n - done : n / pieces;
        if (pty_port_write(&m->diag, wire + done, len) != 0)
            return -1;
        done += len;
        if (i + 1 < pieces)
            modem_sleep_ms(d.trickle_ms > 0 ? d.trickle_ms : 20);
    }
    return 0;
}

void send_reply(modem_t *m, const modem_reply &r, const fault_decision &d, const frame_info &f)
{
    if (d.late_ms > 0) {
        modem_log("fault late %u ms", (unsigned)d.late_ms);
        modem_sleep_ms(d.late_ms);
    }
    if (!pty_port_is_open(&m->diag))
        return;
    if (d.noise_bytes > 0) {
        // Line noise: bytes that are neither a flag nor an escape.
        uint8_t noise[4096];
        for (uint32_t i = 0; i < d.noise_bytes; i++)
            noise[i] = (uint8_t)(0x31 + i * 7 % 64);
        pty_port_write(&m->diag, noise, d.noise_bytes);
        modem_log("fault noise %u bytes", (unsigned)d.noise_bytes);
    }
    if (d.stale && f.has_addr && r.len == 5 && r.payload[0] == 0x08) {
        // An answer left over from another block comes first.
        uint8_t old[5] = {0x08};
        put_le32(old + 1, f.addr >= 1024 ? f.addr - 1024 : f.addr + 1024);
        uint8_t wire_old[32];
        ssize_t k = hdlc_frame_payload(old, sizeof old, true, wire_old, sizeof wire_old);
        if (k > 0)
            pty_port_write(&m->diag, wire_old, (size_t)k);
        modem_log("fault stale answer for 0x%08x", (unsigned)get_le32(old + 1));
    }
    uint8_t wire[2 * sizeof r.payload + 8];
    ssize_t n;
    if (d.badfcs) {
        uint16_t wrong = (uint16_t)(crc_16_l_calc(r.payload.data(), r.len) ^ 0x5AA5);
        n = frame_with_check(r.payload.data(), r.len, wrong, r.leading_flag, wire, sizeof wire);
        modem_log("fault badfcs");
    } else {
        n = hdlc_frame_payload(r.payload.data(), r.len, r.leading_flag, wire, sizeof wire);
    }
    if (n < 0)
        return;
    if (d.split_pieces > 1 || d.trickle_ms > 0)
        modem_log("fault %s", d.trickle_ms > 0 ? "trickle" : "split");
    if (write_shaped(m, wire, (size_t)n, d) != 0) {
        modem_log("tx %s %s failed: %s", modem_stage_name(m->stage), r.name, strerror(errno));
        return;
    }
    modem_log("tx %s %s len=%u", modem_stage_name(m->stage), r.name, (unsigned)r.len);
}

// A frame the modem could not take apart: the boot loader and the programmer
// say so with a NAK, the normal firmware's DIAG task drops it.
void on_bad_frame(modem_t *m, int code, size_t raw_len)
{
    modem_log("rx %s bad-frame code=%d raw=%u", modem_stage_name(m->stage), code, (unsigned)raw_len);
    if (m->hung || m->leaving || m->stage == STAGE_NORMAL)
        return;
    modem_reply r;
    reply_nak(&r, (uint16_t)code);
    send_reply(m, r, fault_decision{}, frame_info{});
}

void on_frame(modem_t *m, const uint8_t *payload, size_t len)
{
    frame_info f;
    describe_frame(m->stage, payload, len, &f);
    modem_log("rx %s %s len=%u", modem_stage_name(m->stage), f.detail, (unsigned)len);
    if (m->leaving) {
        modem_log("ignored: leaving the bus");
        return;
    }
    fault_set_reload(&m->faults, m->opts.faults_file.data());
    fault_decision d = fault_set_match(&m->faults, f.kind, f.has_addr, f.addr);
    m->nv_status_fault = d.status ? (int)d.status_code : -1;
    if (m->hung) {
        modem_log("no answer: modem hung");
        return;
    }
    if (d.drop) {
        modem_log("fault drop %s", f.kind);
        return;
    }
    if (d.silent) {
        modem_log("fault silent: no answer until power-off");
        m->hung = true;
        return;
    }
    modem_reply r;
    if (d.nak) {
        modem_log("fault nak %s code=%u", f.kind, (unsigned)d.nak_code);
        reply_nak(&r, d.nak_code);
    } else if (m->stage == STAGE_NORMAL) {
        diag_normal_respond(m, payload, len, &r);
    } else if (m->stage == STAGE_BOOTLOADER) {
        boot_respond(m, payload, len, &r);
    } else if (m->stage == STAGE_PROGRAMMER) {
        programmer_respond(m, payload, len, &r);
    }
    // A counted power cut falls after the request took effect and before
    // its answer leaves the modem.
    const bool cut = power_cut_event(m, CUT_EXCHANGE);
    if (power_cut_event(m, power_cut_kind_of_frame(f.kind, r.name)) || cut)
        return;
    if (d.noreply) {
        modem_log("fault noreply %s", f.kind);
        return;
    }
    if (r.send)
        send_reply(m, r, d, f);
}

void handle_collected(modem_t *m)
{
    frame_collector &c = m->diag_rx;
    if (c.overflow) {
        on_bad_frame(m, NAK_TOO_LARGE, c.len);
        return;
    }
    static uint8_t payload[MODEM_MAX_PAYLOAD];
    size_t plen = 0;
    int rc = hdlc_unframe(c.raw.data(), c.len, payload, sizeof payload, &plen);
    if (rc != ACK || plen == 0) {
        on_bad_frame(m, rc != ACK ? rc : NAK_EARLY_END, c.len);
        return;
    }
    on_frame(m, payload, plen);
}

} // namespace

void modem_diag_input(modem_t *m, const uint8_t *data, size_t len)
{
    frame_collector &c = m->diag_rx;
    for (size_t i = 0; i < len; i++) {
        uint8_t b = data[i];
        if (b == HDLC_FLAG) {
            // Flags may repeat and a frame may come without an opening one:
            // every flag ends whatever was collected, an empty frame is none.
            if (c.hunting) {
                if (c.len > 0)
                    modem_log("rx %s %u bytes before the first flag discarded", modem_stage_name(m->stage),
                              (unsigned)c.len);
                c.hunting = false;
            } else if (c.len > 0 || c.overflow) {
                handle_collected(m);
            }
            c.len = 0;
            c.overflow = false;
            continue;
        }
        if (c.len < c.raw.size())
            c.raw[c.len++] = b;
        else
            c.overflow = true;
    }
}

void reply_set(modem_reply *r, const char *name, const uint8_t *payload, size_t len)
{
    if (len > r->payload.size())
        len = r->payload.size();
    memcpy(r->payload.data(), payload, len);
    r->len = len;
    r->name = name;
    r->send = true;
    r->leading_flag = true;
}

void reply_diag_error(modem_reply *r, uint8_t code, const uint8_t *req, size_t len, const char *name)
{
    uint8_t p[17];
    p[0] = code;
    size_t n = len < 16 ? len : 16;
    memcpy(p + 1, req, n);
    reply_set(r, name, p, n + 1);
    r->leading_flag = false;
}

void reply_nak(modem_reply *r, uint16_t code)
{
    uint8_t p[3] = {0x03, (uint8_t)(code >> 8), (uint8_t)code};
    reply_set(r, "nak", p, sizeof p);
}

void reply_ack(modem_reply *r)
{
    uint8_t p[1] = {0x02};
    reply_set(r, "ack", p, sizeof p);
}
