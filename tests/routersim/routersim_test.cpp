// The simulated router: state, private root, recorders, power cut, time scale.
#include "routersim.h"
#include "simharness.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>

using simharness::bin_path;
using simharness::run_options;
using simharness::sim_router;

namespace {

// Small partitions keep these tests quick; sizes are whole erase blocks.
const std::vector<std::string> SMALL = {"--mtd", "3=1M", "--mtd", "4=1M", "--mtd", "5=1M", "--mtd", "6=1M"};

std::string probe()
{
    return "/opt/routersim/bin/simprobe";
}

}  // namespace

TEST(RouterSimPure, SyslogLinesKeepPriorityIdentAndText)
{
    struct {
        std::string datagram, line;
    } cases[] = {
        {"<11>Dec  8 18:24:10 imgrenew: hello", "err imgrenew: hello\n"},
        {"<15>Dec  8 18:24:10 imgrenew[42]: [up.cpp:7]start\n\n", "debug imgrenew: [up.cpp:7]start\n"},
        {"<14>cgi: two\nlines", "info cgi: two lines\n"},
        {"no priority at all", "notice no priority at all\n"},
        {"<190>Jan 01 00:00:00 x: y", "info x: y\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(syslog_line(c.datagram.data(), c.datagram.size()), c.line) << c.datagram;
}

TEST(RouterSimPure, BusMessagesDecodeByModule)
{
    const uint8_t progress[] = {0, 0, 0, 0, 0x04, 0, 0x20, 0x10, 8, 0, 0, 0, 3, 0, 0, 0,
                                1, 0, 0, 0, 0x28, 0, 0, 0};
    bus_record r = bus_message_json(12, progress, sizeof progress);
    EXPECT_EQ(r.json, "{\"module\": 12, \"msg_type\": 0, \"msg_id\": 270532612, \"length\": 8, \"session_id\": 3, "
                      "\"payload_hex\": \"0100000028000000\", \"payload\": {\"operation\": 1, \"progress\": 40}}");
    EXPECT_FALSE(r.reboot_request);

    uint8_t reboot[32] = {0, 0, 0, 0, 0x04, 0, 0, 0x10, 16, 0, 0, 0, 9, 0, 0, 0, 4};
    r = bus_message_json(0, reboot, sizeof reboot);
    EXPECT_NE(r.json.find("\"payload\": {\"sys_state\": 4, \"temp_level\": 0, \"batt_level\": 0, \"sys_work_mode\": 0}"),
              std::string::npos) << r.json;
    EXPECT_TRUE(r.reboot_request);
    reboot[16] = 5;   // power off is not a reboot
    EXPECT_FALSE(bus_message_json(0, reboot, sizeof reboot).reboot_request);
    reboot[16] = 4;
    reboot[4] = 5;    // another message id
    EXPECT_FALSE(bus_message_json(0, reboot, sizeof reboot).reboot_request);

    r = bus_message_json(12, progress, 10);
    EXPECT_NE(r.json.find("\"error\": \"short message\""), std::string::npos);
    std::map<std::string, std::string> f;
    EXPECT_TRUE(simharness::parse_flat_json(bus_message_json(12, progress, 20).json, &f));
    EXPECT_EQ(f["received_payload"], "4");   // head says 8, only 4 came
    EXPECT_EQ(f.count("payload.operation"), 0u);
}

TEST(RouterSimPure, MtdSizeOverrides)
{
    struct {
        const char *text;
        bool ok;
        uint64_t size;
    } cases[] = {
        {"6=4M", true, 4u << 20}, {"1=128K", true, 128u << 10}, {"0=262144", true, 262144},
        {"6=100K", false, 0},     {"7=1M", true, 1u << 20},     {"10=1M", false, 0},
        {"6=", false, 0},         {"6=-1M", false, 0},          {"x=1M", false, 0},
        {"6=1G", false, 0},       {"6=0", false, 0},
    };
    for (auto &c : cases) {
        sim_init_options opt;
        sim_default_sizes(&opt);
        EXPECT_EQ(parse_mtd_override(c.text, &opt), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(opt.mtd_size[c.text[0] - '0'], c.size) << c.text;
        }
    }
}

TEST(RouterSim, InitMakesAnErasedRouterInService)
{
    sim_router r;
    ASSERT_TRUE(r.ok());
    const uint64_t sizes[] = {512u << 10, 128u << 10, 3u << 20, 32u << 20, 16u << 20, 16u << 20, 128u << 20};
    for (int n = 0; n < 7; ++n)
        EXPECT_EQ(simharness::read_file(r.flash_path(n)).size(), sizes[n]) << n;
    EXPECT_TRUE(r.flash_erased(6, 0x4200000, 0x20000));
    EXPECT_TRUE(r.flash_erased(0, 0, 512u << 10));
    std::string version = r.second_fs_file("version/version_info.txt");
    for (const char *k : {"boot_nontrust.bin", "zImage", "rootfs.jffs2", "default_nv", "dfi_version"})
        EXPECT_NE(version.find(k), std::string::npos) << k;
    EXPECT_NE(r.second_fs_file("nv/nv_store.cfg").find("web_language_select=en\n"), std::string::npos);
    EXPECT_FALSE(r.second_fs_file("webpage/index.html").empty());
    EXPECT_FALSE(r.second_fs_file("lcdui/logo.txt").empty());
    EXPECT_EQ(simharness::run_program({"test", "-f", r.state() + "/2ndfile/log/logfile.txt"}), 0);
}

TEST(RouterSim, RunRecordsOutputStatusAndSyslog)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run({"sh", "-c", "echo out; echo err >&2; logger -t imgrenew -p user.err 'bad thing';"
                     "logger -t cgi -p user.debug 'trace'; exit 3"}),
              0);
    EXPECT_EQ(r.status(), "3");
    EXPECT_EQ(r.out("stdout"), "out\n");
    EXPECT_EQ(r.out("stderr"), "err\n");
    EXPECT_EQ(r.syslog(), (std::vector<std::string>{"err imgrenew: bad thing", "debug cgi: trace"}));

    // out/ is cleared at each run; /2ndfile persists, /tmp does not.
    ASSERT_EQ(r.run({"sh", "-c", "touch /2ndfile/kept /tmp/lost"}), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out("stdout"), "");
    EXPECT_TRUE(r.syslog().empty());
    ASSERT_EQ(r.run({"sh", "-c", "test -f /2ndfile/kept && ! test -e /tmp/lost"}), 0);
    EXPECT_EQ(r.status(), "0");
}

