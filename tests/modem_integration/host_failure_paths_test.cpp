// The tool's download commands on their failure paths, against the virtual
// modem made to refuse, stay silent or answer out of turn. Each case counts
// what the modem saw, so a command that retries too often, too rarely, or
// sends what it should refuse shows up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "dload_commands.h"
#include "modem_harness.h"
#include "raw_port.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

TEST(HostFailurePaths, NopRefusedThreeTimesGivesUp)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "download", "--fault", "nak nop * 6"}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(nop_cmd(port.get()), -1);
    EXPECT_EQ(modem.log_count("rx download nop"), 3);
}

TEST(HostFailurePaths, SecurityRefusedFiftyTimesGivesUp)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "nak security *"}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    ASSERT_EQ(dload_hello_cmd(port.get()), 0);
    EXPECT_EQ(dload_security_cmd(port.get()), 1);
    EXPECT_EQ(modem.log_count("rx programmer security"), 50);
}

TEST(HostFailurePaths, OfflineNotEchoedAndSwitchWhileOnline)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--fault", "drop offline 1"}));
    EXPECT_EQ(send_offlin_cmd(modem.diag_port().c_str()), -1);
    EXPECT_EQ(modem.log_count("rx normal offline"), 1);
    // Still online: the modem refuses the switch with a DIAG error.
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 0));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(dload_switch_cmd(port.get()), -1);
    EXPECT_EQ(modem.log_count("switch while online refused"), 1);
    EXPECT_TRUE(path_exists(modem.at_port()));
}

TEST(HostFailurePaths, GoRefusedFailsAndClosesThePortOnce)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "download", "--fault", "nak go *"}));
    int fd = OpenAndInitSerialCom(modem.diag_port().c_str(), 1);
    ASSERT_GT(fd, 0);
    EXPECT_LT(go_cmd(fd, 0x100000), 0);
    // The reply receiver closed the port: the descriptor is gone.
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(modem.log_count("rx download go"), 1);
}

TEST(HostFailurePaths, PartitionTableOfLength0Or512IsNotSent)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "programmer"}));
    unique_fd pkg(make_package(modem.state() + ".package", {test_bytes(600, 3)}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(dload_partition_table_cmd(port.get(), package_span{pkg.get(), 0, 0}), -1);
    EXPECT_EQ(dload_partition_table_cmd(port.get(), package_span{pkg.get(), 0, 512}), -1);
    EXPECT_EQ(modem.log_count("rx programmer"), 0);
}

TEST(HostFailurePaths, ResetAnswersOneOnSuccessAndZeroOnRefusal)
{
    modem_harness refusing;
    ASSERT_TRUE(refusing.start({"--start", "programmer", "--fault", "nak reset 1"}));
    unique_fd port(OpenAndInitSerialCom(refusing.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(dload_reset_packet_cmd(port.get()), 0);
    EXPECT_EQ(refusing.log_count("rx programmer reset"), 1);
    // The modem checks the seven zero bytes: the next reset is taken.
    EXPECT_EQ(dload_reset_packet_cmd(port.get()), 1);
    EXPECT_EQ(refusing.log_count("re-enumerating into normal"), 1);
}

TEST(HostFailurePaths, CloseNeverAnsweredIsTriedTenTimes)
{
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "programmer", "--fault", "drop close *"}));
    unique_fd port(OpenAndInitSerialCom(modem.diag_port().c_str(), 1));
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(dload_close_packet_cmd(port.get()), 1);
    EXPECT_EQ(modem.log_count("rx programmer close"), 10);
}

} // namespace
