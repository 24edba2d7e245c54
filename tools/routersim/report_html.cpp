// The report page: inline CSS and SVG only, every text from a log escaped.
// Machine-readable data-* attributes on the SVG, its lanes, bars and the
// summary rows let tests compare the picture with the logs.
#include "report.h"

#include "up_fd.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr double SVG_WIDTH = 1000;
constexpr double PLOT_LEFT = 200;
constexpr double PLOT_RIGHT = SVG_WIDTH - 20;
constexpr double AXIS_TOP = 40;
constexpr double PROGRESS_HEIGHT = 110;
constexpr double LANE_HEIGHT = 22;
constexpr double GROUP_GAP = 22;
constexpr size_t MAX_LABEL = 160;

const char CSS[] = R"(body{font:13px/1.4 sans-serif;margin:16px;color:#222;background:#fff}
h1{font-size:18px;margin:0 0 4px}p.note{margin:2px 0;color:#555}
.wrap{display:grid;grid-template-columns:minmax(0,1fr);gap:16px;align-items:start}
@media (min-width:1400px){.wrap{grid-template-columns:minmax(0,1fr) 400px}}
#timeline{width:100%;height:auto;max-width:1400px}svg.legend{max-width:100%;height:auto}
.side{font-size:12px;min-width:0;overflow-wrap:anywhere}table{border-collapse:collapse;width:100%;margin-bottom:8px}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
th{background:#f2f2f2}td.n{text-align:right;font-variant-numeric:tabular-nums}
svg text{font:11px sans-serif;fill:#222}svg .lanename{font-weight:bold}svg .group{font-weight:bold;fill:#555}
.grid{stroke:#e4e4e4}.axis{stroke:#888}.curve{fill:none;stroke:#1f6fb2;stroke-width:2}
.record{fill:#d9e7f5;stroke:#7ea6cf}.record.failed,.record.cut{fill:#f6d4d4;stroke:#c33}.record.skipped{fill:#eee;stroke:#aaa}
.extract{fill:#9ccc65}.erase{fill:#ffb74d}.write{fill:#4f8fd6}.tool{fill:#8e6cc1}.wait{fill:#f3f3f3;stroke:#ccc;stroke-dasharray:3 2}
.power-off{fill:#555}.stage{fill:#cfd8dc;stroke:#90a4ae}.attempt{fill:#fff3c4;stroke:#e0b000}
.image{fill:#66bb6a}.image-failed{fill:#e53935}.nv{fill:#26a69a}
.mark-fault,.mark-refusal,.mark-failed{fill:#e00}.mark-retry{fill:#fb8c00}.mark-modem-fault{fill:#b0b}
.mark-complete{fill:#2e7d32}.reboot{stroke:#1565c0;stroke-width:2;stroke-dasharray:6 3}
.powercut{stroke:#d00;stroke-width:3}.legend rect{stroke:#999})";

std::string scale_text(double scale)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%g", scale);
    return buf;
}

std::string num(double v, int decimals = 3)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// An attribute value from untrusted text.
std::string attr(const std::string &name, const std::string &value)
{
    return " data-" + name + "=\"" + html_escape(value) + "\"";
}

std::string shorten(const std::string &text)
{
    return text.size() > MAX_LABEL ? text.substr(0, MAX_LABEL) + "..." : text;
}

struct page {
    const run_logs &logs;
    const run_picture &pic;
    std::string out;

    double x(double ms) const
    {
        double span = pic.axis_to - pic.axis_from;
        double f = span > 0 ? (ms - pic.axis_from) / span : 0;
        return PLOT_LEFT + std::min(1.0, std::max(0.0, f)) * (PLOT_RIGHT - PLOT_LEFT);
    }
    // What the page shows for a wall time: simulated seconds at a time scale.
    std::string shown(double ms) const { return num(ms / 1000.0 * logs.time_scale, 2) + " s"; }

    void axis(double height)
    {
        double total_s = (pic.axis_to - pic.axis_from) / 1000.0 * logs.time_scale;
        double step = 1;
        for (double s : {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0, 120.0, 300.0, 600.0})
            if (total_s / s <= 12) {
                step = s;
                break;
            }
        double first = std::ceil(pic.axis_from / 1000.0 * logs.time_scale / step) * step;
        for (double s = first; s * 1000.0 / logs.time_scale <= pic.axis_to + 1e-9; s += step) {
            double px = x(s * 1000.0 / logs.time_scale);
            out += "<line class=\"grid\" x1=\"" + num(px, 1) + "\" x2=\"" + num(px, 1) + "\" y1=\"" +
                   num(AXIS_TOP, 1) + "\" y2=\"" + num(height, 1) + "\"/>";
            out += "<text x=\"" + num(px, 1) + "\" y=\"" + num(AXIS_TOP - 6, 1) + "\" text-anchor=\"middle\">" +
                   num(std::fabs(s) < step / 2 ? 0.0 : s, step < 1 ? 2 : 0) + " s</text>";
        }
    }

    void progress_panel()
    {
        double top = AXIS_TOP + 10, bottom = top + PROGRESS_HEIGHT;
        long top_value = 100;
        for (const progress_point &p : pic.progress)
            top_value = std::max(top_value, p.progress);
        auto y = [&](long v) { return bottom - (double)v / (double)top_value * PROGRESS_HEIGHT; };
        out += "<g class=\"progress\"" + attr("messages", std::to_string(pic.progress.size())) + ">";
        out += "<text class=\"lanename\" x=\"8\" y=\"" + num(top + 14, 1) + "\">display progress</text>";
        for (long v : {0L, top_value / 2, top_value})
            out += "<text x=\"" + num(PLOT_LEFT - 4, 1) + "\" y=\"" + num(y(v) + 4, 1) + "\" text-anchor=\"end\">" +
                   std::to_string(v) + " %</text>";
        out += "<line class=\"axis\" x1=\"" + num(PLOT_LEFT, 1) + "\" x2=\"" + num(PLOT_RIGHT, 1) + "\" y1=\"" +
               num(bottom, 1) + "\" y2=\"" + num(bottom, 1) + "\"/>";
        std::string path;
        double last_y = y(0);
        path = "M" + num(x(pic.axis_from), 1) + " " + num(last_y, 1);
        for (const progress_point &p : pic.progress) {
            path += " H" + num(x(p.ms), 1) + " V" + num(y(p.progress), 1);
            last_y = y(p.progress);
        }
        path += " H" + num(x(pic.axis_to), 1);
        out += "<path class=\"curve\" d=\"" + path + "\"/>";
        for (const progress_point &p : pic.progress) {
            if (p.operation != 2 && p.operation != 3)
                continue;
            const char *kind = p.operation == 2 ? "complete" : "failed";
            out += "<circle class=\"mark-" + std::string(kind) + "\" cx=\"" + num(x(p.ms), 1) + "\" cy=\"" +
                   num(y(p.progress), 1) + "\" r=\"6\"" + attr("report", kind) + attr("ms", num(p.ms)) + "><title>" +
                   (p.operation == 2 ? "upgrade complete" : "upgrade failed") + " at " + shown(p.ms) +
                   "</title></circle>";
            out += "<text x=\"" + num(x(p.ms) + 8, 1) + "\" y=\"" + num(y(p.progress) + 14, 1) + "\">" + kind +
                   "</text>";
        }
        out += "</g>";
    }

    void span_rect(const lane_span &s, double top)
    {
        bool phase = s.kind == "extract" || s.kind == "erase" || s.kind == "write" || s.kind == "tool";
        double x0 = x(s.from), x1 = std::max(x(s.to), x0 + 1.5);
        double y0 = phase ? top + LANE_HEIGHT / 2 : top + 2, h = phase ? LANE_HEIGHT / 2 - 2 : LANE_HEIGHT - 4;
        std::string cls = s.kind;
        for (const std::string &a : s.attrs)
            if (a == "result=failed" || a == "result=cut" || a == "result=skipped")
                cls += " " + a.substr(7);
        out += "<rect class=\"span " + html_escape(cls) + "\" x=\"" + num(x0, 1) + "\" y=\"" + num(y0, 1) +
               "\" width=\"" + num(x1 - x0, 1) + "\" height=\"" + num(h, 1) + "\"" + attr("kind", s.kind) +
               attr("from-ms", num(s.from)) + attr("to-ms", num(s.to));
        for (const std::string &a : s.attrs) {
            size_t eq = a.find('=');
            out += attr(a.substr(0, eq), eq == std::string::npos ? "" : a.substr(eq + 1));
        }
        out += "><title>" + html_escape(shorten(s.label)) + " (" + shown(s.from) + " to " + shown(s.to) +
               ")</title></rect>";
        if (!phase && x1 - x0 > 6.5 * (double)std::min<size_t>(s.label.size(), 40) && s.kind != "wait")
            out += "<text x=\"" + num(x0 + 3, 1) + "\" y=\"" + num(top + 13, 1) + "\">" +
                   html_escape(shorten(s.label).substr(0, 40)) + "</text>";
    }

    double lanes(double top)
    {
        for (const char *group : {"records", "flash", "modem"}) {
            bool any = false;
            for (const lane &l : pic.lanes) {
                if (l.group != group)
                    continue;
                if (!any) {
                    top += GROUP_GAP;
                    out += "<text class=\"group\" x=\"8\" y=\"" + num(top - 6, 1) + "\">" +
                           (std::string(group) == "records"  ? "package records by partition"
                            : std::string(group) == "flash" ? "flash erases and writes"
                                                            : "modem step") +
                           "</text>";
                    any = true;
                }
                out += "<g class=\"lane\"" + attr("group", l.group) + attr("lane", l.name) +
                       attr("spans", std::to_string(l.spans.size())) + attr("marks", std::to_string(l.marks.size())) +
                       ">";
                out += "<text class=\"lanename\" x=\"8\" y=\"" + num(top + 15, 1) + "\">" +
                       html_escape(shorten(l.name).substr(0, 28)) + "</text>";
                out += "<line class=\"grid\" x1=\"" + num(PLOT_LEFT, 1) + "\" x2=\"" + num(PLOT_RIGHT, 1) +
                       "\" y1=\"" + num(top + LANE_HEIGHT, 1) + "\" y2=\"" + num(top + LANE_HEIGHT, 1) + "\"/>";
                for (const lane_span &s : l.spans)
                    span_rect(s, top);
                for (const lane_mark &m : l.marks)
                    out += "<path class=\"mark mark-" + html_escape(m.kind) + "\" d=\"M" + num(x(m.at), 1) + " " +
                           num(top + 2, 1) + " l5 9 l-5 9 l-5 -9 z\"" + attr("kind", m.kind) + attr("ms", num(m.at)) +
                           "><title>" + html_escape(shorten(m.label)) + " at " + shown(m.at) + "</title></path>";
                out += "</g>";
                top += LANE_HEIGHT;
            }
        }
        return top;
    }

    void moment(double ms, const char *cls, const std::string &label, double bottom, const std::string &attrs)
    {
        double px = x(ms);
        out += "<g class=\"moment\"" + attrs + "><line class=\"" + std::string(cls) + "\" x1=\"" + num(px, 1) +
               "\" x2=\"" + num(px, 1) + "\" y1=\"" + num(AXIS_TOP, 1) + "\" y2=\"" + num(bottom, 1) + "\"/>";
        bool left = px > PLOT_RIGHT - 160;   // keep the label inside the picture
        out += "<text x=\"" + num(left ? px - 4 : px + 4, 1) + "\" y=\"" + num(bottom + 14, 1) + "\"" +
               (left ? " text-anchor=\"end\"" : "") + ">" + html_escape(label) + " " + shown(ms) + "</text></g>";
    }

    void svg()
    {
        // Height: axis, progress, then every lane and group gap.
        double height = AXIS_TOP + 10 + PROGRESS_HEIGHT + 10;
        for (const char *group : {"records", "flash", "modem"}) {
            bool any = false;
            for (const lane &l : pic.lanes)
                if (l.group == group) {
                    height += LANE_HEIGHT + (any ? 0 : GROUP_GAP);
                    any = true;
                }
        }
        double total_h = height + 40;
        int retries = pic.block_retries + std::max(0, pic.download_attempts - 1);
        int reached = 0;
        for (const record_row &r : pic.records)
            reached += r.from >= 0;
        out += "<svg id=\"timeline\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(SVG_WIDTH, 0) +
               "\" height=\"" + num(total_h, 0) + "\" viewBox=\"0 0 " + num(SVG_WIDTH, 0) + " " + num(total_h, 0) +
               "\"" + attr("records", std::to_string(pic.records.size())) +
               attr("records-reached", std::to_string(reached)) + attr("retries", std::to_string(retries)) +
               attr("block-retries", std::to_string(pic.block_retries)) +
               attr("download-attempts", std::to_string(pic.download_attempts)) +
               attr("power-cycles", std::to_string(pic.power_cycles)) +
               attr("refusals", std::to_string(pic.refusals)) +
               attr("flash-faults", std::to_string(logs.faults.size())) +
               attr("power-cut-ms", pic.power_cut_ms >= 0 ? num(pic.power_cut_ms) : "") +
               attr("power-cut-record", pic.power_cut_record) + attr("reboot-ms", pic.reboot_ms >= 0 ? num(pic.reboot_ms) : "") +
               attr("time-scale", scale_text(logs.time_scale)) + attr("status", logs.status) + attr("end", logs.end) + ">";
        out += "<rect x=\"0\" y=\"0\" width=\"" + num(SVG_WIDTH, 0) + "\" height=\"" + num(total_h, 0) +
               "\" fill=\"#fff\"/>";
        out += "<text x=\"8\" y=\"" + num(AXIS_TOP - 6, 1) + "\">" +
               (logs.time_scale != 1.0 ? "simulated time" : "time") + "</text>";
        axis(height);
        progress_panel();
        lanes(AXIS_TOP + 10 + PROGRESS_HEIGHT + 10);
        if (pic.reboot_ms >= 0)
            moment(pic.reboot_ms, "reboot", "reboot request", height, attr("moment", "reboot"));
        if (logs.end == "timeout")
            moment(logs.wall_ms, "powercut", "timeout", height, attr("moment", "timeout"));
        if (pic.power_cut_ms >= 0)
            moment(pic.power_cut_ms, "powercut", "power cut", height,
                   attr("moment", "power-cut") + attr("ms", num(pic.power_cut_ms)) +
                       attr("record", pic.power_cut_record));
        out += "</svg>";
    }

    void row(const char *key, const std::string &name, const std::string &value, bool numeric = false)
    {
        out += "<tr" + attr("key", key) + "><th>" + html_escape(name) + "</th><td" + (numeric ? " class=\"n\"" : "") +
               ">" + html_escape(value) + "</td></tr>";
    }

    void summary()
    {
        out += "<div class=\"side\"><table id=\"summary\">";
        row("command", "command", logs.command);
        row("result", "result", pic.result);
        row("status", "exit status", logs.status);
        if (!pic.signature.empty())
            row("signature", "package signature", pic.signature);
        std::string cut = logs.cut_where.empty() ? "(--kill-after " + std::to_string(logs.kill_after_ms) + " ms)"
                                                 : logs.cut_where;
        std::string end = logs.end == "power-cut"   ? "power cut " + cut
                          : logs.end == "reboot"   ? "reboot request"
                          : logs.end == "timeout"  ? "timeout"
                          : logs.end == "stopped"  ? "routersim was stopped"
                                                   : "the command exited";
        row("end", "run ended by", end);
        row("wall", "wall time", num(logs.wall_ms / 1000.0, 2) + " s", true);
        if (logs.time_scale != 1.0) {
            row("scale", "time scale", "x" + scale_text(logs.time_scale));
            row("simulated", "simulated time", shown(logs.wall_ms), true);
        }
        // The tool's own total when it logged one; the items below add up to it.
        double wait_ms = 0;
        for (const required_wait &w : pic.waits)
            wait_ms += w.each_ms * w.count;
        if (pic.tool_wait_ms >= 0)
            wait_ms = pic.tool_wait_ms;
        row("waits", "required waits (sum)", num(wait_ms / 1000.0, 1) + " s", true);
        for (const required_wait &w : pic.waits)
            row("wait", std::to_string(w.count) + " x " + num(w.each_ms / 1000.0, 1) + " s", w.what);
        out += "</table><table id=\"records\"><tr><th>record</th><th>partition</th><th>bytes</th><th>time</th>"
               "<th>result</th></tr>";
        for (const record_row &r : pic.records) {
            out += "<tr" + attr("record", r.name) + attr("bytes", std::to_string(r.bytes)) + attr("result", r.result) +
                   "><td>" + html_escape(r.name) + "</td><td>" + html_escape(r.partition) + "</td><td class=\"n\">" +
                   std::to_string(r.bytes) + "</td><td class=\"n\">" +
                   (r.from >= 0 ? num((r.to - r.from) / 1000.0 * logs.time_scale, 2) + " s" : "") + "</td><td>" +
                   html_escape(r.result) + "</td></tr>";
        }
        out += "</table><table id=\"counts\">";
        int retries = pic.block_retries + std::max(0, pic.download_attempts - 1);
        row("retries", "retries", std::to_string(retries), true);
        if (pic.download_attempts > 0 || pic.power_cycles > 0 || !logs.modem.empty()) {
            row("download-attempts", "modem download attempts", std::to_string(pic.download_attempts), true);
            row("block-retries", "modem blocks sent again", std::to_string(pic.block_retries), true);
            row("refusals", "modem refusals", std::to_string(pic.refusals), true);
            row("power-cycles", "modem power cycles", std::to_string(pic.power_cycles), true);
        }
        row("tool-calls", "flash tool calls", std::to_string(logs.tools.size()), true);
        row("flash-faults", "flash faults", std::to_string(logs.faults.size()), true);
        if (pic.power_cut_ms >= 0)
            row("power-cut", "power cut", shown(pic.power_cut_ms) + " during " +
                                              (pic.power_cut_record.empty() ? "no record" : pic.power_cut_record));
        out += "</table>";
        if (!logs.faults.empty()) {
            out += "<p class=\"note\">flash faults:</p><ul>";
            for (const std::string &f : logs.faults)
                out += "<li>" + html_escape(shorten(f)) + "</li>";
            out += "</ul>";
        }
        if (!pic.unmatched_tools.empty()) {
            out += "<p class=\"note\">tool calls without a log line of the tool:</p><ul>";
            for (const std::string &t : pic.unmatched_tools)
                out += "<li>" + html_escape(shorten(t)) + "</li>";
            out += "</ul>";
        }
        out += "</div>";
    }

    void legend()
    {
        out += "<svg class=\"legend\" width=\"1000\" height=\"26\" viewBox=\"0 0 1000 26\">";
        double px = 8;
        for (const char *k : {"record", "extract", "erase", "write", "tool", "wait", "power-off", "stage", "attempt",
                              "image", "image-failed", "nv"}) {
            out += "<rect class=\"" + std::string(k) + "\" x=\"" + num(px, 0) + "\" y=\"6\" width=\"14\" height=\"12\"/>";
            out += "<text x=\"" + num(px + 18, 0) + "\" y=\"16\">" + k + "</text>";
            px += 26 + 6.5 * (double)strlen(k);
        }
        out += "<path class=\"mark-fault\" d=\"M" + num(px + 5, 0) + " 4 l5 9 l-5 9 l-5 -9 z\"/><text x=\"" +
               num(px + 14, 0) + "\" y=\"16\">fault / refusal</text></svg>";
    }
};

}  // namespace

std::string html_escape(const std::string &text)
{
    std::string s;
    s.reserve(text.size());
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == '&') s += "&amp;";
        else if (c == '<') s += "&lt;";
        else if (c == '>') s += "&gt;";
        else if (c == '"') s += "&quot;";
        else if (c == '\'') s += "&#39;";
        else if (c < 0x20 || c == 0x7F) s += c == '\t' ? ' ' : '?';
        else if (c < 0x80) s += (char)c;
        else {
            // Keep a well-formed UTF-8 sequence (no overlong forms, no surrogates); anything else is '?'.
            size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
            bool ok = len > 0 && i + len <= n;
            for (size_t k = 1; ok && k < len; ++k)
                ok = (p[i + k] & 0xC0) == 0x80;
            if (ok && len == 3)
                ok = !(c == 0xE0 && p[i + 1] < 0xA0) && !(c == 0xED && p[i + 1] >= 0xA0);
            if (ok && len == 4)
                ok = !(c == 0xF0 && p[i + 1] < 0x90) && !(c == 0xF4 && p[i + 1] >= 0x90);
            if (ok) {
                s.append(text, i, len);
                i += len;
            } else {
                s += '?';
                ++i;
            }
            continue;
        }
        ++i;
    }
    return s;
}

std::string render_report(const run_logs &logs, const run_picture &pic)
{
    page p{logs, pic, ""};
    p.out = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">"
            "<title>Upgrade run: " +
            html_escape(logs.command) + "</title><style>" + CSS + "</style></head><body>";
    p.out += "<h1>Upgrade run: " + html_escape(logs.command) + "</h1>";
    if (logs.time_scale != 1.0)
        p.out += "<p class=\"note\" id=\"time-note\">Times are simulated: the run went at time scale x" +
                 scale_text(logs.time_scale) + ", so every time shown is wall time x " + scale_text(logs.time_scale) +
                 " (the program's own clock). Real work such as flash writes was not sped up and looks " +
                 scale_text(logs.time_scale) + " times longer here than it took.</p>";
    else
        p.out += "<p class=\"note\" id=\"time-note\">Times are wall time since the command started.</p>";
    p.legend();
    p.out += "<div class=\"wrap\">";
    p.svg();
    p.summary();
    p.out += "</div></body></html>\n";
    return p.out;
}

int sim_report(const std::string &state, const std::string &out_file)
{
    run_logs logs;
    std::string err;
    if (!read_run_logs(state, &logs, &err)) {
        fprintf(stderr, "routersim: %s\n", err.c_str());
        return 1;
    }
    run_picture pic;
    picture_router(logs, &pic);
    picture_modem(logs, &pic);
    picture_result(logs, &pic);
    std::string html = render_report(logs, pic);
    // A fresh file beside the target, renamed over it: never written
    // through a link someone left at that name.
    std::string tmpl = out_file + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        fprintf(stderr, "routersim: cannot write %s: %s\n", out_file.c_str(), strerror(errno));
        return 1;
    }
    bool ok = write_full(fd, html.data(), html.size()) == (ssize_t)html.size();
    ok = fchmod(fd, 0644) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(name.data(), out_file.c_str()) != 0) {
        fprintf(stderr, "routersim: cannot write %s: %s\n", out_file.c_str(), strerror(errno));
        unlink(name.data());
        return 1;
    }
    return 0;
}
