// One boot of the simulated router: set up the run, start the sandbox (and
// the virtual modem), record syslog and bus traffic while it runs, end it on
// exit, timeout, power cut or reboot request, and write STATE/out/status.
#include "routersim.h"

#include "flash_ops.h"

#include "kq_ipc.h"
#include "up_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

const char *const OUT_FILES[] = {"stdout",           "stderr",           "syslog.log", "bus.jsonl", "tools.log",
                                 "flash-faults.log", "flash-events.log", "stamps.log"};
const char *const FAKETIME_CANDIDATES[] = {
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
};
// A reboot request takes effect this long after it arrives, so that the tool
// can finish its last lines the way it would before the router goes down.
constexpr auto REBOOT_GRACE = std::chrono::milliseconds(200);
constexpr int MAX_DATAGRAM = 65536;

// SIGTERM or SIGINT to routersim ends the router like pulling its plug, but
// recorded: how a test stops a server it ran in the router.
volatile sig_atomic_t g_stop_requested = 0;

void request_stop(int)
{
    g_stop_requested = 1;
}

void catch_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = request_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

struct endpoint {
    unique_fd fd;
    int module;          // -1: the syslog socket
};

std::string find_faketime()
{
    for (const char *p : FAKETIME_CANDIDATES)
        if (access(p, R_OK) == 0)
            return p;
    return "";
}

int clear_out_dir(const std::string &out)
{
    if (remove_tree(out) != 0 || make_dirs(out) != 0)
        return -1;
    for (const char *f : OUT_FILES)
        if (write_text(out + "/" + f, "") != 0)
            return -1;
    return 0;
}

int copy_file(const std::string &from, const std::string &to)
{
    if (link(from.c_str(), to.c_str()) == 0)
        return 0;
    unique_fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!in.ok() || !out.ok())
        return -1;
    char buf[65536];
    for (;;) {
        ssize_t n = read_full(in.get(), buf, sizeof buf);
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        if (write_full(out.get(), buf, (size_t)n) != n)
            return -1;
    }
}

int pidfd_for(pid_t pid)
{
    return (int)syscall(SYS_pidfd_open, pid, 0);
}

struct datagram {
    int64_t stamp_ns;     // when the kernel queued it: orders messages across endpoints
    size_t seq;
    int module;
    std::vector<uint8_t> bytes;
};

