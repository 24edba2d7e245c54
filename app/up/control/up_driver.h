// Image update driver: walks the package's records in table order and hands
// each to its installer, keeping the resume state, the progress counters and
// the table of components installed in this run.
#pragma once

#include <cstdint>

#include "up_actions.h"   // up_upgrade_all
#include "up_package.h"

constexpr int UP_STEP_KEY_SIZE = 64;
constexpr int UP_STEP_TABLE_ROWS = 6;

// One component of the version file; the row with partion_id -1 ends the table.
struct update_step_table {
    int32_t partion_id;
    char partion_key_words[UP_STEP_KEY_SIZE];
    int32_t update_flag;     // 1 once installed in this run
};

extern update_step_table up_update_step_table[UP_STEP_TABLE_ROWS];

// The step id of the version file's modem line ("dfi_version").
constexpr int UP_STEP_MODEM_LINE = 6;

// 1: the merged version file is installed after the last record. Cleared when
// the second file system is written as a raw image.
extern int32_t need_up_version;

#define UP_VERSION_INFO_FILE "/2ndfile/version/version_info.txt"

int up_update_image(package_signature_t *p_pack_head_attr, int i_flash_fd,
                    package_record_t *p_pack_record_list);
int up_update_upgrade_status(int i_update_num, int i_all_num, int i_record_id);
int up_set_step_flag(int step_id);

// Checks every record of the table before anything is installed: a record of
// a type the driver installs must lie inside the package (its file or device,
// its packlen, and before the state block when read from the partition) and, when it becomes
// a file, carry a safe name; a second file system must be an archive or a raw
// image. 0, or -1 (logged) for the first bad record.
int up_check_record_table(const package_signature_t *p_pack_head_attr, int i_flash_fd,
                          const package_record_t *p_pack_record_list);

// Puts the driver's run-wide variables back to their start values.
void up_driver_reset(void);

// Modem record installer. Returns 0 on success, non-zero on failure, and
// advances had_write itself as it downloads.
int up_process_update_modem_image(int i_flash_fd, const package_record_t *p_pack_record_t);
