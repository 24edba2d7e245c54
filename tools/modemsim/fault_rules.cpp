// Faults injected on demand (syntax in fault_rules.h and docs/modemsim.md).
#include "fault_rules.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "exchange_log.h"

namespace {

struct action_name {
    const char *word;
    fault_action_t action;
};
const action_name k_actions[] = {
    {"drop", FAULT_DROP},   {"noreply", FAULT_NOREPLY}, {"nak", FAULT_NAK},
    {"badfcs", FAULT_BADFCS}, {"late", FAULT_LATE},     {"silent", FAULT_SILENT},
    {"fail-image", FAULT_FAIL_IMAGE}, {"split", FAULT_SPLIT}, {"noise", FAULT_NOISE},
    {"stale", FAULT_STALE},           {"trickle", FAULT_TRICKLE}, {"status", FAULT_STATUS},
};

// Every kind a rule may name: the frames of the diag port in each stage, the
// AT commands the AT service answers, the NV requests, and the group words.
// A rule for any other kind would never fire.
const char *const k_frame_kinds[] = {
    "offline", "switch", "diag",                                       // normal firmware
    "nop", "preq", "write32", "go",                                    // boot loader
    "hello", "security", "partition", "open", "stream-write", "close", "reset",   // programmer
    "at-cfun", "at-kqtsn", "at-kqtsw", "at-testinf2", "at-nwlcfg", "at-nwlset", "at-disk",
    "nv-read", "nv-write", "rfnv-read", "rfnv-write", "ftm-switch",
    "any", "at", "nv",
};
// The images of fail-image, as the programmer's open names them.
const char *const k_image_names[] = {"dbl", "fsbl", "osbl", "amss", "dsp1", "dsp2", "efs"};

template <size_t N>
bool listed(const char *const (&list)[N], const char *word)
{
    for (const char *w : list)
        if (strcmp(w, word) == 0)
            return true;
    return false;
}

// The NV frame kinds; "nv" stands for the four item requests.
bool nv_kind(const char *kind)
{
    return strncmp(kind, "nv-", 3) == 0 || strncmp(kind, "rfnv-", 5) == 0;
}

int parse_u32(const char *text, uint32_t *out)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return -1;
    errno = 0;
    char *end = nullptr;
    unsigned long v = strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX)
        return -1;
    *out = (uint32_t)v;
    return 0;
}

int parse_when(const char *text, fault_rule *rule)
{
    if (strcmp(text, "*") == 0) {
        rule->first = 1;
        rule->last = UINT32_MAX;
        return 0;
    }
    char buf[32];
    if (snprintf(buf, sizeof buf, "%s", text) >= (int)sizeof buf)
        return -1;
    char *dash = strchr(buf, '-');
    if (dash == nullptr) {
        if (parse_u32(buf, &rule->first) != 0 || rule->first == 0)
            return -1;
        rule->last = rule->first;
        return 0;
    }
    *dash = '\0';
    if (parse_u32(buf, &rule->first) != 0 || rule->first == 0)
        return -1;
    if (dash[1] == '\0') {
        rule->last = UINT32_MAX;
        return 0;
    }
    if (parse_u32(dash + 1, &rule->last) != 0 || rule->last < rule->first)
        return -1;
    return 0;
}

int parse_kind(const char *text, fault_rule *rule)
{
    char buf[64];
    if (snprintf(buf, sizeof buf, "%s", text) >= (int)sizeof buf)
        return -1;
    char *at = strchr(buf, '@');
    if (at != nullptr) {
        *at = '\0';
        if (parse_u32(at + 1, &rule->addr) != 0)
            return -1;
        rule->has_addr = true;
    }
    if (buf[0] == '\0' || strlen(buf) >= rule->kind.size())
        return -1;
    snprintf(rule->kind.data(), rule->kind.size(), "%s", buf);
    return 0;
}

// "any" stands for every frame of the diag port, "at" for every AT command.
bool kind_matches(const char *rule_kind, const char *kind)
{
    bool at_kind = strncmp(kind, "at", 2) == 0 && (kind[2] == '\0' || kind[2] == '-');
    if (strcmp(rule_kind, "any") == 0)
        return !at_kind;
    if (strcmp(rule_kind, "at") == 0)
        return at_kind;
    if (strcmp(rule_kind, "nv") == 0)
        return nv_kind(kind);
    return strcmp(rule_kind, kind) == 0;
}

const char *const image_fail_stages[] = {"close", "open", "stream"};

