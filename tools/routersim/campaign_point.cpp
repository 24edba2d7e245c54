// One cut point of a campaign: a fresh copy of the starting router, a run of
// the upgrade cut at the point, perhaps a second cut inside the rerun, the
// rerun, and the checks.
#include "campaign.h"

#include "flash_ops.h"
#include "up_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// argv is started directly, never through a shell.
int run_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

sim_run_options upgrade_run(const campaign_run_setup &s, const std::string &state, uint64_t cut_at, uint32_t mode)
{
    sim_run_options o;
    o.state = state;
    if (s.expect.modem)
        o.modem_state = state + "/modem";
    if (s.opt.file_mode)
        o.file_mode_package = s.opt.package;
    o.time_scale = s.opt.time_scale;
    o.timeout_s = s.opt.timeout_s * s.opt.time_scale;   // routersim counts simulated seconds
    o.cut_at_op = cut_at;
    o.cut_mode = mode;
    o.command = {"imgrenew", "up"};
    return o;
}

// Runs the upgrade cut at op; the run's out folder is kept as OUT.<name>.
// Returns the cut operation, or empty when the run ended before reaching it.
std::string cut_run(const campaign_run_setup &s, const std::string &state, uint64_t op, uint32_t mode,
                    const char *name)
{
    sim_run(s.paths, upgrade_run(s, state, op, mode));
    std::string cut = campaign_read(state + "/out/flash-cut");
    std::string kept = state + "/out." + name;
    remove_tree(kept);
    rename((state + "/out").c_str(), kept.c_str());
    // "<op> <mode> <kind> <device> 0x<offset> 0x<length>\n": the operation part.
    size_t first = cut.find(' ');
    size_t second = first == std::string::npos ? first : cut.find(' ', first + 1);
    if (second == std::string::npos)
        return "";
    std::string what = cut.substr(second + 1);
    while (!what.empty() && what.back() == '\n')
        what.pop_back();
    return what;
}

// A modem point's cut run: the modem cuts the power at its Nth event of the
// kind. Returns "KIND N" from the modem's report, or empty when the run ended
// before the modem met it. The out folders of the run and of the modem are
// kept as out.cut.
std::string modem_cut_run(const campaign_run_setup &s, const std::string &state, const campaign_point &pt)
{
    sim_run_options o = upgrade_run(s, state, 0, 0);
    o.modem_power_cut = pt.modem_kind + ":" + std::to_string(pt.op);
    sim_run(s.paths, o);
    std::string modem = state + "/modem";
    std::string cut = campaign_read(modem + "/out/power_cut");
    for (const std::string &out : {state + "/out", modem + "/out"}) {
        remove_tree(out + ".cut");
        rename(out.c_str(), (out + ".cut").c_str());
    }
    while (!cut.empty() && cut.back() == '\n')
        cut.pop_back();
    return cut;
}

uint64_t ops_of_run(const std::string &state)
{
    return strtoull(campaign_read(state + "/out/flash-ops").c_str(), nullptr, 10);
}

// The second cut of a point, drawn from the seed and the point alone so that
// every shard and every rerun of the campaign picks the same one.
uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

// The flash event logs list every block a run erased or wrote: putting those
// back is much cheaper than copying 200 MiB of partitions for each point.
int campaign_restore_state(const std::string &start, const std::string &state)
{
    std::vector<std::string> outs;
    if (DIR *d = opendir(state.c_str())) {
        while (dirent *e = readdir(d))
            if (strncmp(e->d_name, "out", 3) == 0)
                outs.push_back(state + "/" + e->d_name);
        closedir(d);
    }
    std::vector<uint8_t> block(SIM_ERASE_SIZE);
    for (const std::string &out : outs) {
        std::string events = campaign_read(out + "/flash-events.log");
        size_t at = 0;
        while (at < events.size()) {
            size_t nl = events.find('\n', at);
            std::string line = events.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
            at = nl == std::string::npos ? events.size() : nl + 1;
            char kind[16] = "", device[64] = "";
            unsigned long long offset = 0, length = 0;
            int mtd = -1;
            if (sscanf(line.c_str(), "%*s %*s %*s %15s %63s %llx %llx", kind, device, &offset, &length) != 4 ||
                sscanf(device, "/dev/mtd%d", &mtd) != 1 || mtd < 0 || mtd >= SIM_MTD_MAX)
                continue;
            std::string name = "/flash/mtd" + std::to_string(mtd) + ".img";
            unique_fd from(open((start + name).c_str(), O_RDONLY | O_CLOEXEC));
            unique_fd to(open((state + name).c_str(), O_WRONLY | O_CLOEXEC));
            if (!from.ok() || !to.ok())
                return -1;
            uint64_t first = offset / SIM_ERASE_SIZE * SIM_ERASE_SIZE;
            for (uint64_t b = first; b < offset + length; b += SIM_ERASE_SIZE) {
                ssize_t n = pread(from.get(), block.data(), block.size(), (off_t)b);
                if (n <= 0 || pwrite(to.get(), block.data(), (size_t)n, (off_t)b) != n)
                    return -1;
            }
        }
        if (remove_tree(out) != 0)
            return -1;
    }
    if (remove_tree(state + "/2ndfile") != 0)
        return -1;
    return run_argv({"cp", "-a", "--", start + "/2ndfile", state + "/2ndfile"}) == 0 ? 0 : -1;
}

