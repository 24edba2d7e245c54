// Port detection on a fake USB device tree laid out like /sys/bus/usb/devices.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "modem_config.h"
#include "modem_ports.h"
#include "scratch_dir.h"

namespace {

struct iface {
    std::string name;                  // e.g. "1-1:1.0"
    std::vector<std::string> entries;  // folders inside it
};

// Builds the tree and detects once, the port fields starting as "d" and "a".
// Returns result, diagnostic port and AT port joined by blanks.
std::string detect(const std::vector<iface> &tree)
{
    scratch_dir dir;
    for (const iface &i : tree) {
        mkdir((dir / i.name).c_str(), 0755);
        for (const std::string &e : i.entries)
            mkdir((dir / i.name + "/" + e).c_str(), 0755);
    }
    std::ofstream(dir / "6-1:1.0") << "a file, not an interface folder";
    snprintf(file_info.diagnose_inface, sizeof file_info.diagnose_inface, "d");
    snprintf(file_info.at_inface, sizeof file_info.at_inface, "a");
    int rc = check_usb_port_in(dir.path.c_str(), 1);
    return std::to_string(rc) + " " + file_info.diagnose_inface + " " + file_info.at_inface;
}

} // namespace

TEST(PortDetection, FirstBusWithEitherInterfaceGivesThePorts)
{
    EXPECT_EQ(detect({{"1-1:1.0", {"ttyUSB0"}}, {"1-1:1.2", {"ttyUSB2"}}, {"4-1:1.0", {"ttyUSB7"}}}),
              "0 /dev/ttyUSB0 /dev/ttyUSB2");
    // Download mode: only the diagnostic interface; the AT port is kept.
    EXPECT_EQ(detect({{"2-1:1.0", {"ttyUSB1"}}}), "0 /dev/ttyUSB1 a");
    // Bus 0 has only its AT interface: bus 3's diagnostic one is not mixed in.
    EXPECT_EQ(detect({{"0-1:1.2", {"ttyUSB2"}}, {"3-1:1.0", {"ttyUSB0"}}}), "0 d /dev/ttyUSB2");
    EXPECT_EQ(detect({{"9-1:1.2", {"ttyUSB4"}}}), "0 d /dev/ttyUSB4");
}

TEST(PortDetection, FirstTtyUsbEntryInAlphabeticalOrder)
{
    EXPECT_EQ(detect({{"1-1:1.0", {"tty", "ttyUSB3"}}}), "0 /dev/ttyUSB3 a");
    EXPECT_EQ(detect({{"1-1:1.0", {"ttyUSB1", "ttyUSB0"}}}), "0 /dev/ttyUSB0 a");
    EXPECT_EQ(detect({{"1-1:1.0", {"ttyUSB9", "ttyUSB10"}}}), "0 /dev/ttyUSB10 a");
    EXPECT_EQ(detect({{"1-1:1.0", {"driver", "power", "ttyUSB4", "uevent"}}}), "0 /dev/ttyUSB4 a");
    // Only a plain name becomes a path.
    EXPECT_EQ(detect({{"1-1:1.0", {"ttyUSB0;rm", "ttyUSB5"}}}), "0 /dev/ttyUSB5 a");
}

TEST(PortDetection, NothingFoundLeavesThePortsAlone)
{
    EXPECT_EQ(detect({}), "-1 d a");
    // Interfaces without a serial device, and bus 10, which is not searched.
    EXPECT_EQ(detect({{"5-1:1.0", {"tty"}}, {"10-1:1.0", {"ttyUSB0"}}}), "-1 d a");
    EXPECT_EQ(check_dev_dir("/nonexistent"), -1);
    EXPECT_EQ(check_dev_dir("/dev/null"), -1);
    EXPECT_EQ(check_dev_dir("/"), 0);
}
