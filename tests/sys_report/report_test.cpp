// routersim report: pages made from real runs in the simulated router (a
// success, a failure, a power cut) and from a hand-written modem run, checked
// against the logs they were made from. Every page is kept in
// build/test-artifacts/report with the lanes the browser check must find.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "modem_fixture.h"
#include "report.h"
#include "scratch_dir.h"
#include "simharness.h"
#include "test_files.h"

using simharness::sim_router;
using testkit::random_bytes;

namespace {

void put(const std::string &path, const std::string &text)
{
    (void)!system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
    std::ofstream(path, std::ios::binary) << text;
}

// A router package of five records; without_webpages makes the second file
// system record fail to install.
std::string make_package(const scratch_dir &d, bool without_webpages)
{
    simharness::write_file(d / "boot.bin", random_bytes(70000, 1));
    simharness::write_file(d / "zImage", random_bytes(300000, 2));
    simharness::write_file(d / "rootfs", random_bytes(1200000, 3));
    put(d / "sec/nv/default.cfg", "web_language_select=fr\n");
    if (!without_webpages) {
        put(d / "sec/webpage/index.html", "<html>new</html>\n");
        put(d / "sec/lcdui/logo.txt", "new logo\n");
    }
    put(d / "version_info.txt", "boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\ndefault_nv-2.0\n");
    put(d / "desc", "record version version_info.txt 0 version_info.txt\n"
                    "record bootloader boot_nontrust.bin 0 boot.bin\n"
                    "record kernel zImage 0 zImage\n"
                    "record rootfs rootfs.jffs2 0 rootfs\n"
                    "record 2ndfs 2ndfs.tar.bz2 1 sec\n");
    std::string pkg = d / "pkg.bin";
    EXPECT_EQ(simharness::run_program({simharness::bin_path("imgpack"), "build", pkg, d / "desc"}), 0);
    return pkg;
}

simharness::run_options scaled(double scale)
{
    simharness::run_options o;
    o.time_scale = scale;
    return o;
}

// A started router that loaded the five-record package and ran imgrenew up
// with the options. Call through ASSERT_NO_FATAL_FAILURE.
void up_with_package(sim_router &r, bool without_webpages, const simharness::run_options &o)
{
    scratch_dir d;
    std::string pkg = make_package(d, without_webpages);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(pkg), 0);
    r.run({"imgrenew", "up"}, o);
}

const std::vector<std::string> k_names = {"version_info.txt", "boot_nontrust.bin", "zImage", "rootfs.jffs2",
                                          "2ndfs.tar.bz2"};

