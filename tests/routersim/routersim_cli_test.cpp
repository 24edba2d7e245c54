// routersim's command line and what it says: help, usage errors, the exit
// statuses, the verdict line of a run and its live progress, and the
// load-package warning about an erased state word.
#include "routersim.h"
#include "simharness.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

using simharness::bin_path;
using simharness::run_options;
using simharness::sim_router;

namespace {

const std::vector<std::string> SMALL = {"--mtd", "3=1M", "--mtd", "4=1M", "--mtd", "5=1M", "--mtd", "6=1M"};

struct answer {
    int status;
    std::string out;   // stdout, or stdout and stderr together
};

std::string quoted(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A command line and the one line routersim must answer it with.
struct refusal {
    std::vector<std::string> args;
    std::string line;
};

// routersim with args; both_streams: stderr is collected after stdout.
answer routersim(const std::vector<std::string> &args, bool both_streams = false)
{
    std::string cmd = quoted(bin_path("routersim"));
    for (const std::string &a : args)
        cmd += " " + quoted(a);
    cmd += both_streams ? " 2>&1" : " 2>/dev/null";
    answer a;
    a.status = simharness::run_program({"sh", "-c", cmd}, {}, &a.out);
    return a;
}

void expect_refused(const refusal &c, int status)
{
    answer a = routersim(c.args, true);
    EXPECT_EQ(a.status, status) << c.line;
    EXPECT_EQ(a.out, c.line);
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n') + 1);
}

// The bytes of a package's header and record table: record ids as given,
// nothing else filled in (routersim only reads the table).
std::vector<uint8_t> package_table(const std::vector<uint8_t> &ids)
{
    std::vector<uint8_t> p(28 + 84 * ids.size() + 100, 0);
    p[12] = (uint8_t)ids.size();
    for (size_t i = 0; i < ids.size(); ++i)
        p[28 + 84 * i + 12] = ids[i];
    return p;
}

}  // namespace

TEST(RouterSimCli, HelpGoesToStdoutWithStatus0)
{
    struct {
        std::vector<std::string> args;
        std::string first;
    } cases[] = {
        {{"--help"}, "usage: routersim COMMAND ...\n"},
        {{"-h"}, "usage: routersim COMMAND ...\n"},
        {{"init", "--help"}, "usage: routersim init STATE [options]\n"},
        {{"load-package", "--help"}, "usage: routersim load-package [options] STATE PACKAGE\n"},
        {{"run", "st", "--time-scale", "5", "--help"}, "usage: routersim run STATE [options] -- CMD ARGS\n"},
        {{"report", "--help"}, "usage: routersim report STATE [options]\n"},
    };
    for (auto &c : cases) {
        answer a = routersim(c.args);
        EXPECT_EQ(a.status, 0) << c.args[0];
        EXPECT_EQ(first_line(a.out), c.first) << c.args[0];
    }
    // Every run option is listed, --quiet and the exit statuses included.
    std::string run = routersim({"run", "--help"}).out;
    for (const char *o : {"--file-mode PACKAGE", "--modem MODEMSTATE", "--modem-program PATH", "--time-scale N",
                          "--timeout S", "--kill-after MS", "--env NAME=VALUE", "--host-net", "--tmp-dir DIR",
                          "--quiet", "10 the command or upgrade failed, 11 power cut"})
        EXPECT_NE(run.find(o), std::string::npos) << o;
    // --help after -- belongs to the command.
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(routersim({"run", r.state(), "--quiet", "--", "printf", "%s\\n", "--help"}).status, 0);
    EXPECT_EQ(r.out("stdout"), "--help\n");
}

TEST(RouterSimCli, UsageErrorsNameTheMistakeInOneLineWithStatus2)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    const std::string st = r.state();
    const refusal cases[] = {
        {{}, "routersim: missing command (see routersim --help)\n"},
        {{"frobnicate"}, "routersim: unknown command 'frobnicate' (see routersim --help)\n"},
        {{"--verbose"}, "routersim: unknown option --verbose (see routersim --help)\n"},
        {{"init"}, "routersim init: missing operand STATE (see routersim init --help)\n"},
        {{"init", st + "/x", "--mtd", "6=3K"},
         "routersim init: bad value '6=3K' for --mtd (N=SIZE, N 0-9, SIZE whole 128K blocks up to 512M) "
         "(see routersim init --help)\n"},
        {{"init", "a", "b"}, "routersim init: unexpected operand 'b' (see routersim init --help)\n"},
        {{"load-package", st}, "routersim load-package: missing operand PACKAGE (see routersim load-package --help)\n"},
        {{"load-package", "--full", st, "p"},
         "routersim load-package: unknown option --full (see routersim load-package --help)\n"},
        {{"run"}, "routersim run: missing operand STATE (see routersim run --help)\n"},
        {{"run", st, "true"},
         "routersim run: unexpected operand 'true': the command goes after -- (see routersim run --help)\n"},
        {{"run", st, "--"}, "routersim run: missing -- CMD (see routersim run --help)\n"},
        {{"run", st, "--time-scale", "0", "--", "true"},
         "routersim run: bad value '0' for --time-scale (a number above 0) (see routersim run --help)\n"},
        {{"run", st, "--timeout"}, "routersim run: --timeout needs a value S (see routersim run --help)\n"},
        {{"run", st, "--bogus", "--", "true"}, "routersim run: unknown option --bogus (see routersim run --help)\n"},
        {{"run", st, "--env", "NOEQUALS", "--", "true"},
         "routersim run: bad value 'NOEQUALS' for --env (NAME=VALUE) (see routersim run --help)\n"},
        {{"run", st, "--modem-program", "/bin/true", "--", "true"},
         "routersim run: --modem-program needs --modem (see routersim run --help)\n"},
        {{"report"}, "routersim report: missing operand STATE (see routersim report --help)\n"},
        {{"report", st, "-x", "f"}, "routersim report: unknown option -x (see routersim report --help)\n"},
    };
    for (auto &c : cases)
        expect_refused(c, 2);
}

