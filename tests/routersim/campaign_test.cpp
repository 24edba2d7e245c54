// The campaign's choice of points, its result files and their merge.
#include "campaign.h"
#include "flash_ops.h"
#include "scratch_dir.h"
#include "simharness.h"

#include <functional>
#include <gtest/gtest.h>

namespace {

std::vector<uint64_t> indexes(const std::vector<campaign_point> &points)
{
    std::vector<uint64_t> v;
    for (const campaign_point &p : points)
        v.push_back(p.index);
    return v;
}

campaign_options both_modes()
{
    campaign_options o;
    o.modes = {flashemu::CUT_NOT_DONE, flashemu::CUT_TORN};
    return o;
}

point_result failed_point()
{
    point_result r;
    r.pt.index = 41;
    r.pt.op = 21;
    r.pt.mode = flashemu::CUT_TORN;
    r.pt.second_op = 7;
    r.pt.second_mode = flashemu::CUT_NOT_DONE;
    r.ops = 1463;
    r.phase = "state word write";
    r.cut_op = "write /dev/mtd6 0x4200000 0x20000";
    r.second_phase = "kernel erase";
    r.second_cut_op = "erase /dev/mtd2 0x0 0x20000";
    r.check = "version";
    r.detail = "version file is \"zImage-1.0.0\nrootfs, old\"";
    r.kept = "/tmp/k/point-41";
    return r;
}

}  // namespace

TEST(CampaignPoints, EveryShardAndSampleAreFixedByTheOptionsAlone)
{
    campaign_options o = both_modes();
    std::vector<campaign_point> all = campaign_choose_points(o, 3);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[3].op, 2u);
    EXPECT_EQ(all[3].mode, (uint32_t)flashemu::CUT_TORN);
    EXPECT_EQ(all[4].op, 3u);
    EXPECT_EQ(all[4].mode, (uint32_t)flashemu::CUT_NOT_DONE);

    o.every = 4;
    EXPECT_EQ(indexes(campaign_choose_points(o, 10)), (std::vector<uint64_t>{0, 4, 8, 12, 16}));
    // Shards deal the chosen points out in turn; together they are all of them.
    o.shard_n = 2;
    o.shard_k = 2;
    EXPECT_EQ(indexes(campaign_choose_points(o, 10)), (std::vector<uint64_t>{4, 12}));
    o.shard_k = 1;
    EXPECT_EQ(indexes(campaign_choose_points(o, 10)), (std::vector<uint64_t>{0, 8, 16}));

    campaign_options s = both_modes();
    s.sample = 5;
    s.seed = 7;
    std::vector<uint64_t> first = indexes(campaign_choose_points(s, 100));
    ASSERT_EQ(first.size(), 5u);
    EXPECT_EQ(indexes(campaign_choose_points(s, 100)), first);
    s.seed = 8;
    EXPECT_NE(indexes(campaign_choose_points(s, 100)), first);

    campaign_options r = both_modes();
    r.only_ops = {{2, 3}, {9, 9}};
    EXPECT_EQ(indexes(campaign_choose_points(r, 10)), (std::vector<uint64_t>{2, 3, 4, 5, 16, 17}));
}

TEST(CampaignPoints, PhaseNamesThePartitionAndTheStateBlock)
{
    EXPECT_EQ(campaign_phase("erase /dev/mtd3 0x20000 0x20000"), "rootfs erase");
    EXPECT_EQ(campaign_phase("write /dev/mtd0 0x0 0x11800"), "bootloader write");
    EXPECT_EQ(campaign_phase("write /dev/mtd6 0x4200000 0x20000"), "state word write");
    EXPECT_EQ(campaign_phase("erase /dev/mtd6 0x41e0000 0x20000"), "package erase");
    EXPECT_EQ(campaign_phase("erase /dev/mtd6 0x4220000 0x20000"), "package erase");
    EXPECT_EQ(campaign_phase(""), "not reached");
}

