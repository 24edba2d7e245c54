// The modem firmware container carried by a modem record: a 16-byte header,
// a table of 16-byte sub-image headers and the sub-image bodies back to back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "up_package_io.h"

// Status values of the modem step.
enum {
    FUU_OK = 0,
    FUU_CRC_ERR = 1,
    FUU_FLS_ERR = 2,
    FUU_FLE_ERR = 3,     // the container header is unusable
    FUU_MEM_ERR = 4,
    FUU_MTD_ERR = 5,
    FUU_RSET_ERR = 6,    // the step's result when its status was not 0 at the end
};

// A container header or a table entry, as decoded from the file. In the file
// every field is big-endian except the container's checksum, which is
// stored least significant byte first.
struct fw_h_t {
    uint32_t fw_h_magic;   // container: "MDOM"; entry: sub-image type, 0 = end
    uint32_t fw_h_resv;    // container: number of table entries
    uint32_t fw_h_csum;    // container: CRC-32 of the bytes after the header
    uint32_t fw_h_size;    // container: total size; entry: body size
};
constexpr size_t FW_H_SIZE = 16;
static_assert(sizeof(fw_h_t) == FW_H_SIZE, "container header is 16 bytes");
static_assert(offsetof(fw_h_t, fw_h_csum) == 8, "");
static_assert(offsetof(fw_h_t, fw_h_size) == 12, "");

// Container magic and sub-image types: the first four bytes read big-endian.
constexpr uint32_t MODEM_CONTAINER_MAGIC = 0x4D444F4D;   // "MDOM"
constexpr uint32_t MODEM_IMG_END = 0;
constexpr uint32_t MODEM_IMG_HEX = 0x4D484558;           // "MHEX"
constexpr uint32_t MODEM_IMG_PARTITION = 0x01020304;
constexpr uint32_t MODEM_IMG_DBL = 0x05060708;
constexpr uint32_t MODEM_IMG_FSBL = 0x090A0B0C;
constexpr uint32_t MODEM_IMG_OSBL = 0x0D0E0F10;
constexpr uint32_t MODEM_IMG_AMSS = 0x11121314;
constexpr uint32_t MODEM_IMG_DSP1 = 0x15161718;
constexpr uint32_t MODEM_IMG_DSP2 = 0x191A1B1C;
constexpr uint32_t MODEM_IMG_EFS = 0x42454653;           // "BEFS"

// The table holds at most 15 entries, so the slot after the last one always
// reads as an end mark.
constexpr int MODEM_TABLE_SLOTS = 16;
constexpr uint32_t MODEM_MAX_ENTRIES = 15;

extern fw_h_t headbuf[MODEM_TABLE_SLOTS];
extern int32_t firm_num;

#define MODEM_FSBL_FILE "/2ndfile/fsbl.mbn"

// Decodes a container header (checksum little-endian) or a table entry.
void fw_h_decode(const uint8_t raw[FW_H_SIZE], fw_h_t *h);

// Opens the container that the modem record rec holds: reads and checks
// the header, the checksum of the container after it and reads the table
// into headbuf. On success *consumed counts the header and table bytes (entry
// 0's body starts at rec.off + *consumed) and 0 is returned. FUU_FLE_ERR when
// the header is short or wrong, declares more than 15 entries, or sizes that
// do not fit the container or the record; -1 when the checksum does not match
// or the container cannot be read. Nothing is read into headbuf before the
// header is accepted.
int modem_container_open(const package_span &rec, fw_h_t *head, uint32_t *consumed);

// Copies entry 0's body (the INI), which starts *consumed bytes into the
// record, into a fresh ini_file. *consumed grows by what was copied. 0 or -1.
int modem_container_copy_ini(const package_span &rec, const char *ini_file, uint32_t *consumed);

// Copies the image's bytes into filename, replacing what the file held.
// 0 or -1.
int extract_sub_image(const package_span &img, const char *filename);
