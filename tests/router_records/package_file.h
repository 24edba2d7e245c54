// Writes a one-record package file for the extraction tests.
#pragma once

#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

#include "record_files.h"
#include "up_fd.h"
#include "up_package.h"

inline package_record_t make_record(const std::string &name, uint32_t offset, uint32_t length,
                                    uint32_t compressed = 0, uint32_t id = PACKAGE_KERNEL)
{
    package_record_t r{};
    r.record_offset = offset;
    r.record_length = length;
    r.compressed = compressed;
    r.record_id = id;
    memcpy(r.record_name, name.data(), std::min(name.size(), sizeof r.record_name));
    return r;
}

// Header, the descriptor, then data at the record's offset. Returns the record
// as the reader would decode it.
inline package_record_t write_package(const std::string &path, const std::string &name,
                                      const std::string &data, uint32_t compressed = 0)
{
    const uint32_t offset = PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE;
    package_record_t r = make_record(name, offset, (uint32_t)data.size(), compressed);
    package_signature_t h{1, 2, 3, 1, 0, (int32_t)(offset + data.size()), 0};
    std::vector<uint8_t> raw(offset);
    encode_package_head(&h, raw.data());
    encode_package_record(&r, raw.data() + PACKAGE_HEAD_SIZE);
    raw.insert(raw.end(), data.begin(), data.end());
    write_text(path, std::string(raw.begin(), raw.end()));
    return r;
}

inline std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(i * 131 + i / 7);
    return s;
}