// The value of data-NAME in the first tag that starts with `tag`.
std::string data_attr(const std::string &html, const std::string &tag, const std::string &name)
{
    size_t at = html.find(tag);
    if (at == std::string::npos)
        return "<no tag>";
    size_t end = html.find('>', at);
    std::string t = html.substr(at, end - at);
    size_t a = t.find(" data-" + name + "=\"");
    if (a == std::string::npos)
        return "<no attribute>";
    a += name.size() + 8;
    return t.substr(a, t.find('"', a) - a);
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Makes the report, keeps it (and what the browser check expects of it) as
// a test artefact, and returns the page.
std::string report_of(const std::string &state, const std::string &artefact, const std::string &expect_json)
{
    std::string dir = REPORT_ARTIFACTS_DIR;
    (void)!system(("mkdir -p '" + dir + "'").c_str());
    std::string page = dir + "/" + artefact + ".html";
    std::string printed;
    EXPECT_EQ(simharness::run_program({simharness::bin_path("routersim"), "report", state, "-o", page}, {}, &printed),
              0);
    EXPECT_EQ(printed, page + "\n");
    put(dir + "/" + artefact + ".expect.json", expect_json);
    return simharness::read_file(page);
}

// The text of a summary row by its key.
std::string summary_value(const std::string &html, const std::string &key)
{
    size_t at = html.find("<tr data-key=\"" + key + "\">");
    if (at == std::string::npos)
        return "<no row>";
    at = html.find("<td", at);
    at = html.find('>', at) + 1;
    return html.substr(at, html.find("</td>", at) - at);
}

// The tool's own total of its required waits: its last "required waits so far" line.
std::string tool_wait_total(const sim_router &r)
{
    std::string total = "<none logged>";
    const std::string key = "required waits so far: ";
    for (const std::string &l : r.syslog()) {
        size_t at = l.find(key);
        if (at != std::string::npos)
            total = l.substr(at + key.size());
    }
    return total;
}

// The record row of the records table for a name.
std::string record_row_of(const std::string &html, const std::string &name)
{
    size_t at = html.find("<tr data-record=\"" + name + "\"");
    return at == std::string::npos ? "" : html.substr(at, html.find("</tr>", at) - at);
}

TEST(Report, SuccessfulRunShowsEveryRecordTheProgressAndTheFlashWork)
{
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_with_package(r, false, scaled(20)));
    ASSERT_EQ(r.status(), "0");
    std::string html = report_of(r.state(), "success",
                                 R"j({"lanes": ["records /dev/mtd0", "records /dev/mtd2", "records /dev/mtd3",
                                  "records files", "records waits", "flash /dev/mtd2", "flash /dev/mtd3",
                                  "flash /dev/mtd6"], "absent_groups": ["modem"]})j");
    const std::string svg = "<svg id=\"timeline\"";
    EXPECT_TRUE(r.syslog_contains(" i_record_num is:5"));
    EXPECT_EQ(data_attr(html, svg, "records"), "5");
    EXPECT_EQ(data_attr(html, svg, "records-reached"), "5");
    EXPECT_EQ(data_attr(html, svg, "retries"), "0");
    EXPECT_EQ(data_attr(html, svg, "status"), "0");
    EXPECT_EQ(data_attr(html, svg, "end"), "reboot");
    EXPECT_EQ(data_attr(html, svg, "time-scale"), "20");
    EXPECT_EQ(data_attr(html, svg, "power-cut-ms"), "");
    EXPECT_NE(data_attr(html, svg, "reboot-ms"), "");
    EXPECT_NE(html.find("Times are simulated"), std::string::npos);
    // 1 s after each of the four router records, 2 s before the completion,
    // 5 s before the reboot request.
    EXPECT_NE(html.find("required waits (sum)</th><td class=\"n\">11.0 s"), std::string::npos);
    EXPECT_EQ(tool_wait_total(r), "11000 ms");
    EXPECT_EQ(summary_value(html, "result"), "installed; reboot requested");
    // Every progress message of the bus is on the curve; the completion is marked.
    size_t progress = 0;
    for (const auto &m : r.bus())
        progress += m.module == 12;
    EXPECT_EQ(data_attr(html, "<g class=\"progress\"", "messages"), std::to_string(progress));
    EXPECT_EQ(count(html, "data-report=\"complete\""), 1u);
    EXPECT_EQ(count(html, "data-report=\"failed\""), 0u);
    // Each record with its bytes and partition, installed.
    const char *const parts[] = {"files", "/dev/mtd0", "/dev/mtd2", "/dev/mtd3", "files"};
    const char *const bytes[] = {"65", "70000", "300000", "1200000", nullptr};
    for (size_t i = 0; i < k_names.size(); ++i) {
        std::string row = record_row_of(html, k_names[i]);
        ASSERT_FALSE(row.empty()) << k_names[i];
        EXPECT_NE(row.find("data-result=\"done\""), std::string::npos) << row;
        EXPECT_NE(row.find(std::string("<td>") + parts[i] + "</td>"), std::string::npos) << row;
        if (bytes[i] != nullptr) {
            EXPECT_NE(row.find(std::string("data-bytes=\"") + bytes[i] + "\""), std::string::npos) << row;
        }
    }
    // The kernel partition erased whole (24 blocks), the root file system
    // written in ten whole blocks.
    EXPECT_NE(html.find("data-kind=\"erase\" data-from-ms"), std::string::npos);
    EXPECT_NE(html.find("data-offset=\"0\" data-length=\"3145728\""), std::string::npos);
    EXPECT_NE(html.find("data-offset=\"0\" data-length=\"1310720\""), std::string::npos);
    // The kobs-ng call of the bootloader record is drawn as a tool call.
    EXPECT_NE(html.find("/usr/bin/kobs-ng init /tmp/boot_nontrust.bin ("), std::string::npos);
}

