// The modem side of a run's picture, from the virtual modem's exchange log
// and the tool's own modem lines. Every lane is made only when a line for it
// exists, so a run without a modem step shows none of them.
#include "report.h"
#include "routersim.h"

#include <cstdlib>
#include <cstring>

namespace {

bool has(const std::string &text, const char *what)
{
    return text.find(what) != std::string::npos;
}

bool starts(const std::string &text, const char *what)
{
    return text.compare(0, strlen(what), what) == 0;
}

// The word after `key` (up to a blank or the given stop character).
std::string word_after(const std::string &text, const char *key, char stop = ' ')
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return "";
    at += strlen(key);
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != stop)
        ++end;
    return text.substr(at, end - at);
}

lane &modem_lane(run_picture *pic, const char *name)
{
    for (lane &l : pic->lanes)
        if (l.group == "modem" && l.name == name)
            return l;
    pic->lanes.push_back({"modem", name, {}, {}});
    return pic->lanes.back();
}

// One span that is open until a closing line comes.
struct open_span {
    bool open = false;
    double from = 0;
    std::string label;
    int blocks = 0;
    int resends = 0;
    std::string last_addr;
};

void close_image(run_picture *pic, open_span *o, double at, bool ok, const char *why)
{
    if (!o->open)
        return;
    std::string label = o->label + ": " + std::to_string(o->blocks) + " block(s)";
    if (o->resends > 0)
        label += ", " + std::to_string(o->resends) + " sent again";
    if (!ok)
        label += std::string(", ") + why;
    modem_lane(pic, "sub-images (modem)")
        .spans.push_back({o->from, at, ok ? "image" : "image-failed", label,
                          {"image=" + o->label, "blocks=" + std::to_string(o->blocks),
                           "resends=" + std::to_string(o->resends)}});
    *o = open_span{};
}

// MODEMSTATE/out/modem.log: power, ports, programmer upload, images, refusals.
void exchange_lanes(const std::vector<timed_line> &log, run_picture *pic)
{
    open_span power, stage, image, upload, table;
    for (const timed_line &l : log) {
        const std::string &m = l.text;
        if (m == "power off") {
            ++pic->power_cycles;
            power = {true, l.ms, "power off", 0, 0, ""};
            close_image(pic, &image, l.ms, false, "power lost");
        } else if (m == "power on" && power.open) {
            modem_lane(pic, "power").spans.push_back({power.from, l.ms, "power-off", "power off", {}});
            power.open = false;
        } else if (starts(m, "attach ") && !has(m, " failed")) {
            stage = {true, l.ms, word_after(m, "attach "), 0, 0, ""};
        } else if (starts(m, "detach ") && stage.open) {
            modem_lane(pic, "ports").spans.push_back({stage.from, l.ms, "stage", stage.label, {"stage=" + stage.label}});
            stage.open = false;
            close_image(pic, &image, l.ms, false, "port gone");
        } else if (starts(m, "rx download write32")) {
            std::string addr = word_after(m, "addr=");
            if (!upload.open)
                upload = {true, l.ms, "programmer", 0, 0, ""};
            if (addr == upload.last_addr) {
                ++upload.resends;
                ++pic->block_retries;
                modem_lane(pic, "sub-images (modem)").marks.push_back({l.ms, "retry", "programmer block sent again"});
            }
            upload.last_addr = addr;
            ++upload.blocks;
        } else if (has(m, "programmer of ") && has(m, "started")) {
            close_image(pic, &upload, l.ms, true, "");
        } else if (starts(m, "rx programmer partition")) {
            table = {true, l.ms, "partition table", 0, 0, ""};
        } else if (starts(m, "partition table stored")) {
            close_image(pic, &table, l.ms, true, "");
        } else if (starts(m, "rx programmer open")) {
            close_image(pic, &image, l.ms, false, "not closed");
            image = {true, l.ms, word_after(m, "(", ')'), 0, 0, ""};
        } else if (starts(m, "rx programmer stream-write") && image.open) {
            std::string addr = word_after(m, "addr=");
            if (addr == image.last_addr) {
                ++image.resends;
                ++pic->block_retries;
                modem_lane(pic, "sub-images (modem)").marks.push_back({l.ms, "retry", "block " + addr + " sent again"});
            } else {
                ++image.blocks;
            }
            image.last_addr = addr;
        } else if (starts(m, "image ") && has(m, " refused")) {
            // "image dsp1 refused (fault), nothing stored"
            close_image(pic, &image, l.ms, false, "refused at close");
        } else if (starts(m, "image ") && has(m, " stored")) {
            close_image(pic, &image, l.ms, true, "");
        }
        if ((starts(m, "tx ") && has(m, " nak ")) || has(m, "bad-frame") || has(m, "out of sequence")) {
            ++pic->refusals;
            modem_lane(pic, "sub-images (modem)").marks.push_back({l.ms, "refusal", m});
        } else if (starts(m, "fault ") && !has(m, "file")) {
            modem_lane(pic, "sub-images (modem)").marks.push_back({l.ms, "modem-fault", m});
        }
    }
    double end = log.empty() ? 0 : log.back().ms;
    close_image(pic, &image, end, false, "not closed");
    close_image(pic, &upload, end, false, "not started");
    if (power.open)
        modem_lane(pic, "power").spans.push_back({power.from, end, "power-off", "power off", {}});
    if (stage.open)
        modem_lane(pic, "ports").spans.push_back({stage.from, end, "stage", stage.label, {"stage=" + stage.label}});
}

