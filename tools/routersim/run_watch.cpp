// Follows a run through its syslog and bus messages as they arrive: the
// package's record table, the record being installed, the display's figure,
// the first line that says what went wrong, and the reboot request. On a
// terminal it keeps one live progress line and prints each record as it
// starts; at the end it sums the run up in one verdict line.
#include "routersim.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long UI_COMPLETE = 2;
constexpr long UI_FAILED = 3;
constexpr size_t MAX_REASON = 200;
constexpr size_t MAX_RECORDS = 4096;

bool has(const std::string &text, const char *what)
{
    return text.find(what) != std::string::npos;
}

bool starts(const std::string &text, const char *what)
{
    return text.compare(0, strlen(what), what) == 0;
}

// "debug imgrenew: [up_driver.cpp:113]text" -> "text"; lines of other
// programs give "".
std::string tool_message(const std::string &line)
{
    size_t at = line.find(" imgrenew: ");
    if (at == std::string::npos || line.find(' ') != at)
        return "";
    std::string m = line.substr(at + 11);
    if (!m.empty() && m[0] == '[') {
        size_t close = m.find(']');
        if (close != std::string::npos && m.find(':') < close)
            m = m.substr(close + 1);
    }
    while (!m.empty() && (m.back() == ' ' || m.back() == '\n'))
        m.pop_back();
    return m;
}

// "FAIL SAFE BOOT LOADER" names an image; the tool's failures say "fail",
// "Fail", "faield", "error" or "refused".
bool says_failure(const std::string &m)
{
    return has(m, "fail") || has(m, "Fail") || has(m, "faield") || has(m, "error") || has(m, "Error") ||
           has(m, "refused");
}

// Lines that only pass a failure up (the record, the walk, the whole
// upgrade), or announce a retry: the cause came before them.
bool passes_failure_on(const std::string &m)
{
    return starts(m, "updte ") || has(m, "update bootloader failed") || has(m, "update modem image failed") ||
           has(m, "update all image upgrade error") || has(m, "update system failed and will to reboot") ||
           has(m, "update failed will to reboot system") || has(m, "update failed, after reset will to retry") ||
           has(m, "update modem failed and retry");
}

// The display reports the tool sends between a failure and its callers' lines.
bool progress_line(const std::string &m)
{
    return starts(m, "had update =") || starts(m, "send message update step message");
}

}  // namespace

bool failure_line(const std::string &m)
{
    return says_failure(m) && !passes_failure_on(m);
}

void trail_feed(failure_trail *t, const std::string &m)
{
    if (failure_line(m)) {
        if (!t->open)
            t->cause = m.substr(0, 200);
        t->open = true;
    } else if (!passes_failure_on(m) && !progress_line(m)) {
        t->open = false;   // work went on: that failure was overcome
    }
}

namespace {

// Record text shown to people: bounded, printable.
std::string printable(const std::string &text)
{
    std::string s;
    for (char c : text.substr(0, MAX_REASON))
        s += (unsigned char)c < 0x20 || (unsigned char)c == 0x7F ? '?' : c;
    return s;
}

void show(run_watch *w, const std::string &line, bool keep)
{
    if (w->live == nullptr)
        return;
    fprintf(w->live, "\r\033[K%s%s", line.c_str(), keep ? "\n" : "");
    w->line_open = !keep;
    fflush(w->live);
}

void show_progress(run_watch *w)
{
    if (w->progress < 0)
        return;
    char buf[160];
    snprintf(buf, sizeof buf, "  display: %3ld %%%s%s", w->progress, w->current.empty() ? "" : "  installing ",
             printable(w->current).c_str());
    show(w, buf, false);
}

std::string record_name(const run_watch &w, const std::string &m)
{
    // The record table gives the package's own name; a walk longer than
    // the table (a damaged package) falls back to the tool's word.
    if (w.started >= 1 && (size_t)w.started <= w.records.size() && !w.records[(size_t)w.started - 1].empty())
        return w.records[(size_t)w.started - 1];
    return m.substr(strlen("##################update "));
}

}  // namespace

void watch_syslog(run_watch *w, const std::string &line)
{
    std::string m = tool_message(line);
    if (!m.empty())
        watch_message(w, m);
}