TEST(Report, FailedRunMarksTheFailingRecordAndTheFailureReport)
{
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_with_package(r, true, scaled(20)));
    ASSERT_TRUE(r.syslog_contains("update 2nd fs error"));
    std::string html = report_of(r.state(), "failed",
                                 R"j({"lanes": ["records /dev/mtd3", "records files", "flash /dev/mtd3"],
                                  "absent_groups": ["modem"]})j");
    EXPECT_EQ(count(html, "data-report=\"failed\""), 1u);
    EXPECT_EQ(count(html, "data-report=\"complete\""), 0u);
    EXPECT_NE(record_row_of(html, "2ndfs.tar.bz2").find("data-result=\"failed\""), std::string::npos);
    EXPECT_NE(record_row_of(html, "rootfs.jffs2").find("data-result=\"done\""), std::string::npos);
    EXPECT_EQ(data_attr(html, "<svg id=\"timeline\"", "end"), "reboot");
    // The page says why, as the run's verdict did.
    EXPECT_EQ(summary_value(html, "result"), "failed in 2ndfs.tar.bz2: update the 2ndrootfs/apps fail; reboot requested");
    EXPECT_EQ(r.verdict(), "result: failed in 2ndfs.tar.bz2: update the 2ndrootfs/apps fail; reboot requested");
    EXPECT_EQ(r.exit_status(), 10);
}

// The cut lands wherever the machine's speed puts it: the page must name the
// record whose installation the syslog had started last.
TEST(Report, PowerCutIsDrawnAtItsMomentInTheRecordThatWasRunning)
{
    simharness::run_options cut;
    cut.kill_after_ms = 2300;
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(up_with_package(r, false, cut));
    ASSERT_EQ(r.status(), "killed");
    std::string html = report_of(r.state(), "power-cut", R"j({"lanes": ["records files", "flash /dev/mtd6"]})j");
    size_t started = 0;
    for (const std::string &l : r.syslog())
        started += l.find("]##################update ") != std::string::npos;
    const std::string svg = "<svg id=\"timeline\"";
    EXPECT_EQ(data_attr(html, svg, "end"), "power-cut");
    EXPECT_EQ(data_attr(html, svg, "status"), "killed");
    EXPECT_EQ(data_attr(html, svg, "power-cut-ms"), "2300.000");
    EXPECT_EQ(data_attr(html, "data-moment=\"power-cut\"", "ms"), "2300.000");
    EXPECT_EQ(data_attr(html, svg, "records-reached"), std::to_string(started));
    ASSERT_GE(started, 1u) << "the cut came before the walk";
    EXPECT_EQ(data_attr(html, svg, "power-cut-record"), k_names[started - 1]);
    EXPECT_EQ(data_attr(html, "data-moment=\"power-cut\"", "record"), k_names[started - 1]);
    EXPECT_EQ(summary_value(html, "result"), "power cut at 2300 ms during " + k_names[started - 1] +
                                                 "; no reboot requested");
    for (size_t i = started; i < k_names.size(); ++i)
        EXPECT_NE(record_row_of(html, k_names[i]).find("data-result=\"not reached\""), std::string::npos);
    EXPECT_EQ(data_attr(html, svg, "reboot-ms"), "");
}

