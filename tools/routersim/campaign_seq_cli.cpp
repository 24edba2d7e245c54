// routersim campaign --sequences / --replay: the command line, the inputs
// and the reference run, the pool of workers, the results and the verdict.
#include "campaign_seq.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fork_pool.h"

namespace {

const char HELP[] =
    "usage: routersim campaign --sequences N [--seed S] [options]\n"
    "       routersim campaign --replay SEED:SEQ [options]\n"
    "\n"
    "Sequences of `imgrenew up` runs on one simulated router and one virtual modem.\n"
    "Each sequence is 4 to 6 runs, each drawn from the seed: a package (preserving,\n"
    "not preserving, another version, a refused container, a bad checksum, router\n"
    "records only, an INI without the IMEI key, or the package left from the run\n"
    "before), a modem fault (failure statuses, refused writes, silence, a failed\n"
    "image, another modem attached) and a counted power cut (a modem event or a\n"
    "router flash operation); then a clean preserving run. After every run: every\n"
    "value the modem held at the start is in the modem or in an intact backup on\n"
    "/2ndfile, a backup was removed only while the modem held every value, a run\n"
    "reported installed left every image and value, and the run took at most\n"
    "--limit simulated seconds. The final run must leave everything as at the start.\n"
    "A sequence that fails only the time check is run once more (a stalled host\n"
    "stretches the simulated clock); the summary names it either way.\n"
    "\n"
    "  --sequences N        sequences 0 to N-1 of the seed\n"
    "  --seed S             the campaign's seed (default 1)\n"
    "  --replay SEED:SEQ    run one sequence again, a line per run, and keep its router\n"
    "  --shard K/N          only the sequences of shard K of N\n"
    "  -j N                 sequences run at the same time (default 1)\n"
    "  --time-scale X       time scale of every run (default 100)\n"
    "  --limit S            simulated seconds a run may take (default 900)\n"
    "  --csv FILE, --json FILE   every sequence's result\n"
    "  --work DIR           working folder (default: a new folder in /dev/shm)\n"
    "  --keep DIR           where failing sequences' routers are kept (default WORK/failed)\n"
    "  --keep-max N         keep at most N of them (default 10)\n"
    "  --quiet              no progress line\n"
    "Exit status: 0 when every sequence passed, 1 when one failed, 2 on a usage or\n"
    "set-up error.\n";

struct seq_options {
    uint64_t sequences = 0;
    uint64_t seed = 1;
    bool replay = false;
    uint64_t replay_index = 0;
    int shard_k = 1, shard_n = 1;
    int jobs = 1;
    double time_scale = 100;
    double limit_s = 900;
    std::string csv_file, json_file, work_dir, keep_dir;
    uint64_t keep_max = 10;
    bool quiet = false;
};

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

int usage_error(const std::string &what)
{
    fprintf(stderr, "routersim campaign: %s (routersim campaign --help)\n", what.c_str());
    return 2;
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

int parse(int argc, char **argv, seq_options *o)
{
    bool seed_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quiet") {
            o->quiet = true;
            continue;
        }
        if (a.empty() || a[0] != '-')
            return usage_error("unexpected operand " + a + ": a sequence campaign builds its own router");
        if (i + 1 >= argc)
            return usage_error(a + " needs a value");
        const char *v = argv[++i];
        bool ok = true;
        uint64_t n = 0;
        if (a == "--sequences") {
            ok = parse_op_number(v, &o->sequences) && o->sequences > 0;
        } else if (a == "--seed") {
            ok = parse_op_number(v, &o->seed);
            seed_given = true;
        } else if (a == "--replay") {
            ok = seq_parse_replay(v, &o->seed, &o->replay_index);
            o->replay = true;
        } else if (a == "--shard") {
            char tail = 0;
            ok = sscanf(v, "%d/%d%c", &o->shard_k, &o->shard_n, &tail) == 2 && o->shard_n >= 1 &&
                 o->shard_n <= 100000 && o->shard_k >= 1 && o->shard_k <= o->shard_n;
        } else if (a == "-j") {
            ok = parse_op_number(v, &n) && n >= 1 && n <= 64;
            o->jobs = (int)n;
        } else if (a == "--time-scale") {
            ok = parse_real(v, &o->time_scale);
        } else if (a == "--limit") {
            ok = parse_real(v, &o->limit_s);
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
        } else {
            return usage_error("unknown option " + a + " for a sequence campaign");
        }
        if (!ok)
            return usage_error("bad value for " + a + ": " + v);
    }
    if (o->replay == (o->sequences > 0))
        return usage_error("give --sequences N or --replay SEED:SEQ");
    if (o->replay && seed_given)
        return usage_error("--replay names its seed");
    if (!o->csv_file.empty() && !o->json_file.empty())
        return usage_error("give --csv or --json, not both");
    return 0;
}

