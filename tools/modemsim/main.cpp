// modemsim: the virtual USB modem. Plays the modem's serial functions on
// pseudo-terminals until it is told to stop (SIGTERM, SIGINT, SIGHUP).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exchange_log.h"
#include "modem_core.h"
#include "usb_sysfs.h"

#if defined(__SANITIZE_ADDRESS__)
// In a sanitized build: routersim and the test sandbox start the modem with
// libfaketime preloaded, so the runtime is not the first library; that order
// is fine here, since the modem's own code is the one instrumented.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options(void)
{
    return "verify_asan_link_order=0";
}
#endif

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

void install_signals(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// Reads what the tool wrote to one port; returns false when the port is gone.
bool drain_port(modem_t *m, pty_port *port, bool is_diag)
{
    uint8_t buf[4096];
    for (int rounds = 0; rounds < 64 && pty_port_is_open(port); rounds++) {
        ssize_t n = read(port->master.get(), buf, sizeof buf);
        if (n > 0) {
            if (is_diag)
                modem_diag_input(m, buf, (size_t)n);
            else
                modem_at_input(m, buf, (size_t)n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return !(n < 0 && errno != EAGAIN);
    }
    return true;
}

int run(modem_t *m)
{
    while (!g_stop) {
        modem_poll_power(m);
        int64_t next = modem_run_timers(m);
        // The power file has no change notification: look at it ten times a
        // second (faster under a time scale, which shortens poll too).
        int timeout = m->opts.sysfs_dir[0] != '\0' ? 100 : 1000;
        if (next >= 0 && next < timeout)
            timeout = (int)next;
        struct pollfd fds[2];
        pty_port *ports[2];
        int n = 0;
        for (pty_port *p : {&m->diag, &m->at}) {
            if (!pty_port_is_open(p))
                continue;
            fds[n] = {p->master.get(), POLLIN, 0};
            ports[n++] = p;
        }
        int rc = poll(fds, (nfds_t)n, timeout);
        if (rc < 0 && errno != EINTR) {
            perror("modemsim: poll");
            return 1;
        }
        for (int i = 0; rc > 0 && i < n; i++) {
            if (fds[i].revents == 0)
                continue;
            // A port may have been closed by the frame handled just before.
            if (!pty_port_is_open(ports[i]) || ports[i]->master.get() != fds[i].fd)
                continue;
            if (!drain_port(m, ports[i], ports[i] == &m->diag))
                modem_log("read error on ttyUSB%d", ports[i]->tty_number);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    static modem_t modem;           // large buffers: keep them off the stack
    char err[256] = {0};
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_modem_usage("modemsim");
            return 0;
        }
    if (parse_modem_options(argc, argv, &modem.opts, err, sizeof err) != 0) {
        fprintf(stderr, "modemsim: %s (modemsim --help for usage)\n", err);
        return 2;
    }
    for (int i = 0; i < modem.opts.fault_count; i++) {
        if (fault_set_add_option(&modem.faults, modem.opts.faults[(size_t)i].data(), err, sizeof err) != 0) {
            fprintf(stderr, "modemsim: --fault \"%s\": %s\n", modem.opts.faults[(size_t)i].data(), err);
            return 2;
        }
    }
    const char *root = modem.opts.state_dir.data();
    char log_path[1200];
    if (state_dir_prepare(root) != 0 || state_path(log_path, sizeof log_path, root, "out/modem.log") != 0 ||
        modem_log_open(log_path) != 0) {
        fprintf(stderr, "modemsim: cannot prepare state directory %s: %s\n", root, strerror(errno));
        return 1;
    }
    // The control file's rules are checked before the modem appears: one that
    // does not parse ends the run here with status 2, naming its line.
    fault_set_reload(&modem.faults, modem.opts.faults_file.data());
    if (mkdir(modem.opts.link_dir.data(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "modemsim: cannot create %s: %s\n", modem.opts.link_dir.data(), strerror(errno));
        return 1;
    }
    if (modem.opts.sysfs_dir[0] != '\0' && usb_sysfs_init_power(modem.opts.sysfs_dir.data()) != 0) {
        fprintf(stderr, "modemsim: cannot prepare %s\n", modem.opts.sysfs_dir.data());
        return 1;
    }
    if (identity_load(&modem) != 0) {
        fprintf(stderr, "modemsim: cannot write the identity and version files in %s\n", root);
        return 1;
    }
    install_signals();
    modem_log("modemsim started, stage %s", modem_stage_name(modem.opts.start));
    modem.powered = true;
    if (modem_attach(&modem, modem.opts.start) != 0) {
        fprintf(stderr, "modemsim: cannot create the modem's ports\n");
        return 1;
    }
    int rc = run(&modem);
    modem_detach(&modem);
    image_store_abort(&modem.boot.ram);
    programmer_reset(&modem);
    power_cut_write_counts(&modem);
    modem_log("modemsim stopped");
    modem_log_close();
    return rc;
}
