// Builds package bytes for the reader tests: header, descriptors, data.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "package_bytes.h"
#include "up_package.h"

using test_record = testkit::package_table_record;

// A header with made-up magics and CRC, num_records as given, then the
// descriptors; zero bytes up to total.
inline std::vector<uint8_t> package_bytes(uint32_t num_records, const std::vector<test_record> &recs,
                                          int32_t packlen = 0, size_t total = 0)
{
    package_signature_t h{0xDEADBEEFu, 0x12345678u, 99u, num_records, 0xABCDu, packlen, 7u};
    return testkit::package_table_bytes(h, recs, total);
}
