// One sequence of a sequence campaign: a fresh router with the campaign's
// modem (and another modem beside it), the drawn runs one after another with
// their packages, faults and cuts, the checks after each, and a final clean
// preserving run that must leave everything as at the start.
#include "campaign_seq.h"

#include "flash_ops.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string trimmed(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The run's length in simulated seconds, from the host times run.info keeps.
double simulated_seconds(const std::string &out, double scale)
{
    std::string info = campaign_read(out + "/run.info");
    auto field = [&](const char *key) {
        size_t at = info.find(std::string("\n") + key + "=");
        return at == std::string::npos ? 0.0 : strtod(info.c_str() + at + strlen(key) + 2, nullptr);
    };
    return (field("end_ns") - field("start_ns")) / 1e9 * scale;
}

// The images of a modem folder, to tell whether a run stored any.
std::map<std::string, std::string> flash_of(const std::string &modem)
{
    std::map<std::string, std::string> f;
    for (const char *name : {"dbl", "osbl", "amss", "dsp1", "dsp2", "efs"})
        if (exists(modem + "/flash/" + name))
            f[name] = campaign_read(modem + "/flash/" + name);
    return f;
}

void say(const seq_exec &x, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const seq_exec &x, const char *fmt, ...)
{
    if (x.verbose == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(x.verbose, fmt, ap);
    va_end(ap);
    fflush(x.verbose);
}

// The version file without its kernel line: a router-only package of the
// sequence installs a kernel, and its line rightly stays.
std::string without_kernel_line(const std::string &text)
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        if (line.compare(0, 6, "zImage") != 0)
            out += line;
    }
    return out;
}

// The /2ndfile a clean preserving run leaves against the one this router
// holds: "" or the first difference.
std::string second_fs_difference(std::map<std::string, std::string> want, const std::string &state)
{
    std::map<std::string, std::string> have = campaign_second_fs(state);
    for (auto *m : {&want, &have}) {
        auto v = m->find("version/version_info.txt");
        if (v != m->end())
            v->second = without_kernel_line(v->second);
    }
    for (const auto &w : want) {
        auto h = have.find(w.first);
        if (h == have.end())
            return "/2ndfile/" + w.first + " is missing";
        if (h->second != w.second)
            return "/2ndfile/" + w.first + " differs from a clean run's";
    }
    for (const auto &h : have)
        if (want.count(h.first) == 0)
            return "/2ndfile/" + h.first + " is left over";
    return "";
}

// Puts an IMEI into a modem folder's identity, as a service would.
void write_imei(const std::string &modem, const std::string &imei)
{
    std::string id = campaign_read(modem + "/identity");
    size_t at = id.find("imei=");
    size_t end = at == std::string::npos ? at : id.find('\n', at);
    if (end != std::string::npos)
        write_text(modem + "/identity", id.substr(0, at) + "imei=" + imei + id.substr(end));
}

}  // namespace