TEST(RouterSim, FlashInsideIsTheStateAndFollowsNandRules)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run({"sh", "-c",
                     "p=" + probe() + "; $p info /dev/mtd2; $p write /dev/mtd2 0x800 2048 0x5a; "
                     "$p write /dev/mtd2 0x800 2048 0xa5; $p write /dev/mtd2 0x801 2048 0; $p unlock /dev/mtd6"}),
              0);
    EXPECT_EQ(r.out("stdout"), "ok 4 1024 3145728 131072 2048 64\nok 2048\nok 2048\nerrno 22\nerrno 524\n");
    EXPECT_TRUE(r.flash_equals(2, 0x800, std::vector<uint8_t>(2048, 0x00)));   // 0x5a AND 0xa5
    auto faults = r.out_lines("flash-faults.log");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].rfind("/dev/mtd2 page 0x00000800:", 0), 0u) << faults[0];
}

TEST(RouterSim, FlashToolsAtUsrBinAreLogged)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run({"sh", "-c",
                     "head -c 3000 /dev/zero > /tmp/zImage && /usr/bin/flash_erase /dev/mtd2 0 24 && "
                     "/usr/bin/nandwrite -m -p /dev/mtd2 /tmp/zImage && cp /tmp/zImage /tmp/u-boot.bin && "
                     "/usr/bin/kobs-ng init /tmp/u-boot.bin"}),
              0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out_lines("tools.log"),
              (std::vector<std::string>{"/usr/bin/flash_erase /dev/mtd2 0 24",
                                        "/usr/bin/nandwrite -m -p /dev/mtd2 /tmp/zImage",
                                        "/usr/bin/kobs-ng init /tmp/u-boot.bin"}));
    EXPECT_TRUE(r.flash_equals(2, 0, std::vector<uint8_t>(3000, 0)));
    EXPECT_TRUE(r.flash_erased(2, 3000, 4096 - 3000));
    EXPECT_TRUE(r.flash_equals(0, 0, std::vector<uint8_t>(3000, 0)));   // kobs-ng: boot partition mtd0
    EXPECT_TRUE(r.out("flash-faults.log").empty());
}

