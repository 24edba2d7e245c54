// The router side of a run's picture: the display's progress, each package
// record's window and its phases by partition, the flash lanes, the reboot
// request, the power cut and the program's fixed waits.
#include "report.h"
#include "routersim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

bool has(const std::string &text, const char *what)
{
    return text.find(what) != std::string::npos;
}

bool starts(const std::string &text, const char *what)
{
    return text.compare(0, strlen(what), what) == 0;
}

// The number after `key` in a line, or -1.
long long number_after(const std::string &text, const char *key)
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    const char *p = text.c_str() + at + strlen(key);
    char *end = nullptr;
    long long v = strtoll(p, &end, 10);
    return end == p ? -1 : v;
}

std::string hex(unsigned long long v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%llx", v);
    return buf;
}

// The first "/dev/mtdN" a text names.
std::string device_in(const std::string &text)
{
    size_t at = text.find("/dev/mtd");
    if (at == std::string::npos || at + 8 >= text.size() || text[at + 8] < '0' || text[at + 8] > '9')
        return "";
    return text.substr(at, 9);
}

// Lines that end the walk of the records: version merge, failure, completion.
bool ends_walk(const std::string &m)
{
    return has(m, "find and modefied") || has(m, "version info file does not exist") ||
           has(m, "update all image upgrade error") || has(m, "update system success") ||
           has(m, "update system failed") || starts(m, "run /tmp/cp /tmp/") || has(m, "state=2-----");
}

bool starts_record(const std::string &m)
{
    return starts(m, "##################update ") || starts(m, "unkown record id---");
}

// The package's record table as the reader logs it.
std::vector<record_row> record_table(const std::vector<timed_line> &syslog)
{
    std::vector<record_row> rows;
    long expected = -1;
    for (const timed_line &l : syslog) {
        const std::string &m = l.text;
        if (has(m, "p_pack_head_attr-num_records:") && expected < 0)
            expected = (long)number_after(m, "num_records:");
        if (expected >= 0 && (long)rows.size() >= expected && has(m, "record info"))
            break;   // a second dump of the same table
        if (has(m, "record info"))
            rows.push_back({});
        else if (!rows.empty() && has(m, "secrecord-record_length="))
            rows.back().bytes = (uint64_t)std::max(0LL, number_after(m, "record_length="));
        else if (!rows.empty() && has(m, "secrecord-record_name="))
            rows.back().name = m.substr(m.find('=') + 1);
        else if (!rows.empty() && has(m, "secrecord-record_id="))
            rows.back().id = (long)number_after(m, "record_id=");
    }
    for (record_row &r : rows)
        r.result = "not reached";
    return rows;
}

// The partition of a router record by its id (bootloader, kernel, root file system).
std::string id_partition(long id)
{
    return id == 1 ? "/dev/mtd0" : id == 2 ? "/dev/mtd2" : "/dev/mtd3";
}

lane &lane_named(run_picture *pic, const std::string &group, const std::string &name)
{
    for (lane &l : pic->lanes)
        if (l.group == group && l.name == name)
            return l;
    pic->lanes.push_back({group, name, {}, {}});
    return pic->lanes.back();
}

// The phases inside one record window: extraction, erase, write, tool calls.
void record_phases(const std::vector<timed_line> &sys, size_t first, size_t last, lane *ln,
                   std::vector<std::string> *tools_left)
{
    double extract_from = sys[first].ms, erase_from = -1, write_from = -1;
    for (size_t i = first; i <= last; ++i) {
        const std::string &m = sys[i].text;
        double t = sys[i].ms;
        double next = i + 1 < sys.size() ? sys[i + 1].ms : t;
        if (has(m, "extract sub-image file success"))
            ln->spans.push_back({extract_from, t, "extract", "extract", {}});
        else if (has(m, "begin to erase mtd"))
            erase_from = t;
        else if (has(m, "erase mtd successful and begin to write") && erase_from >= 0) {
            ln->spans.push_back({erase_from, t, "erase", "erase", {}});
            write_from = t;
        } else if (has(m, "write sub-image file directly success") && write_from >= 0) {
            ln->spans.push_back({write_from, t, "write", "write", {}});
            write_from = -1;
        } else if (starts(m, "/usr/bin/") || starts(m, "run /tmp/") || starts(m, "the system command is ")) {
            // A command the tool runs: from its log line to the next line.
            std::string cmd = starts(m, "run ") ? m.substr(4) : starts(m, "the system") ? m.substr(22) : m;
            auto hit = std::find(tools_left->begin(), tools_left->end(), cmd);
            if (hit != tools_left->end())
                tools_left->erase(hit);
            ln->spans.push_back({t, next, "tool", cmd, {}});
        }
    }
}

void progress_and_bus(const run_logs &logs, run_picture *pic)
{
    for (const timed_line &l : logs.bus) {
        bus_record rec;
        if (!bus_record_from_json(l.text, &rec))
            continue;
        if (rec.operation >= 0)
            pic->progress.push_back({l.ms, rec.operation, rec.progress});
        else if (rec.reboot_request && pic->reboot_ms < 0)
            pic->reboot_ms = l.ms;
    }
}