// A modem step written out by hand: two download attempts (DSP1 refused at
// its close, then stored), one block sent again, two power cycles, NV backup
// and restore; with hostile text in a record name and a log line.
TEST(Report, ModemLanesCountAttemptsRetriesRefusalsAndPowerCycles)
{
    scratch_dir d;
    std::string st = d / "state", modem = d / "modem";
    put(st + "/out/status", "0\n");
    put(st + "/out/run.info", "time_scale=1\nkill_after_ms=-1\ntimeout_s=0\nstart_ns=1000000000000\n"
                              "end_ns=1030000000000\nmodem_start_ns=999000000000\nend=exit\nfile_mode=0\n"
                              "modem_state=" + modem + "\ncommand=imgrenew up\n");
    const char *const sys[] = {
        "p_pack_head_attr-num_records:1", "#################################record info######################",
        "secrecord-record_length=4096", "secrecord-record_name=<img src=x onerror=alert(1)>",
        "secrecord-record_id=7", "##################update modem image",
        "echo 0 > /sys/module/pmic/parameters/wcdma_power", "echo 1 > /sys/module/pmic/parameters/wcdma_power",
        "need to update current modem firmware", "backup modem NV success",
        "will to do NO 0 retry downlaod ", "This is a DSP1 image.", "downlaod Dsp1 file faield.",
        "update failed, after reset will to retry",
        "echo 0 > /sys/module/pmic/parameters/wcdma_power", "echo 1 > /sys/module/pmic/parameters/wcdma_power",
        "will to do NO 1 retry downlaod ", "This is a DSP1 image.", "downlaod Dsp1 file success.",
        "up_modem_restore_NV succed.", "modem update successful,please reset the comuter!",
        "last update state is:60", "set update state :124",
        "</title><script>alert(\"x\")</script> \x01 \xff\xfe caf\xc3\xa9"};
    std::string syslog, stamps;
    int64_t t = 1000000000000;
    for (const char *line : sys) {
        syslog += std::string("debug imgrenew: [up_modem.cpp:10]") + line + "\n";
        stamps += std::to_string(t) + " syslog\n";
        t += 1000000000;   // one second apart
    }
    put(st + "/out/syslog.log", syslog);
    put(st + "/out/stamps.log", stamps);
    put(modem + "/out/modem.log",
        "0.000 modemsim started, stage normal\n"   // an earlier session, not this run's
        "0.500 power off\n"
        "0.000 modemsim started, stage normal\n"
        "1.000 attach normal diag=ttyUSB0(/dev/pts/1) at=ttyUSB2(/dev/pts/2)\n"
        "7.000 power off\n7.001 detach normal\n10.000 power on\n"
        "11.500 attach download diag=ttyUSB0(/dev/pts/3)\n"
        "12.000 rx download write32 addr=0x00100000 len=1017 len=1024\n"
        "12.100 programmer of 1017 bytes started\n"
        "12.200 rx programmer partition cmd=0x19 len=9\n12.300 partition table stored, 8 bytes\n"
        "12.400 rx programmer open type=0x10 (dsp1) len=2\n"
        "12.500 rx programmer stream-write addr=0x00000000 data=1024 len=1029\n"
        "12.600 fault noreply stream-write\n"
        "13.100 rx programmer stream-write addr=0x00000000 data=1024 len=1029\n"
        "13.200 rx programmer close cmd=0x15 len=1\n13.201 tx programmer nak len=3\n"
        "13.202 image dsp1 refused (fault), nothing stored\n"
        "15.000 power off\n15.001 detach programmer\n18.000 power on\n"
        "19.500 attach programmer diag=ttyUSB0(/dev/pts/4)\n"
        "19.600 rx programmer open type=0x10 (dsp1) len=2\n"
        "19.700 rx programmer stream-write addr=0x00000000 data=1024 len=1029\n"
        "19.800 rx programmer stream-write addr=0x00000400 data=24 len=29\n"
        "19.900 rx programmer close cmd=0x15 len=1\n19.901 image dsp1 stored, 1048 bytes\n");
    std::string html = report_of(st, "modem-synthetic",
                                 R"j({"lanes": ["records modem", "modem power", "modem ports",
                                  "modem sub-images (modem)", "modem sub-images (tool)",
                                  "modem download attempts", "modem NV"]})j");
    const std::string svg = "<svg id=\"timeline\"";
    EXPECT_EQ(data_attr(html, svg, "download-attempts"), "2");
    EXPECT_EQ(data_attr(html, svg, "block-retries"), "1");
    EXPECT_EQ(data_attr(html, svg, "retries"), "2");
    EXPECT_EQ(data_attr(html, svg, "refusals"), "1");
    EXPECT_EQ(data_attr(html, svg, "power-cycles"), "2");
    EXPECT_EQ(count(html, "data-image=\"dsp1\""), 2u);
    EXPECT_NE(html.find("class=\"span image-failed\" x="), std::string::npos);
    EXPECT_EQ(count(html, "data-nv=\""), 2u);
    EXPECT_EQ(data_attr(html, "<tr data-record=", "bytes"), "4096");
    EXPECT_EQ(data_attr(html, "<tr data-record=", "result"), "done");
    // Two power cycles of 15 s, 6 s before the NV restore, 1 s before the closing lines.
    EXPECT_NE(html.find("required waits (sum)</th><td class=\"n\">37.0 s"), std::string::npos);
    // The failed attempt says why, on its mark and its bar.
    EXPECT_NE(html.find("<title>attempt failed: downlaod Dsp1 file faield.; power cycle and retry at "),
              std::string::npos);
    EXPECT_NE(html.find("<title>attempt 0 failed: downlaod Dsp1 file faield. ("), std::string::npos);
    EXPECT_NE(html.find("<title>attempt 1 ("), std::string::npos);
    // Log text never becomes markup.
    EXPECT_EQ(html.find("<img src=x"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_NE(html.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
    // The modem's clock starts a second before the command: the second
    // session's "power off" at 7.000 s is 6 s into the run.
    EXPECT_NE(html.find("data-kind=\"power-off\" data-from-ms=\"6000.000\" data-to-ms=\"9000.000\""),
              std::string::npos);
}

// A real modem step: the first DSP1 transfer is refused at its close and
// sent again after a power cycle; the answer to the DBL's block at 2 KiB is
// lost once and the tool sends that block again.
TEST(Report, ModemRunWithARetryShowsItsAttemptsPowerCyclesAndTheBlockSentAgain)
{
    sysmodem::modem_package pkg;
    pkg.modem_faults("fail-image dsp1 1\ndrop stream-write@0x800 1\n");
    sim_router r;
    ASSERT_NO_FATAL_FAILURE(sysmodem::load_and_up(r, pkg));
    ASSERT_EQ(r.status(), "0") << r.out("stderr");
    std::string html = report_of(r.state(), "modem-retry",
                                 R"j({"lanes": ["records modem", "records /dev/mtd2", "modem power", "modem ports",
                                  "modem sub-images (modem)", "modem sub-images (tool)",
                                  "modem download attempts"]})j");
    const std::string svg = "<svg id=\"timeline\"";
    // Against the logs: the tool's attempts, the modem's power cycles and
    // refusals, the block the modem saw twice.
    size_t attempts = sysmodem::syslog_count(r, "retry downlaod");
    size_t cycles = pkg.modem_log_count("power off");
    size_t naks = 0;
    for (const std::string &l : simharness::read_lines(pkg.modem_state + "/out/modem.log"))
        naks += l.find(" tx ") != std::string::npos && l.find(" nak ") != std::string::npos;
    EXPECT_EQ(attempts, 2u);
    EXPECT_EQ(cycles, 2u);
    // DBL twice, OSBL, AMSS, DSP1 in both attempts, DSP2 (FSBL stays on the
    // router, EFS is read and discarded).
    EXPECT_EQ(pkg.modem_log_count("stream-write addr=0x00000800"), 7u);
    EXPECT_EQ(data_attr(html, svg, "download-attempts"), std::to_string(attempts));
    EXPECT_EQ(data_attr(html, svg, "power-cycles"), std::to_string(cycles));
    EXPECT_EQ(data_attr(html, svg, "refusals"), std::to_string(naks));
    EXPECT_EQ(data_attr(html, svg, "block-retries"), "1");
    EXPECT_EQ(data_attr(html, svg, "retries"), "2");
    EXPECT_EQ(data_attr(html, svg, "records"), "4");
    // DSP1 drawn twice on each side: refused, then stored.
    EXPECT_EQ(count(html, "data-image=\"dsp1\""), 2u);
    EXPECT_EQ(count(html, "data-image=\"DSP1\""), 2u);
    EXPECT_EQ(count(html, "class=\"span image-failed\""), 2u);
    EXPECT_NE(record_row_of(html, "qd4700_modem.bin").find("data-result=\"done\""), std::string::npos);
    // The refusal at DSP1's close is why the first attempt failed, not the
    // lost answer the tool overcame by sending the block again.
    EXPECT_NE(html.find("<title>attempt failed: Fail to call dload_close_packet_cmd.ret=1; power cycle and retry at "),
              std::string::npos);
    EXPECT_EQ(count(html, "data-report=\"complete\""), 1u);
}

