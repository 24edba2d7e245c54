// Scratch files for the router unit tests.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "scratch_dir.h"
#include "up_fd.h"

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd.ok() || write_full(fd.get(), bytes.data(), bytes.size()) != (ssize_t)bytes.size())
        abort();
}

inline std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::vector<uint8_t> out;
    unique_fd fd(open(path.c_str(), O_RDONLY));
    uint8_t buf[65536];
    ssize_t n;
    while (fd.ok() && (n = read(fd.get(), buf, sizeof buf)) > 0)
        out.insert(out.end(), buf, buf + n);
    return out;
}

// A recognisable, non-repeating fill, so a misplaced block shows.
inline std::vector<uint8_t> pattern(size_t len, uint8_t seed)
{
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i)
        v[i] = (uint8_t)(i * 7 + seed + (i >> 11));
    return v;
}