TEST(RouterSim, BusMessagesArriveWholeAndRebootEndsTheRun)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(r.run({"sh", "-c",
                     "p=" + probe() + "; for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15; do "
                     "$p send 12 0x10204004 0100000028000000 >/dev/null; done; "
                     "$p send 0 0x10000004 04000000000000000000000000000000; sleep 30; echo not reached"}),
              0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(r.status(), "killed");
    EXPECT_EQ(r.out("stdout"), "ok 32\n");
    auto msgs = r.bus();
    ASSERT_EQ(msgs.size(), 16u);
    EXPECT_EQ(msgs[0].module, 12);
    EXPECT_EQ(msgs[0].msg_id, 0x10204004u);
    EXPECT_EQ(msgs[0].length, 8u);
    EXPECT_EQ(msgs[0].payload_hex, "0100000028000000");
    EXPECT_EQ(msgs[0].payload["progress"], 40);
    EXPECT_EQ(msgs[15].module, 0);
    EXPECT_EQ(msgs[15].payload["sys_state"], 4);

    // A command that exits right after its reboot request keeps its status.
    ASSERT_EQ(r.run({"sh", "-c", probe() + " send 0 0x10000004 04000000000000000000000000000000; exit 0"}), 0);
    EXPECT_EQ(r.status(), "0");
}

TEST(RouterSim, PowerCutAndTimeoutStopEverything)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    struct {
        run_options opt;
        std::string status;
    } cases[] = {
        {[] { run_options o; o.kill_after_ms = 500; return o; }(), "killed"},
        {[] { run_options o; o.timeout_s = 1; return o; }(), "timeout"},
        {[] { run_options o; o.timeout_s = 40; o.time_scale = 40; return o; }(), "timeout"},
    };
    for (auto &c : cases) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(r.run({"sh", "-c", "(sleep 60; touch /2ndfile/bg) & echo started; sleep 60; touch /2ndfile/fg"},
                        c.opt),
                  0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_EQ(r.status(), c.status);
        EXPECT_EQ(r.out("stdout"), "started\n");
    }
    EXPECT_EQ(r.second_fs_file("bg"), "");
    EXPECT_EQ(simharness::run_program({"test", "-e", r.state() + "/2ndfile/bg"}), 1);
}

TEST(RouterSim, TimeScaleShortensSleepsConsistently)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    run_options o;
    o.time_scale = 100;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(r.run({probe(), "sleepers", "2"}, o), 0);
    ASSERT_EQ(r.run({"sleep", "10"}, o), 0);
    // Coarse: 2 x (8 s + 10 s) of simulated sleeping in far less wall time.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(r.status(), "0");
    ASSERT_EQ(r.run({probe(), "sleepers", "2"}, o), 0);
    std::string out = r.out("stdout");
    // Each sleep, seen on the process's own (scaled) clock, lasts about 2 s;
    // the upper bound leaves room for a busy machine (0.28 s of wall delay).
    double ns = 0, us = 0, sel = 0, pol = 0;
    ASSERT_EQ(sscanf(out.c_str(), "ok nanosleep %lf usleep %lf select %lf poll %lf", &ns, &us, &sel, &pol), 4) << out;
    for (double v : {ns, us, sel, pol}) {
        EXPECT_GT(v, 1.5) << out;
        EXPECT_LT(v, 30.0) << out;
    }
}

TEST(RouterSim, FileModeMountsThePackageAndAllowsUnmount)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    std::string pkg = r.state() + "/pkg.bin";
    ASSERT_TRUE(simharness::write_file(pkg, {'P', 'K', 'G'}));
    run_options o;
    o.file_mode_package = pkg;
    ASSERT_EQ(r.run({"sh", "-c",
                     "grep -c ' /2ndfile/image_path ' /proc/self/mounts; cat /2ndfile/image_path/root.bin; echo;"
                     "rm /2ndfile/image_path/root.bin && umount /2ndfile/image_path && rm -rf /2ndfile/image_path &&"
                     " ! grep -q image_path /proc/self/mounts"},
                    o),
              0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(r.out("stdout"), "1\nPKG\n");
    EXPECT_EQ(simharness::read_file(pkg), "PKG");   // the tool removed its copy only
    // Without --file-mode nothing is mounted there.
    ASSERT_EQ(r.run({"sh", "-c", "grep -c image_path /proc/self/mounts"}), 0);
    EXPECT_EQ(r.out("stdout"), "0\n");
}

