// Helpers of the NV store tests: seeding and reading the virtual modem's
// item files, and a flash through the programmer stage that makes the
// modem's firmware restart as after an upgrade.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "modem_harness.h"
#include "raw_port.h"

inline std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    std::string s = ss.str();
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline void put_file(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
}

inline std::string nv_path(const modem_harness &m, unsigned item)
{
    return m.state() + "/nv/" + std::to_string(item);
}

inline std::string rfnv_path(const modem_harness &m, unsigned item)
{
    return m.state() + "/rfnv/" + std::to_string(item);
}

// How long (in the scaled time of the sandbox) a test waits for the modem:
// long, since a loaded machine may delay it, and every wait ends as soon as
// what it waits for has happened.
constexpr int NV_WAIT_MS = 60000;

inline raw_reply nv_exchange(int fd, const std::vector<uint8_t> &payload)
{
    return raw_exchange(fd, payload, NV_WAIT_MS);
}

// The state directory before the modem first starts, so that it can be seeded.
inline void make_state(const modem_harness &m)
{
    mkdir(m.state().c_str(), 0755);
    mkdir((m.state() + "/nv").c_str(), 0755);
    mkdir((m.state() + "/rfnv").c_str(), 0755);
}

// Lets the programmer take a partition table and images, and reset: the
// firmware that then starts is a flashed one. The modem must have been
// started in the programmer stage. The images of the given types in one programmer session, then its reset;
// after_close (may be empty) is called after each close but the last, with
// the number of images stored so far.
inline bool flash_images_and_reset(const modem_harness &m, const std::vector<uint8_t> &types,
                                   const std::function<void(size_t)> &after_close = {})
{
    int started = m.log_count("attach normal");
    int fd = raw_open(m.diag_port());
    if (fd < 0)
        return false;
    std::vector<std::vector<uint8_t>> steps = {hello_request(), {0x17, 0x01}, {0x19, 0x00, 0xAA, 0x73, 0xEE, 0x55}};
    for (uint8_t type : types) {
        steps.push_back({0x1B, type});
        steps.push_back(stream_write_request(0, test_bytes(300, 9)));
        steps.push_back({0x15});
    }
    steps.push_back({0x0B, 0, 0, 0, 0, 0, 0, 0});
    bool ok = true;
    // Every step must be taken: a NAK (0x03) means nothing was flashed.
    size_t closes = 0;
    for (auto &s : steps) {
        raw_reply r = ok ? nv_exchange(fd, s) : raw_reply{};
        ok = ok && r.got && !r.payload.empty() && r.payload[0] != 0x03;
        if (ok && s.size() == 1 && s[0] == 0x15 && ++closes < types.size() && after_close)
            after_close(closes);
    }
    close(fd);
    return ok && wait_until([&] { return m.log_count("attach normal") > started; }, NV_WAIT_MS);
}

// The same with one EFS image (type 0x09).
inline bool flash_efs_and_reset(const modem_harness &m)
{
    return flash_images_and_reset(m, {0x09});
}