bool in_window(const fault_rule &r)
{
    return r.seen >= r.first && r.seen <= r.last;
}

} // namespace

int fault_rule_parse(const char *line, fault_rule *rule, char *err, size_t err_size)
{
    *rule = fault_rule{};
    char buf[256];
    if (snprintf(buf, sizeof buf, "%s", line) >= (int)sizeof buf) {
        snprintf(err, err_size, "rule too long");
        return -1;
    }
    char *hash = strchr(buf, '#');
    if (hash != nullptr)
        *hash = '\0';
    char *words[6] = {nullptr};
    int n = 0;
    char *save = nullptr;
    for (char *w = strtok_r(buf, " \t\r\n", &save); w != nullptr; w = strtok_r(nullptr, " \t\r\n", &save)) {
        if (n == 5) {
            snprintf(err, err_size, "too many words");
            return -1;
        }
        words[n++] = w;
    }
    if (n == 0)
        return 1;

    bool known = false;
    for (const auto &a : k_actions) {
        if (strcmp(words[0], a.word) == 0) {
            rule->action = a.action;
            known = true;
        }
    }
    if (!known) {
        snprintf(err, err_size, "unknown fault %s", words[0]);
        return -1;
    }
    if (n < 2 || parse_kind(words[1], rule) != 0) {
        snprintf(err, err_size, "bad or missing frame kind");
        return -1;
    }
    if (rule->action == FAULT_FAIL_IMAGE && (rule->has_addr || !listed(k_image_names, rule->kind.data()))) {
        snprintf(err, err_size, "unknown image %s (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)", words[1]);
        return -1;
    }
    if (rule->action != FAULT_FAIL_IMAGE && !listed(k_frame_kinds, rule->kind.data())) {
        snprintf(err, err_size, "unknown frame kind %s (see docs/modemsim.md)", rule->kind.data());
        return -1;
    }
    if (rule->action == FAULT_FAIL_IMAGE) {
        rule->first = 1;
        rule->last = UINT32_MAX;
        rule->arg = IMAGE_FAIL_CLOSE;
        bool bad = n > 4 || (n >= 3 && parse_when(words[2], rule) != 0);
        if (!bad && n == 4) {
            bad = true;
            for (uint32_t k = 0; k < 3; k++)
                if (strcmp(words[3], image_fail_stages[k]) == 0) {
                    rule->arg = k + 1;
                    bad = false;
                }
        }
        if (bad) {
            snprintf(err, err_size, "usage: fail-image IMAGE [WHEN] [open|stream|close]");
            return -1;
        }
        return 0;
    }
    if (n < 3 || parse_when(words[2], rule) != 0) {
        snprintf(err, err_size, "bad or missing WHEN (N, N-M, N- or *)");
        return -1;
    }
    switch (rule->action) {
    case FAULT_NAK:
        rule->arg = 7;
        if (n > 4 || (n == 4 && (parse_u32(words[3], &rule->arg) != 0 || rule->arg > 0xFFFF))) {
            snprintf(err, err_size, "bad NAK code");
            return -1;
        }
        break;
    case FAULT_STATUS:
        rule->arg = 4;
        if ((strcmp(rule->kind.data(), "nv") != 0 && !nv_kind(rule->kind.data())) || n > 4 ||
            (n == 4 && (parse_u32(words[3], &rule->arg) != 0 || rule->arg > 0xFFFF))) {
            snprintf(err, err_size, "usage: status nv|nv-read|nv-write|rfnv-read|rfnv-write[@ITEM] WHEN [CODE]");
            return -1;
        }
        break;
    case FAULT_LATE:
        if (n != 4 || parse_u32(words[3], &rule->arg) != 0 || rule->arg > 600000) {
            snprintf(err, err_size, "usage: late KIND WHEN MS");
            return -1;
        }
        break;
    case FAULT_SPLIT:
    case FAULT_NOISE:
    case FAULT_TRICKLE:
        rule->arg = rule->action == FAULT_SPLIT ? 3 : rule->action == FAULT_NOISE ? 8 : 2;
        if (n > 4 || (n == 4 && (parse_u32(words[3], &rule->arg) != 0 || rule->arg == 0 || rule->arg > 4096))) {
            snprintf(err, err_size, "bad count for %s (1 to 4096)", words[0]);
            return -1;
        }
        break;
    default:
        if (n != 3) {
            snprintf(err, err_size, "unexpected words after WHEN");
            return -1;
        }
        break;
    }
    return 0;
}

