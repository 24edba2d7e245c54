// The simulated router's private root, expressed as a bubblewrap command line.
//
// Paths inside the router:
//   /opt/routersim/bin   the build's programs (first on PATH)
//   /opt/routersim/lib   libflashemu.so (preloaded into every process)
//   /opt/routersim/log   the log files the emulation and the tool stand-ins append to
//   /opt/hostusr         the host's /usr, which /usr/bin's links point into
#include "routersim.h"
#include "sandbox_sanitizer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char SIM_BIN[] = "/opt/routersim/bin";
const char SIM_LIB[] = "/opt/routersim/lib";
const char SIM_LOG[] = "/opt/routersim/log";
const char HOST_USR[] = "/opt/hostusr";
const char SIM_BADBLOCKS[] = "/opt/routersim/badblocks";
const char *const FLASH_TOOLS[] = {"flash_erase", "nandwrite", "kobs-ng"};
const char *const DEVICE_NODES[] = {"null", "zero", "full", "random", "urandom", "tty", "ptmx"};

bool is_flash_tool(const char *name)
{
    for (const char *t : FLASH_TOOLS)
        if (strcmp(t, name) == 0)
            return true;
    return false;
}

void add(std::vector<std::string> &v, std::initializer_list<std::string> items)
{
    v.insert(v.end(), items);
}

}  // namespace

// The stand-ins must answer at /usr/bin/flash_erase etc. while the rest of
// /usr/bin stays the host's. Bubblewrap cannot create a mount point inside a
// read-only /usr without touching the host, so the router's /usr/bin is a
// tmpfs of links made inside the sandbox: every host program through
// /opt/hostusr/bin (so programs that find their files relative to themselves
// still do), the three tools to ours.
static void add_usr_bin(std::vector<std::string> &a)
{
    add(a, {"--tmpfs", "/usr/bin"});
    if (DIR *d = opendir("/usr/bin")) {
        while (dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0 || is_flash_tool(e->d_name))
                continue;
            add(a, {"--symlink", std::string(HOST_USR) + "/bin/" + e->d_name, std::string("/usr/bin/") + e->d_name});
        }
        closedir(d);
    }
    for (const char *t : FLASH_TOOLS)
        add(a, {"--symlink", std::string(SIM_BIN) + "/" + t, std::string("/usr/bin/") + t});
    add(a, {"--remount-ro", "/usr/bin"});
}

// The host's /etc, read-only. A router given public keys or a policy gets
// its own /etc/imgrenew/keys and /etc/imgrenew/policy: the host's /etc cannot
// take a mount point inside it, so /etc is then a folder of the private root
// holding the host's entries.
void add_etc(std::vector<std::string> &a, const std::string &state)
{
    const std::string keys = state + "/keys";
    const std::string policy = state + "/policy";
    const bool has_keys = access(keys.c_str(), F_OK) == 0;
    const bool has_policy = access(policy.c_str(), F_OK) == 0;
    DIR *d = has_keys || has_policy ? opendir("/etc") : nullptr;
    if (d == nullptr) {
        add(a, {"--ro-bind", "/etc", "/etc"});
        return;
    }
    add(a, {"--dir", "/etc"});
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "imgrenew")
            continue;
        std::string host = "/etc/" + name;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0)
            continue;
        char target[PATH_MAX];
        ssize_t n = S_ISLNK(st.st_mode) ? readlink(host.c_str(), target, sizeof target - 1) : -1;
        if (n > 0) {
            target[n] = '\0';
            add(a, {"--symlink", target, host});
        } else {
            add(a, {"--ro-bind", host, host});
        }
    }
    closedir(d);
    if (has_keys)
        add(a, {"--ro-bind", keys, SIM_KEY_DIR});
    if (has_policy)
        add(a, {"--ro-bind", policy, SIM_POLICY_FILE});
}