bool ends_attempts(const std::string &m)
{
    return has(m, "modem update successful") || has(m, "update modem failed and retry") ||
           has(m, "update modem image failed") || has(m, "all sub image had beend update");
}

// The tool's modem lines: attempts, its view of each sub-image, NV work.
void tool_lanes(const std::vector<timed_line> &sys, bool have_exchange_log, run_picture *pic)
{
    open_span attempt, image, backup, power;
    int syslog_power = 0, syslog_resends = 0;
    double last_download_end = -1;
    failure_trail trail;   // what went wrong in the current attempt
    std::string why;
    auto attempt_label = [&]() { return why.empty() ? attempt.label : attempt.label + " failed: " + why; };
    for (const timed_line &l : sys) {
        const std::string &m = l.text;
        if (starts(m, "will to do NO ") && has(m, "retry downlaod")) {
            if (attempt.open)
                modem_lane(pic, "download attempts").spans.push_back({attempt.from, l.ms, "attempt", attempt_label(), {}});
            ++pic->download_attempts;
            attempt = {true, l.ms, "attempt " + word_after(m, "NO "), 0, 0, ""};
            why.clear();
            trail = failure_trail{};
        } else if (attempt.open && ends_attempts(m)) {
            if (!has(m, "modem update successful") && why.empty())
                why = trail.cause;
            std::string label = has(m, "modem update successful") ? attempt.label : attempt_label();
            modem_lane(pic, "download attempts").spans.push_back({attempt.from, l.ms, "attempt", label, {}});
            attempt.open = false;
        }
        if (attempt.open && has(m, "update failed, after reset will to retry"))
            why = trail.cause;
        if (attempt.open)
            trail_feed(&trail, m);
        if (has(m, "update failed, after reset will to retry"))
            modem_lane(pic, "download attempts")
                .marks.push_back({l.ms, "failed",
                                  "attempt failed: " + (why.empty() ? std::string("no reason logged") : why) +
                                      "; power cycle and retry"});
        if (starts(m, "This is a ") && has(m, " image.")) {
            image = {true, l.ms, m.substr(10, m.find(" image.") - 10), 0, 0, ""};
        } else if (image.open && starts(m, "downlaod ") && (has(m, "success") || has(m, "faield"))) {
            bool ok = has(m, "success");
            modem_lane(pic, "sub-images (tool)")
                .spans.push_back({image.from, l.ms, ok ? "image" : "image-failed", image.label, {"image=" + image.label}});
            image.open = false;
            last_download_end = l.ms;
        } else if (image.open && has(m, "this sub image had beend update")) {
            image.open = false;   // skipped in a later attempt
        }
        if (has(m, "the error write_addr is"))
            ++syslog_resends;
        if (starts(m, "echo 0 > /sys/module/pmic/parameters/wcdma_power")) {
            ++syslog_power;
            power = {true, l.ms, "power cycle", 0, 0, ""};
        } else if (starts(m, "echo 1 > /sys/module/pmic/parameters/wcdma_power") && power.open && !have_exchange_log) {
            modem_lane(pic, "power").spans.push_back({power.from, l.ms, "power-off", "power off", {}});
            power.open = false;
        }
        if (!backup.open && (has(m, "need to update current modem firmware") || has(m, "modem_high_nv ....")))
            backup = {true, l.ms, "NV backup", 0, 0, ""};
        else if (backup.open && (has(m, "backup modem NV success") || has(m, "backup modem NV failed"))) {
            modem_lane(pic, "NV").spans.push_back(
                {backup.from, l.ms, has(m, "failed") ? "image-failed" : "nv", "NV backup", {"nv=backup"}});
            backup.open = false;
        }
        if (has(m, "all sub image had beend update"))
            last_download_end = l.ms;
        if (has(m, "up_modem_restore_NV succed") || has(m, "up_modem_restore_NV failed") ||
            has(m, "after update, resoter NV failed")) {
            double from = last_download_end >= 0 ? last_download_end : l.ms;
            bool ok = has(m, "succed");
            modem_lane(pic, "NV").spans.push_back(
                {from, l.ms, ok ? "nv" : "image-failed", "NV restore (after a 6 s wait)", {"nv=restore"}});
        }
    }
    if (attempt.open) {
        double end = sys.empty() ? attempt.from : sys.back().ms;
        modem_lane(pic, "download attempts").spans.push_back({attempt.from, end, "attempt", attempt_label(), {}});
    }
    if (!have_exchange_log) {
        pic->power_cycles = syslog_power;
        pic->block_retries = syslog_resends;
    }
}

}  // namespace

void picture_modem(const run_logs &logs, run_picture *pic)
{
    exchange_lanes(logs.modem, pic);
    tool_lanes(logs.syslog, !logs.modem.empty(), pic);
    for (const lane &l : pic->lanes)
        for (const lane_span &s : l.spans)
            if (s.from < pic->axis_from)
                pic->axis_from = s.from;   // the modem starts before the command
}
