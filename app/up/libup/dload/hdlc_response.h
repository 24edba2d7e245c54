// Response codes of the download protocol's answer receivers, and the canned
// reply frames of the boot loader.
#pragma once

#include <cstddef>
#include <cstdint>

// What a receiver reports: an acknowledgement, the modem's own NAK code
// (passed through unchanged, so values outside this list can appear), or a
// local framing error mapped onto the NAK code with the same meaning.
enum {
    ACK = 0,
    NAK_INVALID_FCS = 1,
    NAK_INVALID_DEST = 2,
    NAK_INVALID_LEN = 3,
    NAK_EARLY_END = 4,
    NAK_TOO_LARGE = 5,
    NAK_INVALID_CMD = 6,
    NAK_FAILED = 7,
    NAK_WRONG_IID = 8,
    NAK_BAD_VPP = 9,
    NAK_OP_NOT_PERMITTED = 10,
    NAK_VERIFY_FAILED = 11,
    NAK_NO_SEC_CODE = 12,
    NAK_BAD_SEC_CODE = 13,
    FATAL_ERROR = 255,
};

// Canned frames: command code, fields, check sequence and closing flag,
// without the opening flag.
extern const uint8_t rsp_ack[4];
extern const uint8_t rsp_nak_invalid_fcs[6];
extern const uint8_t rsp_nak_invalid_dest[6];
extern const uint8_t rsp_nak_invalid_len[6];
extern const uint8_t rsp_nak_early_end[6];
extern const uint8_t rsp_nak_too_large[7];
extern const uint8_t rsp_nak_invalid_cmd[6];
extern const uint8_t rsp_nak_failed[6];
extern const uint8_t rsp_nak_wrong_iid[6];
extern const uint8_t rsp_nak_bad_vpp[6];
extern const uint8_t rsp_nak_verify_failed[6];
extern const uint8_t rsp_nak_op_not_permitted[6];
extern const uint8_t rsp_nak_invalid_addr[6];
