// A new router's state directory, and loading a package into its package partition.
#include "routersim.h"

#include "up_fd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint64_t KIB = 1024;
constexpr uint64_t MIB = 1024 * 1024;
// The upgrade keeps its resume state in the block at 66 MiB of the package partition.
constexpr uint64_t STATE_BLOCK_OFFSET = 0x4200000;

std::string flash_path(const std::string &state, int n)
{
    return state + "/flash/mtd" + std::to_string(n) + ".img";
}

// Erased NAND reads as 0xFF everywhere, so the image is written out in full.
int write_erased_image(const std::string &path, uint64_t size)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok())
        return -1;
    std::vector<uint8_t> ff(MIB, 0xFF);
    for (uint64_t done = 0; done < size;) {
        size_t n = (size_t)(size - done < ff.size() ? size - done : ff.size());
        if (write_full(fd.get(), ff.data(), n) != (ssize_t)n)
            return -1;
        done += n;
    }
    return 0;
}

struct seed_file {
    const char *path;
    const char *text;
};

// What a router in service holds in its second file system: an older
// version of every component, a configuration, web pages, display resources.
const seed_file SECOND_FS_SEED[] = {
    {"version/version_info.txt",
     "bootloader=boot_nontrust.bin-1.0.0\n"
     "kernel=zImage-1.0.0\n"
     "rootfs=rootfs.jffs2-1.0.0\n"
     "config=default_nv-1.0.0\n"
     "modem=dfi_version-1.0.0\n"},
    {"nv/nv_store.cfg",
     "web_language_select=en\n"
     "wifi_ssid=Router-5G2C\n"
     "wifi_channel=6\n"
     "lan_ipaddr=192.168.0.1\n"
     "admin_user=admin\n"},
    {"webpage/index.html", "<html><head><title>Router</title></head><body>v1.0.0</body></html>\n"},
    {"webpage/login.html", "<html><body><form action=\"/cgi-bin/login\">v1.0.0</form></body></html>\n"},
    {"lcdui/logo.txt", "old display logo v1.0.0\n"},
    {"lcdui/strings_en.txt", "UPGRADING=Upgrading\nDONE=Done\n"},
    {"log/logfile.txt", ""},
};

bool dir_is_empty_or_missing(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return errno == ENOENT;
    bool empty = true;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(d);
    return empty;
}

}  // namespace

void sim_default_sizes(sim_init_options *opt)
{
    static const uint64_t sizes[SIM_MTD_COUNT] = {512 * KIB, 128 * KIB, 3 * MIB, 32 * MIB,
                                                  16 * MIB, 16 * MIB, 128 * MIB};
    memset(opt->mtd_size, 0, sizeof opt->mtd_size);
    for (int i = 0; i < SIM_MTD_COUNT; ++i)
        opt->mtd_size[i] = sizes[i];
}

// "N=SIZE" with SIZE in bytes or with a K or M suffix; whole erase blocks only.
bool parse_mtd_override(const char *text, sim_init_options *opt)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '=' || n < 0 || n >= SIM_MTD_MAX)
        return false;
    const char *num = end + 1;
    if (*num < '0' || *num > '9')
        return false;
    unsigned long long v = strtoull(num, &end, 10);
    uint64_t mult = 1;
    if (*end == 'K' || *end == 'k')
        mult = KIB, ++end;
    else if (*end == 'M' || *end == 'm')
        mult = MIB, ++end;
    if (errno != 0 || *end != '\0' || v == 0 || v > (1ull << 32) / mult)
        return false;
    uint64_t size = (uint64_t)v * mult;
    if (size % SIM_ERASE_SIZE != 0)
        return false;
    opt->mtd_size[n] = size;
    return true;
}

int sim_init_state(const std::string &state, const sim_init_options &opt)
{
    if (!dir_is_empty_or_missing(state)) {
        fprintf(stderr, "routersim: %s exists and is not empty\n", state.c_str());
        return -1;
    }
    for (const char *sub : {"/flash", "/2ndfile", "/out"}) {
        if (make_dirs(state + sub) != 0) {
            fprintf(stderr, "routersim: cannot create %s%s: %s\n", state.c_str(), sub, strerror(errno));
            return -1;
        }
    }
    for (int i = 0; i < SIM_MTD_MAX; ++i) {
        if (opt.mtd_size[i] == 0)
            continue;
        if (write_erased_image(flash_path(state, i), opt.mtd_size[i]) != 0) {
            fprintf(stderr, "routersim: cannot write %s: %s\n", flash_path(state, i).c_str(), strerror(errno));
            return -1;
        }
    }
    for (const char *sub : {"version", "nv", "webpage", "lcdui", "log"}) {
        if (make_dirs(state + "/2ndfile/" + sub) != 0)
            return -1;
    }
    for (const seed_file &f : SECOND_FS_SEED) {
        if (write_text(state + "/2ndfile/" + f.path, f.text) != 0) {
            fprintf(stderr, "routersim: cannot write %s\n", f.path);
            return -1;
        }
    }
    return 0;
}

int sim_load_package(const std::string &state, const std::string &package)
{
    std::string dev = flash_path(state, 6);
    struct stat pst;
    struct stat dst;
    if (stat(package.c_str(), &pst) != 0 || !S_ISREG(pst.st_mode)) {
        fprintf(stderr, "routersim: %s: not a readable file\n", package.c_str());
        return -1;
    }
    if (stat(dev.c_str(), &dst) != 0) {
        fprintf(stderr, "routersim: %s: no package partition\n", dev.c_str());
        return -1;
    }
    uint64_t len = (uint64_t)pst.st_size;
    if (len > (uint64_t)dst.st_size) {
        fprintf(stderr, "routersim: package of %llu bytes does not fit the package partition\n",
                (unsigned long long)len);
        return -1;
    }
    if (len > STATE_BLOCK_OFFSET && (uint64_t)dst.st_size > STATE_BLOCK_OFFSET)
        fprintf(stderr, "routersim: warning: the package reaches into the upgrade state block at 0x%llx\n",
                (unsigned long long)STATE_BLOCK_OFFSET);
    unique_fd in(open(package.c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd out(open(dev.c_str(), O_WRONLY | O_CLOEXEC));
    if (!in.ok() || !out.ok()) {
        fprintf(stderr, "routersim: cannot open package or partition: %s\n", strerror(errno));
        return -1;
    }
    // Like a download into the partition: the blocks it covers are erased
    // first, the rest of the partition keeps what it held.
    uint64_t covered = (len + SIM_ERASE_SIZE - 1) / SIM_ERASE_SIZE * SIM_ERASE_SIZE;
    std::vector<uint8_t> block(SIM_ERASE_SIZE);
    for (uint64_t at = 0; at < covered; at += SIM_ERASE_SIZE) {
        memset(block.data(), 0xFF, block.size());
        uint64_t want = len - at < SIM_ERASE_SIZE ? len - at : SIM_ERASE_SIZE;
        if (read_full(in.get(), block.data(), (size_t)want) != (ssize_t)want ||
            write_full(out.get(), block.data(), block.size()) != (ssize_t)block.size()) {
            fprintf(stderr, "routersim: copying the package failed\n");
            return -1;
        }
    }
    return fsync(out.get()) == 0 ? 0 : -1;
}
