// What a user needs after a power cut and a rerun of the upgrade: every
// partition holds its record, the second file system and its version file are
// those of an upgrade that was never cut, the package is gone, and the router
// was asked to reboot.
#include "campaign.h"

#include "up_fd.h"
#include "up_package.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int PACKAGE_MTD = 6;
constexpr uint64_t STATE_WORD_OFFSET = 0x4200000;

// Where the installers put each raw record (the boot stream tool writes the
// bootloader at offset 0 of mtd0 in the simulated router).
int record_partition(const package_record_t &rec)
{
    switch (rec.record_id) {
    case PACKAGE_BOOTLOADER:
        return 0;
    case PACKAGE_KERNEL:
        return 2;
    case PACKAGE_ROOTFS:
        return 3;
    case PACKAGE_2NDFS:
        return rec.compressed == 0 ? 4 : -1;
    default:
        return -1;
    }
}

std::string mtd_image(const std::string &state, int mtd)
{
    return state + "/flash/mtd" + std::to_string(mtd) + ".img";
}

// The partition as its readers see it: the good blocks one after another.
bool read_good_blocks(const std::string &state, int mtd, uint64_t len, std::vector<uint8_t> *out)
{
    std::vector<uint64_t> bad = sim_bad_blocks(state, mtd);
    unique_fd fd(open(mtd_image(state, mtd).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return false;
    out->clear();
    std::vector<uint8_t> block(SIM_ERASE_SIZE);
    for (uint64_t b = 0; out->size() < len; ++b) {
        bool is_bad = false;
        for (uint64_t x : bad)
            is_bad = is_bad || x == b;
        if (is_bad)
            continue;
        if (pread(fd.get(), block.data(), block.size(), (off_t)(b * SIM_ERASE_SIZE)) != (ssize_t)block.size())
            return false;
        out->insert(out->end(), block.begin(), block.end());
    }
    out->resize(len);
    return true;
}

std::string hex32(uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

bool check_partitions(const std::string &state, const campaign_expect &e, std::string *detail)
{
    for (const auto &p : e.partitions) {
        const std::vector<uint8_t> &want = p.second;
        uint64_t end = (want.size() + SIM_ERASE_SIZE - 1) / SIM_ERASE_SIZE * SIM_ERASE_SIZE;
        std::vector<uint8_t> have;
        if (!read_good_blocks(state, p.first, end, &have)) {
            *detail = "mtd" + std::to_string(p.first) + " cannot be read";
            return false;
        }
        for (uint64_t i = 0; i < end; ++i) {
            uint8_t w = i < want.size() ? want[i] : 0xFF;
            if (have[i] != w) {
                *detail = "mtd" + std::to_string(p.first) + " differs from its record at " + hex32(i);
                return false;
            }
        }
    }
    return true;
}

bool check_package_erased(const std::string &state, std::string *detail)
{
    unique_fd fd(open(mtd_image(state, PACKAGE_MTD).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) {
        *detail = "mtd6 cannot be read";
        return false;
    }
    std::vector<uint8_t> buf(SIM_ERASE_SIZE);
    uint64_t first_dirty = UINT64_MAX;
    bool state_dirty = false;
    for (uint64_t at = 0;; at += buf.size()) {
        ssize_t n = pread(fd.get(), buf.data(), buf.size(), (off_t)at);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[(size_t)i] != 0xFF) {
                if (first_dirty == UINT64_MAX)
                    first_dirty = at + (uint64_t)i;
                if (at == STATE_WORD_OFFSET && i < 4)
                    state_dirty = true;
            }
        }
    }
    if (state_dirty) {
        *detail = "the state word is not erased";
        return false;
    }
    if (first_dirty != UINT64_MAX) {
        *detail = "mtd6 is not erased at " + hex32(first_dirty);
        return false;
    }
    return true;
}

// The last bus message is the reboot request: module 0, id 0x10000004, SYS_REBOOT.
bool check_reboot(const std::string &state, std::string *detail)
{
    std::string bus = campaign_read(state + "/out/bus.jsonl");
    while (!bus.empty() && bus.back() == '\n')
        bus.pop_back();
    std::string last = bus.substr(bus.rfind('\n') == std::string::npos ? 0 : bus.rfind('\n') + 1);
    bus_record rec;
    if (bus_record_from_json(last, &rec) && rec.reboot_request)
        return true;
    *detail = last.empty() ? "no bus message" : "the last bus message is " + last.substr(0, 120);
    return false;
}

bool check_second_fs(const std::string &state, const campaign_expect &e, std::string *check, std::string *detail)
{
    std::map<std::string, std::string> have = campaign_second_fs(state);
    const char *version = "version/version_info.txt";
    auto want_v = e.second_fs.find(version);
    auto have_v = have.find(version);
    std::string wv = want_v == e.second_fs.end() ? "(none)" : want_v->second;
    std::string hv = have_v == have.end() ? "(none)" : have_v->second;
    if (wv != hv) {
        *check = "version";
        *detail = "version file is \"" + hv.substr(0, 200) + "\", not \"" + wv.substr(0, 200) + "\"";
        return false;
    }
    *check = "second-fs";
    for (const auto &w : e.second_fs) {
        auto h = have.find(w.first);
        if (h == have.end()) {
            *detail = "/2ndfile/" + w.first + " is missing";
            return false;
        }
        if (h->second != w.second) {
            *detail = "/2ndfile/" + w.first + " differs from the uncut upgrade's";
            return false;
        }
    }
    for (const auto &h : have) {
        if (e.second_fs.count(h.first) == 0) {
            *detail = "/2ndfile/" + h.first + " is left over";
            return false;
        }
    }
    return true;
}

void walk_tree(const std::string &root, const std::string &rel, std::map<std::string, std::string> *out)
{
    DIR *d = opendir((root + "/" + rel).c_str());
    if (d == nullptr)
        return;
    std::vector<std::string> names;
    while (dirent *ent = readdir(d))
        if (strcmp(ent->d_name, ".") != 0 && strcmp(ent->d_name, "..") != 0)
            names.push_back(ent->d_name);
    closedir(d);
    for (const std::string &n : names) {
        std::string r = rel.empty() ? n : rel + "/" + n;
        std::string full = root + "/" + r;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            (*out)[r + "/"] = "";
            walk_tree(root, r, out);
        } else if (S_ISLNK(st.st_mode)) {
            char target[512];
            ssize_t len = readlink(full.c_str(), target, sizeof target - 1);
            (*out)[r] = "-> " + std::string(target, len > 0 ? (size_t)len : 0);
        } else {
            (*out)[r] = campaign_read(full);
        }
    }
}

}  // namespace