TEST(CampaignResults, CsvAndJsonLinesKeepEveryField)
{
    point_result r = failed_point();
    std::string csv = campaign_csv_line(r);
    EXPECT_EQ(csv, "41,21,torn,state word write,write /dev/mtd6 0x4200000 0x20000,7,none,kernel erase,"
                   "erase /dev/mtd2 0x0 0x20000,fail,version,\"version file is \"\"zImage-1.0.0 rootfs, old\"\"\","
                   "/tmp/k/point-41,1463\n");
    std::string json_start = "{\"point\": \"41\", \"op\": \"21\", \"mode\": \"torn\", \"phase\": \"state word write\"";
    EXPECT_EQ(campaign_json_line(r).substr(0, json_start.size()), json_start);
    for (bool json : {false, true}) {
        point_result back;
        ASSERT_TRUE(json ? campaign_parse_json_line(campaign_json_line(r), &back)
                         : campaign_parse_csv_line(csv, &back));
        EXPECT_EQ(back.pt.index, 41u);
        EXPECT_EQ(back.pt.second_op, 7u);
        EXPECT_EQ(back.pt.mode, (uint32_t)flashemu::CUT_TORN);
        EXPECT_FALSE(back.passed);
        EXPECT_EQ(back.detail, json ? r.detail : "version file is \"zImage-1.0.0 rootfs, old\"");
        EXPECT_EQ(back.second_cut_op, r.second_cut_op);
    }
    point_result bad;
    EXPECT_FALSE(campaign_parse_csv_line("41,21,half,x,y,0,,,,pass,,,,5", &bad));
    EXPECT_FALSE(campaign_parse_csv_line("41,21,torn,x,y,0,,,,maybe,,,,5", &bad));
    EXPECT_FALSE(campaign_parse_csv_line("41,21,torn", &bad));
}

namespace {

void put_text(const std::string &path, const std::string &text);

}  // namespace

TEST(CampaignResults, JsonFileKeepsItsLayoutAndEveryByteOfTheText)
{
    scratch_dir dir;
    point_result r = failed_point();
    r.detail = "say \"hi\" C:\\dir\\\ttab\nline\x01 caf\xc3\xa9";
    ASSERT_EQ(campaign_write_results(dir.path + "/r.json", true, {r}, "pkg \"a\", shard 1/1"), 0);
    EXPECT_EQ(simharness::read_file(dir.path + "/r.json"),
              "{\"campaign\": \"pkg \\\"a\\\", shard 1/1\",\n\"points\": [\n"
              "{\"point\": \"41\", \"op\": \"21\", \"mode\": \"torn\", \"phase\": \"state word write\", "
              "\"cut_op\": \"write /dev/mtd6 0x4200000 0x20000\", \"second_op\": \"7\", \"second_mode\": \"none\", "
              "\"second_phase\": \"kernel erase\", \"second_cut_op\": \"erase /dev/mtd2 0x0 0x20000\", "
              "\"result\": \"fail\", \"check\": \"version\", "
              "\"detail\": \"say \\\"hi\\\" C:\\\\dir\\\\\\ttab\\nline\\u0001 caf\xc3\xa9\", "
              "\"kept\": \"/tmp/k/point-41\", \"ops\": \"1463\"}\n]}\n");
    std::vector<point_result> back;
    ASSERT_EQ(campaign_read_results(dir.path + "/r.json", &back), 0);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].detail, r.detail);
    EXPECT_EQ(back[0].kept, "/tmp/k/point-41");
    EXPECT_EQ(back[0].ops, 1463u);
}

