// The sequence campaign without the router: the runs drawn from a seed, the
// fault rules they stand for, the backup read from its file formats, and
// each check after a run shown to fire on a state made by hand.
#include "campaign_seq.h"
#include "flash_ops.h"
#include "scratch_dir.h"
#include "simharness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sys/stat.h>

namespace {

const std::vector<uint64_t> NV_ITEMS = {0, 10, 25, 570, 1031};
const std::vector<uint64_t> RF_ITEMS = {20207, 20208};

std::string texts(const seq_plan &p)
{
    std::string s;
    for (const seq_run &r : p.runs)
        s += seq_run_text(r) + "\n";
    return s;
}

void put(const std::string &path, const std::string &bytes)
{
    ASSERT_TRUE(simharness::write_file(path, std::vector<uint8_t>(bytes.begin(), bytes.end()))) << path;
}

void le32(std::string *s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        (*s)[at + (size_t)i] = (char)(v >> (8 * i));
}

// A modem folder: two NV items, one RF NV item, an identity.
void make_modem(const std::string &dir, const std::string &imei)
{
    mkdir(dir.c_str(), 0755);
    mkdir((dir + "/nv").c_str(), 0755);
    mkdir((dir + "/rfnv").c_str(), 0755);
    mkdir((dir + "/flash").c_str(), 0755);
    put(dir + "/nv/570", std::string(128, 'A'));
    put(dir + "/nv/10", std::string(128, 'B'));
    put(dir + "/rfnv/20207", "rf-data");
    put(dir + "/identity", "sn=SN1\nimei=" + imei + "\ntestinf=RF:PASS\nsimlock=1,46000\ninds=\n");
}

// The block file written byte by byte at its documented offsets: the two NV
// records, the identity record, and the trailer naming a high_nv of one
// 7-byte record (11 bytes).
std::string block_file(const std::string &imei)
{
    std::string b(262144, '\0');
    le32(&b, 0, 548 + 2 * 130);
    le32(&b, 4, 548);
    size_t rec = 8 + 548;
    b[rec] = (char)0x3A;   // 570 = 0x023A
    b[rec + 1] = 0x02;
    b.replace(rec + 2, 128, std::string(128, 'A'));
    b[rec + 130] = 10;
    b.replace(rec + 132, 128, std::string(128, 'B'));
    size_t id = 8 + 548 + 260;
    b.replace(id + 36, 5, "\"SN1\"");
    std::string q = "\"" + imei + "\"";
    b.replace(id + 100, q.size(), q);
    b.replace(id + 164, 9, "\"1,46000\"");
    b.replace(id + 356, 9, "\"RF:PASS\"");
    b.replace(262128, 4, "HNV1");
    le32(&b, 262132, 1);
    le32(&b, 262136, 11);
    return b;
}

struct hand_made {
    scratch_dir dir;
    seq_modem_values start_a, start_b;
    std::map<std::string, std::vector<uint8_t>> images;
    seq_check_input in;
    seq_run_outcome o;

    hand_made()
    {
        make_modem(dir.path + "/a", "861234567890123");
        make_modem(dir.path + "/b", "861234567890999");
        put(dir.path + "/b/nv/570", std::string(128, 'Z'));
        mkdir((dir.path + "/2ndfile").c_str(), 0755);
        start_a = seq_modem_now(dir.path + "/a");
        start_b = seq_modem_now(dir.path + "/b");
        images["dbl"] = {1, 2, 3};
        images["dsp1"] = {4, 5};
        put(dir.path + "/a/flash/dbl", "\x01\x02\x03");
        put(dir.path + "/a/flash/dsp1", "\x04\x05");
        in.start_a = &start_a;
        in.start_b = &start_b;
        in.modem_a = dir.path + "/a";
        in.modem_b = dir.path + "/b";
        in.second_fs = dir.path + "/2ndfile";
        in.target = &images;
    }
    std::string run(std::string *detail)
    {
        std::string check;
        bool ok = seq_check_run(in, o, &check, detail);
        EXPECT_EQ(ok, check.empty());
        return check;
    }
    // What a flash does to the campaign's modem: its items and identity gone.
    void wipe_a()
    {
        remove((dir.path + "/a/nv/570").c_str());
        remove((dir.path + "/a/nv/10").c_str());
        remove((dir.path + "/a/rfnv/20207").c_str());
        put(dir.path + "/a/identity", "sn=\nimei=000000000000000\ntestinf=\nsimlock=0\ninds=\n");
    }
    void backup(const std::string &high)
    {
        put(dir.path + "/2ndfile/modem_nv", block_file("861234567890123"));
        put(dir.path + "/2ndfile/high_nv", high);
    }
};

std::string rf_record()
{
    // item 20207 = 0x4EEF, length 7
    return std::string("\xEF\x4E\x07\x00", 4) + "rf-data";
}

}  // namespace

