// routersim command line: init, load-package, run, report. Each command and
// each of its options is one row of a table, which also gives the help text.
#include "report.h"
#include "campaign.h"
#include "routersim.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string dir_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The build puts routersim in bin/ and the preload library in lib/ beside it.
sim_paths locate_build()
{
    sim_paths p;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string bin = n > 0 ? dir_of(std::string(self, (size_t)n)) : ".";
    p.bin_dir = bin;
    p.lib_dir = dir_of(bin) + "/lib";
    if (const char *b = getenv("ROUTERSIM_BIN_DIR"))
        p.bin_dir = b;
    if (const char *l = getenv("ROUTERSIM_LIB_DIR"))
        p.lib_dir = l;
    return p;
}

bool parse_positive(const char *text, double *v)
{
    char *end = nullptr;
    errno = 0;
    double d = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(d > 0) || d > 1e6)
        return false;
    *v = d;
    return true;
}

std::string absolute(const std::string &path)
{
    char buf[PATH_MAX];
    if (realpath(path.c_str(), buf) != nullptr)
        return buf;
    return path;
}

// One line naming the mistake, status 2.
int usage_error(const char *command, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int usage_error(const char *command, const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (command != nullptr)
        fprintf(stderr, "routersim %s: %s (see routersim %s --help)\n", command, msg, command);
    else
        fprintf(stderr, "routersim: %s (see routersim --help)\n", msg);
    return 2;
}

// An option of a command: its name, the word for its value (nullptr: a
// flag), what it does, and how it is taken into the command's options.
// apply returns false for a value it does not accept, with *want saying
// what it accepts.
template <typename Options>
struct option_row {
    const char *name;
    const char *value;
    const char *help;
    bool (*apply)(Options *o, const char *value, const char **want);
};

template <typename Options, size_t N>
void print_options(const option_row<Options> (&table)[N])
{
    for (const option_row<Options> &o : table) {
        char left[64];
        snprintf(left, sizeof left, "%s%s%s", o.name, o.value ? " " : "", o.value ? o.value : "");
        printf("  %-24s %s\n", left, o.help);
    }
}

// Reads the options from argv[*i] on, stopping at "--" or at the first word
// that is not an option (an operand). 0, or the usage error's status.
template <typename Options, size_t N>
int parse_options(const char *command, const option_row<Options> (&table)[N], int argc, char **argv, int *i,
                  Options *opt)
{
    while (*i < argc && strcmp(argv[*i], "--") != 0 && argv[*i][0] == '-') {
        const char *word = argv[*i];
        const option_row<Options> *row = nullptr;
        for (const option_row<Options> &o : table)
            if (strcmp(o.name, word) == 0)
                row = &o;
        if (row == nullptr)
            return usage_error(command, "unknown option %s", word);
        const char *value = nullptr;
        if (row->value != nullptr) {
            if (*i + 1 >= argc)
                return usage_error(command, "%s needs a value %s", word, row->value);
            value = argv[++*i];
        }
        const char *want = "";
        if (!row->apply(opt, value, &want))
            return usage_error(command, "bad value '%s' for %s (%s)", value ? value : "", word, want);
        ++*i;
    }
    return 0;
}

// ---- init

const option_row<sim_init_options> INIT_OPTIONS[] = {
    {"--mtd", "N=SIZE", "partition N (0-9) of SIZE bytes, K or M, whole 128K blocks",
     [](sim_init_options *o, const char *v, const char **want) {
         *want = "N=SIZE, N 0-9, SIZE whole 128K blocks up to 512M";
         return parse_mtd_override(v, o);
     }},
    {"--bad-block", "N:BLOCK", "make erase block BLOCK of mtdN a factory bad block (repeatable)",
     [](sim_init_options *o, const char *v, const char **want) {
         *want = "N:BLOCK, BLOCK decimal or 0x hex";
         return parse_bad_block(v, o);
     }},
    {"--key", "PUB", "put the public-key file PUB in the router's /etc/imgrenew/keys (repeatable)",
     [](sim_init_options *o, const char *v, const char **) {
         o->keys.push_back(v);
         return true;
     }},
    {"--policy", "FILE", "install FILE as the router's upgrade policy /etc/imgrenew/policy",
     [](sim_init_options *o, const char *v, const char **want) {
         *want = "one file, given once";
         if (v[0] == '\0' || !o->policy.empty())
             return false;
         o->policy = v;
         return true;
     }},
};

int help_init()
{
    printf("usage: routersim init STATE [options]\n"
           "Makes a router in service in the empty or missing folder STATE: every flash\n"
           "partition erased at the router's sizes, the second file system seeded.\n"
           "options:\n");
    print_options(INIT_OPTIONS);
    return 0;
}

int cmd_init(int argc, char **argv)
{
    sim_init_options opt;
    sim_default_sizes(&opt);
    int i = 0;
    std::string state;
    while (i < argc) {
        if (int rc = parse_options("init", INIT_OPTIONS, argc, argv, &i, &opt))
            return rc;
        if (i >= argc)
            break;
        if (!state.empty())
            return usage_error("init", "unexpected operand '%s'", argv[i]);
        state = argv[i++];
    }
    if (state.empty())
        return usage_error("init", "missing operand STATE");
    return sim_init_state(state, opt) == 0 ? 0 : 1;
}

// ---- load-package

struct load_options {
    bool full_install = false;
};

const option_row<load_options> LOAD_OPTIONS[] = {
    {"--full-install", nullptr, "also store upgrade state 0 (as imgrenew set 0), so that every record is installed",
     [](load_options *o, const char *, const char **) {
         o->full_install = true;
         return true;
     }},
};

int help_load()
{
    printf("usage: routersim load-package [options] STATE PACKAGE\n"
           "Writes PACKAGE at offset 0 of the package partition (mtd6), stepping over its\n"
           "bad blocks. On an erased state word a package with a modem record installs\n"
           "only its modem record; --full-install asks for every record.\n"
           "options:\n");
    print_options(LOAD_OPTIONS);
    return 0;
}

int cmd_load(int argc, char **argv)
{
    load_options opt;
    std::vector<std::string> operands;
    int i = 0;
    while (i < argc) {
        if (int rc = parse_options("load-package", LOAD_OPTIONS, argc, argv, &i, &opt))
            return rc;
        if (i < argc)
            operands.push_back(argv[i++]);
    }
    if (operands.empty())
        return usage_error("load-package", "missing operand STATE");
    if (operands.size() == 1)
        return usage_error("load-package", "missing operand PACKAGE");
    if (operands.size() > 2)
        return usage_error("load-package", "unexpected operand '%s'", operands[2].c_str());
    return sim_load_package(operands[0], operands[1], opt.full_install) == 0 ? 0 : 1;
}

// ---- run

const option_row<sim_run_options> RUN_OPTIONS[] = {
    {"--file-mode", "PACKAGE", "show PACKAGE as /2ndfile/image_path/root.bin on a mount point",
     [](sim_run_options *o, const char *v, const char **) {
         o->file_mode_package = absolute(v);
         return true;
     }},
    {"--modem", "MODEMSTATE", "attach a virtual modem (modemsim MODEMSTATE)",
     [](sim_run_options *o, const char *v, const char **) {
         o->modem_state = absolute(v);
         return true;
     }},
    {"--modem-program", "PATH", "with --modem: run PATH instead of modemsim",
     [](sim_run_options *o, const char *v, const char **) {
         o->modem_program = absolute(v);
         return true;
     }},
    {"--modem-power-cut", "KIND:N", "with --modem: the modem cuts the power at its Nth event of KIND (docs/modemsim.md)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "KIND:N, see docs/modemsim.md";
         o->modem_power_cut = v;
         return sim_valid_power_cut(v);
     }},
    {"--time-scale", "N", "run N times faster than real time (N > 0, may be fractional)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "a number above 0";
         return parse_positive(v, &o->time_scale);
     }},
    {"--timeout", "S", "end the run after S simulated seconds (status timeout)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "seconds above 0";
         return parse_positive(v, &o->timeout_s);
     }},
    {"--kill-after", "MS", "power cut MS wall milliseconds after the start (status killed)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "milliseconds, 0 or more";
         double ms = 0;
         if (strcmp(v, "0") != 0 && !parse_positive(v, &ms))
             return false;
         o->kill_after_ms = (long)ms;
         return true;
     }},
    {"--env", "NAME=VALUE", "extra environment for the command (repeatable)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "NAME=VALUE";
         if (strchr(v, '=') == nullptr || v[0] == '=' || strchr(v, '\n') != nullptr)
             return false;
         o->env.push_back(v);
         return true;
     }},
    {"--host-net", nullptr, "keep the host's network namespace",
     [](sim_run_options *o, const char *, const char **) {
         o->host_net = true;
         return true;
     }},
    {"--tmp-dir", "DIR", "show the host folder DIR as the router's /tmp",
     [](sim_run_options *o, const char *v, const char **) {
         o->tmp_dir = absolute(v);
         return true;
     }},
    {"--cut-at-op", "N", "power cut at the Nth flash operation of the run (status killed)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "an operation number from 1";
         return parse_op_number(v, &o->cut_at_op) && o->cut_at_op > 0;
     }},
    {"--cut-mode", "MODE", "with --cut-at-op: the operation cut is not done (none) or torn (torn)",
     [](sim_run_options *o, const char *v, const char **want) {
         *want = "none or torn";
         return parse_cut_mode(v, &o->cut_mode);
     }},
    {"--quiet", nullptr, "print no progress and no verdict line (for scripts)",
     [](sim_run_options *o, const char *, const char **) {
         o->quiet = true;
         return true;
     }},
};