// A package with a modem record on a freshly initialised router and no modem:
// the erased state word reads as "router steps done", so the router records
// are skipped, and the modem step gives up after 100 port polls.
TEST(Report, ModemRecordOnAnErasedStateWordShowsTheSkippedRecordsAndWhyTheRunFailed)
{
    sysmodem::modem_package pkg;
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(pkg.path), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, scaled(50)), 0);
    const std::string verdict = "failed in qd4700_modem.bin: no modem port found after 100 detections, modem "
                                "update failed; reboot requested";
    EXPECT_EQ(r.verdict(), "result: " + verdict);
    EXPECT_EQ(r.exit_status(), 10);
    EXPECT_EQ(r.status(), "0");
    std::string html = report_of(r.state(), "modem-erased-state",
                                 R"j({"lanes": ["records files", "records skipped", "records modem"]})j");
    EXPECT_EQ(summary_value(html, "result"), verdict);
    // The tool's own wait total: 1 s after each of the two skipped records,
    // 15 s for the power cycle, 2 s after it, 1 s for each of the 100 port polls.
    EXPECT_EQ(tool_wait_total(r), "119000 ms");
    EXPECT_EQ(summary_value(html, "waits"), "119.0 s");
    const char *const names[] = {"zImage", "rootfs.jffs2"};
    const char *const parts[] = {"/dev/mtd2", "/dev/mtd3"};
    for (size_t i = 0; i < 2; ++i) {
        std::string row = record_row_of(html, names[i]);
        EXPECT_NE(row.find("data-result=\"skipped\""), std::string::npos) << row;
        EXPECT_NE(row.find(std::string("<td>") + parts[i] + "</td>"), std::string::npos) << row;
    }
    auto lane_of = [&](const std::string &name) {
        size_t at = html.find("data-lane=\"" + name + "\"");
        return at == std::string::npos ? "" : html.substr(at, html.find("</g>", at) - at);
    };
    EXPECT_EQ(count(lane_of("skipped"), "data-kind=\"record\""), 2u);
    EXPECT_NE(lane_of("skipped").find("data-record=\"rootfs.jffs2\""), std::string::npos);
    std::string files = lane_of("files");   // the version record only
    EXPECT_EQ(count(files, "data-kind=\"record\""), 1u);
    EXPECT_NE(files.find("data-record=\"version_info.txt\""), std::string::npos);
}

