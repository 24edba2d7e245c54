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

// "N:BLOCK": erase block BLOCK (decimal or 0x hex) of mtdN is a factory bad block.
bool parse_bad_block(const char *text, sim_init_options *opt)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != ':' || n < 0 || n >= SIM_MTD_MAX)
        return false;
    const char *num = end + 1;
    if (*num < '0' || *num > '9')
        return false;
    unsigned long long b = strtoull(num, &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    opt->bad_blocks.push_back({(int)n, (uint64_t)b});
    return true;
}

std::vector<uint64_t> sim_bad_blocks(const std::string &state, int mtd)
{
    std::vector<uint64_t> blocks;
    FILE *f = fopen((state + "/flash/badblocks").c_str(), "re");
    if (f == nullptr)
        return blocks;
    std::string want = "mtd" + std::to_string(mtd);
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        char name[64];
        unsigned long long b = 0;
        if (line[0] == '#' || sscanf(line, "%63s %lli", name, (long long *)&b) != 2)
            continue;
        if (want == name)
            blocks.push_back((uint64_t)b);
    }
    fclose(f);
    return blocks;
}

namespace {

// A factory bad block reads as whatever the chip holds; zeros make a reader
// that does not step over it see data that is plainly not the package.
int mark_bad_blocks(const std::string &state, const sim_init_options &opt)
{
    if (opt.bad_blocks.empty())
        return 0;
    std::string table = "# factory bad blocks: mtdN erase-block-number\n";
    std::vector<uint8_t> zeros(SIM_ERASE_SIZE, 0x00);
    for (const sim_bad_block &b : opt.bad_blocks) {
        if (opt.mtd_size[b.mtd] == 0 || b.block >= opt.mtd_size[b.mtd] / SIM_ERASE_SIZE) {
            fprintf(stderr, "routersim: bad block %llu is not inside mtd%d\n", (unsigned long long)b.block, b.mtd);
            return -1;
        }
        unique_fd fd(open(flash_path(state, b.mtd).c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd.ok() || pwrite(fd.get(), zeros.data(), zeros.size(), (off_t)(b.block * SIM_ERASE_SIZE)) !=
                            (ssize_t)zeros.size())
            return -1;
        table += "mtd" + std::to_string(b.mtd) + " " + std::to_string(b.block) + "\n";
    }
    return write_text(state + "/flash/badblocks", table);
}

// Copies each public-key file into STATE/keys under its own name. A file
// that does not look like a minisign public key is refused here rather than
// found out by the upgrade.
int copy_keys(const std::string &state, const sim_init_options &opt)
{
    if (opt.keys.empty())
        return 0;
    if (make_dirs(state + "/keys") != 0)
        return -1;
    for (const std::string &key : opt.keys) {
        std::string text;
        FILE *f = fopen(key.c_str(), "re");
        char buf[4097];
        size_t n = f != nullptr ? fread(buf, 1, sizeof buf, f) : 0;
        if (f != nullptr)
            fclose(f);
        text.assign(buf, n);
        if (n == 0 || n == sizeof buf || text.compare(0, 19, "untrusted comment: ") != 0) {
            fprintf(stderr, "routersim: %s: not a minisign public key file\n", key.c_str());
            return -1;
        }
        size_t slash = key.rfind('/');
        std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
        std::string dst = state + "/keys/" + name;
        if (access(dst.c_str(), F_OK) == 0) {
            fprintf(stderr, "routersim: two keys named %s\n", name.c_str());
            return -1;
        }
        if (write_text(dst, text) != 0)
            return -1;
    }
    return 0;
}

// Copies the policy file into STATE/policy as it is: imgrenew judges its
// content (a malformed one is a case worth running).
int copy_policy(const std::string &state, const sim_init_options &opt)
{
    if (opt.policy.empty())
        return 0;
    FILE *f = fopen(opt.policy.c_str(), "re");
    char buf[65537];
    size_t n = f != nullptr ? fread(buf, 1, sizeof buf, f) : 0;
    bool ok = f != nullptr && ferror(f) == 0 && n < sizeof buf;
    if (f != nullptr)
        fclose(f);
    if (!ok) {
        fprintf(stderr, "routersim: %s: not a readable file of at most 64 KiB\n", opt.policy.c_str());
        return -1;
    }
    return write_text(state + "/policy", std::string(buf, n));
}

constexpr size_t PACKAGE_HEAD_BYTES = 28;
constexpr size_t PACKAGE_RECORD_BYTES = 84;
constexpr uint32_t MODEM_RECORD_ID = 7;
// More records than this is no package imgrenew would walk.
constexpr uint32_t MAX_TABLE_RECORDS = 4096;

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// Whether the package's record table (after its 28-byte header: the record
// count at byte 12, then 84-byte descriptors with the id at byte 12) holds a
// modem record, as imgrenew asks when it finds the state word erased.
bool package_has_modem_record(int fd)
{
    uint8_t head[PACKAGE_HEAD_BYTES];
    if (pread(fd, head, sizeof head, 0) != (ssize_t)sizeof head)
        return false;
    uint32_t n = le32(head + 12);
    if (n > MAX_TABLE_RECORDS)
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t rec[PACKAGE_RECORD_BYTES];
        if (pread(fd, rec, sizeof rec, (off_t)(PACKAGE_HEAD_BYTES + (size_t)i * PACKAGE_RECORD_BYTES)) !=
            (ssize_t)sizeof rec)
            return false;
        if (le32(rec + 12) == MODEM_RECORD_ID)
            return true;
    }
    return false;
}

// The upgrade state word of the package partition image: 0 when read, -1
// when the partition has no state block.
int read_state_word(int dev, uint64_t size, uint32_t *word)
{
    uint8_t raw[4];
    if (size < STATE_BLOCK_OFFSET + SIM_ERASE_SIZE || pread(dev, raw, sizeof raw, (off_t)STATE_BLOCK_OFFSET) != 4)
        return -1;
    *word = le32(raw);
    return 0;
}

// Stores state 0 the way `imgrenew set 0` does: the block is read, its first
// word set, the block erased and written back whole.
int write_state_zero(int dev)
{
    std::vector<uint8_t> block(SIM_ERASE_SIZE);
    if (pread(dev, block.data(), block.size(), (off_t)STATE_BLOCK_OFFSET) != (ssize_t)block.size())
        return -1;
    memset(block.data(), 0, 4);
    return pwrite(dev, block.data(), block.size(), (off_t)STATE_BLOCK_OFFSET) == (ssize_t)block.size() ? 0 : -1;
}

}  // namespace

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
    if (mark_bad_blocks(state, opt) != 0) {
        fprintf(stderr, "routersim: cannot record the bad blocks\n");
        return -1;
    }
    if (copy_keys(state, opt) != 0 || copy_policy(state, opt) != 0)
        return -1;
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

