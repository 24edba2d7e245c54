// routersim's JSON lines: the writer's style, strings that need escapes, and
// the readers of bus.jsonl (the report, the run's verdict), which must take
// a line by its members, not by its spacing or key order.
#include "json_io.h"
#include "report.h"
#include "routersim.h"
#include "scratch_dir.h"
#include "simharness.h"

#include <gtest/gtest.h>

TEST(JsonLines, WrittenWithCommaSpaceAndColonSpaceInInsertionOrder)
{
    json_value j;
    j["zeta"] = 1;
    j["alpha"] = {{"inner", "x"}, {"n", -2}};
    j["list"] = {1, 2.5, true, nullptr};
    j["empty"] = json_value::object();
    j["none"] = json_value::array();
    EXPECT_EQ(json_line(j), "{\"zeta\": 1, \"alpha\": {\"inner\": \"x\", \"n\": -2}, "
                            "\"list\": [1, 2.5, true, null], \"empty\": {}, \"none\": []}");
    EXPECT_EQ(json_line(json_value(18446744073709551615ull)), "18446744073709551615");
}

TEST(JsonLines, StringsWithQuotesBackslashesAndControlBytesRoundTrip)
{
    const std::string text = std::string("say \"hi\" C:\\dir\\ tab\there\nline\r\x01\x1f\x7f end ") + "caf\xc3\xa9";
    std::string line = json_line(json_value(text));
    EXPECT_EQ(line, "\"say \\\"hi\\\" C:\\\\dir\\\\ tab\\there\\nline\\r\\u0001\\u001f\x7f end caf\xc3\xa9\"");
    json_value back;
    ASSERT_TRUE(json_parse(line, &back));
    ASSERT_TRUE(back.is_string());
    EXPECT_EQ(back.get<std::string>(), text);

    // Keys are escaped as values are.
    json_value k;
    k["a\"b"] = "\\";
    EXPECT_EQ(json_line(k), "{\"a\\\"b\": \"\\\\\"}");

    // Bytes that are not UTF-8 (a version file's contents) cannot be JSON
    // text: each becomes U+FFFD, and the line stays valid.
    std::string bad = json_line(json_value(std::string("v\xff\xfe!")));
    EXPECT_EQ(bad, "\"v\xef\xbf\xbd\xef\xbf\xbd!\"");
    EXPECT_TRUE(json_parse(bad, &back));
}

TEST(JsonLines, ParseTakesExactlyOneValueAndGettersCheckTypes)
{
    json_value j;
    EXPECT_TRUE(json_parse(" {\"a\":7,\"s\":\"x\"}\n", &j));
    uint64_t v = 0;
    std::string s;
    EXPECT_TRUE(json_get_u64(j, "a", &v));
    EXPECT_EQ(v, 7u);
    EXPECT_TRUE(json_get_string(j, "s", &s));
    EXPECT_EQ(s, "x");
    EXPECT_FALSE(json_get_u64(j, "s", &v));
    EXPECT_FALSE(json_get_string(j, "a", &s));
    EXPECT_FALSE(json_get_u64(j, "missing", &v));

    for (const char *text : {"{\"a\": -1}", "{\"a\": 1.5}", "{\"a\": \"7\"}", "[7]"}) {
        ASSERT_TRUE(json_parse(text, &j)) << text;
        EXPECT_FALSE(json_get_u64(j, "a", &v)) << text;
    }
    for (const char *text : {"", "{", "{\"a\": 1,}", "{\"a\": 1} {\"b\": 2}", "{'a': 1}", "{\"a\": 01}",
                             "{\"a\": \"\\x41\"}", "{\"a\": \"\xff\"}"})
        EXPECT_FALSE(json_parse(text, &j)) << text;
}

namespace {

bus_record read_bus(const std::string &line)
{
    bus_record r;
    r.operation = -7;   // must be reset by the reader
    EXPECT_TRUE(bus_record_from_json(line, &r)) << line;
    return r;
}

}  // namespace

