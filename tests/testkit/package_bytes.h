// Package bytes crafted directly (header and record table), so that tests
// can make layouts no package builder would: counts, offsets and lengths
// that do not fit, tables cut short. Needs the upgrade library's headers.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "up_package.h"

namespace testkit {

struct package_table_record {
    uint32_t id;
    std::string name;
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t compressed = 0;
};

// The header, then one 84-byte descriptor per record, at the start of size
// bytes (at least the table's) of fill.
inline std::vector<uint8_t> package_table_bytes(const package_signature_t &head,
                                                const std::vector<package_table_record> &recs, size_t size = 0,
                                                uint8_t fill = 0)
{
    size_t table_end = PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * recs.size();
    std::vector<uint8_t> out(size > table_end ? size : table_end, fill);
    encode_package_head(&head, out.data());
    for (size_t i = 0; i < recs.size(); ++i) {
        package_record_t r{};
        r.record_offset = recs[i].offset;
        r.record_length = recs[i].length;
        r.compressed = recs[i].compressed;
        r.record_id = recs[i].id;
        memcpy(r.record_name, recs[i].name.data(),
               recs[i].name.size() < PACKAGE_NAME_SIZE ? recs[i].name.size() : PACKAGE_NAME_SIZE);
        encode_package_record(&r, out.data() + PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE * i);
    }
    return out;
}

} // namespace testkit
