// The handlers of the container's sub-images. Each takes the diagnostic
// port path, the container source positioned at the entry's body and the
// entry's table header, consumes exactly the body on success and returns 0,
// or -1 on failure (the source position is then unknown).
#pragma once

#include "modem_container.h"

int up_modem_sub_hex(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_partition(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_Dbl(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
// Stores the fail-safe boot loader on the router ("/2ndfile/fsbl.mbn");
// nothing goes to the modem.
int up_modem_sub_Fbl(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_Osbl(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_Amsmim(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_Dsp1(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
int up_modem_sub_Dsp2(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
// Sends the EFS and resets the programmer when the configuration includes an
// EFS; otherwise reads the body past and counts it as installed.
int up_modem_sub_Efs(const char *diagport, int i_flash_fd, const fw_h_t *fw_body);