TEST(RouterSimCli, FailuresOfAValidCommandLineExit1)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    const refusal cases[] = {
        {{"init", r.state()}, "routersim: " + r.state() + " exists and is not empty\n"},
        {{"load-package", r.state(), r.state() + "/none.bin"}, "routersim: " + r.state() + "/none.bin: not a readable file\n"},
        {{"run", r.state() + "/flash", "--", "true"},
         "routersim: " + r.state() + "/flash is not a router state (run routersim init)\n"},
    };
    for (auto &c : cases)
        expect_refused(c, 1);
}

TEST(RouterSimCli, RunEndsWithAVerdictAndAStatusThatSayTheSame)
{
    sim_router r(SMALL);
    ASSERT_TRUE(r.ok());
    const std::string reboot = "/opt/routersim/bin/simprobe send 0 0x10000004 04000000000000000000000000000000";
    struct {
        std::vector<std::string> command;
        run_options opt;
        std::string verdict, status;
        int exit_status;
    } cases[] = {
        {{"true"}, {}, "result: command exited 0; no reboot requested", "0", 0},
        {{"sh", "-c", "exit 3"}, {}, "result: command failed with exit status 3; no reboot requested", "3", 10},
        {{"sh", "-c", "kill -9 $$"}, {}, "result: command ended by signal 9; no reboot requested", "137", 10},
        {{"sh", "-c", reboot + "; exit 0"}, {}, "result: command exited 0; reboot requested", "0", 0},
        {{"sh", "-c", reboot + "; sleep 30"}, {}, "result: command ended by its reboot request; reboot requested",
         "killed", 0},
        {{"sleep", "30"}, [] { run_options o; o.kill_after_ms = 300; return o; }(),
         "result: power cut at 300 ms; no reboot requested", "killed", 11},
        {{"sleep", "30"}, [] { run_options o; o.timeout_s = 1; return o; }(),
         "result: timeout after 1 s; no reboot requested", "timeout", 12},
    };
    for (auto &c : cases) {
        ASSERT_EQ(r.run(c.command, c.opt), 0) << c.verdict;
        EXPECT_EQ(r.verdict(), c.verdict);
        EXPECT_EQ(r.exit_status(), c.exit_status) << c.verdict;
        EXPECT_EQ(r.status(), c.status) << c.verdict;   // STATE/out/status keeps its meaning
    }
    // --quiet: the same status, nothing printed.
    answer a = routersim({"run", r.state(), "--quiet", "--", "sh", "-c", "exit 4"}, true);
    EXPECT_EQ(a.status, 10);
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(r.status(), "4");
}

