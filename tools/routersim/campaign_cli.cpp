// routersim campaign and campaign-merge: the command lines, the choice of
// points, the pool of workers, progress and the verdict.
#include "campaign.h"
#include "campaign_seq.h"

#include "flash_ops.h"
#include "fork_pool.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char HELP[] =
    "usage: routersim campaign STATE PACKAGE [options]\n"
    "\n"
    "Cuts the power at every flash operation of `imgrenew up` installing PACKAGE\n"
    "on a copy of the router STATE, reruns the upgrade after each cut and checks\n"
    "that every partition holds its record, that /2ndfile and its version file are\n"
    "those of an uncut upgrade, that mtd6 (package and state word) is erased, that\n"
    "the rerun asked for a reboot and wrote no flash page twice.\n"
    "\n"
    "  --file-mode          the package as /2ndfile/image_path/root.bin (default: in mtd6)\n"
    "  --cut-mode M         none, torn or both (default both)\n"
    "  --every N            every Nth point of the full list\n"
    "  --sample K           K points drawn at random (with --seed)\n"
    "  --seed S             seed of --sample and of the second cuts (default 1)\n"
    "  --second-cut         cut once more inside each point's rerun, then rerun again\n"
    "  --op N, --op A-B     only operation N, or A to B (repeatable)\n"
    "  --shard K/N          only the points of shard K of N\n"
    "  -j N                 points run at the same time (default 1)\n"
    "  --time-scale X       time scale of every run (default 50)\n"
    "  --timeout S          wall seconds a run may take (default 120)\n"
    "  --csv FILE, --json FILE   every point's result\n"
    "  --work DIR           working folder (default: a new folder in /dev/shm)\n"
    "  --keep DIR           where failing points' routers are kept (default WORK/failed)\n"
    "  --keep-max N         keep at most N of them (default 10; about 200 MiB each)\n"
    "  --quiet              no progress line\n"
    "\n"
    "A modem campaign (a package with a modem record) cuts at the virtual modem's\n"
    "counted events instead: every image stored, reset, RF NV and NV write, and\n"
    "sampled protocol exchanges; it also checks the modem's images, NV, RF NV and\n"
    "identity values and that no NV backup is left in /2ndfile.\n"
    "  --modem MODEMSTATE   the modem before the upgrade (a modemsim state folder)\n"
    "  --modem-exchanges K  exchanges cut, evenly (drawn with --seed) (default 300)\n"
    "  --modem-cut KIND:N   only the point at the Nth event of KIND (repeatable)\n"
    "\n"
    "A point is one flash operation and one mode of cutting it; the full list is\n"
    "every operation of the uncut run, in each mode. Exit status: 0 when every\n"
    "point passed, 1 when one failed, 2 on a usage or set-up error.\n"
    "Draw a failing point with: routersim report KEPT_FOLDER\n";

const char MERGE_HELP[] =
    "usage: routersim campaign-merge [-o FILE] [--replace] RESULTS...\n"
    "Merges the CSV or JSON results of campaign shards, prints the summary and\n"
    "exits 1 when a point failed. -o writes the merged results (JSON when FILE\n"
    "ends in .json, CSV otherwise). A point may appear in one file only, unless\n"
    "--replace: then a later file's result of a point replaces an earlier one's\n"
    "(a rerun of some points, e.g. with --op).\n";

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int)
{
    g_interrupted = 1;
}

bool parse_count(const char *text, uint64_t *v)
{
    return parse_op_number(text, v) && *v > 0;
}

bool parse_real(const char *text, double *v)
{
    char *end = nullptr;
    double d = strtod(text, &end);
    if (end == text || *end != '\0' || !(d > 0) || d > 1e6)
        return false;
    *v = d;
    return true;
}

bool parse_shard(const char *text, int *k, int *n)
{
    int a = 0, b = 0;
    char tail = 0;
    if (sscanf(text, "%d/%d%c", &a, &b, &tail) != 2 || b < 1 || b > 100000 || a < 1 || a > b)
        return false;
    *k = a;
    *n = b;
    return true;
}

bool parse_op_range(const char *text, std::vector<std::pair<uint64_t, uint64_t>> *ranges)
{
    std::string t = text;
    size_t dash = t.find('-');
    uint64_t a = 0, b = 0;
    if (dash == std::string::npos) {
        if (!parse_count(text, &a))
            return false;
        b = a;
    } else if (!parse_count(t.substr(0, dash).c_str(), &a) || !parse_count(t.substr(dash + 1).c_str(), &b) || b < a) {
        return false;
    }
    ranges->push_back({a, b});
    return true;
}

