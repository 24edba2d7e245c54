// Reads what a run left in STATE/out (and the modem's exchange log) into one
// record with every line placed on the run's wall-time axis.
#include "report.h"
#include "routersim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// Files of a run are written by the router's programs: read at most this
// much of any one, so a runaway log cannot exhaust memory.
constexpr size_t MAX_LOG_BYTES = 64u << 20;
constexpr size_t MAX_LINE = 8192;
// A bus line carries its datagram (up to 64 KiB) in hex: kept whole, so that
// its JSON still parses.
constexpr size_t MAX_BUS_LINE = 2 * 65536 + 1024;

bool read_lines(const std::string &path, std::vector<std::string> *lines, size_t max_line = MAX_LINE)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    size_t total = 0;
    while (std::getline(in, line) && total < MAX_LOG_BYTES) {
        total += line.size() + 1;
        if (line.size() > max_line)
            line.resize(max_line);
        lines->push_back(line);
    }
    return true;
}

bool parse_i64(const std::string &text, int64_t *v)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    long long x = strtoll(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0')
        return false;
    *v = x;
    return true;
}

double ns_to_ms(int64_t ns, int64_t start_ns)
{
    return (double)(ns - start_ns) / 1e6;
}

// "1796763438140985431 16 kobs-ng erase /dev/mtd0 0x0 0x20000"
bool parse_flash_event(const std::string &line, int64_t start_ns, flash_event *e)
{
    std::istringstream s(line);
    std::string ns, pid, off, len;
    if (!(s >> ns >> pid >> e->program >> e->kind >> e->device >> off >> len))
        return false;
    int64_t t = 0;
    if (!parse_i64(ns, &t))
        return false;
    e->ms = ns_to_ms(t, start_ns);
    e->pid = strtol(pid.c_str(), nullptr, 10);
    e->offset = strtoull(off.c_str(), nullptr, 16);
    e->length = strtoull(len.c_str(), nullptr, 16);
    return e->kind == "erase" || e->kind == "write" || e->kind == "fault";
}

// modem.log appends one session per modemsim start; the run's is the last.
void read_modem_log(const std::string &path, double offset_ms, double scale, std::vector<timed_line> *out)
{
    std::vector<std::string> lines;
    if (!read_lines(path, &lines))
        return;
    size_t from = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(" modemsim started") != std::string::npos)
            from = i;
    for (size_t i = from; i < lines.size(); ++i) {
        const std::string &l = lines[i];
        size_t sp = l.find(' ');
        if (sp == std::string::npos)
            continue;
        char *end = nullptr;
        double secs = strtod(l.c_str(), &end);
        if (end != l.c_str() + sp)
            continue;
        // Its clock runs `scale` times faster than the wall clock.
        out->push_back({offset_ms + secs * 1000.0 / scale, l.substr(sp + 1)});
    }
}

}  // namespace

std::string syslog_message(const std::string &line)
{
    size_t colon = line.find(": ");
    size_t space = line.find(' ');
    std::string text = line;
    if (colon != std::string::npos && space != std::string::npos && space < colon)
        text = line.substr(colon + 2);
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close != std::string::npos && text.find(':') < close)
            text = text.substr(close + 1);
    }
    return text;
}

bool read_run_logs(const std::string &state, run_logs *logs, std::string *err)
{
    std::string out = state + "/out";
    std::vector<std::string> info_lines;
    if (!read_lines(out + "/run.info", &info_lines)) {
        *err = out + "/run.info is missing: the run was made by a routersim that kept no times; run it again";
        return false;
    }
    std::map<std::string, std::string> info;
    for (const std::string &l : info_lines) {
        size_t eq = l.find('=');
        if (eq != std::string::npos)
            info[l.substr(0, eq)] = l.substr(eq + 1);
    }
    int64_t start_ns = 0, end_ns = 0, modem_ns = 0, kill = -1;
    if (!parse_i64(info["start_ns"], &start_ns) || !parse_i64(info["end_ns"], &end_ns) || start_ns <= 0) {
        *err = out + "/run.info has no start and end times";
        return false;
    }
    parse_i64(info["modem_start_ns"], &modem_ns);
    parse_i64(info["kill_after_ms"], &kill);
    logs->kill_after_ms = (long)kill;
    int64_t cut_op = 0;
    parse_i64(info["cut_at_op"], &cut_op);
    logs->cut_where = power_cut_where(cut_op > 0 ? (unsigned long long)cut_op : 0, info["cut_mode"], info["modem_power_cut"]);
    logs->timeout_s = strtod(info["timeout_s"].c_str(), nullptr);
    double scale = strtod(info["time_scale"].c_str(), nullptr);
    logs->time_scale = scale > 0 ? scale : 1.0;
    logs->wall_ms = ns_to_ms(end_ns, start_ns);
    logs->end = info["end"];
    logs->file_mode = info["file_mode"] == "1";
    logs->command = info["command"];
    logs->modem_state = info["modem_state"];
    logs->modem_offset_ms = modem_ns > 0 ? ns_to_ms(modem_ns, start_ns) : 0;

    std::vector<std::string> status;
    if (read_lines(out + "/status", &status) && !status.empty())
        logs->status = status[0];

    // stamps.log has one line per line of syslog.log and bus.jsonl, in the
    // order both were written.
    std::vector<std::string> stamps, syslog, bus;
    read_lines(out + "/stamps.log", &stamps);
    read_lines(out + "/syslog.log", &syslog);
    read_lines(out + "/bus.jsonl", &bus, MAX_BUS_LINE);
    size_t si = 0, bi = 0;
    for (const std::string &s : stamps) {
        size_t sp = s.find(' ');
        int64_t ns = 0;
        if (sp == std::string::npos || !parse_i64(s.substr(0, sp), &ns))
            continue;
        std::string which = s.substr(sp + 1);
        if (which == "syslog" && si < syslog.size())
            logs->syslog.push_back({ns_to_ms(ns, start_ns), syslog_message(syslog[si++])});
        else if (which == "bus" && bi < bus.size())
            logs->bus.push_back({ns_to_ms(ns, start_ns), bus[bi++]});
    }
    if (si != syslog.size() || bi != bus.size()) {
        *err = out + "/stamps.log does not match syslog.log and bus.jsonl";
        return false;
    }

    read_lines(out + "/tools.log", &logs->tools);
    read_lines(out + "/flash-faults.log", &logs->faults);
    std::vector<std::string> events;
    read_lines(out + "/flash-events.log", &events);
    for (const std::string &l : events) {
        flash_event e;
        if (parse_flash_event(l, start_ns, &e))
            logs->flash.push_back(e);
    }
    if (!logs->modem_state.empty())
        read_modem_log(logs->modem_state + "/out/modem.log", logs->modem_offset_ms, logs->time_scale, &logs->modem);
    return true;
}
