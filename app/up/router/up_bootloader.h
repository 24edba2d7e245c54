// Bootloader record: extracted into "/tmp" and handed to the NAND boot-stream
// tool, which writes the boot area itself.
#pragma once

#include <cstddef>

#include "up_package.h"

#define UP_KOBS_NG "/usr/bin/kobs-ng"

int up_uboot_image(int i_flash_fd, const package_record_t *p_pack_record_t);
int up_process_update_uboot_image(const package_record_t *p_pack_record_t);

// Builds "/usr/bin/kobs-ng init /tmp/<name>" for the record. 0, or -1 for a
// null record, an unsafe name or a command that would not fit.
int up_kobs_ng_command(const package_record_t *p_pack_record_t, char *cmd, size_t size);