std::string absolute(const std::string &path)
{
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

int usage_error(const std::string &what)
{
    fprintf(stderr, "routersim campaign: %s (routersim campaign --help)\n", what.c_str());
    return 2;
}

int parse_options(int argc, char **argv, campaign_options *o)
{
    std::vector<const char *> positional;
    std::string modes = "both";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        bool takes = true;
        if (a == "--file-mode") {
            o->file_mode = true;
            takes = false;
        } else if (a == "--second-cut") {
            o->second_cut = true;
            takes = false;
        } else if (a == "--quiet") {
            o->quiet = true;
            takes = false;
        } else if (a.size() > 1 && a[0] == '-' && v == nullptr) {
            return usage_error(a + " needs a value");
        } else if (a == "--cut-mode") {
            modes = v;
            ok = modes == "none" || modes == "torn" || modes == "both";
        } else if (a == "--every") {
            ok = parse_count(v, &o->every);
        } else if (a == "--sample") {
            ok = parse_count(v, &o->sample);
        } else if (a == "--seed") {
            ok = parse_op_number(v, &o->seed);
            o->seed_given = true;
        } else if (a == "--op") {
            ok = parse_op_range(v, &o->only_ops);
        } else if (a == "--shard") {
            ok = parse_shard(v, &o->shard_k, &o->shard_n);
        } else if (a == "-j") {
            uint64_t j = 0;
            ok = parse_count(v, &j) && j <= 64;
            o->jobs = (int)j;
        } else if (a == "--time-scale") {
            ok = parse_real(v, &o->time_scale);
        } else if (a == "--timeout") {
            ok = parse_real(v, &o->timeout_s);
        } else if (a == "--csv") {
            o->csv_file = v;
        } else if (a == "--json") {
            o->json_file = v;
        } else if (a == "--work") {
            o->work_dir = v;
        } else if (a == "--keep") {
            o->keep_dir = v;
        } else if (a == "--keep-max") {
            ok = parse_op_number(v, &o->keep_max);
        } else if (a == "--modem") {
            o->modem_state = v;
        } else if (a == "--modem-exchanges") {
            ok = parse_op_number(v, &o->modem_exchanges);
        } else if (a == "--modem-cut") {
            std::string t = v;
            size_t colon = t.find(':');
            uint64_t n = 0;
            ok = colon != std::string::npos && campaign_modem_kind(t.substr(0, colon)) &&
                 parse_count(t.substr(colon + 1).c_str(), &n);
            if (ok)
                o->modem_cuts.push_back({t.substr(0, colon), n});
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else {
            positional.push_back(argv[i]);
            takes = false;
        }
        if (!ok)
            return usage_error("bad value for " + a + ": " + v);
        i += takes ? 1 : 0;
    }
    if (positional.size() != 2)
        return usage_error("needs STATE and PACKAGE");
    bool modem = !o->modem_state.empty();
    for (int i = 1; i < argc && modem; ++i) {
        std::string a = argv[i];
        if (a == "--cut-mode" || a == "--second-cut" || a == "--op")
            return usage_error(a + " is for router campaigns; a modem campaign cuts at modem events (--modem-cut)");
    }
    for (int i = 1; i < argc && !modem; ++i) {
        std::string a = argv[i];
        if (a == "--modem-exchanges" || a == "--modem-cut")
            return usage_error(a + " needs --modem");
    }
    if (!o->modem_cuts.empty() && o->sample != 0)
        return usage_error("--sample and --modem-cut exclude each other");
    if (!o->csv_file.empty() && !o->json_file.empty())
        return usage_error("give --csv or --json, not both");
    if (o->sample != 0 && !o->only_ops.empty())
        return usage_error("--sample and --op exclude each other");
    o->state = absolute(positional[0]);
    if (modem)
        o->modem_state = absolute(o->modem_state);
    o->package = absolute(positional[1]);
    if (modes != "torn")
        o->modes.push_back(flashemu::CUT_NOT_DONE);
    if (modes != "none")
        o->modes.push_back(flashemu::CUT_TORN);
    return 0;
}

// A Fisher-Yates draw on mt19937's own output, the same on every machine.
std::vector<uint64_t> draw_sample(std::vector<uint64_t> pool, uint64_t k, uint64_t seed)
{
    std::mt19937_64 gen(seed);
    k = std::min<uint64_t>(k, pool.size());
    for (uint64_t i = 0; i < k; ++i) {
        uint64_t j = i + gen() % (pool.size() - i);
        std::swap(pool[i], pool[j]);
    }
    pool.resize(k);
    std::sort(pool.begin(), pool.end());
    return pool;
}

}  // namespace

