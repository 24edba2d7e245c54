// Renders a message that reached the system-control or display endpoint as
// one flat JSON object, the line format of STATE/out/bus.jsonl, and reads
// such a line back into what the run's checks look at.
#include "routersim.h"

#include "json_io.h"
#include "kq_ipc.h"
#include "up_bytes.h"

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

}  // namespace

bus_record bus_message_json(int module, const uint8_t *data, size_t len)
{
    bus_record rec;
    json_value j;
    j["module"] = module;
    if (len < sizeof(kq_sdk_ipc_msg_head)) {
        j["error"] = "short message";
        j["received"] = len;
        j["payload_hex"] = hex(data, len);
        rec.json = json_line(j);
        return rec;
    }
    // The head travels in the sender's native order, which is this host's.
    kq_sdk_ipc_msg_head head;
    memcpy(&head, data, sizeof head);
    const uint8_t *payload = data + sizeof head;
    size_t plen = len - sizeof head;
    j["msg_type"] = head.msg_type;
    j["msg_id"] = head.msg_id;
    j["length"] = head.length;
    j["session_id"] = head.session_id;
    j["payload_hex"] = hex(payload, plen);
    if (module == UI_ID && plen >= 8) {
        rec.operation = (long)get_le32(payload);
        rec.progress = (long)get_le32(payload + 4);
        j["payload"] = {{"operation", get_le32(payload)}, {"progress", get_le32(payload + 4)}};
    } else if (module == SC_ID && plen >= 16) {
        uint32_t sys_state = get_le32(payload);
        j["payload"] = {{"sys_state", sys_state},
                        {"temp_level", get_le32(payload + 4)},
                        {"batt_level", get_le32(payload + 8)},
                        {"sys_work_mode", get_le32(payload + 12)}};
        rec.reboot_request = head.msg_id == MSG_ID_SYS_STATE_CHANGE && sys_state == SYS_REBOOT;
    }
    if (plen != head.length)
        j["received_payload"] = plen;
    rec.json = json_line(j);
    return rec;
}

bool bus_record_from_json(const std::string &line, bus_record *rec)
{
    *rec = bus_record{};
    json_value j;
    uint64_t module = 0;
    if (!json_parse(line, &j) || !json_get_u64(j, "module", &module))
        return false;
    rec->json = line;
    const json_value *payload = json_member(j, "payload");
    if (payload == nullptr)
        return true;
    uint64_t msg_id = 0, a = 0, b = 0;
    if (module == (uint64_t)UI_ID && json_get_u64(*payload, "operation", &a) && json_get_u64(*payload, "progress", &b) &&
        a <= UINT32_MAX && b <= UINT32_MAX) {
        rec->operation = (long)a;
        rec->progress = (long)b;
    } else if (module == (uint64_t)SC_ID && json_get_u64(j, "msg_id", &msg_id) && json_get_u64(*payload, "sys_state", &a)) {
        rec->reboot_request = msg_id == MSG_ID_SYS_STATE_CHANGE && a == SYS_REBOOT;
    }
    return true;
}
