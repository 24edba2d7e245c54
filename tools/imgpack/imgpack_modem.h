// imgpack: the modem firmware container carried by a modem record. A 16-byte
// header ("MDOM", entry count and total size big-endian, checksum least
// significant byte first), a table of 16-byte entry headers (type and body
// size big-endian) and the bodies back to back. Entry 0 is the INI
// configuration the modem step reads before it flashes anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr uint32_t MODEM_HEAD_SIZE = 16;
constexpr uint32_t MODEM_MAGIC = 0x4D444F4D;        // "MDOM"
// The modem step keeps 16 table slots and needs the one after the last entry
// as its end mark.
constexpr uint32_t MODEM_MAX_ENTRIES = 15;
// The partition table command sends 1 to 511 bytes; any other length fails
// every attempt with "BIN file length error".
constexpr uint32_t MODEM_PARTITION_TABLE_MAX = 511;

// Sub-image type words, as the four bytes stand in the entry header.
constexpr uint32_t MODEM_TYPE_END = 0x00000000;
constexpr uint32_t MODEM_TYPE_HEX = 0x4D484558;     // "MHEX"
constexpr uint32_t MODEM_TYPE_PARTITION = 0x01020304;
constexpr uint32_t MODEM_TYPE_EFS = 0x42454653;     // "BEFS"

// Name of a sub-image type word ("hex", "dbl", ... "end"), or nullptr.
const char *imgpack_modem_type_name(uint32_t type);
// Parses a type word: a name above or a number. 0 or -1.
int imgpack_modem_parse_type(const std::string &word, uint32_t *type);

struct imgpack_modem_image {
    uint32_t type = 0;
    std::string path;              // resolved; empty for an end mark without body
    int line = 0;
};

// One INI key: its zone, its name and the text written after "=".
struct imgpack_ini_key {
    const char *zone;
    const char *name;
    std::string value;
    bool omitted = false;
};

struct imgpack_modem_desc {
    std::vector<imgpack_ini_key> ini;      // every key of the configuration, in file order
    std::string ini_path;                  // non-empty: entry 0 is this file as it is
    std::vector<imgpack_modem_image> images;
    // Deliberately bad containers, for tests of the modem step.
    uint32_t magic = MODEM_MAGIC;
    bool declared_given = false;
    uint32_t declared_entries = 0;
    bool checksum_given = false;
    uint32_t checksum = 0;
    int flip_checksum_byte = -1;           // 0..3: that stored byte inverted
    bool checksum_msb_first = false;
};

// The configuration keys with their defaults (modem_version empty).
void imgpack_modem_desc_init(imgpack_modem_desc *desc);

// Parses a container description; relative paths are taken from base_dir.
// 0, or -1 with a message naming the line in *err.
int imgpack_parse_modem_description(const std::string &text, const std::string &base_dir,
                                    imgpack_modem_desc *desc, std::string *err);

// The INI text the description asks for.
std::string imgpack_modem_ini_text(const imgpack_modem_desc &desc);

// The checksum the modem step compares with the stored one: CRC-32 whose
// running value starts at 0xFFFFFFFF, over everything after the header.
uint32_t imgpack_modem_checksum(const uint8_t *after_header, uint32_t len);

// Lays out the container. 0, or -1 with *err.
int imgpack_build_modem_bytes(const imgpack_modem_desc &desc, std::vector<uint8_t> *container,
                              std::string *err);
// Reads and parses the description file and lays out its container.
int imgpack_build_modem_file(const std::string &description, std::vector<uint8_t> *container,
                             std::string *err);

// imgpack modem OUTPUT DESCRIPTION: 0 on success, 1 on failure.
int imgpack_build_modem(const char *output, const char *description);

// Lists a container (at most len bytes at data) the way the modem step reads
// it, each line starting with indent. Returns the number of problems that
// make the modem step refuse the container; adds to *warnings (when given)
// the ones it takes but cannot install (a partition table the flash
// programmer command refuses).
int imgpack_inspect_modem_bytes(const uint8_t *data, size_t len, const char *indent, FILE *out,
                                int *warnings = nullptr);

// Shared file helpers of the builder.
int imgpack_read_file(const std::string &path, std::vector<uint8_t> *out, std::string *err);
// Writes bytes beside output and renames, so a failure leaves nothing under
// the output name. 0, or -1 with *err.
int imgpack_write_output(const char *output, const std::vector<uint8_t> &bytes, std::string *err);