int fault_set_add_option(fault_set *set, const char *text, char *err, size_t err_size)
{
    if (set->count >= FAULT_MAX_RULES) {
        snprintf(err, err_size, "too many fault rules");
        return -1;
    }
    fault_rule rule;
    int rc = fault_rule_parse(text, &rule, err, err_size);
    if (rc != 0) {
        if (rc > 0)
            snprintf(err, err_size, "empty fault rule");
        return -1;
    }
    // Command-line rules stay in front of the file's rules.
    set->rules[(size_t)set->count++] = rule;
    set->option_count = set->count;
    return 0;
}

void fault_set_reload(fault_set *set, const char *path)
{
    struct stat st;
    bool present = stat(path, &st) == 0 && S_ISREG(st.st_mode);
    if (!present) {
        if (set->file_seen) {
            set->count = set->option_count;
            set->file_seen = false;
            modem_log("fault file removed");
        }
        return;
    }
    if (set->file_seen && st.st_dev == set->dev && st.st_ino == set->ino && st.st_size == set->size &&
        st.st_mtim.tv_sec == set->mtime.tv_sec && st.st_mtim.tv_nsec == set->mtime.tv_nsec)
        return;
    set->file_seen = true;
    set->dev = st.st_dev;
    set->ino = st.st_ino;
    set->size = st.st_size;
    set->mtime = st.st_mtim;
    set->count = set->option_count;

    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return;
    char line[256];
    int line_no = 0;
    while (fgets(line, sizeof line, f) != nullptr) {
        line_no++;
        fault_rule rule;
        char err[96] = {0};
        int rc = fault_rule_parse(line, &rule, err, sizeof err);
        if (rc == 1)
            continue;
        if (rc != 0) {
            // A rule that cannot be read would never fire, and a test built on
            // it would pass for the wrong reason: the modem stops instead.
            modem_log("fault file line %d refused: %s", line_no, err);
            fprintf(stderr, "modemsim: %s line %d: %s\n", path, line_no, err);
            fclose(f);
            exit(2);
        }
        if (set->count >= FAULT_MAX_RULES) {
            modem_log("fault file line %d ignored: too many rules", line_no);
            continue;
        }
        set->rules[(size_t)set->count++] = rule;
    }
    fclose(f);
    modem_log("fault file loaded: %d rule(s)", set->count - set->option_count);
}

fault_decision fault_set_match(fault_set *set, const char *kind, bool has_addr, uint32_t addr)
{
    fault_decision d;
    for (int i = 0; i < set->count; i++) {
        fault_rule &r = set->rules[(size_t)i];
        if (r.action == FAULT_FAIL_IMAGE)
            continue;
        if (!kind_matches(r.kind.data(), kind))
            continue;
        if (r.has_addr && (!has_addr || r.addr != addr))
            continue;
        if (r.seen < UINT32_MAX)
            r.seen++;
        if (!in_window(r))
            continue;
        switch (r.action) {
        case FAULT_DROP: d.drop = true; break;
        case FAULT_NOREPLY: d.noreply = true; break;
        case FAULT_NAK:
            d.nak = true;
            d.nak_code = (uint16_t)r.arg;
            break;
        case FAULT_BADFCS: d.badfcs = true; break;
        case FAULT_LATE: d.late_ms = r.arg > d.late_ms ? r.arg : d.late_ms; break;
        case FAULT_SILENT: d.silent = true; break;
        case FAULT_STATUS:
            d.status = true;
            d.status_code = (uint16_t)r.arg;
            break;
        case FAULT_SPLIT: d.split_pieces = r.arg; break;
        case FAULT_NOISE: d.noise_bytes = r.arg; break;
        case FAULT_STALE: d.stale = true; break;
        case FAULT_TRICKLE: d.trickle_ms = r.arg; break;
        case FAULT_FAIL_IMAGE: break;
        }
    }
    return d;
}

image_fail_t fault_set_image_fails(fault_set *set, const char *image)
{
    image_fail_t fails = IMAGE_OK;
    for (int i = 0; i < set->count; i++) {
        fault_rule &r = set->rules[(size_t)i];
        if (r.action != FAULT_FAIL_IMAGE || strcmp(r.kind.data(), image) != 0)
            continue;
        if (r.seen < UINT32_MAX)
            r.seen++;
        if (in_window(r))
            fails = (image_fail_t)r.arg;
    }
    return fails;
}
