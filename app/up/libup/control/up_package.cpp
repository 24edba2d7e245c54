// On-disk forms of the package header and record descriptor. Every field is
// 32-bit little-endian whatever the host's order, so the router and the host
// tools read the same bytes the same way.
#include <cstring>

#include "up_bytes.h"
#include "up_package.h"

namespace {

// Both forms are runs of 32-bit little-endian words, laid out in memory as
// on disk (the layouts are asserted in up_package.h): each word is converted
// at its own offset, so the host's byte order never reaches the file.
constexpr size_t HEAD_WORDS = PACKAGE_HEAD_SIZE / 4;
constexpr size_t RECORD_WORDS = offsetof(package_record_t, record_name) / 4;

void words_from_le(const uint8_t *raw, void *dst, size_t words)
{
    for (size_t i = 0; i < words; ++i) {
        uint32_t w = get_le32(raw + 4 * i);
        memcpy(static_cast<uint8_t *>(dst) + 4 * i, &w, 4);
    }
}

void words_to_le(const void *src, uint8_t *raw, size_t words)
{
    for (size_t i = 0; i < words; ++i) {
        uint32_t w;
        memcpy(&w, static_cast<const uint8_t *>(src) + 4 * i, 4);
        put_le32(raw + 4 * i, w);
    }
}

} // namespace

void decode_package_head(const uint8_t *raw, package_signature_t *head)
{
    words_from_le(raw, head, HEAD_WORDS);
}

void encode_package_head(const package_signature_t *head, uint8_t *raw)
{
    words_to_le(head, raw, HEAD_WORDS);
}

void decode_package_record(const uint8_t *raw, package_record_t *rec)
{
    words_from_le(raw, rec, RECORD_WORDS);
    // The name is copied as stored: a 64-character name has no terminator.
    memcpy(rec->record_name, raw + 20, PACKAGE_NAME_SIZE);
}

void encode_package_record(const package_record_t *rec, uint8_t *raw)
{
    words_to_le(rec, raw, RECORD_WORDS);
    memcpy(raw + 20, rec->record_name, PACKAGE_NAME_SIZE);
}