TEST(SeqPlan, ASeedAndASequenceNumberDrawTheSameRunsEverywhere)
{
    seq_plan p = seq_generate(20261209, 3, NV_ITEMS, RF_ITEMS);
    EXPECT_EQ(p.seed, 20261209u);
    EXPECT_EQ(p.index, 3u);
    EXPECT_EQ(texts(p), "no-identity-keys, failed-image efs once\n"
                        "no-preserve\n"
                        "router-only\n"
                        "no-preserve, silent from NV exchange 198, cut at reset 1\n");
    EXPECT_EQ(texts(seq_generate(20261209, 3, NV_ITEMS, RF_ITEMS)), texts(p));
    EXPECT_NE(texts(seq_generate(20261209, 4, NV_ITEMS, RF_ITEMS)), texts(p));
    EXPECT_NE(texts(seq_generate(20261210, 3, NV_ITEMS, RF_ITEMS)), texts(p));
}

TEST(SeqPlan, EveryPackageFaultAndCutKindIsDrawnAndTheRulesHold)
{
    std::set<std::string> packages, faults, cuts;
    for (uint64_t i = 0; i < 300; ++i) {
        seq_plan p = seq_generate(5, i, NV_ITEMS, RF_ITEMS);
        ASSERT_GE(p.runs.size(), 4u);
        ASSERT_LE(p.runs.size(), 6u);
        EXPECT_NE(p.runs[0].package, seq_package::rerun) << "sequence " << i << ": nothing to rerun yet";
        for (const seq_run &r : p.runs) {
            packages.insert(seq_package_name(r.package));
            faults.insert(seq_fault_name(r.fault));
            if (!r.cut.kind.empty())
                cuts.insert(r.cut.kind);
            if (r.fault == seq_fault::other_modem) {
                EXPECT_TRUE(r.cut.kind.empty()) << "the other modem's run is never cut";
            }
            if (r.fault == seq_fault::status_nv) {
                EXPECT_TRUE(std::count(NV_ITEMS.begin(), NV_ITEMS.end(), r.fault_item) == 1) << r.fault_item;
            }
            if (r.cut.kind == "nv-write") {
                EXPECT_LE(r.cut.n, 5u) << "one NV write per item the modem holds";
            }
        }
    }
    EXPECT_EQ(packages.size(), 8u);
    EXPECT_EQ(faults.size(), 7u);
    EXPECT_EQ(cuts, (std::set<std::string>{"exchange", "flash", "image", "nv-read", "nv-write", "reset",
                                           "rfnv-write", "stream"}));
}

TEST(SeqPlan, FaultRulesAndReplayNames)
{
    seq_run r;
    EXPECT_EQ(seq_fault_rules(r), "");
    r.fault = seq_fault::status_nv;
    r.fault_item = 570;
    EXPECT_EQ(seq_fault_rules(r), "status nv-read@570 1 4\n");
    r.fault_lasting = true;
    EXPECT_EQ(seq_fault_rules(r), "status nv-read@570 1-3 4\n");
    r.fault = seq_fault::status_rfnv;
    r.fault_item = 20207;
    EXPECT_EQ(seq_fault_rules(r), "status rfnv-read@20207 1-3 4\n");
    r.fault = seq_fault::refuse_writes;
    r.fault_lasting = false;
    EXPECT_EQ(seq_fault_rules(r), "status nv-write * 4\nstatus rfnv-write * 6\nnak at-nwlset *\nnak at-disk *\n");
    EXPECT_EQ(seq_run_text(r), "preserve, refused-writes");
    r.fault_lasting = true;
    EXPECT_EQ(seq_fault_rules(r), "drop nv-write *\ndrop rfnv-write *\ndrop at-nwlset *\ndrop at-disk *\n");
    EXPECT_EQ(seq_run_text(r), "preserve, ignored-writes");
    r.fault = seq_fault::silent;
    r.fault_item = 31;
    EXPECT_EQ(seq_fault_rules(r), "silent nv 31\n");
    r.fault = seq_fault::failed_image;
    r.fault_image = "dsp1";
    EXPECT_EQ(seq_fault_rules(r), "fail-image dsp1 *\n");
    r.fault_lasting = false;
    EXPECT_EQ(seq_fault_rules(r), "fail-image dsp1 1\n");
    r.fault = seq_fault::other_modem;
    EXPECT_EQ(seq_fault_rules(r), "");
    r.package = seq_package::rerun;
    r.cut.kind = "flash";
    r.cut.n = 17;
    r.cut.mode = flashemu::CUT_TORN;
    EXPECT_EQ(seq_run_text(r), "rerun, other-modem, cut at flash op 17 torn");

    uint64_t seed = 0, index = 0;
    EXPECT_TRUE(seq_parse_replay("20261209:17", &seed, &index));
    EXPECT_EQ(seed, 20261209u);
    EXPECT_EQ(index, 17u);
    for (const char *bad : {"17", ":17", "7:", "7:x", "a:1", "7:1:2"})
        EXPECT_FALSE(seq_parse_replay(bad, &seed, &index)) << bad;
}

