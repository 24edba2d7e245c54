// The normal firmware's DIAG task on the diag port: mode changes and the
// switch into the boot loader's download mode; NV requests go to nv_respond.
#include <cstring>

#include "exchange_log.h"
#include "modem_core.h"

namespace {

constexpr uint8_t DIAG_CONTROL = 0x29;      // mode change, answered by echo
constexpr uint8_t DIAG_DLOAD = 0x3A;        // jump into the boot loader
constexpr uint8_t DIAG_BAD_CMD = 0x13;
constexpr uint8_t DIAG_BAD_LEN = 0x15;
constexpr uint8_t DIAG_BAD_MODE = 0x18;
constexpr uint16_t MODE_OFFLINE = 1;

} // namespace

void diag_normal_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply)
{
    switch (payload[0]) {
    case DIAG_CONTROL:
        if (len != 3) {
            reply_diag_error(reply, DIAG_BAD_LEN, payload, len, "diag-bad-len");
            return;
        }
        modem_log("mode change to %u", (unsigned)(payload[1] | payload[2] << 8));
        if ((payload[1] | payload[2] << 8) == MODE_OFFLINE)
            m->offline = true;
        reply_set(reply, "offline-echo", payload, len);
        reply->leading_flag = false;
        return;
    case DIAG_DLOAD:
        if (len != 1) {
            reply_diag_error(reply, DIAG_BAD_LEN, payload, len, "diag-bad-len");
            return;
        }
        // The firmware leaves for its boot loader only once it is offline.
        if (!m->offline) {
            modem_log("switch while online refused");
            reply_diag_error(reply, DIAG_BAD_MODE, payload, len, "diag-bad-mode");
            return;
        }
        reply_set(reply, "switch-echo", payload, 1);
        reply->leading_flag = false;
        modem_reenumerate(m, STAGE_BOOTLOADER);
        return;
    default:
        if (nv_respond(m, payload, len, reply))
            return;
        reply_diag_error(reply, DIAG_BAD_CMD, payload, len, "diag-bad-cmd");
        return;
    }
}