TEST(BusLines, ReadByTheirMembersWhateverTheSpacingAndOrder)
{
    const char *progress[] = {
        "{\"module\": 12, \"msg_type\": 0, \"msg_id\": 270532612, \"length\": 8, \"session_id\": 3, "
        "\"payload_hex\": \"0100000028000000\", \"payload\": {\"operation\": 1, \"progress\": 40}}",
        "{\"module\":12,\"msg_type\":0,\"msg_id\":270532612,\"length\":8,\"session_id\":3,"
        "\"payload_hex\":\"0100000028000000\",\"payload\":{\"operation\":1,\"progress\":40}}",
        "{ \"payload\" : { \"progress\" : 40 , \"operation\" : 1 } ,\n\t\"module\" : 12 }",
    };
    for (const char *line : progress) {
        bus_record r = read_bus(line);
        EXPECT_EQ(r.operation, 1) << line;
        EXPECT_EQ(r.progress, 40) << line;
        EXPECT_FALSE(r.reboot_request) << line;
        EXPECT_EQ(r.json, line);
    }
    const char *reboot[] = {
        "{\"module\": 0, \"msg_type\": 0, \"msg_id\": 268435460, \"length\": 16, \"session_id\": 0, "
        "\"payload_hex\": \"04000000000000000000000000000000\", \"payload\": {\"sys_state\": 4, \"temp_level\": 0, "
        "\"batt_level\": 0, \"sys_work_mode\": 0}}",
        "{\"module\":0,\"msg_id\":268435460,\"payload\":{\"sys_state\":4}}",
        "{\"payload\": {\"temp_level\": 0, \"sys_state\": 4}, \"msg_id\": 268435460, \"module\": 0}",
    };
    for (const char *line : reboot) {
        bus_record r = read_bus(line);
        EXPECT_TRUE(r.reboot_request) << line;
        EXPECT_EQ(r.operation, -1) << line;
    }
    // Near misses: another module, message or state; the words as strings.
    const char *neither[] = {
        "{\"module\": 120, \"payload\": {\"operation\": 1, \"progress\": 40}}",
        "{\"module\": 10, \"msg_id\": 268435460, \"payload\": {\"sys_state\": 4}}",
        "{\"module\": 0, \"msg_id\": 268435461, \"payload\": {\"sys_state\": 4}}",
        "{\"module\": 0, \"msg_id\": 268435460, \"payload\": {\"sys_state\": 5}}",
        "{\"module\": 0, \"msg_id\": 268435460, \"payload\": {\"sys_state\": \"4\"}}",
        "{\"module\": 12, \"payload\": {\"operation\": \"1\", \"progress\": 40}}",
        "{\"module\": 0, \"msg_id\": 268435460, \"payload_hex\": \"04000000\", \"error\": \"short message\"}",
    };
    for (const char *line : neither) {
        bus_record r = read_bus(line);
        EXPECT_FALSE(r.reboot_request) << line;
        EXPECT_EQ(r.operation, -1) << line;
    }
    // Not a bus record at all: a line cut short, no module, not an object.
    bus_record r;
    for (const char *line : {"{\"module\": 12, \"payload\": {\"operation\": 1, \"progress\": 40}", "{}",
                             "{\"module\": -1}", "[12]", "module: 12", ""})
        EXPECT_FALSE(bus_record_from_json(line, &r)) << line;
}

TEST(BusLines, WhatTheRecorderWritesReadsBackTheSame)
{
    const uint8_t progress[] = {0, 0, 0, 0, 0x04, 0, 0x20, 0x10, 8, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 100, 0, 0, 0};
    bus_record w = bus_message_json(12, progress, sizeof progress);
    bus_record r = read_bus(w.json);
    EXPECT_EQ(r.operation, 2);
    EXPECT_EQ(r.progress, 100);
    uint8_t reboot[32] = {0, 0, 0, 0, 0x04, 0, 0, 0x10, 16, 0, 0, 0, 9, 0, 0, 0, 4};
    w = bus_message_json(0, reboot, sizeof reboot);
    ASSERT_TRUE(w.reboot_request);
    EXPECT_TRUE(read_bus(w.json).reboot_request);
    w = bus_message_json(0, reboot, 7);
    EXPECT_EQ(w.json, "{\"module\": 0, \"error\": \"short message\", \"received\": 7, \"payload_hex\": \"00000000040000\"}");
    EXPECT_FALSE(read_bus(w.json).reboot_request);
}

