// Builds package bytes for the router tests from a list of records.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "up_package.h"

struct test_record {
    uint32_t id;
    std::string name;
    std::vector<uint8_t> data;
    uint32_t compressed = 0;
};

// Header, table, then each record's data in order. Returns the bytes; the
// descriptors as written are stored in out (when given).
inline std::vector<uint8_t> build_package(const std::vector<test_record> &records,
                                          std::vector<package_record_t> *out = nullptr)
{
    size_t offset = PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * records.size();
    std::vector<package_record_t> descs;
    for (const test_record &r : records) {
        package_record_t d{};
        d.record_offset = (uint32_t)offset;
        d.record_length = (uint32_t)r.data.size();
        d.compressed = r.compressed;
        d.record_id = r.id;
        memcpy(d.record_name, r.name.data(), std::min(r.name.size(), sizeof d.record_name));
        descs.push_back(d);
        offset += r.data.size();
    }
    package_signature_t head{0x55AA, 0xAA55, 1, (uint32_t)records.size(), 0, (int32_t)offset, 0};
    std::vector<uint8_t> bytes(PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * records.size());
    encode_package_head(&head, bytes.data());
    for (size_t i = 0; i < descs.size(); ++i)
        encode_package_record(&descs[i], bytes.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * i);
    for (const test_record &r : records)
        bytes.insert(bytes.end(), r.data.begin(), r.data.end());
    if (out)
        *out = descs;
    return bytes;
}
