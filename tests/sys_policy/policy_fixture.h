// A small router package (version file and kernel) with the header's
// version and downgrade_enabled chosen, and the counts the tests read.
#pragma once

#include <algorithm>

#include "upgrade_fixture.h"

namespace syspolicy {

using simharness::run_options;
using simharness::sim_router;

struct small_package {
    sysrouter::package_dir dir;
    std::vector<uint8_t> kernel;
    std::string path;
    small_package(uint32_t version, uint32_t downgrade_enabled, uint64_t seed)
        : kernel(testkit::random_bytes(200000, seed))
    {
        dir.put("zImage", kernel);
        dir.put("version_info.txt", "zImage-" + std::to_string(version) + "\n");
        path = dir.build("magic1 0x4B515550\nversion " + std::to_string(version) + "\ndowngrade_enabled " +
                         std::to_string(downgrade_enabled) +
                         "\nrecord version version_info.txt 0 version_info.txt\nrecord kernel zImage 0 zImage\n");
    }
};

// imgrenew up in file mode on the package at path, 20 times faster.
inline run_options file_mode(const std::string &path, double scale = 20)
{
    run_options o;
    o.time_scale = scale;
    o.timeout_s = 300;
    o.file_mode_package = path;
    return o;
}

inline size_t syslog_count(const sim_router &r, const std::string &text)
{
    auto lines = r.syslog();
    return (size_t)std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

}  // namespace syspolicy