int sim_load_package(const std::string &state, const std::string &package, bool full_install)
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
    // Written the way a boot loader or nandwrite puts it there: bad blocks
    // are stepped over, so the package is contiguous only in good blocks.
    std::vector<uint64_t> bad = sim_bad_blocks(state, 6);
    auto is_bad = [&bad](uint64_t at) {
        for (uint64_t b : bad)
            if (b == at / SIM_ERASE_SIZE)
                return true;
        return false;
    };
    uint64_t len = (uint64_t)pst.st_size;
    uint64_t size = (uint64_t)dst.st_size;
    uint64_t end = 0;      // physical end of the package
    for (uint64_t left = len; left > 0; end += SIM_ERASE_SIZE) {
        if (end >= size) {
            fprintf(stderr, "routersim: package of %llu bytes does not fit the package partition\n",
                    (unsigned long long)len);
            return -1;
        }
        if (!is_bad(end))
            left -= left < SIM_ERASE_SIZE ? left : SIM_ERASE_SIZE;
    }
    if (end > STATE_BLOCK_OFFSET && size > STATE_BLOCK_OFFSET)
        fprintf(stderr, "routersim: warning: the package reaches into the upgrade state block at 0x%llx\n",
                (unsigned long long)STATE_BLOCK_OFFSET);
    for (uint64_t b : bad) {
        if (full_install && b == STATE_BLOCK_OFFSET / SIM_ERASE_SIZE) {
            fprintf(stderr, "routersim: --full-install: the state block at 0x%llx is a bad block, no state "
                            "can be stored there (imgrenew then installs every record anyway)\n",
                    (unsigned long long)STATE_BLOCK_OFFSET);
            return -1;
        }
    }
    if (full_install && size < STATE_BLOCK_OFFSET + SIM_ERASE_SIZE) {
        fprintf(stderr, "routersim: --full-install: the package partition (%llu bytes) has no state block at 0x%llx\n",
                (unsigned long long)size, (unsigned long long)STATE_BLOCK_OFFSET);
        return -1;
    }
    unique_fd in(open(package.c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd out(open(dev.c_str(), O_RDWR | O_CLOEXEC));
    if (!in.ok() || !out.ok()) {
        fprintf(stderr, "routersim: cannot open package or partition: %s\n", strerror(errno));
        return -1;
    }
    // Like a download into the partition: the blocks it covers are erased
    // first, the rest of the partition keeps what it held.
    std::vector<uint8_t> block(SIM_ERASE_SIZE);
    uint64_t done = 0;
    for (uint64_t at = 0; at < end; at += SIM_ERASE_SIZE) {
        if (is_bad(at))
            continue;
        memset(block.data(), 0xFF, block.size());
        uint64_t want = len - done < SIM_ERASE_SIZE ? len - done : SIM_ERASE_SIZE;
        if (read_full(in.get(), block.data(), (size_t)want) != (ssize_t)want ||
            pwrite(out.get(), block.data(), block.size(), (off_t)at) != (ssize_t)block.size()) {
            fprintf(stderr, "routersim: copying the package failed\n");
            return -1;
        }
        done += want;
    }
    uint32_t word = 0;
    if (full_install) {
        if (write_state_zero(out.get()) != 0) {
            fprintf(stderr, "routersim: cannot write the upgrade state word: %s\n", strerror(errno));
            return -1;
        }
    } else if (read_state_word(out.get(), size, &word) == 0 && word == 0xFFFFFFFFu &&
               !is_bad(STATE_BLOCK_OFFSET) && package_has_modem_record(in.get())) {
        // imgrenew reads an erased word beside a modem record as "router
        // steps done" (a cut during the modem step) and installs the modem only.
        fprintf(stderr,
                "routersim: warning: the package has a modem record and the upgrade state word is erased: "
                "imgrenew up will skip every router record and install only the modem\n"
                "routersim: for a full install load it with: routersim load-package --full-install %s %s\n",
                state.c_str(), package.c_str());
    }
    return fsync(out.get()) == 0 ? 0 : -1;
}
