// A package with router records and a modem container, a router with a
// virtual modem, and the checks the modem scenarios share.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "upgrade_fixture.h"

namespace sysmodem {

using sysrouter::random_bytes;
using sysrouter::sim_router;
using bytes = std::vector<uint8_t>;

inline size_t count_lines(const std::vector<std::string> &lines, const std::string &text)
{
    return (size_t)std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

inline size_t syslog_count(const sim_router &r, const std::string &text)
{
    return count_lines(r.syslog(), text);
}

struct modem_package {
    sysrouter::package_dir dir;
    bytes kernel = random_bytes(300000, 21);
    bytes rootfs = random_bytes(400000, 22);
    // imgpack's type word, the file in MODEMSTATE/flash, the body. DSP2 is
    // most of the package, so its block-by-block progress shows.
    struct image {
        const char *type, *flash;
        bytes data;
    };
    std::vector<image> images = {
        {"hex", "programmer.bin", random_bytes(5000, 31)}, {"partition", "partition", random_bytes(300, 32)},
        {"dbl", "dbl", random_bytes(7000, 33)},            {"fsbl", "fsbl", random_bytes(6000, 34)},
        {"osbl", "osbl", random_bytes(9000, 35)},          {"amss", "amss", random_bytes(30000, 36)},
        {"dsp1", "dsp1", random_bytes(8000, 37)},          {"dsp2", "dsp2", random_bytes(2100000, 38)},
        {"efs", "efs", random_bytes(7000, 39)},
    };
    std::string modem_state = dir / "modem";
    std::string path;

    // modem_lines: INI keys and imgpack's container options. amss_version:
    // a version the AMSS image names, which the modem then runs after its
    // flash ("" names none and the modem keeps its version).
    explicit modem_package(const std::string &modem_lines = "modem_version ZMR_V200\n",
                           const std::string &amss_version = "")
    {
        if (!amss_version.empty()) {
            const std::string mark = "InnerVersion:" + amss_version + '\0';
            bytes &amss = images[5].data;
            std::copy(mark.begin(), mark.end(), amss.begin() + 1000);
        }
        dir.put("zImage", kernel);
        dir.put("rootfs.jffs2", rootfs);
        dir.put("version_info.txt", "zImage-2.0\nrootfs.jffs2-2.0\ndfi_version-2.0\n");
        std::string desc = modem_lines;
        for (const image &i : images) {
            dir.put(std::string("m_") + i.type, i.data);
            desc += std::string("image ") + i.type + " m_" + i.type + "\n";
        }
        dir.put("modem.desc", desc);
        path = dir.build("record version version_info.txt 0 version_info.txt\n"
                         "record kernel zImage 0 zImage\n"
                         "record rootfs rootfs.jffs2 0 rootfs.jffs2\n"
                         "modem qd4700_modem.bin modem.desc\n");
        std::filesystem::create_directories(modem_state);
    }

    // The modem's running version and fault rules, before the run.
    void modem_version(const std::string &v) const { dir.put("modem/version", v + "\n"); }
    void modem_faults(const std::string &rules) const { dir.put("modem/faults", rules); }

    bool modem_has(const std::string &rel) const { return access((modem_state + "/" + rel).c_str(), F_OK) == 0; }
    const bytes &data(const std::string &type) const
    {
        return std::find_if(images.begin(), images.end(), [&](const image &i) { return type == i.type; })->data;
    }
    bool flash_holds(const std::string &type) const
    {
        for (const image &i : images)
            if (type == i.type)
                return simharness::read_file(modem_state + "/flash/" + i.flash) ==
                       std::string(i.data.begin(), i.data.end());
        return false;
    }
    size_t modem_log_count(const std::string &text) const
    {
        return count_lines(simharness::read_lines(modem_state + "/out/modem.log"), text);
    }
};

inline simharness::run_options with_modem(const modem_package &pkg, double scale = 20)
{
    simharness::run_options o;
    o.time_scale = scale;
    o.timeout_s = 5000;
    o.modem_state = pkg.modem_state;
    return o;
}

// Writes the package into the package partition and asks for the upgrade
// from state 0, as the router's services do: on an erased state block a
// package with a modem record reads as "router records done".
inline ::testing::AssertionResult load_for_upgrade(sim_router &r, const modem_package &pkg)
{
    if (r.load_package(pkg.path) != 0 || r.run({"imgrenew", "set", "0"}) != 0 || r.status() != "0")
        return ::testing::AssertionFailure() << "package not loaded";
    return ::testing::AssertionSuccess();
}

// Loads the package and runs imgrenew up with the virtual modem (by default
// the package's own). Call through ASSERT_NO_FATAL_FAILURE.
inline void load_and_up(sim_router &r, const modem_package &pkg, const simharness::run_options &o)
{
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
}

inline void load_and_up(sim_router &r, const modem_package &pkg, double scale = 20)
{
    load_and_up(r, pkg, with_modem(pkg, scale));
}

// A failed modem step ends the upgrade without a completion (the modem
// installer sends no failure report of its own) and asks for the reboot.
inline void expect_failed_upgrade_bus(const std::vector<simharness::bus_message> &bus)
{
    for (const simharness::bus_message &m : bus) {
        if (m.module == sysrouter::k_ui) {
            EXPECT_NE(m.payload.at("operation"), 2) << "completion reported for a failed run";
        }
    }
    sysrouter::expect_reboot_requested(bus);
}

// Nothing of the container reached the modem.
inline ::testing::AssertionResult nothing_flashed(const modem_package &pkg)
{
    for (const auto &i : pkg.images)
        if (pkg.modem_has(std::string("flash/") + i.flash))
            return ::testing::AssertionFailure() << i.flash << " was flashed";
    if (pkg.modem_log_count("attach download") != 0)
        return ::testing::AssertionFailure() << "the modem was switched to download mode";
    return ::testing::AssertionSuccess();
}

}  // namespace sysmodem
