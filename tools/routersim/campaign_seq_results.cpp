// A sequence's result as a JSON object and a CSV row, and the figures of a
// sequence campaign: runs, packages, faults and cuts by kind, failures.
#include "campaign_seq.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

using ordered_json = nlohmann::ordered_json;

namespace {

std::string csv_field(const std::string &s)
{
    if (s.find_first_of(",\"\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"')
            q += '"';
        q += c == '\n' ? ' ' : c;
    }
    return q + "\"";
}

std::string plan_text(const seq_plan &p)
{
    std::string s;
    for (const seq_run &r : p.runs)
        s += (s.empty() ? "" : "; ") + seq_run_text(r);
    return s;
}

}  // namespace

std::string seq_result_json(const seq_result &r)
{
    ordered_json j;
    j["seed"] = r.plan.seed;
    j["sequence"] = r.plan.index;
    j["result"] = r.passed ? "pass" : "fail";
    j["run"] = r.failed_run;
    j["check"] = r.check;
    j["detail"] = r.detail;
    j["wall_s"] = r.wall_s;
    j["kept"] = r.kept;
    if (!r.time_retry.empty())
        j["time_retry"] = r.time_retry;
    ordered_json runs = ordered_json::array();
    for (const seq_run_record &x : r.runs)
        runs.push_back({{"run", x.text},
                        {"rc", x.rc},
                        {"status", x.status},
                        {"installed", x.installed},
                        {"cut_reached", x.cut_reached},
                        {"imei_released", x.imei_released},
                        {"simulated_s", x.simulated_s}});
    j["runs"] = runs;
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool seq_result_from_json(const std::string &line, seq_result *r)
{
    ordered_json j = ordered_json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return false;
    try {
        *r = seq_result{};
        r->plan.seed = j.at("seed").get<uint64_t>();
        r->plan.index = j.at("sequence").get<uint64_t>();
        r->passed = j.at("result").get<std::string>() == "pass";
        r->failed_run = j.at("run").get<int>();
        r->check = j.at("check").get<std::string>();
        r->detail = j.at("detail").get<std::string>();
        r->wall_s = j.at("wall_s").get<double>();
        r->kept = j.at("kept").get<std::string>();
        r->time_retry = j.value("time_retry", "");
        for (const auto &x : j.at("runs")) {
            seq_run_record rec;
            rec.text = x.at("run").get<std::string>();
            rec.rc = x.at("rc").get<int>();
            rec.status = x.at("status").get<std::string>();
            rec.installed = x.at("installed").get<bool>();
            rec.cut_reached = x.at("cut_reached").get<bool>();
            rec.imei_released = x.at("imei_released").get<bool>();
            rec.simulated_s = x.at("simulated_s").get<double>();
            r->runs.push_back(rec);
        }
    } catch (const nlohmann::json::exception &) {
        return false;
    }
    return true;
}

std::string seq_csv_header()
{
    return "seed,sequence,result,run,check,detail,runs,installed,cuts_reached,max_simulated_s,wall_s,plan\n";
}

std::string seq_csv_line(const seq_result &r)
{
    uint64_t installed = 0, cuts = 0;
    double longest = 0;
    for (const seq_run_record &x : r.runs) {
        installed += x.installed ? 1 : 0;
        cuts += x.cut_reached ? 1 : 0;
        longest = std::max(longest, x.simulated_s);
    }
    char nums[160];
    snprintf(nums, sizeof nums, "%zu,%" PRIu64 ",%" PRIu64 ",%.0f,%.1f", r.runs.size(), installed, cuts, longest,
             r.wall_s);
    return std::to_string(r.plan.seed) + "," + std::to_string(r.plan.index) + "," + (r.passed ? "pass" : "fail") +
           "," + std::to_string(r.failed_run) + "," + csv_field(r.check) + "," + csv_field(r.detail) + "," + nums +
           "," + csv_field(plan_text(r.plan)) + "\n";
}

uint64_t seq_summary(FILE *to, const std::vector<seq_result> &results, double wall_s)
{
    uint64_t runs = 0, installed = 0, failed = 0, cuts = 0, reached = 0, released = 0, retried = 0;
    double longest = 0;
    std::map<std::string, uint64_t> packages, faults, cut_kinds, checks;
    for (const seq_result &r : results) {
        failed += r.passed ? 0 : 1;
        retried += r.time_retry.empty() ? 0 : 1;
        if (!r.passed)
            ++checks[r.check];
        for (size_t i = 0; i < r.runs.size(); ++i) {
            ++runs;
            installed += r.runs[i].installed ? 1 : 0;
            reached += r.runs[i].cut_reached ? 1 : 0;
            released += r.runs[i].imei_released ? 1 : 0;
            longest = std::max(longest, r.runs[i].simulated_s);
            if (i >= r.plan.runs.size())
                continue;   // the final clean run
            const seq_run &p = r.plan.runs[i];
            ++packages[seq_package_name(p.package)];
            ++faults[seq_fault_name(p.fault)];
            if (!p.cut.kind.empty()) {
                ++cuts;
                ++cut_kinds[p.cut.kind];
            }
        }
    }
    fprintf(to, "sequences: %zu, %" PRIu64 " passed, %" PRIu64 " failed\n", results.size(), results.size() - failed,
            failed);
    fprintf(to, "runs: %" PRIu64 " (final clean runs included), %" PRIu64 " reported installed, longest %.0f simulated s\n",
            runs, installed, longest);
    auto line = [&](const char *what, const std::map<std::string, uint64_t> &m) {
        std::string s;
        for (const auto &e : m)
            s += (s.empty() ? "" : ", ") + e.first + " " + std::to_string(e.second);
        fprintf(to, "%s: %s\n", what, s.empty() ? "none" : s.c_str());
    };
    line("packages", packages);
    line("faults", faults);
    fprintf(to, "cuts: %" PRIu64 " drawn, %" PRIu64 " reached\n", cuts, reached);
    fprintf(to, "IMEI let go by an INI without its key (wiped, or left out of a pending backup): %" PRIu64 " runs\n", released);
    line("cuts by kind", cut_kinds);
    line("failed checks", checks);
    fprintf(to, "run again after failing only the time check: %" PRIu64 "\n", retried);
    if (!results.empty())
        fprintf(to, "wall time: %.0f s, %.1f s per sequence\n", wall_s, wall_s / (double)results.size());
    for (const seq_result &r : results)
        if (!r.time_retry.empty())
            fprintf(to, "sequence %" PRIu64 " of seed %" PRIu64 ": the first attempt failed the time check (%s); run again: %s\n",
                    r.plan.index, r.plan.seed, r.time_retry.c_str(), r.passed ? "passed" : "failed");
    for (const seq_result &r : results) {
        if (r.passed)
            continue;
        const char *what = r.failed_run >= 1 && (size_t)r.failed_run <= r.runs.size()
                               ? r.runs[(size_t)r.failed_run - 1].text.c_str()
                               : "";
        fprintf(to, "sequence %" PRIu64 " of seed %" PRIu64 ": run %d (%s): %s: %s%s%s; replay: routersim campaign "
                    "--replay %" PRIu64 ":%" PRIu64 "\n",
                r.plan.index, r.plan.seed, r.failed_run, what, r.check.c_str(), r.detail.c_str(),
                r.kept.empty() ? "" : "; kept in ", r.kept.c_str(), r.plan.seed, r.plan.index);
    }
    return failed;
}