void watch_message(run_watch *w, const std::string &message)
{
    std::string m = message;
    while (!m.empty() && (m.back() == ' ' || m.back() == '\n'))
        m.pop_back();
    if (has(m, "p_pack_head_attr-num_records:") && w->table_size < 0) {
        w->table_size = strtol(m.c_str() + m.find(':') + 1, nullptr, 10);
    } else if (has(m, "secrecord-record_name=") && w->records.size() < MAX_RECORDS &&
               (w->table_size < 0 || (long)w->records.size() < w->table_size)) {
        w->records.push_back(m.substr(m.find('=') + 1));
    } else if (starts(m, "##################update ")) {
        ++w->started;
        w->current = record_name(*w, m);
        w->reason.clear();
        w->trail = failure_trail{};
        char buf[300];
        if (w->table_size > 0)
            snprintf(buf, sizeof buf, "  record %d of %ld: %s", w->started, w->table_size,
                     printable(w->current).c_str());
        else
            snprintf(buf, sizeof buf, "  record %d: %s", w->started, printable(w->current).c_str());
        show(w, buf, true);
        show_progress(w);
    } else if (starts(m, "will to do NO ") && has(m, "retry downlaod")) {
        w->trail = failure_trail{};   // a new modem download attempt
    } else if (has(m, "update failed, after reset will to retry") || has(m, "update modem failed and retry")) {
        w->attempt_reasons.push_back(w->trail.cause.empty() ? "no reason logged" : printable(w->trail.cause));
        w->trail = failure_trail{};
        return;
    } else if (has(m, "update system failed and will to reboot")) {
        w->upgrade_failed = true;
    }
    trail_feed(&w->trail, m);
    // The first line that passes a failure on fixes its cause: what the
    // clean-up after it logs is no part of it.
    std::string &reason = w->started == 0 ? w->pre_walk_reason : w->reason;
    if (passes_failure_on(m) && reason.empty() && !w->trail.cause.empty())
        reason = printable(w->trail.cause);
}

void watch_bus(run_watch *w, const bus_record &rec)
{
    if (rec.reboot_request)
        w->reboot_requested = true;
    if (rec.operation < 0)
        return;
    w->complete_report = w->complete_report || rec.operation == UI_COMPLETE;
    w->failed_report = w->failed_report || rec.operation == UI_FAILED;
    if (rec.progress != w->progress) {
        w->progress = rec.progress;
        show_progress(w);
    }
}

std::string power_cut_where(unsigned long long cut_at_op, const std::string &cut_mode, const std::string &modem_cut)
{
    if (!modem_cut.empty())
        return "by the modem at " + modem_cut;
    if (cut_at_op != 0)
        return "at flash operation " + std::to_string(cut_at_op) + " (" + cut_mode + ")";
    return "";
}

std::string run_verdict(const run_watch &w, const run_ending &e, int *exit_code)
{
    std::string during = w.current.empty() ? "" : " during " + printable(w.current);
    std::string what;
    if (e.end == "power-cut") {
        what = "power cut " + (e.cut_where.empty() ? "at " + std::to_string(e.kill_after_ms) + " ms" : e.cut_where) +
               during;
        *exit_code = RUN_EXIT_POWER_CUT;
    } else if (e.end == "timeout") {
        char secs[32];
        snprintf(secs, sizeof secs, "%g", e.timeout_s);
        what = std::string("timeout after ") + secs + " s" + during;
        *exit_code = RUN_EXIT_TIMEOUT;
    } else if (e.end == "stopped") {
        what = "stopped" + during;
        *exit_code = RUN_EXIT_STOPPED;
    } else if (w.upgrade_failed || w.failed_report) {
        std::string why = !w.reason.empty()          ? w.reason
                          : !w.trail.cause.empty()   ? printable(w.trail.cause)
                          : !w.pre_walk_reason.empty() ? w.pre_walk_reason
                                                       : "";
        if (w.current.empty())
            what = "failed before the first record" + (why.empty() ? "" : ": " + why);
        else
            what = "failed in " + printable(w.current) + (why.empty() ? "" : ": " + why);
        *exit_code = RUN_EXIT_FAILED;
    } else if (w.complete_report && (e.status == "0" || e.status == "killed")) {
        what = "installed";
        *exit_code = 0;
    } else if (e.status == "0") {
        what = "command exited 0";
        *exit_code = 0;
    } else if (e.status == "killed" && e.end == "reboot") {
        what = "command ended by its reboot request";
        *exit_code = 0;
    } else {
        int code = atoi(e.status.c_str());
        what = code > 128 ? "command ended by signal " + std::to_string(code - 128)
                          : "command failed with exit status " + e.status;
        *exit_code = RUN_EXIT_FAILED;
    }
    return "result: " + what + (w.reboot_requested ? "; reboot requested" : "; no reboot requested");
}