std::string make_work(const seq_options &o)
{
    if (!o.work_dir.empty()) {
        char buf[PATH_MAX];
        return make_dirs(o.work_dir) == 0 && realpath(o.work_dir.c_str(), buf) != nullptr ? std::string(buf) : "";
    }
    struct stat st;
    const char *tmp = getenv("TMPDIR");
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : (tmp && *tmp ? tmp : "/tmp");
    std::string tmpl = base + "/routersim-sequences.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : "";
}

// One clean preserving run on a fresh router and modem: it must install,
// bring every value back and store every image; its /2ndfile is what the
// final run of every sequence must leave.
int reference_run(seq_exec *x, const std::string &work, bool quiet)
{
    std::string slot = work + "/reference";
    seq_plan none;
    x->clean_second_fs.clear();
    auto t0 = std::chrono::steady_clock::now();
    seq_result r = seq_run_sequence(*x, none, slot);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!r.passed) {
        fprintf(stderr, "routersim campaign: the clean preserving run fails: %s: %s (router kept in %s)\n",
                r.check.c_str(), r.detail.c_str(), slot.c_str());
        return 1;
    }
    x->clean_second_fs = campaign_second_fs(slot + "/state");
    if (!quiet)
        fprintf(stderr, "campaign: a clean preserving run takes %.1f s (%.0f simulated s)\n", s,
                r.runs.empty() ? 0.0 : r.runs.back().simulated_s);
    remove_tree(slot);
    return 0;
}

void keep_failed(const seq_options &o, seq_result *r, uint64_t *kept)
{
    std::string from = r->kept;
    r->kept.clear();
    if (from.empty())
        return;
    if (*kept < o.keep_max && make_dirs(o.keep_dir) == 0) {
        std::string to = o.keep_dir + "/seed-" + std::to_string(r->plan.seed) + "-seq-" + std::to_string(r->plan.index);
        remove_tree(to);
        if (rename(from.c_str(), to.c_str()) == 0 || campaign_copy_state(from, to) == 0) {
            r->kept = to;
            ++*kept;
        }
    }
    remove_tree(from);
}

std::vector<seq_result> run_pool(const seq_exec &x, const seq_options &o, const std::vector<seq_plan> &plans,
                                 const std::string &work)
{
    std::vector<seq_result> results;
    uint64_t failed = 0, kept = 0;
    auto slot = [&](size_t k) { return work + "/slot" + std::to_string(k); };
    bool tty = isatty(2) != 0;
    auto run = [&](size_t k, size_t i) {
        make_dirs(slot(k));
        seq_result r = seq_run_sequence(x, plans[i], slot(k));
        if (!r.passed && r.check == "time") {
            const std::string first = "run " + std::to_string(r.failed_run) + ": " + r.detail;
            r = seq_run_sequence(x, plans[i], slot(k));
            r.time_retry = first;
        }
        return write_text(slot(k) + "/result.json", seq_result_json(r)) == 0 ? 0 : 3;
    };
    auto done = [&](size_t k, size_t i) {
        seq_result r;
        std::string file = slot(k) + "/result.json";
        if (!seq_result_from_json(campaign_read(file), &r)) {
            r = seq_result{};
            r.check = "worker";
            r.detail = "the worker ended without a result";
            r.kept = slot(k) + "/state";
        }
        r.plan = plans[i];
        remove(file.c_str());
        if (!r.passed)
            keep_failed(o, &r, &kept);
        failed += r.passed ? 0 : 1;
        results.push_back(r);
        // A line per sequence as it ends, so that a campaign stopped
        // early still leaves what it found.
        if (FILE *f = fopen((work + "/results.partial.jsonl").c_str(), "ae")) {
            fprintf(f, "%s\n", seq_result_json(r).c_str());
            fclose(f);
        }
        if (!o.quiet && (tty || results.size() % 10 == 0 || results.size() == plans.size()))
            fprintf(stderr, "%scampaign: %zu/%zu sequences, %" PRIu64 " failed%s", tty ? "\r" : "",
                    results.size(), plans.size(), failed, tty ? "" : "\n");
    };
    fork_pool_run((size_t)o.jobs, plans.size(), &g_stop, run, done);
    if (!o.quiet && tty)
        fprintf(stderr, "\n");
    std::sort(results.begin(), results.end(),
              [](const seq_result &a, const seq_result &b) { return a.plan.index < b.plan.index; });
    return results;
}

