// Scratch folders and whole-file reads and writes for the NV tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_files.h"

namespace nvtest {

using bytes = std::vector<uint8_t>;

inline std::string temp_dir()
{
    char tmpl[] = "/tmp/nvtest.XXXXXX";
    EXPECT_NE(mkdtemp(tmpl), nullptr);
    return tmpl;
}

inline bytes read_file(const std::string &path)
{
    return testkit::read_bytes(path);
}

inline void write_file(const std::string &path, const bytes &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    // An empty vector's data() may be null, which fwrite must not be given.
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// The little-endian 32-bit word at byte at of b.
inline uint32_t le32(const bytes &b, size_t at)
{
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

} // namespace nvtest
