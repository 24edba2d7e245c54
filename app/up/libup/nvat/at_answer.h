// Judging the modem's AT answers and composing the identity writes. Pure: no
// port is touched, so every rule is tested on plain text.
#pragma once

#include <cstddef>

#include "efs_config.h"

// One read of an answer is at most this many bytes; the text looked at is
// one shorter, so it always ends in a terminator.
constexpr size_t AT_ANSWER_SIZE = 512;
// Every identity write sends exactly this many bytes (text, then zeros).
constexpr size_t AT_WRITE_CMD_SIZE = 128;

// Characters left out of a quoted value: Read_AT drops colons and question
// marks, Read_TESTINF2_AT only question marks.
constexpr const char *AT_DROP_READ = ":?";
constexpr const char *AT_DROP_TESTINF = "?";

// The value of an answer to a read: an answer holding "ERROR" has none;
// otherwise the text from the first double quote through the next one,
// quotes kept and the drop characters left out. 1 with the value in out
// (out_size bytes, terminated), 0 when there is none or it does not fit
// (out is then untouched).
int at_answer_value(const char *answer, const char *drop, char *out, size_t out_size);

// The firmware project id of an "AT+KQTSW" answer: from "ZMR" (looked for
// after "InnerVersion") up to the first carriage return or the end. 0 with
// the id in out, -1 when either mark is missing or the id does not fit.
int at_firmware_version(const char *answer, char *out, size_t out_size);

// A plausible IMEI: not empty and without eleven zeros in a row.
bool at_imei_plausible(const char *value);

// Fills out (AT_WRITE_CMD_SIZE bytes, cleared first) with the identity write
// selected by flag: prefix, then the record's field (0 strSN, 1 strIMEI,
// 2 strTESTINF, 3 strSIMLOCK, 4 strSIMLOCKList when SIMLOCK is 1, else the
// fixed "AT+NWLSET=0\r\n", 5 strINDS), then "\r\n"; any other flag sends
// the prefix alone. 0, or -1 when the text would not fit with a terminator.
int at_compose_write(const efs_h_cfg *cfg, const char *prefix, int flag,
                     char out[AT_WRITE_CMD_SIZE]);
