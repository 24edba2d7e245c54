// The download-protocol commands: DIAG offline and mode switch, the boot
// loader's DLOAD commands, and the flash programmer's streaming commands.
#pragma once

#include <cstdint>

#include "up_package_io.h"

// DLOAD command codes of the boot loader.
enum tagCMDType {
    CMD_WRITE = 1,
    CMD_ACK = 2,
    CMD_NAK = 3,
    CMD_ERASE = 4,
    CMD_GO = 5,
    CMD_NOP = 6,
    CMD_PREQ = 7,
    CMD_PARAMS = 8,
    CMD_DUMP = 9,
    CMD_RESET = 10,
    CMD_UNLOCK = 11,
    CMD_VERREQ = 12,
    CMD_VERRSP = 13,
    CMD_PWROFF = 14,
    CMD_WRITE_32BIT = 15,
    CMD_MEM_DEBUG_QUERY = 16,
    CMD_MEM_DEBUG_INFO = 17,
    CMD_MEM_READ_REQ = 18,
    CMD_MEM_READ_RESP = 19,
    CMD_DLOAD_SWITCH = 58,
};

// Streaming-protocol request codes of the flash programmer (reply = code + 1).
enum {
    STREAM_HELLO = 0x01,
    STREAM_WRITE = 0x07,
    STREAM_RESET = 0x0B,
    STREAM_CLOSE = 0x15,
    STREAM_SECURITY = 0x17,
    STREAM_PARTITION = 0x19,
    STREAM_OPEN = 0x1B,
};

// Image type bytes of the open command.
enum {
    OPEN_TYPE_AMSS = 0x05,
    OPEN_TYPE_BEFS = 0x09,
    OPEN_TYPE_BAPPEFS = 0x0B,
    OPEN_TYPE_DSP1 = 0x0D,
    OPEN_TYPE_DBL = 0x0F,
    OPEN_TYPE_OSBL = 0x10,
    OPEN_TYPE_FSBL = 0x11,
    OPEN_TYPE_DSP2 = 0x12,
};

constexpr uint32_t HELLO_PACKET_LEN = 32;
extern const uint8_t hellopacket[HELLO_PACKET_LEN];
extern const uint8_t offline_frame[6];

// Largest partition table the programmer takes (bytes).
constexpr uint32_t PARTITION_TABLE_MAX = 511;

int send_offlin_cmd(const char *diagnose_interface);
int dload_switch_cmd(int fd_diagnose);
int nop_cmd(int fd_diagnose);
int preq_cmd_MDM8220(int fd_diagnose);
int go_cmd(int fd_diagnose, uint32_t go_addr);
int dload_hello_cmd(int fd_diagnose);
int dload_security_cmd(int fd_diagnose);
int dload_Dbl_cmd(int fd_diagnose);
int dload_Fsbl_cmd(int fd_diagnose);
int dload_Osbl_cmd(int fd_diagnose);
int dload_amss_V330_cmd(int fd_diagnose);
int dload_DSP1_cmd(int fd_diagnose);
int dload_DSP2_cmd(int fd_diagnose);
int dload_bAppEFS_cmd(int fd_diagnose);
int dload_bEFS_cmd(int fd_diagnose);
int dload_close_packet_cmd(int fd_diagnose);
// Boolean: 1 when the reset was acknowledged, 0 otherwise.
int dload_reset_packet_cmd(int fd_diagnose);
// Sends the partition table that img holds in the package.
int dload_partition_table_cmd(int fd_diagnose, const package_span &img);

// Pure reply tests, shared by the commands and their tests.
bool preq_reply_ok(const uint8_t *buf);                       // 11 bytes
bool open_reply_ok(const uint8_t *buf, bool complete);        // unstuffed frame