TEST(Report, DefaultPageOutlivesTheNextRun)
{
    sim_router r({"--mtd", "6=4M"});
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.run({"true"}), 0);
    std::string printed;
    ASSERT_EQ(simharness::run_program({simharness::bin_path("routersim"), "report", r.state()}, {}, &printed), 0);
    EXPECT_EQ(printed, r.state() + "/report.html\n");
    ASSERT_EQ(r.run({"true"}), 0);
    EXPECT_NE(simharness::read_file(r.state() + "/report.html").find("<svg id=\"timeline\""), std::string::npos);
}

TEST(Report, EscapingKeepsValidUtf8AndReplacesEverythingElse)
{
    EXPECT_EQ(html_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
    EXPECT_EQ(html_escape("caf\xc3\xa9 \xe2\x82\xac"), "caf\xc3\xa9 \xe2\x82\xac");
    EXPECT_EQ(html_escape("\x01\x7f\t"), "?? ");
    EXPECT_EQ(html_escape("\xff\xc3"), "??");                 // stray bytes, a cut sequence
    EXPECT_EQ(html_escape("\xc0\xbc"), "??");                 // an overlong '<'
    EXPECT_EQ(html_escape("\xed\xa0\x80"), "???");            // a surrogate
}

TEST(Report, RefusesARunWithoutTimesAndBadUsage)
{
    scratch_dir d;
    put(d / "st/out/status", "0\n");
    std::string routersim = simharness::bin_path("routersim");
    EXPECT_EQ(simharness::run_program({routersim, "report", d / "st"}), 1);
    EXPECT_EQ(simharness::run_program({routersim, "report"}), 2);
    EXPECT_EQ(simharness::run_program({routersim, "report", d / "st", "-x", "f"}), 2);
    // A page is never written through a link left at its name.
    sim_router r({"--mtd", "6=4M"});
    ASSERT_TRUE(r.ok());
    r.run({"true"});
    std::string victim = d / "victim";
    put(victim, "keep");
    ASSERT_EQ(symlink(victim.c_str(), (d / "page.html").c_str()), 0);
    EXPECT_EQ(simharness::run_program({routersim, "report", r.state(), "-o", d / "page.html"}), 0);
    EXPECT_EQ(simharness::read_file(victim), "keep");
    EXPECT_NE(simharness::read_file(d / "page.html").find("<svg id=\"timeline\""), std::string::npos);
}

}  // namespace
