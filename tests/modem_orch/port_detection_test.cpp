// Port detection on a fake USB device tree laid out like /sys/bus/usb/devices.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "modem_config.h"
#include "modem_ports.h"
#include "scratch_dir.h"

namespace {

struct fake_usb_tree {
    scratch_dir dir;
    // Interface folder (e.g. "1-1:1.0") holding the given entries (folders).
    void iface(const std::string &name, const std::vector<std::string> &entries) const
    {
        std::string p = dir / name;
        mkdir(p.c_str(), 0755);
        for (const std::string &e : entries)
            mkdir((p + "/" + e).c_str(), 0755);
    }
    // Detects once; the port fields start as "diag-before" and "at-before".
    int detect() const
    {
        snprintf(file_info.diagnose_inface, sizeof file_info.diagnose_inface, "diag-before");
        snprintf(file_info.at_inface, sizeof file_info.at_inface, "at-before");
        return check_usb_port_in(dir.path.c_str(), 1);
    }
};

} // namespace

TEST(PortDetection, BothPortsOfTheFirstBusWithAnInterface)
{
    fake_usb_tree t;
    t.iface("1-1:1.0", {"ttyUSB0"});
    t.iface("1-1:1.2", {"ttyUSB2"});
    t.iface("4-1:1.0", {"ttyUSB7"});
    ASSERT_EQ(t.detect(), 0);
    EXPECT_STREQ(file_info.diagnose_inface, "/dev/ttyUSB0");
    EXPECT_STREQ(file_info.at_inface, "/dev/ttyUSB2");
}

TEST(PortDetection, DownloadModeHasOnlyTheDiagnosticPort)
{
    fake_usb_tree t;
    t.iface("2-1:1.0", {"ttyUSB1"});
    ASSERT_EQ(t.detect(), 0);
    EXPECT_STREQ(file_info.diagnose_inface, "/dev/ttyUSB1");
    EXPECT_STREQ(file_info.at_inface, "at-before");
}

TEST(PortDetection, BusIsChosenByEitherInterfaceAndNotMixedWithAnother)
{
    // Bus 0 has only its AT interface: bus 0 is taken, and the diagnostic
    // interface of bus 3 is not looked at.
    fake_usb_tree t;
    t.iface("0-1:1.2", {"ttyUSB2"});
    t.iface("3-1:1.0", {"ttyUSB0"});
    ASSERT_EQ(t.detect(), 0);
    EXPECT_STREQ(file_info.diagnose_inface, "diag-before");
    EXPECT_STREQ(file_info.at_inface, "/dev/ttyUSB2");
}

TEST(PortDetection, FirstTtyUsbEntryInAlphabeticalOrder)
{
    struct {
        std::vector<std::string> entries;
        const char *port;
    } cases[] = {
        {{"tty", "ttyUSB3"}, "/dev/ttyUSB3"},
        {{"ttyUSB1", "ttyUSB0"}, "/dev/ttyUSB0"},
        {{"ttyUSB10", "ttyUSB9"}, "/dev/ttyUSB10"},   // text order, not numeric
        {{"driver", "power", "ttyUSB4", "uevent"}, "/dev/ttyUSB4"},
        {{"ttyUSB0;rm", "ttyUSB5"}, "/dev/ttyUSB5"},   // only plain names become paths
    };
    for (auto &c : cases) {
        fake_usb_tree t;
        t.iface("9-1:1.0", c.entries);
        ASSERT_EQ(t.detect(), 0) << c.port;
        EXPECT_STREQ(file_info.diagnose_inface, c.port);
    }
}

TEST(PortDetection, NothingFoundLeavesThePortsAlone)
{
    fake_usb_tree empty;
    EXPECT_EQ(empty.detect(), -1);
    EXPECT_STREQ(file_info.diagnose_inface, "diag-before");

    // Interfaces without a serial device, a file where a folder should be,
    // and bus 10, which is not searched.
    fake_usb_tree t;
    t.iface("5-1:1.0", {"tty"});
    t.iface("10-1:1.0", {"ttyUSB0"});
    std::ofstream(t.dir / "6-1:1.0") << "not a folder";
    EXPECT_EQ(t.detect(), -1);
    EXPECT_STREQ(file_info.diagnose_inface, "diag-before");
    EXPECT_STREQ(file_info.at_inface, "at-before");
}

TEST(PortDetection, DevDirAcceptsOnlyDirectories)
{
    fake_usb_tree t;
    t.iface("1-1:1.0", {});
    std::ofstream(t.dir / "file") << "x";
    EXPECT_EQ(check_dev_dir((t.dir / "1-1:1.0").c_str()), 0);
    EXPECT_EQ(check_dev_dir((t.dir / "file").c_str()), -1);
    EXPECT_EQ(check_dev_dir((t.dir / "missing").c_str()), -1);
    EXPECT_EQ(check_dev_dir(nullptr), -1);
}
