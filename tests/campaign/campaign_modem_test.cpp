// The modem side of the campaign without running the router: the full list
// of modem points, the result rows of modem points and their merge, and the
// checks on a modem left by a point (images, NV, identity, NV backup).
#include "campaign.h"
#include "scratch_dir.h"
#include "simharness.h"

#include <gtest/gtest.h>

namespace {

std::string describe(const std::vector<campaign_point> &points)
{
    std::string s;
    for (const campaign_point &p : points)
        s += std::to_string(p.index) + ":" + p.modem_kind + ":" + std::to_string(p.op) + " ";
    return s;
}

const std::map<std::string, uint64_t> COUNTS = {{"image", 3},     {"reset", 1},     {"nv-write", 4},  {"rfnv-write", 2},
                                                {"exchange", 10}, {"nv-read", 330}, {"attach", 3}};

void put(const std::string &path, const std::string &text)
{
    ASSERT_TRUE(simharness::write_file(path, std::vector<uint8_t>(text.begin(), text.end()))) << path;
}

std::string bytes_text(size_t n, char first)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(first + i % 23);
    return s;
}

}  // namespace

TEST(CampaignModemPoints, EveryFlashAndNvEventThenExchangesSpreadOrDrawn)
{
    campaign_options o;
    o.modem_exchanges = 4;
    // Reads and attaches change nothing in the modem: no points.
    EXPECT_EQ(describe(campaign_choose_modem_points(o, COUNTS)),
              "0:image:1 1:image:2 2:image:3 3:reset:1 4:rfnv-write:1 5:rfnv-write:2 6:nv-write:1 7:nv-write:2 "
              "8:nv-write:3 9:nv-write:4 10:exchange:1 11:exchange:4 12:exchange:7 13:exchange:10 ");
    o.modem_exchanges = 300;
    EXPECT_EQ(campaign_choose_modem_points(o, COUNTS).size(), 20u);

    // With a seed the exchanges are drawn: the same ones for the same seed.
    o.modem_exchanges = 3;
    o.seed_given = true;
    o.seed = 7;
    std::vector<campaign_point> a = campaign_choose_modem_points(o, COUNTS);
    ASSERT_EQ(a.size(), 13u);
    EXPECT_EQ(describe(a), describe(campaign_choose_modem_points(o, COUNTS)));
    EXPECT_EQ(a[10].modem_kind, "exchange");
    EXPECT_LT(a[10].op, a[11].op);
    EXPECT_LT(a[11].op, a[12].op);

    // --modem-cut, --every and --shard pick from the same list.
    o = campaign_options{};
    o.modem_exchanges = 4;
    o.modem_cuts = {{"reset", 1}, {"exchange", 7}, {"exchange", 5}};
    EXPECT_EQ(describe(campaign_choose_modem_points(o, COUNTS)), "3:reset:1 12:exchange:7 ");
    o.modem_cuts.clear();
    o.every = 5;
    EXPECT_EQ(describe(campaign_choose_modem_points(o, COUNTS)), "0:image:1 5:rfnv-write:2 10:exchange:1 ");
    o.every = 1;
    o.shard_k = 2;
    o.shard_n = 6;
    EXPECT_EQ(describe(campaign_choose_modem_points(o, COUNTS)), "1:image:2 7:nv-write:2 13:exchange:10 ");
}

TEST(CampaignModemResults, RowsCarryTheKindAndTheMergeRefusesARouterCampaign)
{
    point_result m;
    m.pt.index = 12;
    m.pt.op = 7;
    m.pt.modem_kind = "exchange";
    m.ops = 343;
    m.phase = "modem exchange";
    m.cut_op = "exchange 7";
    m.check = "modem-nv";
    m.detail = "nv/524 differs from its value before the upgrade";
    EXPECT_EQ(campaign_csv_line(m), "12,7,exchange,modem exchange,exchange 7,0,,,,fail,modem-nv,"
                                    "nv/524 differs from its value before the upgrade,,343\n");
    point_result back;
    ASSERT_TRUE(campaign_parse_csv_line(campaign_csv_line(m), &back));
    EXPECT_EQ(back.pt.modem_kind, "exchange");
    EXPECT_EQ(back.pt.op, 7u);
    ASSERT_TRUE(campaign_parse_json_line(campaign_json_line(m), &back));
    EXPECT_EQ(back.pt.modem_kind, "exchange");
    EXPECT_EQ(back.cut_op, "exchange 7");
    EXPECT_FALSE(campaign_parse_csv_line("12,7,nv-read,modem nv-read,,0,,,,pass,,,,343", &back));

    scratch_dir dir;
    point_result pass = m;
    pass.pt.index = 3;
    pass.passed = true;
    pass.check = pass.detail = "";
    ASSERT_EQ(campaign_write_results(dir / "m1.csv", false, {pass}, "modem shard 1/2"), 0);
    ASSERT_EQ(campaign_write_results(dir / "m2.json", true, {m}, "modem shard 2/2"), 0);
    point_result router;
    router.pt.index = 5;
    router.pt.op = 3;
    router.ops = 343;
    router.passed = true;
    ASSERT_EQ(campaign_write_results(dir / "r.csv", false, {router}, "router"), 0);
    std::string routersim = simharness::bin_path("routersim");
    std::string out;
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir / "m1.csv", dir / "m2.json"}, {}, &out), 1);
    EXPECT_NE(out.find("modem exchange                                     2       1       1"), std::string::npos)
        << out;
    EXPECT_NE(out.find("failed check modem-nv: 1 points"), std::string::npos) << out;
    EXPECT_EQ(simharness::run_program({routersim, "campaign-merge", dir / "m1.csv", dir / "r.csv"}, {}, &out), 2);
}

