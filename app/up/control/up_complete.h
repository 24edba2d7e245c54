// Completion of every installation: the request and the package are cleared
// away, a success is marked, and the system-control module is asked to reboot.
#pragma once

#include <cstdint>

#include "up_actions.h"   // up_process_fail_to_recover

enum {
    SYS_INIT = 0, SYS_ACTIVE, SYS_FACTORY, SYS_UPGRADE, SYS_REBOOT, SYS_POWEROFF,
    SYS_TEMPERATURE_CRITICAL, SYS_DEACTIVE, SYS_SLEEP, SYS_BATTERY_CRITICAL,
    SYS_FORCE_POWER_OFF, SYS_MAX,
};

// Payload of the reboot request: four 32-bit words, little-endian on the wire.
struct st_chg_req_t {
    uint32_t sys_state;
    uint32_t temp_level;
    uint32_t batt_level;
    uint32_t sys_work_mode;
};
static_assert(sizeof(st_chg_req_t) == 16, "reboot request payload is 16 bytes");

constexpr uint32_t UP_SC_STATE_MSG_ID = 0x10000004u;
constexpr uint32_t UP_FACTORY_COPY_LEN = 0x20000;

#define UP_FACTORY_DEV "/dev/mtd1"
#define UP_FACTORY_COPY_FILE "/2ndfile/factory_nv"
#define UP_REBOOT_FLAG_FILE "/tmp/up_reboot_flag.txt"
#define UP_PACKAGE_PARTITION_LEN 0x8000000u

// Copies the first 128 KiB of the factory-data partition to /2ndfile/factory_nv.
int up_factory_info_backup(void);

// Core of the copy on open descriptors: len bytes from src's current position
// to dst's. A read that fails or ends early fails the copy. 0 or -1 (logged).
int up_copy_factory_data(int src_fd, int dst_fd, uint32_t len);

// Sends { SYS_REBOOT, 0, 0, 0 } to system control. 0 or -1 (logged).
int up_send_reboot_request(void);