// A result file passed through a JSON tool (indented, keys sorted, numbers
// as numbers, non-ASCII as \u escapes, or all on one line) holds the same
// points; a file that is not whole is refused, never read as no points.
TEST(CampaignResults, JsonFilesAreReadWhateverTheirLayout)
{
    scratch_dir dir;
    const std::string indented =
        "{\n  \"points\": [\n    {\n      \"check\": \"version\",\n      \"cut_op\": \"write /dev/mtd6 0x4200000 "
        "0x20000\",\n      \"detail\": \"caf\\u00e9 \\\"x\\\"\",\n      \"kept\": \"\",\n      \"mode\": \"torn\",\n"
        "      \"op\": 21,\n      \"ops\": 1463,\n      \"phase\": \"state word write\",\n      \"point\": 41,\n"
        "      \"result\": \"fail\",\n      \"second_cut_op\": \"\",\n      \"second_mode\": \"\",\n"
        "      \"second_op\": \"0\",\n      \"second_phase\": \"\",\n      \"extra\": [1, 2]\n    }\n  ],\n"
        "  \"campaign\": \"shard 2/2\"\n}\n";
    const std::string one_line =
        "{\"campaign\":\"shard 1/2\",\"points\":[{\"point\":\"40\",\"op\":\"21\",\"mode\":\"none\",\"phase\":"
        "\"state word write\",\"cut_op\":\"\",\"second_op\":\"0\",\"second_mode\":\"\",\"second_phase\":\"\","
        "\"second_cut_op\":\"\",\"result\":\"pass\",\"check\":\"\",\"detail\":\"\",\"kept\":\"\",\"ops\":\"1463\"}]}";
    put_text(dir.path + "/indented.json", indented);
    put_text(dir.path + "/one-line.json", one_line);
    std::vector<point_result> got;
    ASSERT_EQ(campaign_read_results(dir.path + "/indented.json", &got), 0);
    ASSERT_EQ(campaign_read_results(dir.path + "/one-line.json", &got), 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pt.index, 41u);
    EXPECT_EQ(got[0].pt.op, 21u);
    EXPECT_EQ(got[0].pt.mode, (uint32_t)flashemu::CUT_TORN);
    EXPECT_FALSE(got[0].passed);
    EXPECT_EQ(got[0].detail, "caf\xc3\xa9 \"x\"");
    EXPECT_EQ(got[0].ops, 1463u);
    EXPECT_EQ(got[1].pt.index, 40u);
    EXPECT_TRUE(got[1].passed);

    std::string out;
    std::string routersim = simharness::bin_path("routersim");
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir.path + "/indented.json",
                                       dir.path + "/one-line.json"}, {}, &out), 1);
    EXPECT_NE(out.find("campaign FAILED: 2 points, 1 failed"), std::string::npos) << out;

    const char *refused[] = {
        // cut short
        "{\"campaign\": \"x\",\n\"points\": [\n{\"point\": \"40\", \"op\": \"21\"",
        // a member missing, a number that is no count, a point that is not an object
        "{\"points\": [{\"point\": \"40\", \"op\": \"21\", \"mode\": \"torn\"}]}",
        "{\"points\": [{\"point\": -40, \"op\": \"21\", \"mode\": \"torn\", \"phase\": \"\", \"cut_op\": \"\", "
        "\"second_op\": \"0\", \"second_mode\": \"\", \"second_phase\": \"\", \"second_cut_op\": \"\", "
        "\"result\": \"pass\", \"check\": \"\", \"detail\": \"\", \"kept\": \"\", \"ops\": \"5\"}]}",
        "{\"points\": [\"40,21,torn\"]}",
        // no points at all, or something after the object
        "{\"campaign\": \"x\"}",
        "{\"points\": []} {\"points\": []}",
    };
    for (const char *text : refused) {
        put_text(dir.path + "/bad.json", text);
        std::vector<point_result> none;
        EXPECT_EQ(campaign_read_results(dir.path + "/bad.json", &none), -1) << text;
        EXPECT_TRUE(none.empty()) << text;
    }
}