void records(const run_logs &logs, run_picture *pic)
{
    const std::vector<timed_line> &sys = logs.syslog;
    pic->records = record_table(sys);
    std::vector<std::string> tools_left = logs.tools;
    std::vector<size_t> starts_at;
    size_t walk_end = sys.size();
    for (size_t i = 0; i < sys.size(); ++i) {
        if (starts_record(sys[i].text))
            starts_at.push_back(i);
        else if (!starts_at.empty() && walk_end == sys.size() && ends_walk(sys[i].text))
            walk_end = i;
    }
    for (size_t k = 0; k < starts_at.size(); ++k) {
        size_t first = starts_at[k];
        size_t stop = k + 1 < starts_at.size() ? starts_at[k + 1] : walk_end;
        if (stop <= first)
            stop = first + 1;
        // The window ends before the state word is read for the next record.
        size_t last = stop - 1;
        while (last > first && has(sys[last].text, "had update image is:"))
            --last;
        if (k >= pic->records.size())
            pic->records.push_back({"record " + std::to_string(k + 1), -1, 0, -1, -1, "", ""});
        record_row &r = pic->records[k];
        r.from = sys[first].ms;
        r.to = sys[last].ms;
        bool failed = false, finished = false;
        for (size_t i = first; i <= last; ++i) {
            const std::string &m = sys[i].text;
            failed = failed || has(m, "state=3-----") || has(m, "update modem image failed") ||
                     has(m, "update bootloader failed");
            // The state word is read for the record's step once it is installed.
            finished = finished || has(m, "last update state is:");
            if (r.partition.empty())
                r.partition = device_in(m);
            if (r.partition.empty() && has(m, "kobs-ng init"))
                r.partition = "/dev/mtd0";   // the boot stream's default device
        }
        bool last_window = k + 1 == starts_at.size();
        bool walk_ended = walk_end < sys.size();
        if (failed || (last_window && walk_ended && has(sys[walk_end].text, "upgrade error")))
            r.result = "failed";
        else if (finished)
            r.result = "done";
        else if (last_window && !walk_ended && logs.end == "power-cut")
            r.result = "cut";
        else
            r.result = "skipped";
        if (r.result == "cut")
            r.to = std::max(r.to, logs.wall_ms);   // it was being installed until the cut
        if (r.result == "skipped" && r.id >= 1 && r.id <= 3)
            r.partition = id_partition(r.id);   // where it would have gone
        if (r.partition.empty())
            r.partition = r.id == 7 || has(sys[first].text, "modem") ? "modem" : "files";
        // A skipped record wrote nothing: its own lane, not its partition's.
        lane &ln = lane_named(pic, "records", r.result == "skipped" ? "skipped" : r.partition);
        std::vector<std::string> attrs = {"record=" + r.name, "bytes=" + std::to_string(r.bytes),
                                          "result=" + r.result};
        ln.spans.push_back({r.from, r.to, "record", r.name, attrs});
        record_phases(sys, first, last, &ln, &tools_left);
        if (k + 1 < starts_at.size() || walk_ended || r.result == "done") {
            // Until the next record, the end of the walk, or the end of a run
            // cut in the record's wait.
            double next = k + 1 < starts_at.size() ? sys[starts_at[k + 1]].ms
                          : walk_ended               ? sys[walk_end].ms
                                                     : logs.wall_ms;
            if (next > r.to)
                lane_named(pic, "records", "waits").spans.push_back({r.to, next, "wait", "wait", {}});
        }
    }
    pic->unmatched_tools = tools_left;
}

// Erases and writes per partition; runs of adjacent blocks by one process
// become one bar, faults are marks.
struct flash_run {
    size_t lane_index = 0;
    size_t span_index = 0;
    long pid = 0;
    uint64_t start = 0;
    uint64_t end = 0;
};

void label_run(run_picture *pic, const flash_run &r, const flash_event &e)
{
    lane_span &sp = pic->lanes[r.lane_index].spans[r.span_index];
    sp.to = e.ms;
    sp.label = e.kind + " " + hex(r.start) + " to " + hex(r.end) + " by " + e.program;
    sp.attrs = {"offset=" + std::to_string(r.start), "length=" + std::to_string(r.end - r.start)};
}

void flash_lanes(const run_logs &logs, run_picture *pic)
{
    std::map<std::string, flash_run> runs;   // by device and kind
    for (const flash_event &e : logs.flash) {
        lane &ln = lane_named(pic, "flash", e.device);
        size_t li = (size_t)(&ln - pic->lanes.data());
        if (e.kind == "fault") {
            ln.marks.push_back({e.ms, "fault", "flash fault: page " + hex(e.offset) + " by " + e.program});
            continue;
        }
        std::string key = e.device + " " + e.kind;
        auto it = runs.find(key);
        if (it != runs.end() && it->second.pid == e.pid && it->second.end == e.offset &&
            it->second.span_index + 1 == ln.spans.size()) {
            it->second.end += e.length;
        } else {
            ln.spans.push_back({e.ms, e.ms, e.kind, "", {}});
            runs[key] = {li, ln.spans.size() - 1, e.pid, e.offset, e.offset + e.length};
        }
        label_run(pic, runs[key], e);
    }
}