TEST(SeqBackup, TheBlockAndHighNvAreReadFromTheirOffsets)
{
    hand_made h;
    h.backup(rf_record());
    seq_backup b = seq_read_backup(h.in.second_fs);
    EXPECT_TRUE(b.block);
    EXPECT_TRUE(b.intact) << b.why;
    EXPECT_EQ(b.values["nv/570"], std::string(128, 'A'));
    EXPECT_EQ(b.values["nv/10"], std::string(128, 'B'));
    EXPECT_EQ(b.values["identity imei"], "861234567890123");
    EXPECT_EQ(b.values["identity simlock"], "1,46000");
    EXPECT_EQ(b.values["rfnv/20207"], "rf-data");
    EXPECT_EQ(b.values.size(), 7u);

    // A high_nv other than the one the block recorded: the RF item is not backed up.
    h.backup(rf_record() + rf_record());
    b = seq_read_backup(h.in.second_fs);
    EXPECT_EQ(b.why, "high_nv is not the one the block recorded");
    EXPECT_EQ(b.values.count("rfnv/20207"), 0u);
    EXPECT_EQ(b.values.count("nv/570"), 1u);

    // A block whose sizes run past it holds nothing.
    std::string bad = block_file("861234567890123");
    le32(&bad, 0, 300000);
    put(h.in.second_fs + "/modem_nv", bad);
    b = seq_read_backup(h.in.second_fs);
    EXPECT_FALSE(b.intact);
    EXPECT_EQ(b.why, "the block's sizes do not fit (300000, 548)");
}

TEST(SeqChecks, ValuesMustBeInTheModemOrInAnIntactBackup)
{
    hand_made h;
    std::string detail;
    EXPECT_EQ(h.run(&detail), "");
    h.wipe_a();
    EXPECT_EQ(h.run(&detail), "values");
    EXPECT_EQ(detail, "identity imei is not in the modem and no backup is on /2ndfile");
    h.backup(rf_record());
    EXPECT_EQ(h.run(&detail), "") << detail;
    // The RF item dropped from the backup (a failure status skipped).
    put(h.in.second_fs + "/high_nv", "");
    EXPECT_EQ(h.run(&detail), "values");
    EXPECT_EQ(detail, "rfnv/20207 is not in the modem nor in the backup (high_nv is not the one the block recorded)");
}

TEST(SeqChecks, ABackupRemovedWhileTheModemLacksAValue)
{
    hand_made h;
    std::string detail;
    h.wipe_a();
    h.backup(rf_record());
    h.o.backup_before = true;
    EXPECT_EQ(h.run(&detail), "") << detail;
    remove((h.in.second_fs + "/modem_nv").c_str());
    remove((h.in.second_fs + "/high_nv").c_str());
    put(h.in.modem_a + "/nv/570", std::string(128, 'A'));
    EXPECT_EQ(h.run(&detail), "backup-removed");
    EXPECT_EQ(detail, "the backup was removed while identity imei differs from its value at the start");
    // Restored into the other modem: it has the first one's identity and items.
    hand_made g;
    g.o.backup_before = true;
    g.backup(rf_record());
    remove((g.in.second_fs + "/modem_nv").c_str());
    put(g.in.modem_b + "/nv/570", std::string(128, 'A'));
    EXPECT_EQ(g.run(&detail), "backup-removed");
    EXPECT_EQ(detail, "the backup was removed while the other modem's nv/570 differs from its value at the start");
}