TEST(BusLines, TheHarnessReadsNestedMembersAsText)
{
    std::map<std::string, std::string> f;
    ASSERT_TRUE(simharness::parse_flat_json(
        "{\"payload\":{\"progress\":40,\"operation\":1},\"module\":12,\"payload_hex\":\"0a\\\"\"}", &f));
    EXPECT_EQ(f["module"], "12");
    EXPECT_EQ(f["payload.operation"], "1");
    EXPECT_EQ(f["payload.progress"], "40");
    EXPECT_EQ(f["payload_hex"], "0a\"");
    EXPECT_FALSE(simharness::parse_flat_json("{\"module\": 12", &f));
}

// The report draws progress and the reboot request from the bus lines, and
// its result row reads them as `routersim run` does.
TEST(ReportBus, ProgressAndRebootComeFromTheLinesMembers)
{
    run_logs logs;
    logs.status = "0";
    logs.end = "exit";
    logs.wall_ms = 100;
    logs.bus = {
        {10, "{\"module\":12,\"msg_type\":0,\"msg_id\":270532612,\"length\":8,\"session_id\":3,"
             "\"payload_hex\":\"0100000028000000\",\"payload\":{\"operation\":1,\"progress\":40}}"},
        {20, "{\"module\": 120, \"payload\": {\"operation\": 1, \"progress\": 99}}"},
        {25, "{\"module\": 12, \"payload\": {\"operation\": 1, \"progress\": 70"},
        {30, "{\"payload\": {\"progress\": 100, \"operation\": 2}, \"module\": 12, \"msg_id\": 270532612}"},
        {40, "{\"module\": 0, \"msg_id\": 268435460, \"payload\": {\"temp_level\": 0, \"sys_state\": 4}}"},
    };
    run_picture pic;
    picture_router(logs, &pic);
    ASSERT_EQ(pic.progress.size(), 2u);
    EXPECT_EQ(pic.progress[0].ms, 10.0);
    EXPECT_EQ(pic.progress[0].operation, 1);
    EXPECT_EQ(pic.progress[0].progress, 40);
    EXPECT_EQ(pic.progress[1].ms, 30.0);
    EXPECT_EQ(pic.progress[1].operation, 2);
    EXPECT_EQ(pic.progress[1].progress, 100);
    EXPECT_EQ(pic.reboot_ms, 40.0);
    picture_result(logs, &pic);
    EXPECT_EQ(pic.result, "installed; reboot requested");
}

// The report reads bus.jsonl from a run's folder: every line whole, even one
// that carries a long display payload in hex, so that it still parses.
TEST(ReportBus, LongLinesOfARunFolderAreReadWhole)
{
    scratch_dir dir;
    std::string out = dir.path + "/out";
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", out}), 0);
    auto put = [](const std::string &path, const std::string &text) {
        ASSERT_TRUE(simharness::write_file(path, std::vector<uint8_t>(text.begin(), text.end())));
    };
    put(out + "/run.info", "start_ns=1000000000\nend_ns=1500000000\nend=exit\ntime_scale=1\n");
    put(out + "/status", "0\n");
    put(out + "/syslog.log", "");
    // 6000 payload bytes: 12000 hex digits before the decoded words.
    std::string long_line = "{\"module\": 12, \"msg_type\": 0, \"msg_id\": 270532612, \"length\": 6000, "
                            "\"session_id\": 3, \"payload_hex\": \"0100000032000000" + std::string(11984, '0') +
                            "\", \"payload\": {\"operation\": 1, \"progress\": 50}}";
    put(out + "/bus.jsonl", long_line + "\n{\"module\":0,\"msg_id\":268435460,\"payload\":{\"sys_state\":4}}\n");
    put(out + "/stamps.log", "1100000000 bus\n1200000000 bus\n");
    run_logs logs;
    std::string err;
    ASSERT_TRUE(read_run_logs(dir.path, &logs, &err)) << err;
    ASSERT_EQ(logs.bus.size(), 2u);
    EXPECT_EQ(logs.bus[0].text.size(), long_line.size());
    run_picture pic;
    picture_router(logs, &pic);
    ASSERT_EQ(pic.progress.size(), 1u);
    EXPECT_EQ(pic.progress[0].ms, 100.0);
    EXPECT_EQ(pic.progress[0].progress, 50);
    EXPECT_EQ(pic.reboot_ms, 200.0);
}