// The upgrade tool's lines as routersim writes them to syslog.log, fed to
// the watcher one by one.
TEST(RouterSimCli, WatcherFollowsRecordsProgressAndFailureReasons)
{
    const char *const lines[] = {
        "debug imgrenew: [up_action.cpp:24]update image nan is:/dev/mtd6",
        "debug imgrenew: [up_package_read.cpp:50]p_pack_head_attr-num_records:3",
        "debug imgrenew: [up_package_read.cpp:67]secrecord-record_name=version_info.txt",
        "debug imgrenew: [up_package_read.cpp:67]secrecord-record_name=zImage",
        "debug imgrenew: [up_package_read.cpp:67]secrecord-record_name=qd4700_modem.bin",
        "debug cgi: [x.cpp:1]an error of another program",
        "debug imgrenew: [up_driver.cpp:113]##################update version_info.txt",
        "debug imgrenew: [up_driver.cpp:147]##################update kernel",
        "debug imgrenew: [up_driver.cpp:192]##################update modem image",
        "debug imgrenew: [modem_upgrade.cpp:200]will to do NO 0 retry downlaod ",
        // A lost answer the tool overcame by sending the block again, an
        // image whose name holds FAIL, then the failure that ends the attempt.
        "err imgrenew: [dload_receive.cpp:92]read ttyUSB0 ack failed,the return value is:NumRxBytes=0",
        "err imgrenew: [dload_stream.cpp:281]the error write_addr is : 0x800",
        "debug imgrenew: [dload_stream.cpp:300]the remain data size is:400",
        "debug imgrenew: [modem_upgrade.cpp:162]This is a FAIL SAFE BOOT LOADER image.",
        "err imgrenew: [dload_stream.cpp:406]Fail to call dload_close_packet_cmd.ret=1",
        "debug imgrenew: [modem_upgrade.cpp:210]downlaod Dsp1 file faield.",
        "debug imgrenew: [modem_upgrade.cpp:220]update failed, after reset will to retry",
        "debug imgrenew: [modem_upgrade.cpp:200]will to do NO 1 retry downlaod ",
        "debug imgrenew: [modem_upgrade.cpp:143]no modem port found after 100 detections, modem update failed",
        "debug imgrenew: [up_driver.cpp:198]update modem image failed",
        "err imgrenew: [up_driver.cpp:289]update all image upgrade error",
        "debug imgrenew: [up_action.cpp:40]&&&&&&&&&&&&&&&update system failed and will to reboot",
        "debug imgrenew: [up_complete.cpp:50]erase the /dev/mtd6 partition failed",   // clean-up, not the cause
    };
    char *shown = nullptr;
    size_t shown_len = 0;
    FILE *live = open_memstream(&shown, &shown_len);
    ASSERT_NE(live, nullptr);
    run_watch w;
    w.live = live;
    bus_record progress;
    progress.operation = 1;
    progress.progress = 76;
    for (const char *l : lines) {
        watch_syslog(&w, l);
        if (std::string(l).find("update kernel") != std::string::npos)
            watch_bus(&w, progress);
    }
    bus_record reboot;
    reboot.reboot_request = true;
    watch_bus(&w, reboot);
    fclose(live);
    std::string screen(shown, shown_len);
    free(shown);
    EXPECT_EQ(screen, "\r\033[K  record 1 of 3: version_info.txt\n"
                      "\r\033[K  record 2 of 3: zImage\n"
                      "\r\033[K  display:  76 %  installing zImage"
                      "\r\033[K  record 3 of 3: qd4700_modem.bin\n"
                      "\r\033[K  display:  76 %  installing qd4700_modem.bin");
    EXPECT_EQ(w.attempt_reasons, (std::vector<std::string>{"Fail to call dload_close_packet_cmd.ret=1"}));
    int code = -1;
    EXPECT_EQ(run_verdict(w, {"0", "reboot", -1, 0, ""}, &code),
              "result: failed in qd4700_modem.bin: no modem port found after 100 detections, modem update failed; "
              "reboot requested");
    EXPECT_EQ(code, 10);
    EXPECT_EQ(run_verdict(w, {"killed", "power-cut", 2300, 0, ""}, &code),
              "result: power cut at 2300 ms during qd4700_modem.bin; reboot requested");
    EXPECT_EQ(code, 11);
    // Counted cuts are named by what was counted, not by a time.
    EXPECT_EQ(run_verdict(w, {"killed", "power-cut", -1, 0, power_cut_where(0, "none", "nv-write:12")}, &code),
              "result: power cut by the modem at nv-write:12 during qd4700_modem.bin; reboot requested");
    EXPECT_EQ(run_verdict(w, {"killed", "power-cut", -1, 0, power_cut_where(41, "torn", "")}, &code),
              "result: power cut at flash operation 41 (torn) during qd4700_modem.bin; reboot requested");
    EXPECT_EQ(code, 11);

    // A package refused before its first record; a completed upgrade cut
    // short by its own reboot request.
    run_watch before;
    watch_syslog(&before, "err imgrenew: [up_driver.cpp:270]check head before upgrade error");
    watch_syslog(&before, "debug imgrenew: [up_action.cpp:40]&&&&&&&&&&&&&&&update system failed and will to reboot");
    EXPECT_EQ(run_verdict(before, {"0", "exit", -1, 0, ""}, &code),
              "result: failed before the first record: check head before upgrade error; no reboot requested");
    run_watch done;
    bus_record complete;
    complete.operation = 2;
    complete.progress = 100;
    watch_bus(&done, complete);
    watch_bus(&done, reboot);
    EXPECT_EQ(run_verdict(done, {"killed", "reboot", -1, 0, ""}, &code), "result: installed; reboot requested");
    EXPECT_EQ(code, 0);
}