// The program's fixed waits that this run went through, found by the log
// lines that come right before or after each of them.
void waits(const run_logs &logs, run_picture *pic)
{
    int record_waits = 0;
    for (const record_row &r : pic->records)
        if (r.from >= 0 && (r.result == "done" || r.result == "skipped") && r.id >= 1 && r.id <= 4)
            ++record_waits;
    int complete = 0, failed_complete = 0, success_reboot = 0, power_off = 0, modem_start = 0, restore = 0,
        closing = 0, half_seconds = 0, same_version = 0;
    for (const timed_line &l : logs.syslog) {
        const std::string &m = l.text;
        complete += has(m, "state=2-----");
        success_reboot += has(m, "update system success and will to reboot");
        failed_complete += has(m, "update failed will to reboot system");
        power_off += starts(m, "echo 0 > /sys/module/pmic/parameters/wcdma_power");
        modem_start += has(m, "Start loading modem file");
        restore += has(m, "up_modem_restore_NV succed") || has(m, "up_modem_restore_NV failed");
        closing += has(m, "modem update successful,please reset") || starts(m, "reset failed!");
        half_seconds += has(m, "will to kill ") || has(m, "will to remove old modem NV back") ||
                        has(m, "will to remove high modem NV back") || has(m, "will to remove the bad modem NV");
        same_version += has(m, "the curren modem version is same with update firmware");
        if (has(m, "required waits so far: "))
            pic->tool_wait_ms = (double)number_after(m, "required waits so far: ");
    }
    bool cleaned = success_reboot + failed_complete > 0;
    std::vector<required_wait> w = {
        {"after each installed or skipped router record", 1000, record_waits},
        {"before the completion report", 2000, complete},
        {"before the reboot request after a success", 5000, success_reboot > 0 && pic->reboot_ms >= 0},
        {"after removing the package file (file mode)", 1000, logs.file_mode && cleaned},
        {"modem power off (3 s) and enumeration (12 s)", 15000, power_off},
        {"after the first modem power cycle", 2000, modem_start},
        {"modem already at the new version", 2000, same_version},
        {"before the modem NV restore", 6000, restore},
        {"before the modem step's closing lines", 1000, closing},
        {"after stopping a process or removing an NV backup", 500, half_seconds},
    };
    double itemised = 0;
    for (const required_wait &x : w) {
        if (x.count > 0)
            pic->waits.push_back(x);
        itemised += x.each_ms * x.count;
    }
    // What the tool counted besides the waits above: the 1 s between polls
    // of the modem's USB ports and the serial port's waits.
    if (pic->tool_wait_ms > itemised)
        pic->waits.push_back({"counted by the tool besides these (1 s modem port polls, serial port waits)",
                              pic->tool_wait_ms - itemised, 1});
}

}  // namespace

// The verdict of the package signature check, as its log line gives it.
void signature_verdict(const run_logs &logs, run_picture *pic)
{
    for (const char *mark : {"package signature verified", "package signature check failed: ",
                             "package not authenticated"}) {
        for (const timed_line &l : logs.syslog) {
            size_t at = l.text.find(mark);
            if (at != std::string::npos) {
                pic->signature = l.text.substr(at);
                return;
            }
        }
    }
}

void picture_router(const run_logs &logs, run_picture *pic)
{
    progress_and_bus(logs, pic);
    signature_verdict(logs, pic);
    records(logs, pic);
    flash_lanes(logs, pic);
    waits(logs, pic);
    if (logs.end == "power-cut" && logs.kill_after_ms >= 0) {
        pic->power_cut_ms = (double)logs.kill_after_ms;
        for (const record_row &r : pic->records)
            if (r.from >= 0 && r.from <= pic->power_cut_ms)
                pic->power_cut_record = r.name;
    }
    pic->axis_from = 0;
    pic->axis_to = std::max(logs.wall_ms, 1.0);
    // Partitions in device order, then files, the modem record and the waits.
    auto rank = [](const lane &l) {
        return l.name == "waits" ? 4 : l.name == "modem" ? 3 : l.name == "skipped" ? 2 : l.name == "files" ? 1 : 0;
    };
    std::stable_sort(pic->lanes.begin(), pic->lanes.end(), [&](const lane &a, const lane &b) {
        if (a.group != b.group)
            return a.group == "records";
        if (rank(a) != rank(b))
            return rank(a) < rank(b);
        return a.name < b.name;
    });
}

void picture_result(const run_logs &logs, run_picture *pic)
{
    run_watch w;
    for (const timed_line &l : logs.syslog)
        watch_message(&w, l.text);
    for (const timed_line &l : logs.bus) {
        bus_record rec;
        if (bus_record_from_json(l.text, &rec))
            watch_bus(&w, rec);
    }
    int code = 0;
    std::string verdict = run_verdict(w, {logs.status, logs.end, logs.kill_after_ms, logs.timeout_s, logs.cut_where}, &code);
    pic->result = verdict.compare(0, 8, "result: ") == 0 ? verdict.substr(8) : verdict;
}
