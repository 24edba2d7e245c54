// The inputs of a sequence campaign, made once per campaign: the packages a
// sequence draws from (building modem containers is the costly part), the
// campaign's modem and another modem, and a small router.
#include "campaign_seq.h"

#include "nv_tables.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace {

struct image_spec {
    const char *type;
    size_t size;
};
// The container's entries in table order; fsbl goes to /2ndfile, hex and
// partition are sent in every attempt and not stored as images.
constexpr image_spec IMAGES[] = {{"hex", 5000},  {"partition", 300}, {"dbl", 3000},  {"fsbl", 2000}, {"osbl", 3000},
                                 {"amss", 9000}, {"dsp1", 3000},     {"dsp2", 20000}, {"efs", 4000}};
// What a run reported installed must leave in MODEMSTATE/flash.
constexpr const char *STORED[] = {"dbl", "osbl", "amss", "dsp1", "dsp2", "efs"};

// Bytes that differ at every offset and from one image set to another.
std::string pattern(uint64_t base, size_t n)
{
    std::string s(n, '\0');
    uint64_t x = base * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = (char)(x & 0xFF);
    }
    return s;
}

int spawn_wait(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct container_spec {
    seq_package kind;
    const char *version;        // modem_version, also named in the AMSS image
    uint64_t image_base;        // which image bytes
    bool preserve;
    const char *extra;          // more description lines
};
constexpr container_spec CONTAINERS[] = {
    {seq_package::preserve, "ZMR_V200", 1, true, ""},
    {seq_package::no_preserve, "ZMR_V250", 3, false, ""},
    {seq_package::other_version, "ZMR_V300", 2, true, ""},
    {seq_package::refused, "ZMR_V200", 1, true, "magic 0x4D444F4E\n"},
    {seq_package::bad_checksum, "ZMR_V200", 1, true, "flip_checksum_byte 0\n"},
    {seq_package::no_identity_keys, "ZMR_V200", 1, true, "omit IMEI\n"},
};

const char VERSION_FILE[] = "boot_nontrust.bin-2.0\nzImage-2.0\nrootfs.jffs2-2.0\ndefault_nv-2.0\ndfi_version-2.0\n";

int build_container_package(const sim_paths &paths, const std::string &dir, const container_spec &c,
                            seq_inputs *in)
{
    std::string name = seq_package_name(c.kind);
    std::string d = dir + "/" + name;
    if (make_dirs(d) != 0 || write_text(d + "/version_info.txt", VERSION_FILE) != 0)
        return -1;
    std::string desc = "modem_version " + std::string(c.version) + "\n";
    desc += c.preserve ? "efs_include 1\nefs_restore 1\nversion_check 1\nSN 1\nTESTINF 1\nSIMLOCK 1,46000\n"
                       : "efs_include 0\nefs_restore 0\nversion_check 1\n";
    if (c.preserve && c.kind != seq_package::no_identity_keys)
        desc += "IMEI 1\n";
    desc += c.extra;
    for (const image_spec &img : IMAGES) {
        // The fail-safe boot loader is the same in every package, so that
        // /2ndfile/fsbl.mbn ends the same whichever package came last.
        std::string bytes = pattern(strcmp(img.type, "fsbl") == 0 ? 99 : c.image_base * 16 + (&img - IMAGES),
                                    img.size);
        if (strcmp(img.type, "amss") == 0) {
            std::string mark = std::string("InnerVersion:") + c.version;
            bytes.replace(1000, mark.size() + 1, mark + '\0');
        }
        if (write_text(d + "/m_" + img.type, bytes) != 0)
            return -1;
        desc += std::string("image ") + img.type + " m_" + img.type + "\n";
    }
    if (write_text(d + "/modem.desc", desc) != 0 ||
        write_text(d + "/desc", "record version version_info.txt 0 version_info.txt\nmodem qd4700_modem.bin modem.desc\n") != 0)
        return -1;
    std::string out = dir + "/" + name + ".bin";
    if (spawn_wait({paths.bin_dir + "/imgpack", "build", out, d + "/desc"}) != 0)
        return -1;
    in->package_file[(int)c.kind] = out;
    if (c.kind == seq_package::refused || c.kind == seq_package::bad_checksum)
        return 0;
    campaign_expect e;
    if (!campaign_modem_images(out, &e).empty())
        return -1;
    for (const char *stored : STORED) {
        auto it = e.modem_images.find(stored);
        if (it == e.modem_images.end())
            return -1;
        // EFS left alone (efs_include 0) is read and discarded, not stored.
        if (strcmp(stored, "efs") != 0 || c.preserve)
            in->images[(int)c.kind][stored] = it->second;
    }
    return 0;
}

int build_router_only(const sim_paths &paths, const std::string &dir, seq_inputs *in)
{
    std::string d = dir + "/router-only";
    if (make_dirs(d) != 0 || write_text(d + "/version_info.txt", VERSION_FILE) != 0 ||
        write_text(d + "/zImage", pattern(7, 65536)) != 0 ||
        write_text(d + "/desc", "record version version_info.txt 0 version_info.txt\n"
                                "record kernel \"zImage 2.0\" 0 zImage\n") != 0)
        return -1;
    std::string out = dir + "/router-only.bin";
    in->package_file[(int)seq_package::router_only] = out;
    return spawn_wait({paths.bin_dir + "/imgpack", "build", out, d + "/desc"});
}

// A modem before the upgrade: NV items (every `step`th item the upgrade
// preserves), the high-priority RF NV items, an identity, and a flash that
// wipes all of it when the EFS image is stored.
int build_modem(const std::string &dir, uint64_t base, int step, size_t long_rf, const char *identity,
                std::vector<uint64_t> *nv, std::vector<uint64_t> *rf)
{
    if (make_dirs(dir + "/nv") != 0 || make_dirs(dir + "/rfnv") != 0)
        return -1;
    int row = 0;
    for (int i = 0; qd4700_modem_nv[i].nID != NV_ITEM_END && i < 331; ++i) {
        if (i % step != 0)
            continue;
        std::string item = std::to_string(qd4700_modem_nv[i].nID);
        if (write_text(dir + "/nv/" + item, pattern(base * 100000 + (uint64_t)i, 128)) != 0)
            return -1;
        nv->push_back((uint64_t)qd4700_modem_nv[i].nID);
        ++row;
    }
    size_t len = 7;
    for (int i = 0; i < 7 && qd4700_modem_high_nv[i].nID != NV_ITEM_END; ++i) {
        size_t n = i == 0 && long_rf > 0 ? long_rf : len;
        std::string item = std::to_string(qd4700_modem_high_nv[i].nID);
        if (write_text(dir + "/rfnv/" + item, pattern(base * 1000 + (uint64_t)i, n)) != 0)
            return -1;
        rf->push_back((uint64_t)qd4700_modem_high_nv[i].nID);
        len = len * 3 % 500 + 1;
    }
    return row > 0 && write_text(dir + "/identity", identity) == 0 && write_text(dir + "/flash_wipe", "all@efs\n") == 0 &&
                   write_text(dir + "/version", "ZMR_V100\n") == 0
               ? 0
               : -1;
}

}  // namespace

