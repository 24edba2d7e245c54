// Scratch files for the library tests: an anonymous file that holds given
// bytes, rewound, and closed when the test ends.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "up_fd.h"

inline unique_fd file_with(const std::vector<uint8_t> &bytes)
{
    char path[] = "/tmp/libup_testXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        abort();
    unlink(path);
    if (!bytes.empty() && write_full(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
        abort();
    lseek(fd, 0, SEEK_SET);
    return unique_fd(fd);
}

inline std::vector<uint8_t> file_bytes(int fd)
{
    std::vector<uint8_t> out;
    off_t end = lseek(fd, 0, SEEK_END);
    out.resize((size_t)end);
    if (pread(fd, out.data(), out.size(), 0) != (ssize_t)out.size())
        abort();
    return out;
}
