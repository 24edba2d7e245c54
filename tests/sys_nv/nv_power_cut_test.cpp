// Power cuts placed by counting what the modem does during an NV-preserving
// modem step (backup reads, high-priority reads, the block write, each
// image's download, the reset, the reconnects, each restore write and the
// clean-up), each followed by reruns of imgrenew up: with the same package,
// with a container the step refuses, or with a package whose INI does not
// preserve NV. Every cut ends with the modem holding every NV item, RF NV
// item and identity value it held before, and no backup left behind.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "nv_fixture.h"
#include "sample_every.h"

using namespace sysnv;
using sysmodem::load_for_upgrade;
using sysmodem::with_modem;

namespace {

constexpr double k_scale = 40;
constexpr int k_max_reruns = 4;
constexpr int k_workers = 4;
// Cut points taken evenly from the long runs of one kind of event.
constexpr uint32_t k_nv_read_points = 70;
constexpr uint32_t k_nv_write_points = 70;
constexpr uint32_t k_write32_points = 4;

// A package like the modem scenarios' but with small images, so that two
// hundred cut runs and their reruns fit in minutes.
struct small_package {
    sysrouter::package_dir dir;
    std::string path;
    small_package(const std::string &modem_lines, const std::string &amss_version)
    {
        struct image {
            const char *type;
            size_t size;
        } images[] = {{"hex", 5000},  {"partition", 300}, {"dbl", 3000},  {"fsbl", 2000}, {"osbl", 3000},
                      {"amss", 9000}, {"dsp1", 3000},     {"dsp2", 20000}, {"efs", 4000}};
        std::string desc = modem_lines;
        uint32_t seed = 31;
        for (const image &i : images) {
            bytes data = random_bytes(i.size, seed++);
            if (std::string(i.type) == "amss" && !amss_version.empty()) {
                const std::string mark = "InnerVersion:" + amss_version + '\0';
                std::copy(mark.begin(), mark.end(), data.begin() + 1000);
            }
            dir.put(std::string("m_") + i.type, data);
            desc += std::string("image ") + i.type + " m_" + i.type + "\n";
        }
        dir.put("modem.desc", desc);
        path = dir.build("modem qd4700_modem.bin modem.desc\n");
    }
};

// One counted cut: modemsim's --power-cut KIND:N, and the phase it falls in.
struct cut_point {
    std::string kind;
    uint32_t n;
    std::string phase;
};

// Every counted event of a run, in order, read from the modem's exchange log.
struct event {
    std::string kind;
    uint32_t n;
    std::string image;    // for stream events: the image being sent
};

std::vector<event> events_of(const std::string &modem_log)
{
    static const std::pair<const char *, const char *> marks[] = {
        {"rx normal nv-read ", "nv-read"},     {"rx normal nv-write ", "nv-write"},
        {"rx normal rfnv-read", "rfnv-read"},  {"rx normal rfnv-write", "rfnv-write"},
        {"rx download write32 ", "write32"},   {"rx programmer stream-write ", "stream"},
        {"tx programmer reset-reply", "reset"}, {"rx normal at \"", "at"},
    };
    std::map<std::string, uint32_t> seen;
    std::vector<event> out;
    std::string image;
    for (const std::string &line : simharness::read_lines(modem_log)) {
        const size_t sp = line.find(' ');
        const std::string rest = sp == std::string::npos ? line : line.substr(sp + 1);
        std::string kind;
        for (const auto &m : marks)
            if (rest.rfind(m.first, 0) == 0)
                kind = m.second;
        if (rest.rfind("attach ", 0) == 0 && rest.find("failed") == std::string::npos)
            kind = "attach";
        if (rest.rfind("image ", 0) == 0 && rest.find(" stored, ") != std::string::npos)
            kind = "image";
        const size_t open = rest.find("rx programmer open type=");
        if (open == 0 && rest.find('(') != std::string::npos)
            image = rest.substr(rest.find('(') + 1, rest.find(')') - rest.find('(') - 1);
        if (!kind.empty())
            out.push_back({kind, ++seen[kind], kind == "stream" ? image : ""});
    }
    return out;
}

// Up to `points` of 1..count, evenly, the first and the last included.
std::vector<uint32_t> spread(uint32_t count, uint32_t points)
{
    std::vector<uint32_t> v;
    if (count == 0)
        return v;
    if (count <= points) {
        for (uint32_t i = 1; i <= count; i++)
            v.push_back(i);
        return v;
    }
    for (uint32_t p = 0; p < points; p++)
        v.push_back(1 + (uint32_t)((uint64_t)p * (count - 1) / (points - 1)));
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

// The cut points of a run whose events are `ev`: every event of the short
// kinds, evenly spread points of the long ones, and the first, middle and
// last block of each image's download.
std::vector<cut_point> choose_cuts(const std::vector<event> &ev)
{
    std::map<std::string, uint32_t> total;
    size_t last_rfnv_read = 0, first_restore = ev.size(), last_nv_write = 0, first_write32 = ev.size();
    std::map<std::string, std::vector<uint32_t>> stream_of;
    for (size_t i = 0; i < ev.size(); i++) {
        const event &e = ev[i];
        total[e.kind] = e.n;
        if (e.kind == "rfnv-read")
            last_rfnv_read = i;
        if ((e.kind == "rfnv-write" || e.kind == "nv-write") && first_restore == ev.size())
            first_restore = i;
        if (e.kind == "nv-write")
            last_nv_write = i;
        if (e.kind == "write32" && first_write32 == ev.size())
            first_write32 = i;
        if (e.kind == "stream")
            stream_of[e.image].push_back(e.n);
    }
    std::vector<cut_point> cuts;
    for (uint32_t n : spread(total["nv-read"], k_nv_read_points))
        cuts.push_back({"nv-read", n, "backup reads"});
    for (uint32_t n : spread(total["rfnv-read"], 100))
        cuts.push_back({"rfnv-read", n, "high-priority reads"});
    for (size_t i = 0; i < ev.size(); i++) {
        if (ev[i].kind != "at")
            continue;
        // The AT exchanges name the phase around them: the block file is
        // written between the last high-priority read and the switch back
        // online that follows it.
        const char *phase = i < last_rfnv_read       ? "backup (mode and identity)"
                            : i < first_write32      ? "block write and offline switch"
                            : i < first_restore      ? "reconnect before the restore"
                            : i < last_nv_write      ? "restore (mode)"
                                                     : "restore of identity and clean-up";
        cuts.push_back({"at", ev[i].n, phase});
    }
    for (uint32_t n : spread(total["write32"], k_write32_points))
        cuts.push_back({"write32", n, "programmer upload"});
    for (const auto &s : stream_of) {
        const std::vector<uint32_t> &b = s.second;
        for (uint32_t n : {b.front(), b[b.size() / 2], b.back()})
            if (cuts.back().kind != "stream" || cuts.back().n != n)
                cuts.push_back({"stream", n, "download of " + s.first});
    }
    for (uint32_t n : spread(total["image"], 100))
        cuts.push_back({"image", n, "image stored"});
    for (uint32_t n : spread(total["reset"], 100))
        cuts.push_back({"reset", n, "reset"});
    for (uint32_t n : spread(total["attach"], 100))
        cuts.push_back({"attach", n, "reconnect"});
    for (uint32_t n : spread(total["rfnv-write"], 100))
        cuts.push_back({"rfnv-write", n, "high-priority restore writes"});
    for (uint32_t n : spread(total["nv-write"], k_nv_write_points))
        cuts.push_back({"nv-write", n, "NV restore writes"});
    return cuts;
}

// The modem as before the upgrade: its seeded store, nothing flashed.
void fresh_modem(const std::string &state, const modem_package &pkg)
{
    std::filesystem::remove_all(state);
    std::filesystem::create_directories(state);
    seed_store(pkg);
}

// The modem step of the last run got to its end: flashed and restored, or
// the modem already runs the package's firmware, and no backup is left.
bool step_ended(const sim_router &r)
{
    return (r.syslog_contains("modem update successful,please reset the comuter!") ||
            r.syslog_contains("the curren modem version is same with update firmware")) &&
           !exists(r.state() + "/2ndfile/modem_nv") && !exists(r.state() + "/2ndfile/high_nv");
}

// The little-endian 16- and 32-bit words at byte at of s.
uint32_t le16_at(const std::string &s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8;
}
uint32_t le32_at(const std::string &s, size_t at)
{
    return le16_at(s, at) | le16_at(s, at + 2) << 16;
}

// What a cut left: a modem that was flashed (modemsim's mark, kept until
// its firmware next starts) or that lacks NV values has a complete backup
// beside it. /2ndfile/modem_nv is the 256 KiB block: an 8-byte header
// (sizes), the backup file (a 548-byte identity header and one 130-byte
// record, item number and 128 data bytes, of every preserved item with its
// seeded value), a 548-byte identity record, and the high-NV summary (HNV1,
// 6 items, 896 bytes) in its last 16 bytes.
// /2ndfile/high_nv holds the 6 RF items with their seeded values, each as
// item number, length and data.
void expect_backup_while_wiped(const sim_router &r, const modem_package &store, const std::string &what)
{
    const loss l = count_lost(store);
    const bool flashed = exists(store.modem_state + "/flashed");
    if (!flashed && l.nv + l.rf == 0)
        return;
    const std::string why = what + (flashed ? ": flashed" : ": NV values lost");
    const std::string blk = r.second_fs_file("modem_nv");
    const std::string high = r.second_fs_file("high_nv");
    ASSERT_EQ(blk.size(), 262144u) << why << ", and no whole /2ndfile/modem_nv";
    const std::vector<unsigned> items = preserved_items();
    const uint32_t nv_size = le32_at(blk, 0);
    EXPECT_EQ(nv_size, 548u + 130u * items.size()) << why;
    EXPECT_EQ(le32_at(blk, 4), 548u) << why << ": identity record";
    std::map<unsigned, std::string> kept;
    for (size_t at = 8 + 548; at + 130 <= 8 + (size_t)nv_size && at + 130 <= blk.size(); at += 130)
        kept[le16_at(blk, at)] = blk.substr(at + 2, 128);
    int missing = 0;
    for (unsigned item : items) {
        const bytes v = nv_value(item);
        missing += kept[item] != std::string(v.begin(), v.end());
    }
    EXPECT_EQ(missing, 0) << why << ": NV items missing from /2ndfile/modem_nv";
    EXPECT_EQ(blk.substr(262128, 4), "HNV1") << why;
    EXPECT_EQ(le32_at(blk, 262132), 6u) << why;
    EXPECT_EQ(le32_at(blk, 262136), 896u) << why;

    ASSERT_EQ(high.size(), 896u) << why << ", and no whole /2ndfile/high_nv";
    size_t at = 0;
    for (const rf_item &ri : RF_ITEMS) {
        const bytes v = rf_value(ri);
        ASSERT_LE(at + 4 + ri.len, high.size()) << why;
        EXPECT_EQ(le16_at(high, at), ri.item) << why;
        EXPECT_EQ(le16_at(high, at + 2), ri.len) << why;
        EXPECT_EQ(high.substr(at + 4, ri.len), std::string(v.begin(), v.end())) << why << ": RF item " << ri.item;
        at += 4 + ri.len;
    }
}

enum rerun_kind { SAME, REFUSED, PLAIN };
const char *rerun_name(rerun_kind k)
{
    return k == SAME ? "same package" : k == REFUSED ? "refused container" : "INI without preservation";
}

// Runs one package on a router with the modem of `store`, cut at `cut`
// ("" for none).
void run_package(sim_router &r, const modem_package &store, const std::string &path, const std::string &cut)
{
    simharness::run_options o = with_modem(store, k_scale);
    o.modem_power_cut = cut;
    EXPECT_EQ(r.load_package(path), 0);
    EXPECT_EQ(r.run({"imgrenew", "set", "0"}), 0);
    EXPECT_EQ(r.run({"imgrenew", "up"}, o), 0);
}

struct phase_figures {
    int cuts = 0, fell = 0, reruns = 0, lost = 0;
};

struct campaign {
    small_package pkg{NV_INI, "ZMR_V200"};
    small_package refused{"modem_version ZMR_V200\nmagic 0x4D444F4E\n", ""};
    // "ZMR_V" begins both versions the modem may run: this package flashes
    // only when the version query fails.
    small_package plain{"modem_version ZMR_V\nefs_include 0\nefs_restore 0\nversion_check 1\n", ""};
    std::vector<cut_point> cuts;
    std::mutex lock;
    std::map<std::string, phase_figures> figures;
    std::map<rerun_kind, int> by_kind;
    int reruns = 0, lost = 0, not_reached = 0, attach_not_reached = 0;
};

// One cut and its reruns, on the worker's own router and modem.
void cut_and_rerun(campaign &cp, size_t i, const modem_package &store)
{
    const cut_point &c = cp.cuts[i];
    const std::string what = c.kind + ":" + std::to_string(c.n) + " (" + c.phase + ")";
    fresh_modem(store.modem_state, store);
    sim_router r;
    run_package(r, store, cp.pkg.path, c.kind + ":" + std::to_string(c.n));
    const bool fell = r.status() == "killed";

    // Whatever the cut left, the modem lacks values only while a complete
    // backup of them exists.
    if (count_lost(store).total() > 0) {
        EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u) << what << ": values lost with no backup";
    }
    expect_backup_while_wiped(r, store, what);
    // The first rerun of every fourth cut carries a refused container, of
    // every fourth another a package that does not preserve NV.
    const rerun_kind first = i % 4 == 2 ? REFUSED : i % 4 == 3 ? PLAIN : SAME;
    std::map<rerun_kind, int> kinds;
    int runs = 0;
    bool ended = false;
    for (rerun_kind k = first; runs < k_max_reruns && !ended; k = SAME) {
        // A package that does not preserve NV may still flash (a version
        // query that fails counts as a need to update); its images do not
        // touch the modem's NV file system, or it would wipe by design.
        store.dir.put("modem/flash_wipe", k == PLAIN ? "none\n" : "all\n");
        run_package(r, store, k == REFUSED ? cp.refused.path : k == PLAIN ? cp.plain.path : cp.pkg.path, "");
        runs++;
        kinds[k]++;
        ended = k == SAME && step_ended(r);
        if (k != SAME && count_lost(store).total() > 0) {
            EXPECT_EQ(r.second_fs_file("modem_nv").size(), 262144u)
                << what << ": values lost with no backup after a " << rerun_name(k);
        }
    }
    const loss l = count_lost(store);
    EXPECT_TRUE(ended) << what << ": the modem step did not end after " << runs << " reruns";
    EXPECT_EQ(l.nv, 0) << what;
    EXPECT_EQ(l.rf, 0) << what;
    EXPECT_EQ(l.identity, 0) << what;

    std::lock_guard<std::mutex> hold(cp.lock);
    printf("  cut %3zu at %-16s %-34s %s, %d rerun(s) from a %s: %d NV, %d RF NV, %d identity lost\n", i + 1,
           (c.kind + ":" + std::to_string(c.n)).c_str(), c.phase.c_str(), fell ? "fell" : "not reached", runs,
           rerun_name(first), l.nv, l.rf, l.identity);
    fflush(stdout);
    phase_figures &f = cp.figures[c.phase];
    f.cuts++;
    f.fell += fell;
    f.reruns += runs;
    f.lost += l.total();
    cp.reruns += runs;
    cp.lost += l.total();
    // How often the modem attaches after the first time depends on how the
    // reconnect polls meet its re-enumeration: a later attach point the
    // rerun does not reach is counted apart, not taken for a cut point
    // beyond the run.
    if (!fell && c.kind == "attach" && c.n > 1)
        cp.attach_not_reached++;
    else
        cp.not_reached += !fell;
    for (const auto &k : kinds)
        cp.by_kind[k.first] += k.second;
}

} // namespace