TEST(RouterSimCli, LoadPackageWarnsWhenAModemRecordMeetsAnErasedStateWord)
{
    // The state word lives at 66 MiB of the package partition.
    sim_router r({"--mtd", "3=1M", "--mtd", "4=1M", "--mtd", "5=1M", "--mtd", "6=67M"});
    ASSERT_TRUE(r.ok());
    std::string with_modem = r.state() + "/modem.bin", router_only = r.state() + "/router.bin";
    ASSERT_TRUE(simharness::write_file(with_modem, package_table({0, 2, 7})));
    ASSERT_TRUE(simharness::write_file(router_only, package_table({0, 2, 3})));
    const std::string warning =
        "routersim: warning: the package has a modem record and the upgrade state word is erased: imgrenew up "
        "will skip every router record and install only the modem\n"
        "routersim: for a full install load it with: routersim load-package --full-install " +
        r.state() + " " + with_modem + "\n";
    answer a = routersim({"load-package", r.state(), with_modem}, true);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.out, warning);
    EXPECT_TRUE(r.flash_erased(6, 0x4200000, 0x20000));
    a = routersim({"load-package", r.state(), router_only}, true);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.out, "");

    // --full-install stores state 0 and keeps the rest of the block.
    a = routersim({"load-package", "--full-install", r.state(), with_modem}, true);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.out, "");
    EXPECT_EQ(r.flash(6, 0x4200000, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(r.flash_erased(6, 0x4200004, 0x20000 - 4));
    // A stored state is no erased word: no warning.
    EXPECT_EQ(routersim({"load-package", r.state(), with_modem}, true).out, "");

    // Without a state block there is nothing to store.
    sim_router small(SMALL);
    ASSERT_TRUE(small.ok());
    a = routersim({"load-package", "--full-install", small.state(), with_modem}, true);
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.out, "routersim: --full-install: the package partition (1048576 bytes) has no state block at "
                     "0x4200000\n");
}
