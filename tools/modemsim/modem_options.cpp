// Command line of the virtual modem.
#include "modem_options.h"
#include "power_cut.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int copy_text(std::array<char, 1024> &dst, const char *src)
{
    size_t n = strlen(src);
    if (n == 0 || n >= dst.size())
        return -1;
    memcpy(dst.data(), src, n + 1);
    return 0;
}

// Accepts a decimal number within [lo, hi] and nothing else.
int parse_number(const char *text, long lo, long hi, long *out)
{
    if (text == nullptr || *text == '\0')
        return -1;
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return -1;
    *out = v;
    return 0;
}

int parse_stage(const char *text, modem_stage_t *stage)
{
    if (strcmp(text, "normal") == 0)
        *stage = STAGE_NORMAL;
    else if (strcmp(text, "download") == 0)
        *stage = STAGE_BOOTLOADER;
    else if (strcmp(text, "programmer") == 0)
        *stage = STAGE_PROGRAMMER;
    else
        return -1;
    return 0;
}

// A version text as the AT service answers it: printable, no quote.
int copy_version(std::array<char, 128> &dst, const char *src)
{
    size_t n = src ? strlen(src) : 0;
    if (n == 0 || n >= dst.size())
        return -1;
    for (size_t i = 0; i < n; i++)
        if ((unsigned char)src[i] <= 0x20 || (unsigned char)src[i] >= 0x7F || src[i] == '"')
            return -1;
    memcpy(dst.data(), src, n + 1);
    return 0;
}

} // namespace

const char *modem_stage_name(modem_stage_t stage)
{
    switch (stage) {
    case STAGE_OFF: return "off";
    case STAGE_NORMAL: return "normal";
    case STAGE_BOOTLOADER: return "download";
    case STAGE_PROGRAMMER: return "programmer";
    }
    return "?";
}

void print_modem_usage(const char *prog)
{
    fprintf(stdout,
            "usage: %s MODEMSTATE --link-dir DIR [--sysfs DIR] [--start normal|download|programmer]\n"
            "       [--enum-delay MS] [--usb-bus N] [--diag-tty N] [--at-tty N] [--download-tty N]\n"
            "       [--version TEXT] [--flash-version TEXT] [--flash-wipe none|nv|all[@efs]]\n"
            "       [--power-cut KIND:N]\n"
            "       [--faults-file PATH] [--fault RULE]...\n"
            "       %s --help\n"
            "Plays a USB modem's serial ports on pseudo-terminals linked from DIR until\n"
            "SIGTERM, SIGINT or SIGHUP. Fault rules come from --fault and from the control\n"
            "file (default MODEMSTATE/faults, read again whenever it changes); a rule that\n"
            "does not parse, or names an unknown fault, frame kind or image, stops the\n"
            "modem with status 2. See docs/modemsim.md for the rule syntax.\n"
            "Exit status: 0 stopped by a signal, 1 a system error, 2 a usage error or a\n"
            "refused fault rule.\n",
            prog, prog);
}

int parse_modem_options(int argc, char **argv, modem_options *opts, char *err, size_t err_size)
{
    *opts = modem_options{};
    bool have_state = false;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = (i + 1 < argc) ? argv[i + 1] : nullptr;
        long n = 0;
        bool takes_value = true;
        int bad = 0;
        if (strcmp(a, "--link-dir") == 0) {
            bad = v ? copy_text(opts->link_dir, v) : -1;
        } else if (strcmp(a, "--sysfs") == 0) {
            bad = v ? copy_text(opts->sysfs_dir, v) : -1;
        } else if (strcmp(a, "--faults-file") == 0) {
            bad = v ? copy_text(opts->faults_file, v) : -1;
        } else if (strcmp(a, "--start") == 0) {
            bad = v ? parse_stage(v, &opts->start) : -1;
        } else if (strcmp(a, "--enum-delay") == 0) {
            bad = parse_number(v, 0, 600000, &n);
            opts->enum_delay_ms = (uint32_t)n;
        } else if (strcmp(a, "--usb-bus") == 0) {
            bad = parse_number(v, 0, 9, &n);
            opts->usb_bus = (int)n;
        } else if (strcmp(a, "--diag-tty") == 0) {
            bad = parse_number(v, 0, 99, &n);
            opts->diag_tty = (int)n;
        } else if (strcmp(a, "--at-tty") == 0) {
            bad = parse_number(v, 0, 99, &n);
            opts->at_tty = (int)n;
        } else if (strcmp(a, "--download-tty") == 0) {
            bad = parse_number(v, 0, 99, &n);
            opts->download_tty = (int)n;
        } else if (strcmp(a, "--version") == 0) {
            bad = copy_version(opts->version, v);
        } else if (strcmp(a, "--flash-version") == 0) {
            bad = copy_version(opts->flash_version, v);
        } else if (strcmp(a, "--flash-wipe") == 0) {
            bad = parse_flash_wipe(v, &opts->flash_wipe, &opts->wipe_at_efs);
            opts->flash_wipe_given = true;
        } else if (strcmp(a, "--power-cut") == 0) {
            power_cut probe;
            if (v == nullptr || power_cut_parse(v, &probe, err, err_size) != 0)
                return -1;
            snprintf(opts->power_cut.data(), opts->power_cut.size(), "%s", v);
        } else if (strcmp(a, "--fault") == 0) {
            if (v == nullptr || opts->fault_count >= MODEM_MAX_FAULT_OPTIONS ||
                strlen(v) >= MODEM_FAULT_TEXT)
                bad = -1;
            else
                snprintf(opts->faults[(size_t)opts->fault_count++].data(), MODEM_FAULT_TEXT, "%s", v);
        } else if (a[0] != '-' && !have_state) {
            takes_value = false;
            bad = copy_text(opts->state_dir, a);
            have_state = true;
        } else {
            snprintf(err, err_size, "unknown argument %s", a);
            return -1;
        }
        if (bad != 0) {
            snprintf(err, err_size, "bad or missing value for %s", a);
            return -1;
        }
        if (takes_value)
            i++;
    }
    if (!have_state || opts->link_dir[0] == '\0') {
        snprintf(err, err_size, "MODEMSTATE and --link-dir are required");
        return -1;
    }
    if (opts->diag_tty == opts->at_tty) {
        snprintf(err, err_size, "diag and AT ports need different ttyUSB numbers");
        return -1;
    }
    if (opts->download_tty < 0)
        opts->download_tty = opts->diag_tty;
    if (opts->faults_file[0] == '\0' &&
        snprintf(opts->faults_file.data(), opts->faults_file.size(), "%s/faults",
                 opts->state_dir.data()) >= (int)opts->faults_file.size()) {
        snprintf(err, err_size, "state directory path too long");
        return -1;
    }
    return 0;
}