int campaign_copy_state(const std::string &from, const std::string &to)
{
    remove_tree(to);
    return run_argv({"cp", "-a", "--", from, to}) == 0 ? 0 : -1;
}

namespace {

// A modem point: a fresh router and a fresh modem, the run cut by the modem,
// the rerun with the modem as the cut left it, the router's and the modem's
// checks. The modem state lives in STATE/modem, so a kept router keeps it.
point_result run_modem_point(const campaign_run_setup &s, const campaign_point &pt, const std::string &state)
{
    point_result r;
    r.pt = pt;
    r.ops = s.ops;
    r.phase = campaign_modem_phase(pt.modem_kind);
    r.cut_op = modem_cut_run(s, state, pt);
    if (r.cut_op.empty()) {
        bool late = campaign_read(state + "/out.cut/status") == "timeout\n";
        r.check = late ? "timeout" : "cut";
        r.detail = late ? "the cut run did not end in time"
                        : "the modem made fewer than " + std::to_string(pt.op) + " " + pt.modem_kind + " events";
        r.kept = state;
        return r;
    }
    sim_run(s.paths, upgrade_run(s, state, 0, 0));
    r.passed = campaign_check(state, s.expect, &r.check, &r.detail) &&
               campaign_modem_check(state, state + "/modem", s.expect, &r.check, &r.detail);
    if (!r.passed)
        r.kept = state;
    return r;
}

}  // namespace

point_result campaign_run_point(const campaign_run_setup &s, const campaign_point &pt, const std::string &slot)
{
    point_result r;
    r.pt = pt;
    r.ops = s.ops;
    std::string state = slot + "/state";
    struct stat st;
    bool reused = stat((state + "/flash").c_str(), &st) == 0 && campaign_restore_state(s.start, state) == 0;
    if (!reused && campaign_copy_state(s.start, state) != 0) {
        r.check = "setup";
        r.detail = "cannot copy the starting router";
        return r;
    }
    if (s.expect.modem) {
        // The modem's state is small: a fresh copy for every point.
        if (reused && campaign_copy_state(s.start + "/modem", state + "/modem") != 0) {
            r.check = "setup";
            r.detail = "cannot copy the starting modem";
            return r;
        }
        return run_modem_point(s, pt, state);
    }
    r.cut_op = cut_run(s, state, pt.op, pt.mode, "cut");
    r.phase = campaign_phase(r.cut_op);
    if (r.cut_op.empty()) {
        bool late = campaign_read(state + "/out.cut/status") == "timeout\n";
        r.check = late ? "timeout" : "cut";
        r.detail = late ? "the cut run did not end in time" : "the upgrade ended before operation " + std::to_string(pt.op);
        r.kept = state;
        return r;
    }
    std::string after_cut = slot + "/after-cut";
    if (s.opt.second_cut && campaign_copy_state(state, after_cut) != 0) {
        r.check = "setup";
        r.detail = "cannot copy the router after the cut";
        return r;
    }
    sim_run(s.paths, upgrade_run(s, state, 0, 0));
    bool ok = campaign_check(state, s.expect, &r.check, &r.detail);
    if (ok && s.opt.second_cut) {
        // The same router again from just after the first cut, now cut
        // inside the rerun at an operation the rerun reaches.
        uint64_t rerun_ops = ops_of_run(state);
        if (rerun_ops == 0) {
            r.second_phase = "none";
        } else {
            r.pt.second_op = 1 + mix(s.opt.seed ^ mix(pt.index)) % rerun_ops;
            r.pt.second_mode = s.opt.modes[mix(s.opt.seed + pt.index) % s.opt.modes.size()];
            r.second_cut_op = cut_run(s, after_cut, r.pt.second_op, r.pt.second_mode, "second-cut");
            r.second_phase = campaign_phase(r.second_cut_op);
            sim_run(s.paths, upgrade_run(s, after_cut, 0, 0));
            ok = !r.second_cut_op.empty() && campaign_check(after_cut, s.expect, &r.check, &r.detail);
            if (r.second_cut_op.empty()) {
                r.check = "cut";
                r.detail = "the rerun ended before operation " + std::to_string(r.pt.second_op);
            }
            if (ok)
                remove_tree(after_cut);
            else
                state = after_cut;
        }
    }
    r.passed = ok;
    if (!ok)
        r.kept = state;   // the caller keeps it or drops it
    return r;
}
