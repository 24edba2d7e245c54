// Renders a message that reached the system-control or display endpoint as
// one flat JSON object, the line format of STATE/out/bus.jsonl.
#include "routersim.h"

#include "kq_ipc.h"
#include "up_bytes.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t MSG_ID_SYS_STATE_CHANGE = 0x10000004;
constexpr uint32_t SYS_REBOOT = 4;

std::string hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string field(const char *name, unsigned long v)
{
    char buf[96];
    snprintf(buf, sizeof buf, "\"%s\": %lu", name, v);
    return buf;
}

}  // namespace

bus_record bus_message_json(int module, const uint8_t *data, size_t len)
{
    bus_record rec;
    std::string j = "{" + field("module", (unsigned long)module);
    if (len < sizeof(kq_sdk_ipc_msg_head)) {
        j += ", \"error\": \"short message\", " + field("received", (unsigned long)len) +
             ", \"payload_hex\": \"" + hex(data, len) + "\"}";
        rec.json = j;
        return rec;
    }
    // The head travels in the sender's native order, which is this host's.
    kq_sdk_ipc_msg_head head;
    memcpy(&head, data, sizeof head);
    const uint8_t *payload = data + sizeof head;
    size_t plen = len - sizeof head;
    j += ", " + field("msg_type", head.msg_type);
    j += ", " + field("msg_id", head.msg_id);
    j += ", " + field("length", head.length);
    j += ", " + field("session_id", head.session_id);
    j += ", \"payload_hex\": \"" + hex(payload, plen) + "\"";
    if (module == UI_ID && plen >= 8) {
        rec.operation = (long)get_le32(payload);
        rec.progress = (long)get_le32(payload + 4);
        j += ", \"payload\": {" + field("operation", get_le32(payload)) + ", " +
             field("progress", get_le32(payload + 4)) + "}";
    } else if (module == SC_ID && plen >= 16) {
        uint32_t sys_state = get_le32(payload);
        j += ", \"payload\": {" + field("sys_state", sys_state) + ", " + field("temp_level", get_le32(payload + 4)) +
             ", " + field("batt_level", get_le32(payload + 8)) + ", " +
             field("sys_work_mode", get_le32(payload + 12)) + "}";
        rec.reboot_request = head.msg_id == MSG_ID_SYS_STATE_CHANGE && sys_state == SYS_REBOOT;
    }
    if (plen != head.length)
        j += ", " + field("received_payload", (unsigned long)plen);
    j += "}";
    rec.json = j;
    return rec;
}