seq_result seq_run_sequence(const seq_exec &x, const seq_plan &plan, const std::string &slot)
{
    auto began = std::chrono::steady_clock::now();
    seq_result res;
    res.plan = plan;
    std::string state = slot + "/state";
    std::string modem_a = state + "/modem", modem_b = state + "/modem-b";
    if (make_dirs(slot) != 0 || campaign_copy_state(x.in->router, state) != 0 || campaign_copy_state(x.in->modem_a, modem_a) != 0 ||
        campaign_copy_state(x.in->modem_b, modem_b) != 0) {
        res.check = "setup";
        res.detail = "cannot copy the starting router and modems";
        return res;
    }
    // The last container each modem was flashed from: what a later run
    // reported installed must have completed.
    const std::map<std::string, std::vector<uint8_t>> *target_a = nullptr, *target_b = nullptr;
    // The values each modem is owed: its values at the start, less an IMEI
    // that a package whose INI leaves the IMEI key out let the flash wipe
    // (the INI's keys decide what is preserved, each on its own).
    seq_modem_values owed_a = x.start_a, owed_b = x.start_b;
    seq_package loaded = seq_package::rerun;   // nothing loaded yet
    std::vector<seq_run> runs = plan.runs;
    seq_run final_run;                        // a clean preserving run
    runs.push_back(final_run);
    for (size_t i = 0; i < runs.size(); ++i) {
        const seq_run &r = runs[i];
        bool last = i + 1 == runs.size();
        seq_run_record rec;
        rec.text = last ? "final: preserve" : seq_run_text(r);
        if (r.package != seq_package::rerun) {
            if (sim_load_package(state, x.in->package_file.at((int)r.package), true) != 0) {
                res.check = "setup";
                res.detail = "cannot load the package of run " + std::to_string(i + 1);
                res.runs.push_back(rec);
                return res;
            }
            loaded = r.package;
        }
        bool b = r.fault == seq_fault::other_modem;
        std::string modem = b ? modem_b : modem_a;
        bool imei_gone = owed_a.values.count("identity imei") == 0;
        if (last && imei_gone && !exists(state + "/2ndfile/modem_nv")) {
            // An IMEI the INI let go is written back before the final run, as
            // a service would: a modem without one is refused a preserving
            // upgrade (its backup needs a plausible IMEI). With a transaction
            // still pending it is written back after the run, which ends it.
            write_imei(modem_a, x.start_a.values.at("identity imei"));
            rec.text += " (the IMEI written back first)";
        }
        std::string rules = seq_fault_rules(r);
        if (!rules.empty())
            write_text(modem + "/faults", rules);
        std::map<std::string, std::string> flash_before = flash_of(modem);
        seq_run_outcome o;
        o.backup_before = exists(state + "/2ndfile/modem_nv");

        sim_run_options so;
        so.state = state;
        so.modem_state = modem;
        so.time_scale = x.time_scale;
        so.timeout_s = x.stop_s;
        so.quiet = true;
        so.command = {"imgrenew", "up"};
        if (r.cut.kind == "flash") {
            so.cut_at_op = r.cut.n;
            so.cut_mode = r.cut.mode;
        } else if (!r.cut.kind.empty()) {
            so.modem_power_cut = r.cut.kind + ":" + std::to_string(r.cut.n);
        }
        rec.rc = sim_run(x.paths, so);
        remove((modem + "/faults").c_str());
        std::string status = trimmed(campaign_read(state + "/out/status"));
        rec.status = status;
        o.installed = rec.rc == 0;
        o.timed_out = status == "timeout";
        o.simulated_s = simulated_seconds(state + "/out", x.time_scale);
        rec.simulated_s = o.simulated_s;
        rec.installed = o.installed;
        rec.cut_reached = r.cut.kind == "flash" ? exists(state + "/out/flash-cut")
                          : !r.cut.kind.empty() && exists(modem + "/out/power_cut");
        // The run's folders stay beside the router, numbered, for a look.
        std::string n = std::to_string(i + 1);
        remove_tree(state + "/out." + n);
        rename((state + "/out").c_str(), (state + "/out." + n).c_str());
        remove_tree(modem + "/out." + n);
        rename((modem + "/out").c_str(), (modem + "/out." + n).c_str());

        seq_package pkg = r.package == seq_package::rerun ? loaded : r.package;
        const auto *images = pkg == seq_package::rerun ? nullptr : seq_images_of(*x.in, pkg);
        const auto *&target = b ? target_b : target_a;
        if (flash_of(modem) != flash_before && images != nullptr)
            target = images;
        seq_modem_values &owed = b ? owed_b : owed_a;
        // The INI without the IMEI key lets the IMEI go: wiped by this run,
        // or left out of the backup of a transaction it began (the backup is
        // written once; a later package completes that transaction with it).
        seq_backup after = seq_read_backup(state + "/2ndfile");
        if (pkg == seq_package::no_identity_keys && owed.values.count("identity imei") != 0 &&
            (seq_modem_now(modem).values["identity imei"] != owed.values["identity imei"] ||
             (!b && after.block && after.values["identity imei"] != owed.values["identity imei"]))) {
            owed.values.erase("identity imei");
            rec.imei_released = true;
        }
        seq_check_input in;
        in.start_a = &owed_a;
        in.start_b = &owed_b;
        in.modem_a = modem_a;
        in.modem_b = modem_b;
        in.second_fs = state + "/2ndfile";
        in.b_attached = b;
        in.target = o.installed && images != nullptr ? images : target;
        in.limit_s = x.limit_s;
        std::string check, detail;
        bool ok = seq_check_run(in, o, &check, &detail);
        if (ok && last) {
            // Everything as at the start: installed, every value and image,
            // and /2ndfile as a clean preserving run leaves it.
            check = "final";
            if (imei_gone)
                write_imei(modem_a, x.start_a.values.at("identity imei"));
            if (!o.installed)
                detail = "the final clean run did not install (status " + status + ")";
            else if (!(detail = seq_value_not_back(x.start_a, seq_modem_now(modem_a))).empty())
                detail = "the modem: " + detail;
            else if (!(detail = seq_image_missing(modem_a, *seq_images_of(*x.in, seq_package::preserve))).empty())
                ;
            else if (!x.clean_second_fs.empty())
                detail = second_fs_difference(x.clean_second_fs, state);
            ok = detail.empty();
        }
        say(x, "run %zu: %s: %s%s%s, %.0f simulated s%s%s%s\n", i + 1, rec.text.c_str(),
            o.installed ? "installed" : "not installed", status.empty() ? "" : ", status ", status.c_str(),
            o.simulated_s, r.cut.kind.empty() ? "" : rec.cut_reached ? ", cut" : ", cut not reached",
            rec.imei_released ? ", the IMEI left out by the INI" : "",
            ok ? "" : (": FAILED " + check + ": " + detail).c_str());
        res.runs.push_back(rec);
        if (!ok) {
            res.failed_run = (int)i + 1;
            res.check = check;
            res.detail = detail;
            res.kept = state;
            res.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            return res;
        }
    }
    res.passed = true;
    res.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    return res;
}