int help_run()
{
    printf("usage: routersim run STATE [options] -- CMD ARGS\n"
           "Runs CMD as one boot of the router STATE would and records it in STATE/out.\n"
           "On a terminal the display's progress and each package record are shown as\n"
           "they come. At the end one verdict line goes to stdout, e.g.\n"
           "  result: installed; reboot requested\n"
           "options:\n");
    print_options(RUN_OPTIONS);
    printf("exit status: 0 the command exited 0 (an upgrade installed), 1 routersim could not\n"
           "run it, 2 usage error, 10 the command or upgrade failed, 11 power cut,\n"
           "12 timeout, 13 routersim was stopped (SIGTERM, SIGINT)\n");
    return 0;
}

int cmd_run(int argc, char **argv)
{
    sim_run_options opt;
    int i = 0;
    if (i >= argc || strcmp(argv[i], "--") == 0 || argv[i][0] == '-') {
        if (int rc = parse_options("run", RUN_OPTIONS, argc, argv, &i, &opt))
            return rc;
        return usage_error("run", "missing operand STATE");
    }
    opt.state = absolute(argv[i++]);
    if (int rc = parse_options("run", RUN_OPTIONS, argc, argv, &i, &opt))
        return rc;
    if (i < argc && strcmp(argv[i], "--") != 0)
        return usage_error("run", "unexpected operand '%s': the command goes after --", argv[i]);
    if (i + 1 >= argc)
        return usage_error("run", "missing -- CMD");
    if (!opt.modem_program.empty() && opt.modem_state.empty())
        return usage_error("run", "--modem-program needs --modem");
    if (!opt.modem_power_cut.empty() && opt.modem_state.empty())
        return usage_error("run", "--modem-power-cut needs --modem");
    for (++i; i < argc; ++i)
        opt.command.push_back(argv[i]);
    if (!opt.quiet && isatty(STDERR_FILENO))
        opt.live = stderr;
    return sim_run(locate_build(), opt);
}

