// The modem's AT command port: every exchange writes a command, waits a
// fixed 800 ms and judges what one read returns (at_answer.h).
#pragma once

#include <cstddef>

#include "efs_config.h"

// Reads a quoted value with strATCommand on the caller's open port into
// strRec (rec_size bytes). 1 when a value was stored, else 0 (strRec is then
// untouched).
int Read_AT(int fd_at, const char *strATCommand, char *strRec, size_t rec_size);
// As Read_AT, keeping colons in the value (the test information holds them).
int Read_TESTINF2_AT(int fd_at, const char *strATCommand, char *strRec, size_t rec_size);

// Sends an identity write composed by at_compose_write (128 bytes). 0 when
// the answer holds "OK", else -1. strError is the caller's description.
int Write_AT(int fd_at, const efs_h_cfg *nv_cfg, const char *strATCommand, int nFlag,
             const char *strError);

// Each opens at_port, exchanges and closes it.
// 0 when a plausible IMEI was read into ret_str (ret_size bytes), else -1.
int get_imei(const char *at_port, char *ret_str, size_t ret_size);
// 0 with the firmware project id in strRec (rec_size bytes), else -1.
int get_firmware_version(const char *at_port, char *strRec, size_t rec_size);
// Sends a function-level command until "OK", at most 10 times. 0 or -1.
int mu_change_mode(const char *at_port, const char *strATCommand);
// Sends "AT+CFUN=5" ten times; -1 at a failed read or an "ERROR" answer.
int mu_change_ftm_mode(const char *at_port);
