// On-disk forms of the package header and record descriptor. Every field is
// 32-bit little-endian whatever the host's order, so the router and the host
// tools read the same bytes the same way.
#include <cstring>

#include "up_bytes.h"
#include "up_package.h"

void decode_package_head(const uint8_t *raw, package_signature_t *head)
{
    head->magic1 = get_le32(raw + 0);
    head->magic2 = get_le32(raw + 4);
    head->version = get_le32(raw + 8);
    head->num_records = get_le32(raw + 12);
    head->wholecrc = get_le32(raw + 16);
    head->packlen = (int32_t)get_le32(raw + 20);
    head->downgrade_enabled = get_le32(raw + 24);
}

void encode_package_head(const package_signature_t *head, uint8_t *raw)
{
    put_le32(raw + 0, head->magic1);
    put_le32(raw + 4, head->magic2);
    put_le32(raw + 8, head->version);
    put_le32(raw + 12, head->num_records);
    put_le32(raw + 16, head->wholecrc);
    put_le32(raw + 20, (uint32_t)head->packlen);
    put_le32(raw + 24, head->downgrade_enabled);
}

void decode_package_record(const uint8_t *raw, package_record_t *rec)
{
    rec->record_offset = get_le32(raw + 0);
    rec->record_length = get_le32(raw + 4);
    rec->compressed = get_le32(raw + 8);
    rec->record_id = get_le32(raw + 12);
    rec->component_version = get_le32(raw + 16);
    // The name is copied as stored: a 64-character name has no terminator.
    memcpy(rec->record_name, raw + 20, PACKAGE_NAME_SIZE);
}

void encode_package_record(const package_record_t *rec, uint8_t *raw)
{
    put_le32(raw + 0, rec->record_offset);
    put_le32(raw + 4, rec->record_length);
    put_le32(raw + 8, rec->compressed);
    put_le32(raw + 12, rec->record_id);
    put_le32(raw + 16, rec->component_version);
    memcpy(raw + 20, rec->record_name, PACKAGE_NAME_SIZE);
}