int seq_build_inputs(const sim_paths &paths, const std::string &dir, seq_inputs *in)
{
    std::string pk = dir + "/packages";
    if (make_dirs(pk) != 0)
        return -1;
    for (const container_spec &c : CONTAINERS)
        if (build_container_package(paths, pk, c, in) != 0) {
            fprintf(stderr, "routersim campaign: cannot build the %s package with %s/imgpack\n",
                    seq_package_name(c.kind), paths.bin_dir.c_str());
            return -1;
        }
    if (build_router_only(paths, pk, in) != 0) {
        fprintf(stderr, "routersim campaign: cannot build the router-only package\n");
        return -1;
    }
    in->modem_a = dir + "/modem-a";
    in->modem_b = dir + "/modem-b";
    std::vector<uint64_t> nv_b, rf_b;
    if (build_modem(in->modem_a, 1, 4, 0, "sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS1\nsimlock=1,46000\ninds=\n",
                    &in->nv_items, &in->rfnv_items) != 0 ||
        build_modem(in->modem_b, 2, 5, 600, "sn=SNB20001\nimei=861234567890999\ntestinf=RF:PASSB\nsimlock=1,46000\ninds=\n",
                    &nv_b, &rf_b) != 0) {
        fprintf(stderr, "routersim campaign: cannot make the modems in %s\n", dir.c_str());
        return -1;
    }
    // A small router: only the package partition keeps its size (the
    // upgrade state word lives at 66 MiB of it).
    in->router = dir + "/router";
    sim_init_options o;
    sim_default_sizes(&o);
    o.mtd_size[3] = 1024 * 1024;
    o.mtd_size[4] = 1024 * 1024;
    o.mtd_size[5] = 1024 * 1024;
    o.mtd_size[6] = 67 * 1024 * 1024;
    return sim_init_state(in->router, o);
}

const std::map<std::string, std::vector<uint8_t>> *seq_images_of(const seq_inputs &in, seq_package p)
{
    auto it = in.images.find((int)p);
    return it == in.images.end() ? nullptr : &it->second;
}
