// The upgrade library's operations for upgrade control: state word, mode
// tests, command runner, MTD erase, package readers, CRC-32, process checks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "up_package.h"

// Resume state word: one bit per installed component.
typedef int32_t update_state_t;
enum {
    UPDATE_NO_UPDATE = 0,
    UPDATE_SUCCESS = 0,
    UPDATE_FORCE_RECOV_MODE = 2,
    UPDATE_STEP_BOOTLOADER = 4,
    UPDATE_STEP_KERNEL = 8,
    UPDATE_STEP_ROOTFS = 16,
    UPDATE_STEP_2NDF = 32,
    UPDATE_STEP_MODEM = 64,
    UPDATE_UNKNOW = 256,
};

#define UP_PACKAGE_DEV "/dev/mtd6"
#define UP_IMAGE_PATH_DIR "/2ndfile/image_path"
#define UP_IMAGE_FILE "/2ndfile/image_path/root.bin"
#define UP_UPDATE_FLAG_FILE "/2ndfile/update_flag"

constexpr uint32_t UP_ERASE_BLOCK = 0x20000;          // 128 KiB NAND erase block
constexpr uint32_t UP_STATE_OFFSET = 0x4200000;       // state block in the package partition
constexpr int32_t UP_STATE_ALL_ROUTER_STEPS = 60;      // 4 + 8 + 16 + 32

// Program-wide counters and the package path (set by start-up and the readers).
extern char image_name[128];
extern uint32_t whole_packlen;
extern uint32_t had_write;

// Mode tests and command runner.
int32_t up_check_mount(const char *folder);
int dir_exists(const char *path);
int up_util_sys_cmd(const char *p_sys_cmd);
int up_check_update(void);

// State word.
update_state_t up_get_upgrade_status(void);
int up_set_upgrade_status(int i_upgrade_status);
int up_get_upgrade_status_from(void);
int up_get_upgrade_flag_status(void);
int up_set_upgrade_flag_status(int i_upgrade_status);

// Erases length bytes (a multiple of 128 KiB) from byte start of the open MTD device.
int up_mtd_erase(int dev, uint32_t start, uint32_t length);

// Package readers.
int up_process_head_upgrade(package_signature_t *p_pack_head_attr, int i_flash_fd);
int up_process_package_record_list(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   package_record_t *p_pack_record_list);
int up_process_package_check_modem(package_signature_t *p_pack_head_attr, int i_flash_fd,
                                   uint32_t record_id);
int up_upgrade_check_modem_state(void);

// 0 when the header's record table fits inside the package behind fd, so that
// the caller may allocate it; -1 (logged) for a count the package cannot hold.
int up_check_record_count(const package_signature_t *p_pack_head_attr, int i_flash_fd);
// Descriptors the readers take from the table: num_records compared as a
// signed number, so a count of 0x80000000 or more (an erased partition
// reads 0xFFFFFFFF) means an empty table. Size the caller's array by this.
uint32_t up_record_table_count(const package_signature_t *p_pack_head_attr);

// CRC-32 (reflected, polynomial 0xEDB88320).
uint32_t Crc32_ComputeBuf(uint32_t inCrc32, const void *buf, uint32_t bufLen);

// Process checks. check_process: 1 when a process whose command line (its
// arguments joined by blanks, first 255 bytes) contains processname runs
// with an id of 1 or more, the id stored through retpid; else 0, retpid
// untouched.
uint32_t check_process(const char *processname, int32_t *retpid);
// needle when it occurs in the first haystack_len bytes of haystack (a lone
// NUL byte is scanned over, two in a row end the text), else null. An
// empty needle is always found.
const char *strinstr(const char *haystack, size_t haystack_len, const char *needle);
