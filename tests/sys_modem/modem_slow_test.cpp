// Modem steps that take minutes of simulated power cycles and port waits.
#include "modem_fixture.h"

using namespace sysmodem;

TEST(ModemSlow, Dsp1RefusedFiveTimesFailsTheUpgradeWhichStillAsksForTheReboot)
{
    modem_package pkg;
    pkg.modem_faults("fail-image dsp1 1-5\n");
    sim_router r;
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, 40)), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(syslog_count(r, "downlaod Dsp1 file faield."), 5u);
    EXPECT_TRUE(r.syslog_contains("update modem failed and retry 3 times, will exit update process"));
    EXPECT_TRUE(r.syslog_contains("update modem image failed"));
    EXPECT_FALSE(r.syslog_contains("modem update successful"));
    EXPECT_EQ(pkg.modem_log_count("power off"), 6u) << "one power cycle first, one after each attempt";
    EXPECT_EQ(pkg.modem_log_count("open type=0x0f"), 1u) << "DBL is sent once";
    EXPECT_FALSE(pkg.modem_has("flash/dsp1"));
    EXPECT_FALSE(pkg.modem_has("flash/dsp2")) << "nothing after the refused DSP1";
    expect_failed_upgrade_bus(r.bus());
}

TEST(ModemSlow, NoModemEndsTheStepAfterAHundredDetections)
{
    modem_package pkg;
    sim_router r;
    ASSERT_EQ(r.load_package(pkg.path), 0);
    simharness::run_options o;
    o.time_scale = 40;
    o.timeout_s = 5000;
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_TRUE(r.syslog_contains("no modem port found after 100 detections, modem update failed"));
    EXPECT_EQ(syslog_count(r, "**************check_usb_port***********************"), 100u);
    EXPECT_TRUE(r.syslog_contains("update modem image failed"));
    expect_failed_upgrade_bus(r.bus());
}