namespace {

// --every, --sample, then --shard over the indexes of the wanted points.
std::vector<uint64_t> select_indexes(const campaign_options &o, const std::vector<uint64_t> &wanted)
{
    std::vector<uint64_t> chosen;
    for (uint64_t idx : wanted)
        if (idx % o.every == 0)
            chosen.push_back(idx);
    if (o.sample != 0)
        chosen = draw_sample(chosen, o.sample, o.seed);
    std::vector<uint64_t> mine;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (i % (size_t)o.shard_n == (size_t)(o.shard_k - 1))
            mine.push_back(chosen[i]);
    return mine;
}

}  // namespace

std::vector<campaign_point> campaign_choose_points(const campaign_options &o, uint64_t ops)
{
    uint64_t per_op = o.modes.size();
    std::vector<uint64_t> wanted;
    for (uint64_t idx = 0; idx < ops * per_op; ++idx) {
        uint64_t op = idx / per_op + 1;
        bool in = o.only_ops.empty();
        for (const auto &r : o.only_ops)
            in = in || (op >= r.first && op <= r.second);
        if (in)
            wanted.push_back(idx);
    }
    std::vector<campaign_point> points;
    for (uint64_t idx : select_indexes(o, wanted)) {
        campaign_point p;
        p.index = idx;
        p.op = idx / per_op + 1;
        p.mode = o.modes[idx % per_op];
        points.push_back(p);
    }
    return points;
}

std::vector<campaign_point> campaign_choose_modem_points(const campaign_options &o,
                                                         const std::map<std::string, uint64_t> &counts)
{
    std::vector<campaign_point> full = campaign_modem_full_list(o, counts);
    std::vector<uint64_t> wanted;
    for (const campaign_point &p : full) {
        bool in = o.modem_cuts.empty();
        for (const auto &c : o.modem_cuts)
            in = in || (c.first == p.modem_kind && c.second == p.op);
        if (in)
            wanted.push_back(p.index);
    }
    std::vector<campaign_point> points;
    for (uint64_t idx : select_indexes(o, wanted))
        points.push_back(full[idx]);
    return points;
}