TEST(RouterSim, LoadPackageWritesThePackagePartition)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    std::vector<uint8_t> pkg(300000);
    for (size_t i = 0; i < pkg.size(); ++i)
        pkg[i] = (uint8_t)(i * 7);
    std::string path = r.state() + "/pkg.bin";
    ASSERT_TRUE(simharness::write_file(path, pkg));
    ASSERT_EQ(r.load_package(path), 0);
    EXPECT_TRUE(r.flash_equals(6, 0, pkg));
    EXPECT_TRUE(r.flash_erased(6, pkg.size(), (1u << 20) - pkg.size()));
    ASSERT_TRUE(simharness::write_file(path, std::vector<uint8_t>((1u << 20) + 1, 0)));
    EXPECT_NE(r.load_package(path), 0);   // larger than the partition
}

TEST(RouterSim, RefusesBadCommandLines)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    std::string rs = bin_path("routersim");
    struct {
        std::vector<std::string> argv;
    } cases[] = {
        {{rs, "run", r.state(), "true"}},                                   // no --
        {{rs, "run", r.state(), "--time-scale", "0", "--", "true"}},
        {{rs, "run", r.state(), "--bogus", "--", "true"}},
        {{rs, "run", r.state(), "--modem-program", "/bin/true", "--", "true"}},
        {{rs, "run", r.state(), "--env", "NOEQUALS", "--", "true"}},
        {{rs, "run", r.state() + "/nothing", "--", "true"}},
        {{rs, "init", r.state()}},                                          // not empty
        {{rs, "init", r.state() + "/x", "--mtd", "6=3K"}},
        {{rs, "frobnicate"}},
    };
    for (auto &c : cases)
        EXPECT_NE(simharness::run_program(c.argv), 0) << c.argv[1] << " " << c.argv[c.argv.size() - 1];
}

TEST(RouterSim, EnvironmentReachesTheCommand)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    run_options o;
    o.env = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=12"};
    ASSERT_EQ(r.run({"sh", "-c", "echo $REQUEST_METHOD $CONTENT_LENGTH; echo $PATH | cut -d: -f1"}, o), 0);
    EXPECT_EQ(r.out("stdout"), "POST 12\n/opt/routersim/bin\n");
}

TEST(RouterSim, ModemProgramGetsLinksAndSysfsAndIsStoppedAfterTheRun)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    std::string modem_state = r.state() + "/modem";
    std::string script = r.state() + "/fake_modem.py";
    // A stand-in with modemsim's command line: one port that answers in capitals.
    const char *text =
        "#!/usr/bin/env python3\n"
        "import os, sys, pty\n"
        "state, links, sysfs = sys.argv[1], sys.argv[3], sys.argv[5]\n"
        "m, s = pty.openpty()\n"
        "os.symlink(os.ttyname(s), links + '/ttyUSB0')\n"
        "os.makedirs(sysfs + '/bus/usb/devices/1-1:1.0/ttyUSB0')\n"
        "open(state + '/pid', 'w').write(str(os.getpid()))\n"
        "while True:\n"
        "    os.write(m, os.read(m, 100).upper())\n";
    ASSERT_TRUE(simharness::write_file(script, std::vector<uint8_t>(text, text + strlen(text))));
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", modem_state}), 0);
    run_options o;
    o.modem_state = modem_state;
    o.modem_program = script;
    ASSERT_EQ(simharness::run_program({"chmod", "+x", script}), 0);
    ASSERT_EQ(r.run({"sh", "-c",
                     "ls /sys/bus/usb/devices/1-1:1.0; stty -F /dev/ttyUSB0 raw -echo; "
                     "exec 3<>/dev/ttyUSB0; printf 'at\\r' >&3; head -c 3 <&3; echo; test -e /dev/ttyUSB2 || echo no2"},
                    o),
              0);
    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(r.out("stdout"), "ttyUSB0\nAT\r\nno2\n");
    std::string pid = simharness::read_file(modem_state + "/pid");
    ASSERT_FALSE(pid.empty());
    EXPECT_NE(simharness::run_program({"kill", "-0", pid}), 0);   // stopped with the run
}
