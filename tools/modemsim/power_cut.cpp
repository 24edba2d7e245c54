// Counted power cuts of the virtual modem.
#include "power_cut.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "exchange_log.h"
#include "modem_core.h"
#include "up_fd.h"

namespace {

constexpr const char *KIND_NAMES[CUT_KIND_COUNT] = {
    "exchange", "at", "nv-read", "nv-write", "rfnv-read", "rfnv-write", "write32", "stream", "image", "reset", "attach",
};

// The report for the host, written whole under a temporary name first so a
// watcher never sees half of it.
int write_report(const modem_t *m, const char *name, const char *text, size_t len)
{
    char path[1200], tmp[1200], sub[64];
    snprintf(sub, sizeof sub, "out/%s", name);
    if (state_path(path, sizeof path, m->opts.state_dir.data(), sub) != 0)
        return -1;
    snprintf(sub, sizeof sub, "out/.%s.new", name);
    if (state_path(tmp, sizeof tmp, m->opts.state_dir.data(), sub) != 0)
        return -1;
    unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok() || write_full(fd.get(), text, len) != (ssize_t)len)
        return -1;
    fd.reset();
    return rename(tmp, path);
}

void report_cut(const modem_t *m, power_cut_kind kind, uint32_t n)
{
    char text[64];
    int len = snprintf(text, sizeof text, "%s %lu\n", KIND_NAMES[kind], (unsigned long)n);
    if (write_report(m, "power_cut", text, (size_t)len) != 0)
        modem_log("cannot write the power cut report: %s", strerror(errno));
}

} // namespace

const char *power_cut_kind_name(power_cut_kind kind)
{
    return kind >= 0 && kind < CUT_KIND_COUNT ? KIND_NAMES[kind] : "none";
}

int power_cut_parse(const char *text, power_cut *pc, char *err, size_t err_size)
{
    const char *colon = text != nullptr ? strchr(text, ':') : nullptr;
    if (colon == nullptr) {
        snprintf(err, err_size, "power cut \"%s\" is not KIND:N", text ? text : "");
        return -1;
    }
    power_cut_kind kind = CUT_NONE;
    for (int k = 0; k < CUT_KIND_COUNT; k++)
        if (strlen(KIND_NAMES[k]) == (size_t)(colon - text) && strncmp(text, KIND_NAMES[k], (size_t)(colon - text)) == 0)
            kind = (power_cut_kind)k;
    if (kind == CUT_NONE) {
        snprintf(err, err_size, "power cut kind \"%.*s\" is unknown", (int)(colon - text), text);
        return -1;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long n = strtoul(colon + 1, &end, 10);
    if (colon[1] < '0' || colon[1] > '9' || *end != '\0' || errno != 0 || n == 0 || n > 100000000ul) {
        snprintf(err, err_size, "power cut count \"%s\" is not a number from 1", colon + 1);
        return -1;
    }
    *pc = power_cut{};
    pc->kind = kind;
    pc->at = (uint32_t)n;
    return 0;
}

bool power_cut_event(modem_t *m, power_cut_kind kind)
{
    power_cut &pc = m->cut;
    if (!pc.loaded) {
        // The first event is the modem's first attach at start: a report
        // left by an earlier run goes, and the option's cut is armed.
        char path[1200], err[128];
        if (state_path(path, sizeof path, m->opts.state_dir.data(), "out/power_cut") == 0)
            unlink(path);
        if (state_path(path, sizeof path, m->opts.state_dir.data(), "out/events") == 0)
            unlink(path);
        if (m->opts.power_cut[0] != '\0' && power_cut_parse(m->opts.power_cut.data(), &pc, err, sizeof err) != 0)
            modem_log("%s", err);
        pc.loaded = true;
    }
    if (pc.fired)
        return true;
    if (kind == CUT_NONE)
        return false;
    // Counted with or without a cut: the counts of an uncut run are the
    // range of N for each kind (out/events).
    pc.seen[kind]++;
    if (kind != pc.kind || pc.seen[kind] != pc.at)
        return false;
    pc.fired = true;
    m->hung = true;
    m->detach_at = 0;
    m->attach_at = 0;
    modem_log("power cut at %s %lu: the modem is dead", KIND_NAMES[kind], (unsigned long)pc.at);
    report_cut(m, kind, pc.at);
    return true;
}

power_cut_kind power_cut_kind_of_frame(const char *fault_kind, const char *reply_name)
{
    struct { const char *kind, *reply; power_cut_kind cut; } map[] = {
        {"nv-read", nullptr, CUT_NV_READ},       {"nv-write", nullptr, CUT_NV_WRITE},
        {"rfnv-read", nullptr, CUT_RFNV_READ},   {"rfnv-write", nullptr, CUT_RFNV_WRITE},
        {"write32", "ack", CUT_WRITE32},         {"stream-write", "stream-ack", CUT_STREAM}, {"close", "close-reply", CUT_IMAGE},
        {"reset", "reset-reply", CUT_RESET},
    };
    for (const auto &e : map)
        if (strcmp(fault_kind, e.kind) == 0 && (e.reply == nullptr || strcmp(reply_name, e.reply) == 0))
            return e.cut;
    return CUT_NONE;
}

void power_cut_write_counts(const modem_t *m)
{
    std::string text;
    for (int k = 0; k < CUT_KIND_COUNT; k++) {
        char line[64];
        snprintf(line, sizeof line, "%s %lu\n", KIND_NAMES[k], (unsigned long)m->cut.seen[k]);
        text += line;
    }
    if (write_report(m, "events", text.data(), text.size()) != 0)
        modem_log("cannot write the event counts: %s", strerror(errno));
}