// ---- report

struct report_options {
    std::string file;
};

const option_row<report_options> REPORT_OPTIONS[] = {
    {"-o", "FILE", "write the page to FILE (default STATE/report.html)",
     [](report_options *o, const char *v, const char **) {
         o->file = v;
         return true;
     }},
};

int help_report()
{
    printf("usage: routersim report STATE [options]\n"
           "Draws the last run of STATE on one HTML page and prints its path. The default\n"
           "page STATE/report.html lies outside STATE/out, which the next run empties.\n"
           "options:\n");
    print_options(REPORT_OPTIONS);
    return 0;
}

int cmd_report(int argc, char **argv)
{
    report_options opt;
    std::string state;
    int i = 0;
    while (i < argc) {
        if (int rc = parse_options("report", REPORT_OPTIONS, argc, argv, &i, &opt))
            return rc;
        if (i >= argc)
            break;
        if (!state.empty())
            return usage_error("report", "unexpected operand '%s'", argv[i]);
        state = argv[i++];
    }
    if (state.empty())
        return usage_error("report", "missing operand STATE");
    std::string file = opt.file.empty() ? state + "/report.html" : opt.file;
    if (sim_report(state, file) != 0)
        return 1;
    printf("%s\n", file.c_str());
    return 0;
}

// ---- the commands