// A CSV table's columns are found by its header, as a spreadsheet may have
// moved them or added one.
TEST(CampaignResults, CsvColumnsAreFoundByTheirHeader)
{
    scratch_dir dir;
    put_text(dir.path + "/moved.csv",
             "ops,point,result,op,mode,phase,cut_op,note,second_op,second_mode,second_phase,second_cut_op,check,"
             "detail,kept\r\n"
             "1463,41,fail,21,torn,state word write,write /dev/mtd6 0x4200000 0x20000,looked at,0,,,,version,"
             "\"version file is \"\"1.0\"\", not \"\"2.0\"\"\",/tmp/k\r\n");
    std::vector<point_result> got;
    ASSERT_EQ(campaign_read_results(dir.path + "/moved.csv", &got), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].pt.index, 41u);
    EXPECT_EQ(got[0].pt.op, 21u);
    EXPECT_EQ(got[0].ops, 1463u);
    EXPECT_EQ(got[0].phase, "state word write");
    EXPECT_EQ(got[0].cut_op, "write /dev/mtd6 0x4200000 0x20000");
    EXPECT_EQ(got[0].detail, "version file is \"1.0\", not \"2.0\"");
    EXPECT_EQ(got[0].kept, "/tmp/k");
    EXPECT_FALSE(got[0].passed);

    const char *refused[] = {
        // no "kept" column
        "point,op,mode,phase,cut_op,second_op,second_mode,second_phase,second_cut_op,result,check,detail,ops\n"
        "41,21,torn,x,y,0,,,,pass,,,5\n",
        // a row one field short of its header
        "point,op,mode,phase,cut_op,second_op,second_mode,second_phase,second_cut_op,result,check,detail,kept,ops\n"
        "41,21,torn,x,y,0,,,,pass,,,5\n",
        // a column named twice
        "point,op,op,mode,phase,cut_op,second_op,second_mode,second_phase,second_cut_op,result,check,detail,kept,ops\n",
    };
    for (const char *text : refused) {
        put_text(dir.path + "/bad.csv", text);
        std::vector<point_result> none;
        EXPECT_EQ(campaign_read_results(dir.path + "/bad.csv", &none), -1) << text;
    }
}

TEST(CampaignResults, MergeOfShardsSumsThemAndRefusesOverlaps)
{
    scratch_dir dir;
    point_result fail = failed_point();
    point_result pass = fail;
    pass.pt.index = 40;
    pass.pt.mode = flashemu::CUT_NOT_DONE;
    pass.passed = true;
    pass.check = pass.detail = pass.kept = "";
    ASSERT_EQ(campaign_write_results(dir.path + "/a.csv", false, {pass}, "shard 1/2"), 0);
    ASSERT_EQ(campaign_write_results(dir.path + "/b.json", true, {fail}, "shard 2/2"), 0);
    std::string routersim = simharness::bin_path("routersim");
    std::string out;
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", "-o", dir.path + "/all.csv", dir.path + "/a.csv",
                                       dir.path + "/b.json"}, {}, &out), 1);
    EXPECT_NE(out.find("state word write, then kernel erase                2       1       1"), std::string::npos) << out;
    EXPECT_NE(out.find("campaign FAILED: 2 points, 1 failed"), std::string::npos) << out;
    std::vector<point_result> merged;
    ASSERT_EQ(campaign_read_results(dir.path + "/all.csv", &merged), 0);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].pt.index, 40u);
    EXPECT_EQ(merged[1].pt.index, 41u);

    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir.path + "/a.csv", dir.path + "/a.csv"}), 2);
    // A rerun of the failing point, now passing, replaces it.
    point_result again = fail;
    again.passed = true;
    again.check = again.detail = again.kept = "";
    ASSERT_EQ(campaign_write_results(dir.path + "/rerun.csv", false, {again}, "rerun"), 0);
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", "--replace", dir.path + "/a.csv",
                                       dir.path + "/b.json", dir.path + "/rerun.csv"}, {}, &out), 0);
    EXPECT_NE(out.find("campaign passed: 2 points, 0 failed"), std::string::npos) << out;
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir.path + "/a.csv"}), 0);
    simharness::write_file(dir.path + "/junk.csv", {'x', '\n'});
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir.path + "/junk.csv"}), 2);
}