TEST(NvPowerCut, CountedCutsInEveryPhaseLoseNothingAfterTheReruns)
{
    campaign cp;
    std::vector<std::unique_ptr<modem_package>> stores;
    for (int w = 0; w < k_workers; w++)
        stores.push_back(std::make_unique<modem_package>(NV_INI, "ZMR_V200"));

    // One uncut step gives the events to count the cuts by.
    {
        const modem_package &store = *stores[0];
        fresh_modem(store.modem_state, store);
        sim_router r;
        const auto t0 = std::chrono::steady_clock::now();
        run_package(r, store, cp.pkg.path, "");
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ASSERT_TRUE(step_ended(r)) << r.out("stderr");
        ASSERT_EQ(count_lost(store).total(), 0);
        const std::vector<event> ev = events_of(store.modem_state + "/out/modem.log");
        cp.cuts = choose_cuts(ev);
        // NV_POWER_CUT=KIND:N runs that one cut alone, to look into it.
        if (const char *only = getenv("NV_POWER_CUT")) {
            std::vector<cut_point> one;
            for (const cut_point &c : cp.cuts)
                if (c.kind + ":" + std::to_string(c.n) == only)
                    one.push_back(c);
            cp.cuts = one;
        }
        printf("NV power cut: one uncut step takes %.1f s at time scale %g, %zu counted events, %zu cut points, "
               "%d workers\n", s, k_scale, ev.size(), cp.cuts.size(), k_workers);
    }
    ASSERT_GE(cp.cuts.size(), getenv("NV_POWER_CUT") ? 1u : 200u);
    // A sample (POWER_CUT_SAMPLE_EVERY=N) keeps every Nth point, so that each
    // phase still has cuts.
    if (const int every = testkit::sample_every(); every > 1) {
        std::vector<cut_point> kept;
        for (size_t i = 0; i < cp.cuts.size(); i += (size_t)every)
            kept.push_back(cp.cuts[i]);
        cp.cuts = kept;
        printf("NV power cut: a sample of every %dth point, %zu cut points\n", every, cp.cuts.size());
    }

    // The cuts are independent (each worker has its router and its modem)
    // and mostly wait on the modem's scaled delays: several run at once.
    std::vector<std::thread> workers;
    for (int w = 0; w < k_workers; w++)
        workers.emplace_back([&cp, &stores, w] {
            for (size_t i = (size_t)w; i < cp.cuts.size(); i += (size_t)k_workers)
                cut_and_rerun(cp, i, *stores[(size_t)w]);
        });
    for (std::thread &t : workers)
        t.join();

    printf("NV power cut: %zu cut points, %d not reached (and %d later attach points), %d reruns (%d same package, %d refused container, "
           "%d INI without preservation), %d values lost\n",
           cp.cuts.size(), cp.not_reached, cp.attach_not_reached, cp.reruns, cp.by_kind[SAME], cp.by_kind[REFUSED], cp.by_kind[PLAIN],
           cp.lost);
    for (const auto &p : cp.figures)
        printf("  %-36s %3d cuts, %3d fell, %3d reruns, %d values lost\n", p.first.c_str(), p.second.cuts,
               p.second.fell, p.second.reruns, p.second.lost);
    EXPECT_EQ(cp.not_reached, 0) << "a cut point beyond what the run does";
}