// Reads every waiting datagram of the endpoints and logs them in the order
// they were sent, whichever endpoint they went to; never blocks.
void drain(std::vector<endpoint> &eps, int syslog_out, int bus_out, int stamps_out, bool *reboot, run_watch *watch)
{
    static uint8_t buf[MAX_DATAGRAM];
    std::vector<datagram> got;
    for (endpoint &ep : eps) {
        for (;;) {
            iovec iov{buf, sizeof buf};
            alignas(cmsghdr) char ctrl[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = ctrl;
            msg.msg_controllen = sizeof ctrl;
            ssize_t n = recvmsg(ep.fd.get(), &msg, MSG_DONTWAIT);
            if (n < 0)
                break;   // EAGAIN: empty for now
            int64_t stamp = 0;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts;
                    memcpy(&ts, CMSG_DATA(c), sizeof ts);
                    stamp = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
                }
            }
            got.push_back({stamp, got.size(), ep.module, std::vector<uint8_t>(buf, buf + n)});
        }
    }
    std::stable_sort(got.begin(), got.end(), [](const datagram &a, const datagram &b) {
        return a.stamp_ns < b.stamp_ns;
    });
    for (const datagram &d : got) {
        // stamps.log: one line per line written to syslog.log or bus.jsonl,
        // the kernel's receive time (host real time), for drawing the run.
        char stamp[64];
        int sn = snprintf(stamp, sizeof stamp, "%lld %s\n", (long long)d.stamp_ns, d.module < 0 ? "syslog" : "bus");
        if (sn > 0 && sn < (int)sizeof stamp)
            (void)write_full(stamps_out, stamp, (size_t)sn);
        if (d.module < 0) {
            std::string line = syslog_line(reinterpret_cast<const char *>(d.bytes.data()), d.bytes.size());
            (void)write_full(syslog_out, line.data(), line.size());
            watch_syslog(watch, line);
        } else {
            bus_record rec = bus_message_json(d.module, d.bytes.data(), d.bytes.size());
            rec.json += '\n';
            (void)write_full(bus_out, rec.json.data(), rec.json.size());
            if (rec.reboot_request)
                *reboot = true;
            watch_bus(watch, rec);
        }
    }
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env, int out_fd, int err_fd,
            bool own_group)
{
    std::vector<char *> args;
    for (const std::string &s : argv)
        args.push_back(const_cast<char *>(s.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (own_group) {
        setpgid(0, 0);
        // The modem must not outlive a routersim that is killed (test timeouts).
        prctl(PR_SET_PDEATHSIG, SIGKILL);
    }
    if (out_fd >= 0)
        dup2(out_fd, 1);
    if (err_fd >= 0)
        dup2(err_fd, 2);
    for (const std::string &kv : extra_env)
        putenv(const_cast<char *>(kv.c_str()));
    execvp(args[0], args.data());
    fprintf(stderr, "routersim: cannot run %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

void stop_group(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        usleep(20000);
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Waits (at most about eight seconds) until the virtual modem shows something
// in its sysfs folder, so a command does not start before the modem exists.
// A modem program in a scripting language can take over a second just to
// start on a busy machine.
void wait_for_modem(const std::string &sysfs, pid_t modem)
{
    std::string dir = sysfs + "/bus/usb/devices";
    for (int i = 0; i < 400; ++i) {
        if (waitpid(modem, nullptr, WNOHANG) == modem)
            return;
        struct stat st;
        if (stat((dir + "/1-1:1.0").c_str(), &st) == 0 || stat((dir + "/1-1:1.2").c_str(), &st) == 0)
            return;
        if (DIR *d = opendir(dir.c_str())) {
            int entries = 0;
            while (dirent *e = readdir(d))
                entries += e->d_name[0] != '.';
            closedir(d);
            if (entries > 0)
                return;
        }
        usleep(20000);
    }
}

int64_t real_time_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// What STATE/out/run.info records besides the options: host real times in ns
// (the clock of stamps.log and flash-events.log) and how the run ended.
struct run_times {
    int64_t start_ns = 0;
    int64_t end_ns = 0;
    int64_t modem_start_ns = 0;     // 0: no modem
    std::string end;                // exit, reboot, power-cut, timeout, stopped
};

std::string run_info_text(const sim_run_options &opt, const run_times &t)
{
    char buf[512];
    snprintf(buf, sizeof buf,
             "time_scale=%g\nkill_after_ms=%ld\ntimeout_s=%g\nstart_ns=%lld\nend_ns=%lld\nmodem_start_ns=%lld\n"
             "end=%s\nfile_mode=%d\ncut_at_op=%llu\ncut_mode=%s\nmodem_power_cut=%s\n",
             opt.time_scale, opt.kill_after_ms, opt.timeout_s, (long long)t.start_ns, (long long)t.end_ns,
             (long long)t.modem_start_ns, t.end.c_str(), opt.file_mode_package.empty() ? 0 : 1,
             (unsigned long long)opt.cut_at_op, flash_cut_mode_name(opt.cut_mode), opt.modem_power_cut.c_str());
    std::string s = buf;
    std::string cmd;
    for (const std::string &w : opt.command)
        cmd += (cmd.empty() ? "" : " ") + w;
    std::string modem = opt.modem_state;
    for (std::string *v : {&cmd, &modem})
        std::replace(v->begin(), v->end(), '\n', ' ');   // one value, one line
    return s + "modem_state=" + modem + "\ncommand=" + cmd + "\n";
}

bool valid_env(const std::string &kv)
{
    size_t eq = kv.find('=');
    return eq != std::string::npos && eq > 0 && kv.find_first_of("\n") == std::string::npos;
}

}  // namespace

int sim_run(const sim_paths &paths, const sim_run_options &opt)
{
    const std::string &state = opt.state;
    struct stat st;
    if (stat((state + "/2ndfile").c_str(), &st) != 0 || stat((state + "/flash").c_str(), &st) != 0) {
        fprintf(stderr, "routersim: %s is not a router state (run routersim init)\n", state.c_str());
        return 1;
    }
    for (const std::string &kv : opt.env) {
        if (!valid_env(kv)) {
            fprintf(stderr, "routersim: bad --env %s\n", kv.c_str());
            return 2;
        }
    }
    std::string out = state + "/out";
    if (clear_out_dir(out) != 0) {
        fprintf(stderr, "routersim: cannot prepare %s: %s\n", out.c_str(), strerror(errno));
        return 1;
    }
    sandbox_layout layout;
    layout.state = state;
    layout.out_dir = out;
    layout.paths = paths;
    layout.time_scale = opt.time_scale;
    layout.env = opt.env;
    layout.host_net = opt.host_net;
    layout.tmp_dir = opt.tmp_dir;
    layout.command = opt.command;
    if (!opt.tmp_dir.empty() && (stat(opt.tmp_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
        fprintf(stderr, "routersim: --tmp-dir %s is not a folder\n", opt.tmp_dir.c_str());
        return 2;
    }
    if (opt.time_scale != 1.0) {
        layout.faketime_lib = find_faketime();
        if (layout.faketime_lib.empty()) {
            fprintf(stderr, "routersim: --time-scale needs libfaketime (package libfaketime)\n");
            return 1;
        }
    }
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/routersim.XXXXXX";
    std::vector<char> tbuf(tmpl.begin(), tmpl.end());
    tbuf.push_back('\0');
    if (mkdtemp(tbuf.data()) == nullptr) {
        fprintf(stderr, "routersim: cannot make a run folder: %s\n", strerror(errno));
        return 1;
    }
    std::string run_dir = tbuf.data();
    layout.run_dir = run_dir;
    layout.sysfs_dir = run_dir + "/sys";
    layout.dev_dir = run_dir + "/dev";
    layout.ops_file = run_dir + "/flash-ops";
    bool modem_attached = !opt.modem_state.empty();
    layout.file_mode = !opt.file_mode_package.empty();
    std::string image_path_dir = state + "/2ndfile/image_path";
    bool had_image_path = stat(image_path_dir.c_str(), &st) == 0;

    int rc = 1;   // until the run is recorded: then its verdict's status
    run_times info;
    pid_t modem = -1;
    unique_fd cut_watch;   // --modem-power-cut: wakes when the modem cuts the power
    std::vector<endpoint> eps;
    do {
        if (make_dirs(run_dir + "/kqipc") != 0 || make_dirs(layout.sysfs_dir + "/bus/usb/devices") != 0 ||
            make_dirs(layout.sysfs_dir + "/module/pmic/parameters") != 0 || make_dirs(layout.dev_dir) != 0) {
            fprintf(stderr, "routersim: cannot prepare %s: %s\n", run_dir.c_str(), strerror(errno));
            break;
        }
        if (!modem_attached)
            write_text(layout.sysfs_dir + "/module/pmic/parameters/wcdma_power", "");
        if (flash_ops_create(layout.ops_file, opt.cut_at_op, opt.cut_mode) != 0) {
            fprintf(stderr, "routersim: cannot make %s: %s\n", layout.ops_file.c_str(), strerror(errno));
            break;
        }
        if (layout.file_mode) {
            if (make_dirs(run_dir + "/image_path") != 0 ||
                copy_file(opt.file_mode_package, run_dir + "/image_path/root.bin") != 0) {
                fprintf(stderr, "routersim: cannot stage %s: %s\n", opt.file_mode_package.c_str(), strerror(errno));
                break;
            }
        }
        bool ok = true;
        for (int module : {-1, (int)SC_ID, (int)UI_ID}) {
            std::string path = module < 0 ? layout.dev_dir + "/log" : run_dir + "/kqipc/" + std::to_string(module);
            endpoint ep{unique_fd(bind_dgram_socket(path)), module};
            if (!ep.fd.ok()) {
                fprintf(stderr, "routersim: cannot bind %s: %s\n", path.c_str(), strerror(errno));
                ok = false;
                break;
            }
            eps.push_back(std::move(ep));
        }
        if (!ok)
            break;
        std::vector<std::string> time_env;
        if (!layout.faketime_lib.empty()) {
            char faketime_value[80];
            snprintf(faketime_value, sizeof faketime_value, "FAKETIME=+0 x%g", opt.time_scale);
            time_env = {"LD_PRELOAD=" + layout.faketime_lib, faketime_value, "FAKETIME_DONT_FAKE_MONOTONIC=0"};
        }
        if (modem_attached) {
            info.modem_start_ns = real_time_ns();
            std::string prog = opt.modem_program.empty() ? paths.bin_dir + "/modemsim" : opt.modem_program;
            unique_fd mlog(open((out + "/modemsim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
            std::vector<std::string> margs = {prog, opt.modem_state, "--link-dir", layout.dev_dir, "--sysfs",
                                              layout.sysfs_dir};
            if (!opt.modem_power_cut.empty()) {
                cut_watch.reset(sim_power_cut_watch(opt.modem_state));
                margs.insert(margs.end(), {"--power-cut", opt.modem_power_cut});
            }
            modem = spawn(margs, time_env, mlog.get(), mlog.get(), true);
            if (modem < 0) {
                fprintf(stderr, "routersim: cannot start the modem: %s\n", strerror(errno));
                break;
            }
            wait_for_modem(layout.sysfs_dir, modem);
        }

        unique_fd cmd_out(open((out + "/stdout").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        unique_fd cmd_err(open((out + "/stderr").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        unique_fd syslog_out(open((out + "/syslog.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        unique_fd bus_out(open((out + "/bus.jsonl").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        unique_fd stamps_out(open((out + "/stamps.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (!cmd_out.ok() || !cmd_err.ok() || !syslog_out.ok() || !bus_out.ok() || !stamps_out.ok()) {
            fprintf(stderr, "routersim: cannot open the result files in %s\n", out.c_str());
            break;
        }
        catch_stop_signals();
        auto start = clock_type::now();
        info.start_ns = real_time_ns();
        pid_t child = spawn(bwrap_command(layout), {}, cmd_out.get(), cmd_err.get(), false);
        if (child < 0) {
            fprintf(stderr, "routersim: cannot start bwrap: %s\n", strerror(errno));
            break;
        }
        unique_fd pidfd(pidfd_for(child));
        unique_fd ops_watch(flash_ops_watch(layout.ops_file));

        bool have_deadline = false;
        clock_type::time_point deadline{};
        std::string deadline_status;
        const char *deadline_end = "";   // run.info's name for what ends the run there
        auto set_deadline = [&](clock_type::time_point t, const char *why, const char *end_name) {
            if (!have_deadline || t < deadline) {
                deadline = t;
                deadline_status = why;
                deadline_end = end_name;
                have_deadline = true;
            }
        };
        if (opt.kill_after_ms >= 0)
            set_deadline(start + std::chrono::milliseconds(opt.kill_after_ms), "killed", "power-cut");
        if (opt.timeout_s > 0)
            set_deadline(start + std::chrono::microseconds((long long)(opt.timeout_s / opt.time_scale * 1e6)),
                         "timeout", "timeout");

        run_watch watch;
        watch.live = opt.live;
        bool reboot = false;
        bool reboot_seen = false;
        int wstatus = 0;
        bool exited = false;
        std::string status;
        while (!exited) {
            pollfd pfds[6];
            int n = 0;
            for (endpoint &ep : eps)
                pfds[n++] = {ep.fd.get(), POLLIN, 0};
            pfds[n++] = {pidfd.ok() ? pidfd.get() : -1, POLLIN, 0};
            pfds[n++] = {ops_watch.get(), POLLIN, 0};
            pfds[n++] = {cut_watch.get(), POLLIN, 0};
            int wait_ms = pidfd.ok() ? 1000 : 20;   // without a pidfd, look at the child often
            if (have_deadline) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
                wait_ms = left.count() <= 0 ? 0 : (int)std::min<long long>(left.count() + 1, wait_ms);
            }
            if (poll(pfds, (nfds_t)n, wait_ms) < 0 && errno != EINTR)
                break;
            drain(eps, syslog_out.get(), bus_out.get(), stamps_out.get(), &reboot, &watch);
            if (reboot && !reboot_seen) {
                reboot_seen = true;
                set_deadline(clock_type::now() + REBOOT_GRACE, "killed", "reboot");
            }
            if (ops_watch.ok())
                flash_ops_drain_watch(ops_watch.get());
            if (opt.cut_at_op != 0 && flash_ops_cut(layout.ops_file)) {
                // The flash operation the power was cut at: the process that
                // met it waits, and the router goes down with it.
                kill(child, SIGKILL);
                waitpid(child, &wstatus, 0);
                status = "killed";
                info.end = "power-cut";
                break;
            }
            if (waitpid(child, &wstatus, WNOHANG) == child) {
                exited = true;
                break;
            }
            if (g_stop_requested) {
                kill(child, SIGKILL);
                waitpid(child, &wstatus, 0);
                status = "stopped";
                info.end = "stopped";
                break;
            }
            if (cut_watch.ok() && sim_power_cut_reported(cut_watch.get(), opt.modem_state)) {
                kill(child, SIGKILL);   // as a power cut: the modem is already dead
                waitpid(child, &wstatus, 0);
                status = "killed";
                info.end = "power-cut";
                break;
            }
            if (have_deadline && clock_type::now() >= deadline) {
                // Power cut: the sandbox's init dies with bwrap and takes
                // every process of the router with it.
                kill(child, SIGKILL);
                waitpid(child, &wstatus, 0);
                status = deadline_status;
                info.end = deadline_end;
                break;
            }
        }
        drain(eps, syslog_out.get(), bus_out.get(), stamps_out.get(), &reboot, &watch);
        if (status.empty()) {
            if (WIFEXITED(wstatus))
                status = std::to_string(WEXITSTATUS(wstatus));
            else
                status = "killed";
        }
        info.end_ns = real_time_ns();
        if (info.end.empty())
            info.end = reboot_seen ? "reboot" : "exit";
        write_text(out + "/status", status + "\n");
        flash_ops_record(layout.ops_file, out);
        write_text(out + "/run.info", run_info_text(opt, info));
        std::string verdict = run_verdict(watch,
                                          {status, info.end, opt.kill_after_ms, opt.timeout_s,
                                           power_cut_where(opt.cut_at_op, flash_cut_mode_name(opt.cut_mode),
                                                           opt.modem_power_cut)},
                                          &rc);
        if (watch.line_open)
            fprintf(watch.live, "\n");
        if (!opt.quiet)
            printf("%s\n", verdict.c_str());
    } while (false);

    stop_group(modem);
    eps.clear();
    remove_tree(run_dir);
    if (!had_image_path)
        rmdir(image_path_dir.c_str());   // only when empty: the mount point bwrap had to make
    return rc;
}