namespace {

std::string make_work_dir(const campaign_options &o)
{
    if (!o.work_dir.empty())
        return make_dirs(o.work_dir) == 0 ? absolute(o.work_dir) : "";
    struct stat st;
    const char *tmp = getenv("TMPDIR");
    // Each point copies the whole router (about 200 MiB): memory, not disk.
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    std::string tmpl = base + "/routersim-campaign.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : "";
}

// The starting router with the package in place, and one uncut upgrade of a
// copy of it: its operation count and what it left are the reference.
int prepare(campaign_run_setup *s, const std::string &work)
{
    s->start = work + "/start";
    if (campaign_copy_state(s->opt.state, s->start) != 0) {
        fprintf(stderr, "routersim campaign: cannot copy %s\n", s->opt.state.c_str());
        return 2;
    }
    remove_tree(s->start + "/out");
    bool modem = !s->opt.modem_state.empty();
    // A package with a modem record on an erased state word installs only the
    // modem: a modem campaign asks for the whole upgrade, as `imgrenew set 0` does.
    if (!s->opt.file_mode && sim_load_package(s->start, s->opt.package, modem) != 0)
        return 2;
    std::string err = campaign_package_partitions(s->opt.package, &s->expect);
    if (err.empty() && modem)
        err = campaign_modem_images(s->opt.package, &s->expect);
    if (!err.empty()) {
        fprintf(stderr, "routersim campaign: %s: %s\n", s->opt.package.c_str(), err.c_str());
        return 2;
    }
    if (modem) {
        s->expect.modem = true;
        std::string start_modem = s->start + "/modem";
        if (campaign_copy_state(s->opt.modem_state, start_modem) != 0) {
            fprintf(stderr, "routersim campaign: cannot copy %s\n", s->opt.modem_state.c_str());
            return 2;
        }
        remove_tree(start_modem + "/out");
        err = campaign_modem_values(start_modem, &s->expect);
        if (!err.empty()) {
            fprintf(stderr, "routersim campaign: %s is not a modem state: %s\n", s->opt.modem_state.c_str(),
                    err.c_str());
            return 2;
        }
    }
    s->expect.file_mode = s->opt.file_mode;
    std::string clean = work + "/uncut";
    if (campaign_copy_state(s->start, clean) != 0)
        return 2;
    sim_run_options o;
    o.state = clean;
    if (s->opt.file_mode)
        o.file_mode_package = s->opt.package;
    o.time_scale = s->opt.time_scale;
    o.timeout_s = s->opt.timeout_s * s->opt.time_scale;
    o.command = {"imgrenew", "up"};
    if (modem)
        o.modem_state = clean + "/modem";
    int run_rc = sim_run(s->paths, o);
    struct stat st;
    if (run_rc != 0 && stat((clean + "/out/status").c_str(), &st) != 0)
        return 2;   // the run never started
    s->ops = strtoull(campaign_read(clean + "/out/flash-ops").c_str(), nullptr, 10);
    s->expect.second_fs = campaign_second_fs(clean);
    if (modem) {
        s->modem_events = campaign_modem_events(clean + "/modem");
        s->expect.modem_stored = campaign_modem_stored(clean + "/modem");
        // The restore marks the modem with an indicator in `inds`: that value
        // is the uncut upgrade's, not the one before.
        campaign_expect uncut;
        campaign_modem_values(clean + "/modem", &uncut);
        auto inds = uncut.modem_values.find("identity inds");
        if (inds != uncut.modem_values.end())
            s->expect.modem_values[inds->first] = inds->second;
        // The merge tells campaigns apart by this count: the events of the
        // kinds cut at every event, which do not vary from run to run.
        s->ops = 0;
        for (const auto &c : s->modem_events)
            if (c.first != "exchange" && campaign_modem_kind(c.first))
                s->ops += c.second;
    }
    std::string check, detail;
    // The uncut run is held to the same checks but its own /2ndfile.
    if (!campaign_check(clean, s->expect, &check, &detail) ||
        (modem && !campaign_modem_check(clean, clean + "/modem", s->expect, &check, &detail))) {
        fprintf(stderr, "routersim campaign: the uncut upgrade fails the %s check: %s (router kept in %s)\n",
                check.c_str(), detail.c_str(), clean.c_str());
        return 1;
    }
    if (run_rc != 0) {
        fprintf(stderr, "routersim campaign: the uncut upgrade failed (router kept in %s)\n", clean.c_str());
        return 1;
    }
    if (s->ops == 0) {
        fprintf(stderr, "routersim campaign: the uncut upgrade made no %s\n",
                modem ? "modem image, reset or NV write (out/events of the modem)" : "flash operation");
        return 1;
    }
    remove_tree(clean);
    return 0;
}

void progress(const campaign_options &o, size_t done, size_t total, uint64_t failed, bool final_line)
{
    if (o.quiet)
        return;
    bool tty = isatty(2) != 0;
    if (tty) {
        fprintf(stderr, "\rcampaign: %zu/%zu points, %" PRIu64 " failed%s", done, total, failed,
                final_line ? "\n" : "");
    } else if (final_line || (total >= 20 && done % (total / 20) == 0)) {
        fprintf(stderr, "campaign: %zu/%zu points, %" PRIu64 " failed\n", done, total, failed);
    }
}

// A failing point's router is kept for a look, up to --keep-max of them (each
// is about 200 MiB, in memory by default); the others are dropped, so that
// the slot starts from a full copy again.
void keep_failed_router(const campaign_options &o, point_result *r, uint64_t *kept)
{
    std::string failed_state = r->kept;
    r->kept.clear();
    if (failed_state.empty())
        return;
    if (*kept < o.keep_max && make_dirs(o.keep_dir) == 0) {
        std::string keep = o.keep_dir + "/point-" + std::to_string(r->pt.index);
        remove_tree(keep);
        if (rename(failed_state.c_str(), keep.c_str()) == 0 || campaign_copy_state(failed_state, keep) == 0) {
            r->kept = keep;
            ++*kept;
        }
    }
    remove_tree(failed_state);
}

// Runs the points, at most opt.jobs at a time, each in a child process with
// its own slot folder; results come back through a file per slot.
std::vector<point_result> run_points(const campaign_run_setup &s, const std::vector<campaign_point> &points,
                                     const std::string &work)
{
    std::vector<point_result> results;
    uint64_t failed = 0;
    uint64_t kept = 0;
    auto slot_dir = [&](size_t k) { return work + "/slot" + std::to_string(k); };
    auto run = [&](size_t k, size_t i) {
        make_dirs(slot_dir(k));
        point_result r = campaign_run_point(s, points[i], slot_dir(k));
        return write_text(slot_dir(k) + "/result.csv", campaign_csv_line(r)) == 0 ? 0 : 3;
    };
    auto done = [&](size_t k, size_t i) {
        point_result r;
        std::string file = slot_dir(k) + "/result.csv";
        if (!campaign_parse_csv_line(campaign_read(file), &r)) {
            r = point_result{};
            r.pt = points[i];
            r.ops = s.ops;
            r.check = "worker";
            r.detail = "the worker ended without a result";
        }
        remove(file.c_str());
        if (!r.passed)
            keep_failed_router(s.opt, &r, &kept);
        failed += r.passed ? 0 : 1;
        results.push_back(r);
        progress(s.opt, results.size(), points.size(), failed, false);
    };
    fork_pool_run((size_t)s.opt.jobs, points.size(), &g_interrupted, run, done);
    progress(s.opt, results.size(), points.size(), failed, true);
    std::sort(results.begin(), results.end(),
              [](const point_result &a, const point_result &b) { return a.pt.index < b.pt.index; });
    return results;
}

}  // namespace