// A router folder and a modem folder as a point leaves them, and the package
// whose modem container they are checked against.
class CampaignModemChecks : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string state = dir / "state";
    std::string modem = dir / "state/modem";
    std::string dsp2 = bytes_text(3000, 'a');
    std::string efs = bytes_text(700, 'K');
    campaign_expect e;

    void SetUp() override
    {
        ASSERT_EQ(simharness::run_program({"mkdir", "-p", dir / "pkg", state + "/2ndfile", modem + "/flash",
                                           modem + "/nv", modem + "/rfnv"}),
                  0);
        put(dir / "pkg/m_dsp2", dsp2);
        put(dir / "pkg/m_efs", efs);
        put(dir / "pkg/m_partition", "table");
        put(dir / "pkg/version_info.txt", "zImage-2.0\n");
        put(dir / "pkg/modem.desc", "modem_version ZMR_V200\nefs_include 1\nimage partition m_partition\n"
                                    "image dsp2 m_dsp2\nimage efs m_efs\n");
        put(dir / "pkg/desc", "record version version_info.txt 0 version_info.txt\n"
                              "modem qd4700_modem.bin modem.desc\n");
        ASSERT_EQ(simharness::run_program({simharness::bin_path("imgpack"), "build", dir / "pkg.bin", dir / "pkg/desc"}),
                  0);
        ASSERT_EQ(campaign_modem_images(dir / "pkg.bin", &e), "");
        put(modem + "/flash/dsp2", dsp2);
        put(modem + "/flash/efs", efs);
        put(modem + "/flash/partition", "table");
        put(modem + "/nv/524", bytes_text(128, '0'));
        put(modem + "/rfnv/20207", "seven b");
        put(modem + "/identity", "sn=SN778899\nimei=861234567890123\ninds=\n");
        ASSERT_EQ(campaign_modem_values(modem, &e), "");
        e.modem_stored = {"dsp2", "efs", "partition"};
    }

    std::string failure()
    {
        std::string check, detail;
        if (campaign_modem_check(state, modem, e, &check, &detail))
            return "passed";
        return check + ": " + detail;
    }
};

TEST_F(CampaignModemChecks, TheModemAsBeforeWithThePackagesImagesPasses)
{
    EXPECT_EQ(e.modem_images.size(), 3u);
    EXPECT_EQ(e.modem_values.size(), 5u);
    EXPECT_EQ(e.modem_values["identity imei"], "861234567890123");
    EXPECT_EQ(failure(), "passed");
    // An image of a type the package does not carry is not the campaign's business.
    put(modem + "/flash/dbl", "old boot loader");
    EXPECT_EQ(failure(), "passed");
}

TEST_F(CampaignModemChecks, EachDifferenceNamesItsCheck)
{
    std::string torn = dsp2;
    torn[0x5A1] = 'X';
    put(modem + "/flash/dsp2", torn);
    EXPECT_EQ(failure(), "modem-images: the modem's dsp2 image differs at 0x5a1");
    put(modem + "/flash/dsp2", dsp2.substr(0, 1024));
    EXPECT_EQ(failure(), "modem-images: the modem's dsp2 image is 1024 bytes, not 3000");
    put(modem + "/flash/dsp2", dsp2);
    ASSERT_EQ(unlink((modem + "/flash/efs").c_str()), 0);
    EXPECT_EQ(failure(), "modem-images: the modem holds no efs image");
    put(modem + "/flash/efs", efs);

    put(modem + "/nv/524", bytes_text(128, '1'));
    EXPECT_EQ(failure(), "modem-nv: nv/524 differs from its value before the upgrade");
    put(modem + "/nv/524", bytes_text(128, '0'));
    ASSERT_EQ(unlink((modem + "/rfnv/20207").c_str()), 0);
    EXPECT_EQ(failure(), "modem-nv: rfnv/20207 is missing");
    put(modem + "/rfnv/20207", "seven b");
    put(modem + "/identity", "sn=\nimei=861234567890123\ninds=\n");
    EXPECT_EQ(failure(), "modem-nv: identity sn is \"\", not \"SN778899\"");
    put(modem + "/identity", "sn=SN778899\nimei=861234567890123\ninds=\n");

    put(state + "/2ndfile/high_nv", "backup");
    EXPECT_EQ(failure(), "nv-backup: /2ndfile/high_nv is left");
    ASSERT_EQ(unlink((state + "/2ndfile/high_nv").c_str()), 0);
    EXPECT_EQ(failure(), "passed");
}

TEST(CampaignModemEvents, TheModemsCountsAreReadByKind)
{
    scratch_dir dir;
    ASSERT_EQ(simharness::run_program({"mkdir", "-p", dir / "m/out"}), 0);
    put(dir / "m/out/events", "exchange 758\nimage 6\nnv-write 330\nbogus\n");
    std::map<std::string, uint64_t> c = campaign_modem_events(dir / "m");
    EXPECT_EQ(c.size(), 3u);
    EXPECT_EQ(c["exchange"], 758u);
    EXPECT_EQ(c["nv-write"], 330u);
    EXPECT_TRUE(campaign_modem_events(dir / "none").empty());
}
