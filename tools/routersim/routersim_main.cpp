// routersim command line: init, load-package, run.
#include "campaign.h"
#include "report.h"
#include "routersim.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

void usage()
{
    fprintf(stderr,
            "usage: routersim init STATE [--mtd N=SIZE ...] [--bad-block N:BLOCK ...]\n"
            "       routersim load-package STATE PACKAGE\n"
            "       routersim run STATE [--file-mode PACKAGE] [--modem MODEMSTATE [--modem-program PATH]]\n"
            "                 [--time-scale N] [--timeout S] [--kill-after MS] [--env NAME=VALUE]\n"
            "                 [--host-net] [--tmp-dir DIR] [--cut-at-op N [--cut-mode none|torn]]\n"
            "                 -- CMD ARGS\n"
            "       routersim report STATE [-o FILE]\n"
            "       routersim campaign STATE PACKAGE [options]   (routersim campaign --help)\n"
            "       routersim campaign-merge [-o FILE] RESULTS...\n");
}

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

int cmd_init(int argc, char **argv)
{
    if (argc < 3) {
        usage();
        return 2;
    }
    sim_init_options opt;
    sim_default_sizes(&opt);
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--mtd") == 0 && i + 1 < argc && parse_mtd_override(argv[i + 1], &opt)) {
            ++i;
            continue;
        }
        if (strcmp(argv[i], "--bad-block") == 0 && i + 1 < argc && parse_bad_block(argv[i + 1], &opt)) {
            ++i;
            continue;
        }
        fprintf(stderr, "routersim: bad init option %s (--mtd N=SIZE, SIZE whole 128K blocks; "
                        "--bad-block N:BLOCK)\n", argv[i]);
        return 2;
    }
    return sim_init_state(argv[2], opt) == 0 ? 0 : 1;
}

int cmd_run(int argc, char **argv)
{
    if (argc < 3) {
        usage();
        return 2;
    }
    sim_run_options opt;
    opt.state = absolute(argv[2]);
    int i = 3;
    while (i < argc && strcmp(argv[i], "--") != 0) {
        const char *o = argv[i];
        if (strcmp(o, "--host-net") == 0) {
            opt.host_net = true;
            ++i;
            continue;
        }
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = v != nullptr;
        if (ok && strcmp(o, "--file-mode") == 0)
            opt.file_mode_package = absolute(v);
        else if (ok && strcmp(o, "--modem") == 0)
            opt.modem_state = absolute(v);
        else if (ok && strcmp(o, "--modem-program") == 0)
            opt.modem_program = absolute(v);
        else if (ok && strcmp(o, "--time-scale") == 0)
            ok = parse_positive(v, &opt.time_scale);
        else if (ok && strcmp(o, "--timeout") == 0)
            ok = parse_positive(v, &opt.timeout_s);
        else if (ok && strcmp(o, "--kill-after") == 0) {
            double ms = 0;
            ok = strcmp(v, "0") == 0 || parse_positive(v, &ms);
            opt.kill_after_ms = (long)ms;
        } else if (ok && strcmp(o, "--env") == 0)
            opt.env.push_back(v);
        else if (ok && strcmp(o, "--tmp-dir") == 0)
            opt.tmp_dir = absolute(v);
        else if (ok && strcmp(o, "--cut-at-op") == 0)
            ok = parse_op_number(v, &opt.cut_at_op);
        else if (ok && strcmp(o, "--cut-mode") == 0)
            ok = parse_cut_mode(v, &opt.cut_mode);
        else
            ok = false;
        if (!ok) {
            if (o[0] != '-')
                fprintf(stderr, "routersim: run needs -- before the command\n");
            else
                fprintf(stderr, "routersim: bad run option %s\n", o);
            usage();
            return 2;
        }
        i += 2;   // the option and its value
    }
    if (i >= argc || i + 1 >= argc) {
        fprintf(stderr, "routersim: run needs -- CMD\n");
        return 2;
    }
    if (!opt.modem_program.empty() && opt.modem_state.empty()) {
        fprintf(stderr, "routersim: --modem-program needs --modem\n");
        return 2;
    }
    for (++i; i < argc; ++i)
        opt.command.push_back(argv[i]);
    return sim_run(locate_build(), opt);
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
    if (argc < 2) {
        usage();
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "init")
        return cmd_init(argc, argv);
    if (cmd == "load-package") {
        if (argc != 4) {
            usage();
            return 2;
        }
        return sim_load_package(argv[2], argv[3]) == 0 ? 0 : 1;
    }
    if (cmd == "run")
        return cmd_run(argc, argv);
    if (cmd == "campaign")
        return campaign_main(locate_build(), argc - 1, argv + 1);
    if (cmd == "campaign-merge")
        return campaign_merge_main(argc - 1, argv + 1);
    if (cmd == "report") {
        // The page of the last run; by default STATE/out/report.html.
        if (argc != 3 && !(argc == 5 && strcmp(argv[3], "-o") == 0)) {
            usage();
            return 2;
        }
        std::string file = argc == 5 ? argv[4] : std::string(argv[2]) + "/out/report.html";
        if (sim_report(argv[2], file) != 0)
            return 1;
        printf("%s\n", file.c_str());
        return 0;
    }
    usage();
    return 2;
}