std::string campaign_read(const std::string &path)
{
    std::string s;
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return s;
    char buf[65536];
    for (;;) {
        ssize_t n = read_full(fd.get(), buf, sizeof buf);
        if (n <= 0)
            break;
        s.append(buf, (size_t)n);
    }
    return s;
}

std::vector<std::string> campaign_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    return lines;
}

std::string campaign_open_package(const std::string &path, campaign_package *p)
{
    p->bytes = campaign_read(path);
    if (p->bytes.size() < PACKAGE_HEAD_SIZE)
        return "the package is shorter than its header";
    const uint8_t *raw = p->raw();
    package_signature_t head{};
    decode_package_head(raw, &head);
    if (head.num_records > 64 || PACKAGE_HEAD_SIZE + (uint64_t)head.num_records * PACKAGE_RECORD_SIZE > p->bytes.size())
        return "the package's record table does not fit in it";
    p->recs.assign(head.num_records, package_record_t{});
    for (uint32_t i = 0; i < head.num_records; ++i)
        decode_package_record(raw + PACKAGE_HEAD_SIZE + i * PACKAGE_RECORD_SIZE, &p->recs[i]);
    return "";
}

std::string campaign_package_partitions(const std::string &package, campaign_expect *e)
{
    campaign_package p;
    std::string why = campaign_open_package(package, &p);
    if (!why.empty())
        return why;
    for (uint32_t i = 0; i < p.recs.size(); ++i) {
        const package_record_t &rec = p.recs[i];
        int mtd = record_partition(rec);
        if (mtd < 0)
            continue;
        if ((uint64_t)rec.record_offset + rec.record_length > p.bytes.size())
            return "record " + std::to_string(i) + " lies past the package's end";
        e->partitions[mtd].assign(p.raw() + rec.record_offset, p.raw() + rec.record_offset + rec.record_length);
    }
    return "";
}

// Every file, folder and link of /2ndfile but the log folder, which a run
// may write at any time, and the file mode's mount point.
std::map<std::string, std::string> campaign_second_fs(const std::string &state)
{
    std::map<std::string, std::string> all;
    walk_tree(state + "/2ndfile", "", &all);
    std::map<std::string, std::string> kept;
    for (auto &f : all)
        if (f.first.compare(0, 4, "log/") != 0 && f.first.compare(0, 10, "image_path") != 0)
            kept.insert(f);
    return kept;
}

std::string campaign_phase(const std::string &cut_op)
{
    char kind[16] = "", device[64] = "";
    unsigned long long offset = 0, length = 0;
    if (sscanf(cut_op.c_str(), "%15s %63s %llx %llx", kind, device, &offset, &length) != 4)
        return "not reached";
    static const char *const names[] = {"bootloader", "factory data", "kernel", "rootfs",
                                        "2nd fs",     "mtd5",         "package"};
    int mtd = -1;
    if (strncmp(device, "/dev/mtd", 8) == 0 && device[8] >= '0' && device[8] <= '9' && device[9] == '\0')
        mtd = device[8] - '0';
    std::string where = mtd >= 0 && mtd <= 6 ? names[mtd] : device;
    if (mtd == PACKAGE_MTD && offset >= STATE_WORD_OFFSET && offset < STATE_WORD_OFFSET + SIM_ERASE_SIZE)
        where = "state word";
    return where + " " + kind;
}

bool campaign_check(const std::string &state, const campaign_expect &e, std::string *check, std::string *detail)
{
    // A run cut short by its time limit says nothing about the flash it left.
    *check = "timeout";
    if (campaign_read(state + "/out/status") == "timeout\n") {
        *detail = "the rerun did not end in time";
        return false;
    }
    *check = "partitions";
    if (!check_partitions(state, e, detail))
        return false;
    // A modem campaign's own checks of the modem and its backup replace the
    // comparison of /2ndfile, which the modem step's files come and go in.
    if (!e.modem && !check_second_fs(state, e, check, detail))
        return false;
    *check = "package-erased";
    if (!check_package_erased(state, detail))
        return false;
    *check = "reboot";
    if (!check_reboot(state, detail))
        return false;
    *check = "flash-faults";
    std::string faults = campaign_read(state + "/out/flash-faults.log");
    if (!faults.empty()) {
        *detail = "the rerun wrote over unerased flash: " + faults.substr(0, faults.find('\n'));
        return false;
    }
    check->clear();
    return true;
}