TEST(SeqChecks, ARunReportedInstalledNeedsEveryImageAndEveryValueBack)
{
    hand_made h;
    std::string detail;
    h.o.installed = true;
    EXPECT_EQ(h.run(&detail), "") << detail;
    remove((h.in.modem_a + "/flash/dsp1").c_str());
    EXPECT_EQ(h.run(&detail), "installed");
    EXPECT_EQ(detail, "reported installed, but the modem holds no dsp1 image");
    put(h.in.modem_a + "/flash/dsp1", "\x04\x06");
    EXPECT_EQ(h.run(&detail), "installed");
    EXPECT_EQ(detail, "reported installed, but the modem's dsp1 image is not the package's");
    put(h.in.modem_a + "/flash/dsp1", "\x04\x05");
    // Values still only in the backup: not installed.
    h.wipe_a();
    h.backup(rf_record());
    EXPECT_EQ(h.run(&detail), "installed");
    EXPECT_EQ(detail, "reported installed, but identity imei differs from its value at the start");
    // Not reported installed: the same modem passes (the backup holds it all).
    h.o.installed = false;
    EXPECT_EQ(h.run(&detail), "");
}

TEST(SeqChecks, ARunMustEndWithinItsBound)
{
    hand_made h;
    std::string detail;
    h.o.simulated_s = 900;
    EXPECT_EQ(h.run(&detail), "");
    h.o.simulated_s = 901;
    EXPECT_EQ(h.run(&detail), "time");
    EXPECT_EQ(detail, "the run ended after 901 simulated seconds (the bound is 900)");
    h.o.simulated_s = 1800;
    h.o.timed_out = true;
    EXPECT_EQ(h.run(&detail), "time");
    EXPECT_EQ(detail, "the run was stopped after 1800 simulated seconds (the bound is 900)");
}

TEST(SeqResults, AResultRoundTripsThroughItsJsonLine)
{
    seq_result r;
    r.plan.seed = 7;
    r.plan.index = 12;
    r.failed_run = 3;
    r.check = "values";
    r.detail = "nv/570 is not in the modem and no backup is on /2ndfile";
    r.wall_s = 12.5;
    seq_run_record x;
    x.text = "preserve, cut at image 3";
    x.rc = 11;
    x.status = "killed";
    x.cut_reached = true;
    x.simulated_s = 81;
    r.runs.push_back(x);
    std::string line = seq_result_json(r);
    EXPECT_EQ(line, "{\"seed\":7,\"sequence\":12,\"result\":\"fail\",\"run\":3,\"check\":\"values\",\"detail\":\"nv/570 "
                    "is not in the modem and no backup is on /2ndfile\",\"wall_s\":12.5,\"kept\":\"\",\"runs\":[{\"run\":"
                    "\"preserve, cut at image 3\",\"rc\":11,\"status\":\"killed\",\"installed\":false,\"cut_reached\":true,"
                    "\"imei_released\":false,\"simulated_s\":81.0}]}");
    seq_result back;
    ASSERT_TRUE(seq_result_from_json(line, &back));
    EXPECT_EQ(seq_result_json(back), line);
    EXPECT_FALSE(seq_result_from_json("{\"seed\":7}", &back));
    EXPECT_FALSE(seq_result_from_json("not json", &back));
}

TEST(SeqResults, ASequenceRunAgainAfterATimeFailureIsNamedInItsLineAndTheSummary)
{
    seq_result r;
    r.plan.seed = 20261209;
    r.plan.index = 407;
    r.passed = true;
    r.time_retry = "run 1: the run ended after 1398 simulated seconds (the bound is 900)";
    const std::string line = seq_result_json(r);
    EXPECT_EQ(line, "{\"seed\":20261209,\"sequence\":407,\"result\":\"pass\",\"run\":0,\"check\":\"\",\"detail\":\"\","
                    "\"wall_s\":0.0,\"kept\":\"\",\"time_retry\":\"run 1: the run ended after 1398 simulated seconds "
                    "(the bound is 900)\",\"runs\":[]}");
    seq_result back;
    ASSERT_TRUE(seq_result_from_json(line, &back));
    EXPECT_EQ(back.time_retry, r.time_retry);

    seq_result plain;
    plain.plan.seed = 20261209;
    plain.plan.index = 408;
    plain.passed = true;
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(seq_summary(out, {r, plain}, 10), 0u);
    fclose(out);
    const std::string summary(text, size);
    free(text);
    EXPECT_NE(summary.find("sequences: 2, 2 passed, 0 failed\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("run again after failing only the time check: 1\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("sequence 407 of seed 20261209: the first attempt failed the time check (run 1: the run "
                           "ended after 1398 simulated seconds (the bound is 900)); run again: passed\n"),
              std::string::npos)
        << summary;
    EXPECT_EQ(summary.find("sequence 408"), std::string::npos) << summary;
}
