// Small file and data helpers the test folders share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace testkit {

// True when something (a link included, followed or not) stands at path.
inline bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// The whole file as bytes in a string; empty when it cannot be read.
inline std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The whole file as bytes; empty when it cannot be read.
inline std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::string text = read_text(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Replaces the file's contents with text (bytes as they are).
inline void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// len bytes from a Mersenne twister seeded with seed: the same bytes for
// the same seed on every machine.
inline std::vector<uint8_t> random_bytes(size_t len, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(len);
    for (auto &b : v)
        b = (uint8_t)gen();
    return v;
}

} // namespace testkit
