// Power cuts at random moments of the modem step of an NV-preserving
// upgrade: after the reruns of imgrenew up, the modem holds every NV item,
// RF NV item and identity value it held before.
#include <chrono>
#include <cstdio>
#include <random>

#include "nv_fixture.h"

using namespace sysnv;
using sysmodem::with_modem;

namespace {

constexpr double k_scale = 40;
constexpr int k_cuts = 30;
constexpr int k_max_reruns = 3;
constexpr uint32_t k_seed = 20261208;

// The modem as before the upgrade: its seeded store, nothing flashed.
void fresh_modem(const modem_package &pkg)
{
    std::filesystem::remove_all(pkg.modem_state);
    std::filesystem::create_directories(pkg.modem_state);
    seed_store(pkg);
}

// The modem step of the last run ended with its success line and removed
// its backup (a cut after that, in the router's closing steps, leaves
// nothing of the modem to redo).
bool modem_step_ended(const sim_router &r)
{
    return r.syslog_contains("modem update successful,please reset the comuter!") &&
           !exists(r.state() + "/2ndfile/modem_nv") && !exists(r.state() + "/2ndfile/high_nv");
}

simharness::run_options cut_at(const modem_package &pkg, long ms)
{
    simharness::run_options o = with_modem(pkg, k_scale);
    o.kill_after_ms = ms;
    return o;
}

// The last modem step line the cut run logged, to show where the cut fell.
std::string last_step(const sim_router &r)
{
    std::string step = "(nothing logged)";
    for (const std::string &line : r.syslog())
        for (const char *mark : {"backup", "Backup", "download", "downlaod", "image.", "restore", "Restore",
                                 "resoter", "modem update", "clear the NV"})
            if (line.find(mark) != std::string::npos)
                step = line.substr(line.find(']') + 1, 60);
    return step;
}

} // namespace

TEST(NvPowerCut, CutsAnywhereInTheModemStepLoseNoItemAfterTheRerun)
{
    // The router records read as done on the erased state word, so the
    // whole run is the modem step: one uncut run gives its span.
    modem_package pkg(NV_INI, "ZMR_V200");
    long span_ms;
    {
        fresh_modem(pkg);
        sim_router r;
        ASSERT_EQ(r.load_package(pkg.path), 0);
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, k_scale)), 0);
        span_ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0).count();
        ASSERT_TRUE(modem_step_ended(r)) << r.out("stderr");
        ASSERT_EQ(count_lost(pkg).total(), 0);
    }

    std::mt19937 gen(k_seed);
    std::uniform_int_distribution<long> pick(0, span_ms);
    printf("NV power cut: seed %u, %d cuts within the modem step's %ld ms of wall time at time scale %g\n",
           k_seed, k_cuts, span_ms, k_scale);

    int killed = 0, reruns = 0, lost_nv = 0, lost_identity = 0, unfinished = 0;
    for (int i = 0; i < k_cuts; i++) {
        const long cut = pick(gen);
        const std::string what = "cut at " + std::to_string(cut) + " ms";
        fresh_modem(pkg);
        sim_router r;
        ASSERT_EQ(r.load_package(pkg.path), 0) << what;
        ASSERT_EQ(r.run({"imgrenew", "up"}, cut_at(pkg, cut)), 0) << what;
        killed += r.status() == "killed";
        const std::string step = last_step(r);

        int runs = 0;
        bool ended = modem_step_ended(r);
        while (!ended && runs < k_max_reruns) {
            ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(pkg, k_scale)), 0) << what;
            runs++;
            ended = modem_step_ended(r);
        }
        reruns += runs;
        unfinished += !ended;
        const loss l = count_lost(pkg);
        lost_nv += l.nv + l.rf;
        lost_identity += l.identity;
        printf("  %s (last: %s): %d rerun(s), %d NV, %d RF NV, %d identity lost\n", what.c_str(), step.c_str(),
               runs, l.nv, l.rf, l.identity);
        fflush(stdout);
        EXPECT_TRUE(ended) << what << ": the modem step did not end after " << runs << " reruns";
        EXPECT_EQ(l.total(), 0) << what;
        EXPECT_FALSE(exists(r.state() + "/2ndfile/modem_nv")) << what;
        EXPECT_FALSE(exists(r.state() + "/2ndfile/high_nv")) << what;
    }
    printf("NV power cut: %d cuts (%d fell during the run), %d reruns, %d not ended; "
           "%d NV items and %d identity values lost\n",
           k_cuts, killed, reruns, unfinished, lost_nv, lost_identity);
}