std::vector<std::string> bwrap_command(const sandbox_layout &l)
{
    std::vector<std::string> a = {"bwrap", "--unshare-pid"};
    if (!l.host_net)
        a.push_back("--unshare-net");
    add(a, {"--unshare-ipc", "--die-with-parent", "--clearenv"});
    add(a, {"--ro-bind", "/usr", "/usr", "--ro-bind", "/usr", HOST_USR});
    add_usr_bin(a);
    // Merged-/usr hosts have these as links into /usr; older ones as folders.
    for (const char *top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        struct stat st;
        if (lstat(top, &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[256];
            ssize_t n = readlink(top, target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                add(a, {"--symlink", target, top});
            }
        } else if (S_ISDIR(st.st_mode)) {
            add(a, {"--ro-bind", top, top});
        }
    }
    add_etc(a, l.state);
    add(a, {"--proc", "/proc"});
    // /dev is a host folder of this run rather than bubblewrap's own, so that
    // the virtual modem can make and remove /dev/ttyUSBn links in it while
    // the router runs, and the syslog socket can live in it. The links name
    // host pseudo-terminals, hence the host's devpts.
    add(a, {"--bind", l.dev_dir, "/dev"});
    for (const char *node : DEVICE_NODES)
        add(a, {"--dev-bind", std::string("/dev/") + node, std::string("/dev/") + node});
    add(a, {"--dev-bind", "/dev/pts", "/dev/pts", "--tmpfs", "/dev/shm",
            "--symlink", "/proc/self/fd", "/dev/fd", "--symlink", "/proc/self/fd/0", "/dev/stdin",
            "--symlink", "/proc/self/fd/1", "/dev/stdout", "--symlink", "/proc/self/fd/2", "/dev/stderr"});
    for (int n = 0; n < SIM_MTD_MAX; ++n) {
        std::string img = l.state + "/flash/mtd" + std::to_string(n) + ".img";
        if (access(img.c_str(), F_OK) == 0)
            add(a, {"--bind", img, "/dev/mtd" + std::to_string(n)});
    }
    if (l.tmp_dir.empty())
        add(a, {"--tmpfs", "/tmp"});
    else
        add(a, {"--bind", l.tmp_dir, "/tmp"});
    add(a, {"--tmpfs", "/var", "--tmpfs", "/var/run", "--tmpfs", "/run",
            "--bind", l.run_dir + "/kqipc", "/var/run/kqipc"});
    add(a, {"--bind", l.state + "/2ndfile", "/2ndfile"});
    if (l.file_mode)
        add(a, {"--bind", l.run_dir + "/image_path", "/2ndfile/image_path"});
    add(a, {"--bind", l.sysfs_dir, "/sys"});
    add(a, {"--ro-bind", l.paths.bin_dir, SIM_BIN, "--ro-bind", l.paths.lib_dir, SIM_LIB});
    add(a, {"--bind", l.out_dir + "/tools.log", std::string(SIM_LOG) + "/tools.log",
            "--bind", l.out_dir + "/flash-faults.log", std::string(SIM_LOG) + "/flash-faults.log"});
    // The factory bad-block table, when the router has one (docs/routersim.md).
    std::string bad_table = l.state + "/flash/badblocks";
    bool has_bad_table = access(bad_table.c_str(), R_OK) == 0;
    if (has_bad_table)
        add(a, {"--ro-bind", bad_table, std::string(SIM_BADBLOCKS)});

    add(a, {"--bind", l.out_dir + "/flash-events.log", std::string(SIM_LOG) + "/flash-events.log"});
    add(a, {"--chdir", "/"});

    std::string preload = std::string(SIM_LIB) + "/libflashemu.so";
    if (!l.faketime_lib.empty())
        preload += " " + l.faketime_lib;
    add(a, {"--setenv", "PATH", std::string(SIM_BIN) + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "--setenv", "HOME", "/", "--setenv", "LANG", "C",
            "--setenv", "LD_PRELOAD", preload,
            "--setenv", "FLASHEMU_FAULT_LOG", std::string(SIM_LOG) + "/flash-faults.log",
            "--setenv", "FLASHTOOLS_LOG", std::string(SIM_LOG) + "/tools.log"});
    if (has_bad_table)
        add(a, {"--setenv", "FLASHEMU_BADBLOCKS", SIM_BADBLOCKS});

    add(a, {"--setenv", "FLASHEMU_EVENT_LOG", std::string(SIM_LOG) + "/flash-events.log"});
    if (!l.ops_file.empty())
        add(a, {"--bind", l.ops_file, std::string(SIM_LOG) + "/flash-ops",
                "--setenv", "FLASHEMU_OPS", std::string(SIM_LOG) + "/flash-ops"});
    if (!l.faketime_lib.empty()) {
        char faketime_value[64];
        snprintf(faketime_value, sizeof faketime_value, "+0 x%g", l.time_scale);
        add(a, {"--setenv", "FAKETIME", faketime_value, "--setenv", "FAKETIME_DONT_FAKE_MONOTONIC", "0"});
    }
    // A sanitized build's options (sandbox_sanitizer.h).
    for (const std::string &kv : sanitizer_environment()) {
        size_t eq = kv.find('=');
        add(a, {"--setenv", kv.substr(0, eq), kv.substr(eq + 1)});
    }
    for (const std::string &kv : l.env) {
        size_t eq = kv.find('=');
        add(a, {"--setenv", kv.substr(0, eq), kv.substr(eq + 1)});
    }
    a.push_back("--");
    a.insert(a.end(), l.command.begin(), l.command.end());
    return a;
}
