// Builds package bytes for the reader tests: header, descriptors, data.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "up_package.h"

struct test_record {
    uint32_t id;
    std::string name;
    uint32_t offset = 0;
    uint32_t length = 0;
};

inline std::vector<uint8_t> package_bytes(uint32_t num_records, const std::vector<test_record> &recs,
                                          int32_t packlen = 0, size_t total = 0)
{
    std::vector<uint8_t> out(PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * recs.size());
    package_signature_t h{0xDEADBEEFu, 0x12345678u, 99u, num_records, 0xABCDu, packlen, 7u};
    encode_package_head(&h, out.data());
    for (size_t i = 0; i < recs.size(); ++i) {
        package_record_t r{};
        r.record_offset = recs[i].offset;
        r.record_length = recs[i].length;
        r.record_id = recs[i].id;
        memcpy(r.record_name, recs[i].name.data(),
               recs[i].name.size() < PACKAGE_NAME_SIZE ? recs[i].name.size() : PACKAGE_NAME_SIZE);
        encode_package_record(&r, out.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * i);
    }
    if (total > out.size())
        out.resize(total, 0);
    return out;
}