struct command_row {
    const char *name;
    const char *synopsis;
    int (*run)(int argc, char **argv);   // the words after the command's name
    int (*help)();
};

int cmd_campaign(int argc, char **argv)
{
    // The campaign parser reads its words after the command word, as main's
    // argv would hold them; argv[-1] is that word.
    return campaign_main(locate_build(), argc + 1, argv - 1);
}

int help_campaign()
{
    char name[] = "campaign", help[] = "--help";
    char *words[] = {name, help, nullptr};
    return campaign_main(locate_build(), 2, words);
}

int cmd_campaign_merge(int argc, char **argv)
{
    return campaign_merge_main(argc + 1, argv - 1);
}

int help_campaign_merge()
{
    char name[] = "campaign-merge", help[] = "--help";
    char *words[] = {name, help, nullptr};
    return campaign_merge_main(2, words);
}

const command_row COMMANDS[] = {
    {"init", "init STATE [--mtd N=SIZE ...] [--bad-block N:BLOCK ...] [--key PUB ...]", cmd_init, help_init},
    {"load-package", "load-package [--full-install] STATE PACKAGE", cmd_load, help_load},
    {"run", "run STATE [options] -- CMD ARGS", cmd_run, help_run},
    {"report", "report STATE [-o FILE]", cmd_report, help_report},
    {"campaign", "campaign STATE PACKAGE [options]", cmd_campaign, help_campaign},
    {"campaign-merge", "campaign-merge [-o FILE] RESULTS...", cmd_campaign_merge, help_campaign_merge},
};

int help_all()
{
    printf("usage: routersim COMMAND ...\n"
           "The simulated router: runs a command as one boot of a router whose state\n"
           "is a folder, and records what happened.\n"
           "commands:\n");
    for (const command_row &c : COMMANDS)
        printf("  routersim %s\n", c.synopsis);
    printf("`routersim COMMAND --help` describes a command. Exit status 2: a usage error.\n");
    return 0;
}

bool is_help(const char *word)
{
    return strcmp(word, "--help") == 0 || strcmp(word, "-h") == 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // CI may start us without standard input; a socket landing on fd 0
    // would then become the router command's stdin.
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int n = open("/dev/null", O_RDWR);
            if (n >= 0 && n != fd) {
                dup2(n, fd);
                close(n);
            }
        }
    }
    if (argc < 2)
        return usage_error(nullptr, "missing command");
    if (is_help(argv[1]) || strcmp(argv[1], "help") == 0)
        return help_all();
    for (const command_row &c : COMMANDS) {
        if (strcmp(c.name, argv[1]) != 0)
            continue;
        // --help anywhere before a run's "--" asks for the command's help.
        for (int i = 2; i < argc && strcmp(argv[i], "--") != 0; ++i)
            if (is_help(argv[i]))
                return c.help();
        return c.run(argc - 2, argv + 2);
    }
    if (argv[1][0] == '-')
        return usage_error(nullptr, "unknown option %s", argv[1]);
    return usage_error(nullptr, "unknown command '%s'", argv[1]);
}
