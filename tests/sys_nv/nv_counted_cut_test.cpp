// The modem's counted power cut as a run sees it: routersim ends the run as
// a power cut at the counted event, and the modem keeps what it stored.
#include "nv_fixture.h"

using namespace sysnv;
using sysmodem::load_for_upgrade;
using sysmodem::with_modem;

namespace {

// A run with the modem at the time scale of these tests, its power cut at
// the counted event cut (KIND:N).
simharness::run_options cut_at(const modem_package &pkg, const char *cut)
{
    simharness::run_options o = with_modem(pkg, 40);
    o.modem_power_cut = cut;
    return o;
}

// The NV-preserving package for ZMR_V200, a modem running version with a
// seeded store, and a router with the package loaded.
struct seeded_upgrade {
    modem_package pkg{NV_INI, "ZMR_V200"};
    sim_router r;
    bool loaded = false;
    explicit seeded_upgrade(const char *running)
    {
        pkg.modem_version(running);
        seed_store(pkg);
        loaded = load_for_upgrade(r, pkg);
    }
};

} // namespace

TEST(NvCountedCut, TheRunEndsAsAPowerCutAtTheCountedNvRead)
{
    // A modem already on the package's firmware: the step reads no NV item.
    seeded_upgrade s("ZMR_V200");
    ASSERT_TRUE(s.loaded);
    modem_package &pkg = s.pkg;
    sim_router &r = s.r;
    const simharness::run_options o = cut_at(pkg, "nv-read:3");
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    // The run ends without reaching the cut, and leaves no report.
    EXPECT_EQ(r.status(), "0");
    EXPECT_FALSE(pkg.modem_has("out/power_cut"));

    // On the old firmware the step backs up: the third read is taken and
    // its answer never sent.
    pkg.modem_version("ZMR_V100");
    ASSERT_TRUE(load_for_upgrade(r, pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, o), 0);
    EXPECT_EQ(r.status(), "killed");
    EXPECT_NE(r.out("run.info").find("end=power-cut\n"), std::string::npos) << r.out("run.info");
    EXPECT_EQ(simharness::read_file(pkg.modem_state + "/out/power_cut"), "nv-read 3\n");
    EXPECT_EQ(pkg.modem_log_count("power cut at nv-read 3: the modem is dead"), 1u);
    EXPECT_EQ(pkg.modem_log_count("tx normal nv-read-reply"), 2u) << "the third read was answered";
    EXPECT_FALSE(exists(r.state() + "/2ndfile/modem_nv"));
    EXPECT_EQ(count_lost(pkg).total(), 0);
}

TEST(NvCountedCut, ACutThatIsNotKindColonCountIsAUsageError)
{
    modem_package pkg(NV_INI);
    sim_router r;
    for (const char *bad : {"nv-read", "nv-read:0", "nv-read:x", ":5", "NV-READ:5"}) {
        EXPECT_EQ(r.run({"imgrenew", "get"}, cut_at(pkg, bad)), 2) << bad;
    }
}

TEST(NvCountedCut, CutAfterTheVersionImageIsStoredFlashesTheRestOnTheRerun)
{
    // The AMSS image carries the version the modem reports; DSP1, DSP2 and
    // EFS are stored after it. A cut in between leaves a modem that reports
    // the new version but lacks images, and a pending NV backup.
    seeded_upgrade s("ZMR_V100");
    ASSERT_TRUE(s.loaded);
    modem_package &pkg = s.pkg;
    sim_router &r = s.r;
    ASSERT_EQ(r.run({"imgrenew", "up"}, cut_at(pkg, "image:3")), 0);
    ASSERT_EQ(r.status(), "killed");
    ASSERT_TRUE(pkg.flash_holds("amss"));
    ASSERT_FALSE(pkg.flash_holds("dsp1"));
    ASSERT_TRUE(exists(r.state() + "/2ndfile/modem_nv"));

    // The rerun after the next boot: the version decides nothing, the images
    // the journal does not list as stored are flashed and the backup
    // restored.
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, 40)), 0);
    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_TRUE(r.syslog_contains("an earlier modem update did not finish: the images it did not store are flashed"));
    EXPECT_FALSE(r.syslog_contains("no need to update current modem firmware"));
    for (const char *type : {"partition", "dbl", "osbl", "amss", "dsp1", "dsp2", "efs"})
        EXPECT_TRUE(pkg.flash_holds(type)) << type << " is not byte-exact in the modem's flash";
    EXPECT_EQ(count_lost(pkg).total(), 0);
    EXPECT_FALSE(exists(r.state() + "/2ndfile/modem_nv"));
    EXPECT_FALSE(exists(r.state() + "/2ndfile/high_nv"));
}
