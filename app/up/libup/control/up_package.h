// Upgrade package layout: a 28-byte header, 84-byte record descriptors, data.
// Every integer is 32-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PACKAGE_HEAD_SIZE = 28;
constexpr size_t PACKAGE_RECORD_SIZE = 84;
constexpr size_t PACKAGE_NAME_SIZE = 64;

enum {
    PACKAGE_VERSION = 0,
    PACKAGE_BOOTLOADER = 1,
    PACKAGE_KERNEL = 2,
    PACKAGE_ROOTFS = 3,
    PACKAGE_2NDFS = 4,
    PACKAGE_BOOT_IMAGE = 6,
    PACKAGE_MODEM_IMAGE = 7,
    PACKAGE_UPDATE_FILE = 8,
};

struct package_record_t {
    uint32_t record_offset;
    uint32_t record_length;
    uint32_t compressed;         // 1: bzip2-compressed tar; 0: raw
    uint32_t record_id;          // PACKAGE_*
    uint32_t component_version;
    char record_name[PACKAGE_NAME_SIZE];   // not always NUL-terminated
};
static_assert(sizeof(package_record_t) == PACKAGE_RECORD_SIZE, "descriptor is 84 bytes");
static_assert(offsetof(package_record_t, record_name) == 20, "");

struct package_signature_t {
    uint32_t magic1;
    uint32_t magic2;
    uint32_t version;
    uint32_t num_records;
    uint32_t wholecrc;
    int32_t packlen;
    uint32_t downgrade_enabled;
};
static_assert(sizeof(package_signature_t) == PACKAGE_HEAD_SIZE, "header is 28 bytes");
static_assert(offsetof(package_signature_t, wholecrc) == 16, "");
static_assert(offsetof(package_signature_t, packlen) == 20, "");
static_assert(offsetof(package_signature_t, downgrade_enabled) == 24, "");

// Decoders and encoders of the on-disk forms (explicit little-endian).
void decode_package_head(const uint8_t *raw, package_signature_t *head);
void encode_package_head(const package_signature_t *head, uint8_t *raw);
void decode_package_record(const uint8_t *raw, package_record_t *rec);
void encode_package_record(const package_record_t *rec, uint8_t *raw);