bool parse_op_number(const char *text, uint64_t *v)
{
    if (text == nullptr || *text == '\0' || strlen(text) > 18 || strspn(text, "0123456789") != strlen(text))
        return false;
    *v = strtoull(text, nullptr, 10);
    return true;
}

bool parse_cut_mode(const char *text, uint32_t *mode)
{
    if (strcmp(text, "none") == 0)
        *mode = flashemu::CUT_NOT_DONE;
    else if (strcmp(text, "torn") == 0)
        *mode = flashemu::CUT_TORN;
    else
        return false;
    return true;
}

int campaign_main(const sim_paths &paths, int argc, char **argv)
{
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(HELP, stdout);
        fputs("\n", stdout);
        campaign_seq_help(stdout);
        return 0;
    }
    // Sequences of runs are a campaign of their own (campaign_seq_cli.cpp).
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--sequences") == 0 || strcmp(argv[i], "--replay") == 0)
            return campaign_seq_main(paths, argc, argv);
    campaign_run_setup s;
    s.paths = paths;
    if (int rc = parse_options(argc, argv, &s.opt))
        return rc;
    struct stat st;
    if (stat((s.opt.state + "/flash").c_str(), &st) != 0 || stat((s.opt.state + "/2ndfile").c_str(), &st) != 0)
        return usage_error(s.opt.state + " is not a router state (routersim init)");
    if (!s.opt.modem_state.empty() && (stat(s.opt.modem_state.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return usage_error("--modem " + s.opt.modem_state + " is not a folder");
    if (access(s.opt.package.c_str(), R_OK) != 0)
        return usage_error("cannot read " + s.opt.package);
    std::string work = make_work_dir(s.opt);
    if (work.empty()) {
        fprintf(stderr, "routersim campaign: cannot make a working folder: %s\n", strerror(errno));
        return 2;
    }
    if (s.opt.keep_dir.empty())
        s.opt.keep_dir = work + "/failed";
    if (int rc = prepare(&s, work)) {
        // A working folder of our own goes, unless it holds the uncut router for a look.
        if (rc == 2 && s.opt.work_dir.empty())
            remove_tree(work);
        return rc;
    }
    bool modem = s.expect.modem;
    std::vector<campaign_point> points =
        modem ? campaign_choose_modem_points(s.opt, s.modem_events) : campaign_choose_points(s.opt, s.ops);
    char about[512];
    if (modem) {
        std::string counts;
        for (const char *k : {"image", "reset", "rfnv-write", "nv-write", "exchange"}) {
            auto c = s.modem_events.find(k);
            counts += (counts.empty() ? "" : ", ") + std::to_string(c == s.modem_events.end() ? 0 : c->second) +
                      " " + k;
        }
        snprintf(about, sizeof about, "%s, modem campaign, modem events uncut: %s; shard %d/%d, %zu points",
                 s.opt.package.c_str(), counts.c_str(), s.opt.shard_k, s.opt.shard_n, points.size());
    } else {
        snprintf(about, sizeof about, "%s, %s mode, %" PRIu64 " flash operations uncut, shard %d/%d, %zu points",
                 s.opt.package.c_str(), s.opt.file_mode ? "file" : "partition", s.ops, s.opt.shard_k,
                 s.opt.shard_n, points.size());
    }
    if (!s.opt.quiet)
        fprintf(stderr, "campaign: %s\n", about);
    // SIGTERM too: the uncut run left routersim's own handler in place,
    // which only a run looks at.
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);
    std::vector<point_result> results = run_points(s, points, work);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (!s.opt.csv_file.empty() || !s.opt.json_file.empty()) {
        bool json = !s.opt.json_file.empty();
        if (campaign_write_results(json ? s.opt.json_file : s.opt.csv_file, json, results, about) != 0) {
            fprintf(stderr, "routersim campaign: cannot write the results\n");
            return 2;
        }
    }
    uint64_t failed = campaign_summary(stdout, results);
    for (const point_result &r : results)
        if (!r.passed)
            printf("point %" PRIu64 " (%s %" PRIu64 "%s%s, %s): %s: %s%s%s\n", r.pt.index,
                   r.pt.modem_kind.empty() ? "op" : r.pt.modem_kind.c_str(), r.pt.op,
                   r.pt.modem_kind.empty() ? " " : "", r.pt.modem_kind.empty() ? flash_cut_mode_name(r.pt.mode) : "",
                   r.phase.c_str(), r.check.c_str(), r.detail.c_str(), r.kept.empty() ? "" : "; routersim report ",
                   r.kept.c_str());
    bool complete = results.size() == points.size();
    // Only the failing routers kept for a look stay.
    remove_tree(work + "/start");
    for (int k = 0; k < s.opt.jobs; ++k)
        remove_tree(work + "/slot" + std::to_string(k));
    rmdir(s.opt.keep_dir.c_str());
    if (s.opt.work_dir.empty())
        rmdir(work.c_str());
    printf("campaign %s: %zu of %zu points run, %" PRIu64 " failed\n",
           failed == 0 && complete ? "passed" : "FAILED", results.size(), points.size(), failed);
    return failed == 0 && complete ? 0 : 1;
}

int campaign_merge_main(int argc, char **argv)
{
    std::string out;
    bool replace = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(MERGE_HELP, stdout);
            return 0;
        }
        if (strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            out = argv[++i];
        else if (strcmp(argv[i], "--replace") == 0)
            replace = true;
        else if (argv[i][0] == '-')
            return fprintf(stderr, "routersim campaign-merge: unknown option %s\n", argv[i]), 2;
        else
            files.push_back(argv[i]);
    }
    if (files.empty())
        return fprintf(stderr, "routersim campaign-merge: needs RESULTS files\n"), 2;
    std::vector<point_result> all;
    for (const std::string &f : files) {
        if (campaign_read_results(f, &all) != 0) {
            fprintf(stderr, "routersim campaign-merge: %s is not a campaign result file\n", f.c_str());
            return 2;
        }
    }
    // Stable: among equal points the later file's comes last.
    std::stable_sort(all.begin(), all.end(),
                     [](const point_result &a, const point_result &b) { return a.pt.index < b.pt.index; });
    if (replace) {
        std::vector<point_result> last;
        for (size_t i = 0; i < all.size(); ++i)
            if (i + 1 == all.size() || all[i + 1].pt.index != all[i].pt.index)
                last.push_back(all[i]);
        all.swap(last);
    }
    for (size_t i = 1; i < all.size(); ++i) {
        if (all[i].pt.modem_kind.empty() != all[0].pt.modem_kind.empty()) {
            fprintf(stderr, "routersim campaign-merge: the files mix a router and a modem campaign\n");
            return 2;
        }
        if (all[i].ops != all[0].ops) {
            fprintf(stderr, "routersim campaign-merge: the shards counted %" PRIu64 " and %" PRIu64
                            " operations: not the same campaign\n", all[0].ops, all[i].ops);
            return 2;
        }
        if (all[i].pt.index == all[i - 1].pt.index) {
            fprintf(stderr, "routersim campaign-merge: point %" PRIu64 " appears twice\n", all[i].pt.index);
            return 2;
        }
    }
    if (!out.empty()) {
        bool json = out.size() > 5 && out.compare(out.size() - 5, 5, ".json") == 0;
        if (campaign_write_results(out, json, all, "merged from " + std::to_string(files.size()) + " files") != 0) {
            fprintf(stderr, "routersim campaign-merge: cannot write %s\n", out.c_str());
            return 2;
        }
    }
    uint64_t failed = campaign_summary(stdout, all);
    printf("campaign %s: %zu points, %" PRIu64 " failed\n", failed == 0 ? "passed" : "FAILED", all.size(), failed);
    return failed == 0 ? 0 : 1;
}