TEST(CampaignRestore, BlocksTheEventLogsNameComeBackAndSecondFsIsCopiedAfresh)
{
    scratch_dir dir;
    std::string start = dir.path + "/start", state = dir.path + "/state";
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", start + "/flash", start + "/2ndfile/version"}), 0);
    std::vector<uint8_t> image(0x80000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = (uint8_t)(i / 0x20000 + 1);   // block n holds n + 1
    ASSERT_TRUE(simharness::write_file(start + "/flash/mtd3.img", image));
    ASSERT_TRUE(simharness::write_file(start + "/2ndfile/version/version_info.txt", {'a', '\n'}));
    ASSERT_EQ(campaign_copy_state(start, state), 0);

    // A run changed blocks 1 and 2 (logged) and block 3 (not logged: out of
    // the emulation's sight, so it stays), and /2ndfile.
    std::vector<uint8_t> changed = image;
    for (size_t i = 0x20000; i < 0x80000; ++i)
        changed[i] = 0xEE;
    ASSERT_TRUE(simharness::write_file(state + "/flash/mtd3.img", changed));
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", state + "/out.cut", state + "/out"}), 0);
    std::string a = "1 2 imgrenew erase /dev/mtd3 0x20000 0x20000\n";
    std::string b = "1 2 nandwrite write /dev/mtd3 0x40800 0x800\n";
    ASSERT_TRUE(simharness::write_file(state + "/out.cut/flash-events.log", std::vector<uint8_t>(a.begin(), a.end())));
    ASSERT_TRUE(simharness::write_file(state + "/out/flash-events.log", std::vector<uint8_t>(b.begin(), b.end())));
    ASSERT_TRUE(simharness::write_file(state + "/2ndfile/version/version_info.txt", {'b', '\n'}));
    ASSERT_TRUE(simharness::write_file(state + "/2ndfile/factory_nv", {1, 2}));

    ASSERT_EQ(campaign_restore_state(start, state), 0);
    std::string after = simharness::read_file(state + "/flash/mtd3.img");
    ASSERT_EQ(after.size(), 0x80000u);
    EXPECT_EQ((uint8_t)after[0x1FFFF], 1);
    EXPECT_EQ((uint8_t)after[0x20000], 2);
    EXPECT_EQ((uint8_t)after[0x5FFFF], 3);
    EXPECT_EQ((uint8_t)after[0x60000], 0xEE);
    EXPECT_EQ(simharness::read_file(state + "/2ndfile/version/version_info.txt"), "a\n");
    EXPECT_EQ(simharness::run_program({"test", "-e", state + "/2ndfile/factory_nv"}), 1);
    EXPECT_EQ(simharness::run_program({"test", "-e", state + "/out.cut"}), 1);
}

namespace {

const char REBOOT_LINE[] = "{\"module\": 0, \"msg_type\": 0, \"msg_id\": 268435460, \"length\": 16, \"session_id\": 0, "
                           "\"payload_hex\": \"04000000000000000000000000000000\", \"payload\": {\"sys_state\": 4, "
                           "\"temp_level\": 0, \"batt_level\": 0, \"sys_work_mode\": 0}}\n";

void put_text(const std::string &path, const std::string &text)
{
    ASSERT_TRUE(simharness::write_file(path, std::vector<uint8_t>(text.begin(), text.end())));
}

void poke(const std::string &image, size_t offset, uint8_t value)
{
    std::string bytes = simharness::read_file(image);
    bytes[offset] = (char)value;
    put_text(image, bytes);
}

}  // namespace

TEST(CampaignChecks, EachCheckNamesWhatIsWrong)
{
    scratch_dir dir;
    std::string base = dir.path + "/base";
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", base + "/flash", base + "/out", base + "/2ndfile/version",
                                       base + "/2ndfile/webpage", base + "/2ndfile/log"}), 0);
    std::vector<uint8_t> kernel(3000);
    for (size_t i = 0; i < kernel.size(); ++i)
        kernel[i] = (uint8_t)(i * 7 + 1);
    std::vector<uint8_t> erased(0x40000, 0xFF), mtd2 = erased;
    std::copy(kernel.begin(), kernel.end(), mtd2.begin());
    for (int n : {0, 3, 6})
        ASSERT_TRUE(simharness::write_file(base + "/flash/mtd" + std::to_string(n) + ".img", erased));
    ASSERT_TRUE(simharness::write_file(base + "/flash/mtd2.img", mtd2));
    put_text(base + "/2ndfile/version/version_info.txt", "zImage-2.0\n");
    put_text(base + "/2ndfile/webpage/index.html", "<html>new</html>\n");
    put_text(base + "/out/status", "0\n");
    put_text(base + "/out/bus.jsonl", REBOOT_LINE);
    put_text(base + "/out/flash-faults.log", "");

    campaign_expect e;
    e.partitions[2] = kernel;
    e.second_fs = campaign_second_fs(base);

    struct {
        const char *what;
        std::function<void(const std::string &)> change;
        std::string check, detail;
    } cases[] = {
        {"as the uncut run left it", [](const std::string &) {}, "", ""},
        {"a log line", [](const std::string &s) { put_text(s + "/2ndfile/log/logfile.txt", "x\n"); }, "", ""},
        {"the kernel behind a bad first block",
         [&](const std::string &s) {
             put_text(s + "/flash/badblocks", "mtd2 0\n");
             std::vector<uint8_t> shifted(0x40000, 0xFF);
             std::copy(kernel.begin(), kernel.end(), shifted.begin() + 0x20000);
             ASSERT_TRUE(simharness::write_file(s + "/flash/mtd2.img", shifted));
         },
         "", ""},
        {"a record byte", [](const std::string &s) { poke(s + "/flash/mtd2.img", 5, 0x00); }, "partitions",
         "mtd2 differs from its record at 0x5"},
        {"the fill after the record", [](const std::string &s) { poke(s + "/flash/mtd2.img", 3000, 0x00); },
         "partitions", "mtd2 differs from its record at 0xbb8"},
        {"the version file",
         [](const std::string &s) { put_text(s + "/2ndfile/version/version_info.txt", "zImage-1.0.0\n"); }, "version",
         "version file is \"zImage-1.0.0\n\", not \"zImage-2.0\n\""},
        {"a left-over request", [](const std::string &s) { put_text(s + "/2ndfile/update_flag", ""); }, "second-fs",
         "/2ndfile/update_flag is left over"},
        {"a missing page", [](const std::string &s) { remove((s + "/2ndfile/webpage/index.html").c_str()); },
         "second-fs", "/2ndfile/webpage/index.html is missing"},
        {"the package partition", [](const std::string &s) { poke(s + "/flash/mtd6.img", 0x100, 0x00); },
         "package-erased", "mtd6 is not erased at 0x100"},
        {"no reboot request", [](const std::string &s) { put_text(s + "/out/bus.jsonl", ""); }, "reboot",
         "no bus message"},
        {"the reboot request written without spaces",
         [](const std::string &s) {
             put_text(s + "/out/bus.jsonl", "{\"module\":0,\"msg_type\":0,\"msg_id\":268435460,\"length\":16,"
                                            "\"session_id\":0,\"payload_hex\":\"04000000000000000000000000000000\","
                                            "\"payload\":{\"sys_state\":4,\"temp_level\":0,\"batt_level\":0,"
                                            "\"sys_work_mode\":0}}\n");
         },
         "", ""},
        {"the reboot request with its keys in another order",
         [](const std::string &s) {
             put_text(s + "/out/bus.jsonl", "{\"payload\": {\"sys_state\": 4}, \"msg_id\": 268435460, \"module\": 0}\n");
         },
         "", ""},
        {"a power-off request after the reboot request",
         [](const std::string &s) {
             put_text(s + "/out/bus.jsonl", std::string(REBOOT_LINE) +
                                                "{\"module\": 0, \"msg_id\": 268435460, \"payload\": {\"sys_state\": 5}}\n");
         },
         "reboot", "the last bus message is {\"module\": 0, \"msg_id\": 268435460, \"payload\": {\"sys_state\": 5}}"},
        {"a page written twice",
         [](const std::string &s) { put_text(s + "/out/flash-faults.log", "/dev/mtd3 page 0x00020000: 12 bytes\n"); },
         "flash-faults", "the rerun wrote over unerased flash: /dev/mtd3 page 0x00020000: 12 bytes"},
        {"a rerun out of time", [](const std::string &s) { put_text(s + "/out/status", "timeout\n"); }, "timeout",
         "the rerun did not end in time"},
    };
    int n = 0;
    for (auto &c : cases) {
        std::string state = dir.path + "/case" + std::to_string(n++);
        ASSERT_EQ(campaign_copy_state(base, state), 0);
        c.change(state);
        std::string check, detail;
        EXPECT_EQ(campaign_check(state, e, &check, &detail), c.check.empty()) << c.what;
        EXPECT_EQ(check, c.check) << c.what;
        EXPECT_EQ(detail, c.detail) << c.what;
    }
}
