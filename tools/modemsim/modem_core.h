// The virtual modem's state, shared by the port lifecycle, the frame
// dispatcher and the responder of each stage.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "fault_rules.h"
#include "modem_options.h"
#include "power_cut.h"
#include "pty_port.h"
#include "state_dir.h"

constexpr uint32_t MODEM_DLOAD_BASE = 0x100000;        // where the programmer runs
constexpr uint32_t MODEM_PROGRAMMER_MAX = 4u << 20;    // RAM available to it
constexpr size_t MODEM_MAX_PAYLOAD = 4096;             // largest unstuffed frame taken
constexpr size_t MODEM_RAW_MAX = 2 * MODEM_MAX_PAYLOAD + 8;

// The image types the programmer opens: the file each lands in under
// MODEMSTATE/flash (both EFS kinds are one file system partition, null for
// an unknown type) and the label the exchange log shows ("?" when unknown).
const char *image_file_name(uint8_t type);
const char *image_type_label(uint8_t type);

// An answer a responder wants sent: an unframed payload and whether the frame
// carries an opening flag (the DIAG echo and the parameter reply do not).
struct modem_reply {
    bool send = false;
    bool leading_flag = true;
    std::array<uint8_t, 1100> payload{};     // room for an RF NV item's answer
    size_t len = 0;
    const char *name = "";        // for the exchange log
};

// Collects the stuffed bytes of one incoming frame up to its closing flag.
struct frame_collector {
    std::array<uint8_t, MODEM_RAW_MAX> raw{};
    size_t len = 0;
    bool overflow = false;
    // The boot loader and the programmer start hunting for a flag: bytes
    // before the first flag of their run are line noise to them.
    bool hunting = false;
};

struct boot_state {
    image_store ram;               // flash/programmer.bin: what was written to RAM
    uint32_t loaded_end = 0;       // bytes loaded without a gap from DLOAD_BASE
    bool hole = false;             // a write started beyond loaded_end
};

struct programmer_state {
    bool hello = false;
    bool secure = false;
    bool partition = false;        // a partition table was accepted
    int open_type = -1;            // image type byte of the open image, -1 none
    image_fail_t open_fails = IMAGE_OK;   // fail-image fault armed for this transfer
    image_store image;
    uint32_t next_addr = 0;        // stream addresses must follow on without gaps
    uint32_t last_addr = 0;        // the last block may come again (lost answer)
    uint32_t last_len = 0;
    bool have_last = false;
};

// What the normal firmware keeps for its AT service: the identity items
// (values without their quotes), the running firmware version, and the
// function level, which lasts until a power cycle or a restart.
constexpr size_t MODEM_AT_VALUE = 64;
constexpr size_t MODEM_AT_LINE = 512;

struct modem_identity {
    std::array<char, MODEM_AT_VALUE> sn{};
    std::array<char, MODEM_AT_VALUE> imei{};
    std::array<char, MODEM_AT_VALUE> testinf{};
    std::array<char, MODEM_AT_VALUE> simlock{};
    std::array<char, MODEM_AT_VALUE> inds{};
    std::array<char, 128> version{};
};

struct at_state {
    std::array<char, MODEM_AT_LINE> line{};    // the command being received
    size_t len = 0;
    bool overflow = false;
    int cfun = 1;
};

struct modem_t {
    modem_options opts;
    modem_stage_t stage = STAGE_OFF;
    bool powered = false;
    bool hung = false;             // crashed or told to stay silent: until power-off
    pty_port diag;
    pty_port at;
    frame_collector diag_rx;
    // Scheduled USB events (ms of modem_now_ms, 0 = none).
    int64_t detach_at = 0;
    int64_t attach_at = 0;
    modem_stage_t attach_stage = STAGE_NORMAL;
    bool leaving = false;          // answered the command that makes it leave the bus
    bool offline = false;          // the normal firmware was taken offline (DIAG mode change 1)
    boot_state boot;
    programmer_state prog;
    fault_set faults;
    modem_identity id;
    at_state at_svc;
    power_cut cut;                 // --power-cut: counted events, and whether the power is gone
    int nv_status_fault = -1;      // NV status a fault rule gives the current frame, -1 none
};

// Port lifecycle (port_lifecycle.cpp).
int modem_attach(modem_t *m, modem_stage_t stage);
void modem_detach(modem_t *m);
void modem_power_off(modem_t *m);
// Leaves the bus shortly after the current answer and comes back in stage
// after the enumeration delay.
void modem_reenumerate(modem_t *m, modem_stage_t stage);
// Runs the scheduled USB events that are due; returns ms until the next one
// (or -1 when none is pending).
int64_t modem_run_timers(modem_t *m);
// Follows the power parameter file (with --sysfs).
void modem_poll_power(modem_t *m);

// Frame dispatch (frame_dispatch.cpp): feeds bytes read from the diag port.
void modem_diag_input(modem_t *m, const uint8_t *data, size_t len);

// Responders: one per stage, called with an intact frame's payload.
void diag_normal_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply);
void boot_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply);
void programmer_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply);

// AT service of the normal firmware (at_service.cpp): bytes read from the AT port.
void modem_at_input(modem_t *m, const uint8_t *data, size_t len);
// The normal firmware starts: function level 1; after a flash the running
// version becomes the flashed one (firmware_identity.cpp).
void modem_firmware_start(modem_t *m);
// An image was stored: the first one since the firmware started marks the
// flash as written, on disk, and wipes the NV store at once; with the wipe
// "@efs" the store is wiped instead whenever an EFS image is stored.
void modem_flash_stored(modem_t *m, const char *image);

// NV service of the normal firmware (nv_responder.cpp): names NV frames for
// the log and the fault rules (false for other frames), answers them (false
// for other frames), and wipes the NV store after a flash.
bool nv_frame_describe(const uint8_t *p, size_t len, const char **kind, bool *has_item, uint32_t *item,
                       char *detail, size_t detail_size);
bool nv_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply);
// The wipe in force (the option, else MODEMSTATE/flash_wipe, else the default).
struct flash_wipe_policy {
    flash_wipe_t what = FLASH_WIPE_NV;
    bool at_efs = false;
};
flash_wipe_policy flash_wipe_in_force(const modem_t *m);
void nv_flash_wipe(modem_t *m, flash_wipe_t what);

// MODEMSTATE/identity and MODEMSTATE/version (firmware_identity.cpp).
int identity_load(modem_t *m);
int identity_save(const modem_t *m);

// Stage entry: clears what the previous run of that stage left behind.
void boot_reset(modem_t *m);
void programmer_reset(modem_t *m);

// Reply helpers.
void reply_set(modem_reply *r, const char *name, const uint8_t *payload, size_t len);
void reply_nak(modem_reply *r, uint16_t code);
// A DIAG error: its code, then the start of the request (16 bytes at most),
// sent without a leading flag as the DIAG task sends its errors.
void reply_diag_error(modem_reply *r, uint8_t code, const uint8_t *req, size_t len, const char *name);
void reply_ack(modem_reply *r);
