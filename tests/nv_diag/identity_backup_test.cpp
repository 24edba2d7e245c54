// Identity items read before a modem upgrade and written back after it,
// against a scripted AT port on a pseudo-terminal.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "identity_backup.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

// An AT port: each command (NULs of the fixed-size buffer dropped) is noted
// and answered by the script.
class at_peer {
public:
    explicit at_peer(std::function<std::string(const std::string &)> answer) : answer_(std::move(answer))
    {
        int master = -1, slave = -1;
        char name[128] = {};
        EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        master_.reset(master);
        slave_.reset(slave);
        port_.reset(OpenAndInitSerialCom(name, 0));
        thread_ = std::thread([this] { run(); });
    }
    ~at_peer()
    {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_.get(); }
    std::vector<std::string> commands()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return commands_;
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd p{master_.get(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char chunk[1024];
            ssize_t n = read(master_.get(), chunk, sizeof chunk);
            if (n <= 0)
                continue;
            std::string cmd;
            for (ssize_t i = 0; i < n; i++)
                if (chunk[i] != '\0')
                    cmd += chunk[i];
            if (cmd.empty())
                continue;
            {
                std::lock_guard<std::mutex> lock(mu_);
                commands_.push_back(cmd);
            }
            std::string ans = answer_(cmd);
            if (!ans.empty()) {
                EXPECT_EQ(write(master_.get(), ans.data(), ans.size()), (ssize_t)ans.size());
            }
        }
    }
    std::function<std::string(const std::string &)> answer_;
    unique_fd master_, slave_, port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> commands_;
};

std::string ok(const std::string &) { return "\r\nOK\r\n"; }

} // namespace

TEST(IdentityBackup, ReadsTheFlaggedItemsWithTheirQuotes)
{
    at_peer modem([](const std::string &cmd) -> std::string {
        if (cmd.rfind("AT+KQTSN=0,5", 0) == 0)
            return "\r\n+KQTSN: \"SN12345\"\r\nOK\r\n";
        if (cmd.rfind("AT+KQTSN=0,7", 0) == 0)
            return "\r\n+KQTSN: \"356938035643809\"\r\nOK\r\n";
        if (cmd.rfind("AT+TESTINF2=?", 0) == 0)
            return "\r\n+TESTINF2: \"CAL:PASS FT:PASS\"\r\nOK\r\n";
        if (cmd.rfind("AT+NWLCFG?", 0) == 0)
            return "\r\n+NWLCFG: \"1\"\r\nOK\r\n";
        return "\r\nERROR\r\n";
    });
    efs_h_cfg cfg{};
    cfg.SN = cfg.IMEI = cfg.TESTINF = cfg.SIMLOCK = 1;
    ASSERT_EQ(BackupInfo(modem.port(), &cfg), 0);
    EXPECT_STREQ(cfg.strSN, "\"SN12345\"");
    EXPECT_STREQ(cfg.strIMEI, "\"356938035643809\"");
    EXPECT_STREQ(cfg.strTESTINF, "\"CAL:PASS FT:PASS\"");
    EXPECT_STREQ(cfg.strSIMLOCK, "\"1\"");
    auto cmds = modem.commands();
    ASSERT_EQ(cmds.size(), 4u);
    EXPECT_EQ(cmds[0], "AT+KQTSN=0,5\r\n\r\n");
    EXPECT_EQ(cmds[3], "AT+NWLCFG?\r\n\r\n");
}

TEST(IdentityBackup, ASerialNumberThatCannotBeReadClearsItsFlag)
{
    at_peer modem([](const std::string &) { return std::string("\r\nERROR\r\n"); });
    efs_h_cfg cfg{};
    cfg.SN = 1;
    cfg.IMEI = 1;
    EXPECT_EQ(BackupInfo(modem.port(), &cfg), -1);
    EXPECT_EQ(cfg.SN, 0u);
    EXPECT_EQ(modem.commands().size(), 1u) << "stops at the first item";
}

TEST(IdentityBackup, RestoreWithoutFlagsSendsOnlyTheIndicator)
{
    at_peer modem(ok);
    efs_h_cfg cfg{};
    ASSERT_EQ(RestoreInfo(modem.port(), &cfg), 0);
    auto cmds = modem.commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0], "AT+DISK=8,\"D2\"\r\n");
    EXPECT_STREQ(cfg.strINDS, "\"D2\"");
}

TEST(IdentityBackup, AZeroedImeiIsReplacedByTheDefault)
{
    at_peer modem(ok);
    efs_h_cfg cfg{};
    cfg.IMEI = 1;
    strcpy(cfg.strIMEI, "\"000000000000000\"");
    ASSERT_EQ(RestoreInfo(modem.port(), &cfg), 0);
    auto cmds = modem.commands();
    ASSERT_GE(cmds.size(), 1u);
    EXPECT_EQ(cmds[0], "AT+KQTSN=1,7,\"001234567890128\"\r\n");
}

TEST(IdentityBackup, AnUnconfirmedIndicatorStopsTheRestore)
{
    at_peer modem([](const std::string &cmd) {
        return std::string(cmd.rfind("AT+DISK", 0) == 0 ? "\r\nERROR\r\n" : "\r\nOK\r\n");
    });
    efs_h_cfg cfg{};
    cfg.SN = cfg.IMEI = cfg.TESTINF = cfg.SIMLOCK = 1;
    strcpy(cfg.strSN, "\"SN1\"");
    strcpy(cfg.strIMEI, "\"356938035643809\"");
    strcpy(cfg.strTESTINF, "\"T\"");
    strcpy(cfg.strSIMLOCK, "\"0\"");
    EXPECT_EQ(RestoreInfo(modem.port(), &cfg), -1);
    auto cmds = modem.commands();
    ASSERT_EQ(cmds.size(), 3u) << "no test information and no SIM lock after the indicator";
    EXPECT_EQ(cmds[0], "AT+KQTSN=1,5,\"SN1\"\r\n");
    EXPECT_EQ(cmds[1], "AT+KQTSN=1,7,\"356938035643809\"\r\n");
}