int write_results(const seq_options &o, const std::vector<seq_result> &results)
{
    bool json = !o.json_file.empty();
    const std::string &file = json ? o.json_file : o.csv_file;
    if (file.empty())
        return 0;
    std::string text = json ? "" : seq_csv_header();
    for (const seq_result &r : results)
        text += json ? seq_result_json(r) + "\n" : seq_csv_line(r);
    return write_text(file, text);
}

}  // namespace

void campaign_seq_help(FILE *to)
{
    fputs(HELP, to);
}

int campaign_seq_main(const sim_paths &paths, int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(HELP, stdout);
            return 0;
        }
    seq_options o;
    if (int rc = parse(argc, argv, &o))
        return rc;
    std::string work = make_work(o);
    if (work.empty()) {
        fprintf(stderr, "routersim campaign: cannot make a working folder: %s\n", strerror(errno));
        return 2;
    }
    if (o.keep_dir.empty())
        o.keep_dir = work + "/failed";
    auto t0 = std::chrono::steady_clock::now();
    seq_inputs in;
    if (seq_build_inputs(paths, work + "/inputs", &in) != 0)
        return 2;
    seq_exec x;
    x.paths = paths;
    x.in = &in;
    x.start_a = seq_modem_now(in.modem_a);
    x.start_b = seq_modem_now(in.modem_b);
    x.time_scale = o.time_scale;
    x.limit_s = o.limit_s;
    x.stop_s = 2 * o.limit_s;
    // The reference run's final check compares /2ndfile with nothing; its
    // /2ndfile is then what every final run must leave.
    if (reference_run(&x, work, o.quiet) != 0)
        return 1;
    std::vector<seq_plan> plans;
    if (o.replay) {
        plans.push_back(seq_generate(o.seed, o.replay_index, in.nv_items, in.rfnv_items));
    } else {
        for (uint64_t i = 0; i < o.sequences; ++i)
            if (i % (uint64_t)o.shard_n == (uint64_t)(o.shard_k - 1))
                plans.push_back(seq_generate(o.seed, i, in.nv_items, in.rfnv_items));
    }
    std::vector<seq_result> results;
    if (o.replay) {
        // In this process, a line per run; the router is kept whatever the end.
        x.verbose = stdout;
        printf("sequence %" PRIu64 " of seed %" PRIu64 ":\n", o.replay_index, o.seed);
        seq_result r = seq_run_sequence(x, plans[0], work + "/replay");
        r.plan = plans[0];
        std::string keep = o.keep_dir + "/seed-" + std::to_string(o.seed) + "-seq-" + std::to_string(o.replay_index);
        if (make_dirs(o.keep_dir) == 0) {
            remove_tree(keep);
            if (rename((work + "/replay/state").c_str(), keep.c_str()) == 0)
                r.kept = keep;
        }
        remove_tree(work + "/replay");
        results.push_back(r);
        if (!r.kept.empty())
            printf("router and modems kept in %s (runs: out.N, modem/out.N)\n", r.kept.c_str());
    } else {
        if (!o.quiet)
            fprintf(stderr, "campaign: seed %" PRIu64 ", %zu sequences (shard %d/%d), -j %d, time scale %g\n", o.seed,
                    plans.size(), o.shard_k, o.shard_n, o.jobs, o.time_scale);
        signal(SIGINT, on_signal);
        signal(SIGTERM, on_signal);
        results = run_pool(x, o, plans, work);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (write_results(o, results) != 0) {
        fprintf(stderr, "routersim campaign: cannot write the results\n");
        return 2;
    }
    uint64_t failed = seq_summary(stdout, results, wall);
    bool complete = results.size() == plans.size();
    remove_tree(work + "/inputs");
    for (int k = 0; k < o.jobs; ++k)
        remove_tree(work + "/slot" + std::to_string(k));
    rmdir(o.keep_dir.c_str());
    if (o.work_dir.empty())
        rmdir(work.c_str());
    printf("campaign %s: %zu of %zu sequences run, %" PRIu64 " failed\n",
           failed == 0 && complete ? "passed" : "FAILED", results.size(), plans.size(), failed);
    return failed == 0 && complete ? 0 : 1;
}
