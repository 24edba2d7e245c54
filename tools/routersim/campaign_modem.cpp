// The modem side of a campaign: the modem's counted events as cut points,
// what the modem must hold after the rerun (the package's images, the NV,
// RF NV and identity values it held before), and those checks.
#include "campaign.h"

#include "up_package.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <random>
#include <sys/stat.h>

namespace {

// The kinds cut at every event, in the order of the full list; the sampled
// exchanges come after them.
const char *const EVERY_EVENT_KINDS[] = {"image", "reset", "rfnv-write", "nv-write"};
constexpr const char *EXCHANGE = "exchange";

// The modem container of a modem record: a 16-byte header ("MDOM", entry
// count big-endian), a table of 16-byte entries (type word and body size
// big-endian) and the bodies back to back; entry 0 is the configuration.
constexpr uint32_t CONTAINER_MAGIC = 0x4D444F4D;
constexpr size_t CONTAINER_HEAD = 16;
constexpr uint32_t CONTAINER_MAX_ENTRIES = 15;

// A sub-image type word and the file the modem keeps it in (MODEMSTATE/flash).
struct image_file {
    uint32_t type;
    const char *file;
};
constexpr image_file IMAGE_FILES[] = {
    {0x4D484558, "programmer.bin"}, {0x01020304, "partition"}, {0x05060708, "dbl"},  {0x090A0B0C, "fsbl"},
    {0x0D0E0F10, "osbl"},           {0x11121314, "amss"},      {0x15161718, "dsp1"}, {0x191A1B1C, "dsp2"},
    {0x42454653, "efs"},
};

uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

bool is_file(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// "key=value" lines of MODEMSTATE/identity as "identity KEY" -> value.
std::string hex(uint64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%" PRIx64, v);
    return buf;
}

// Where two byte strings first differ, for a failure's detail.
std::string first_difference(const std::string &have, const std::vector<uint8_t> &want)
{
    size_t n = std::min(have.size(), want.size());
    for (size_t i = 0; i < n; ++i)
        if ((uint8_t)have[i] != want[i])
            return "differs at " + hex(i);
    return "is " + std::to_string(have.size()) + " bytes, not " + std::to_string(want.size());
}

// Up to k of 1..count, evenly, the first and the last included.
std::vector<uint64_t> spread(uint64_t count, uint64_t k)
{
    std::vector<uint64_t> v;
    if (count <= k) {
        for (uint64_t i = 1; i <= count; ++i)
            v.push_back(i);
        return v;
    }
    for (uint64_t p = 0; p < k; ++p)
        v.push_back(k == 1 ? 1 : 1 + p * (count - 1) / (k - 1));
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

std::vector<uint64_t> drawn(uint64_t count, uint64_t k, uint64_t seed)
{
    std::vector<uint64_t> pool;
    for (uint64_t i = 1; i <= count; ++i)
        pool.push_back(i);
    std::mt19937_64 gen(seed);
    k = std::min<uint64_t>(k, pool.size());
    for (uint64_t i = 0; i < k; ++i)
        std::swap(pool[i], pool[i + gen() % (pool.size() - i)]);
    pool.resize(k);
    std::sort(pool.begin(), pool.end());
    return pool;
}

}  // namespace

std::vector<std::string> campaign_dir_names(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool campaign_modem_kind(const std::string &kind)
{
    for (const char *k : EVERY_EVENT_KINDS)
        if (kind == k)
            return true;
    return kind == EXCHANGE;
}

std::string campaign_modem_images(const std::string &package, campaign_expect *e)
{
    campaign_package p;
    std::string why = campaign_open_package(package, &p);
    if (!why.empty())
        return why;
    for (const package_record_t &rec : p.recs) {
        if (rec.record_id != PACKAGE_MODEM_IMAGE)
            continue;
        uint64_t end = (uint64_t)rec.record_offset + rec.record_length;
        if (end > p.bytes.size() || rec.record_length < CONTAINER_HEAD)
            return "the modem record lies past the package's end";
        const uint8_t *c = p.raw() + rec.record_offset;
        uint32_t entries = be32(c + 4);
        if (be32(c) != CONTAINER_MAGIC || entries == 0 || entries > CONTAINER_MAX_ENTRIES ||
            CONTAINER_HEAD * (1 + (uint64_t)entries) > rec.record_length)
            return "the modem record is not a modem container";
        uint64_t body = CONTAINER_HEAD * (1 + (uint64_t)entries);
        for (uint32_t n = 0; n < entries; ++n) {
            const uint8_t *entry = c + CONTAINER_HEAD * (1 + n);
            uint32_t type = be32(entry), size = be32(entry + 12);
            if (body + size > rec.record_length)
                return "modem container entry " + std::to_string(n) + " lies past the record's end";
            if (n > 0 && type == 0)
                break;
            for (const image_file &f : IMAGE_FILES)
                if (n > 0 && f.type == type)
                    e->modem_images[f.file].assign(c + body, c + body + size);
            body += size;
        }
        return e->modem_images.empty() ? "the modem container holds no image" : "";
    }
    return "the package has no modem record";
}

std::string campaign_modem_values(const std::string &modem_state, campaign_expect *e)
{
    std::string identity = modem_state + "/identity";
    if (!is_file(identity))
        return "it has no identity file";
    campaign_identity_values(campaign_read(identity), &e->modem_values);
    for (const char *store : {"nv", "rfnv"})
        for (const std::string &item : campaign_dir_names(modem_state + "/" + store))
            e->modem_values[std::string(store) + "/" + item] = campaign_read(modem_state + "/" + store + "/" + item);
    return "";
}

void campaign_identity_values(const std::string &text, std::map<std::string, std::string> *out)
{
    for (const std::string &line : campaign_lines(text)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0)
            (*out)["identity " + line.substr(0, eq)] = line.substr(eq + 1);
    }
}

std::map<std::string, uint64_t> campaign_modem_events(const std::string &modem_state)
{
    std::map<std::string, uint64_t> counts;
    for (const std::string &line : campaign_lines(campaign_read(modem_state + "/out/events"))) {
        char kind[32] = "";
        unsigned long long n = 0;
        if (sscanf(line.c_str(), "%31s %llu", kind, &n) == 2)
            counts[kind] = n;
    }
    return counts;
}

std::vector<campaign_point> campaign_modem_full_list(const campaign_options &o,
                                                     const std::map<std::string, uint64_t> &counts)
{
    std::vector<campaign_point> full;
    auto add = [&](const char *kind, uint64_t n) {
        campaign_point p;
        p.index = full.size();
        p.op = n;
        p.modem_kind = kind;
        full.push_back(p);
    };
    for (const char *kind : EVERY_EVENT_KINDS) {
        auto c = counts.find(kind);
        for (uint64_t n = 1; c != counts.end() && n <= c->second; ++n)
            add(kind, n);
    }
    auto c = counts.find(EXCHANGE);
    uint64_t exchanges = c == counts.end() ? 0 : c->second;
    for (uint64_t n : o.seed_given ? drawn(exchanges, o.modem_exchanges, o.seed) : spread(exchanges, o.modem_exchanges))
        add(EXCHANGE, n);
    return full;
}

std::string campaign_modem_phase(const std::string &kind)
{
    return "modem " + kind;
}

std::vector<std::string> campaign_modem_stored(const std::string &modem_state)
{
    std::vector<std::string> stored;
    for (const std::string &name : campaign_dir_names(modem_state + "/flash"))
        if (is_file(modem_state + "/flash/" + name))
            stored.push_back(name);
    return stored;
}

bool campaign_modem_check(const std::string &state, const std::string &modem_state, const campaign_expect &e,
                          std::string *check, std::string *detail)
{
    *check = "modem-images";
    // Every image an uncut upgrade stores must be there, and every image the
    // modem holds that the package carries must be the package's.
    for (const std::string &name : e.modem_stored)
        if (!is_file(modem_state + "/flash/" + name)) {
            *detail = "the modem holds no " + name + " image";
            return false;
        }
    for (const std::string &name : campaign_modem_stored(modem_state)) {
        auto want = e.modem_images.find(name);
        if (want == e.modem_images.end())
            continue;
        std::string have = campaign_read(modem_state + "/flash/" + name);
        if (have.size() != want->second.size() || memcmp(have.data(), want->second.data(), have.size()) != 0) {
            *detail = "the modem's " + name + " image " + first_difference(have, want->second);
            return false;
        }
    }
    *check = "modem-nv";
    campaign_expect now;
    if (!campaign_modem_values(modem_state, &now).empty()) {
        *detail = "the modem has no identity file";
        return false;
    }
    for (const auto &v : e.modem_values) {
        auto have = now.modem_values.find(v.first);
        if (have == now.modem_values.end()) {
            *detail = v.first + " is missing";
            return false;
        }
        if (have->second != v.second) {
            std::string h = have->second.substr(0, 40), w = v.second.substr(0, 40);
            bool text = v.first.compare(0, 9, "identity ") == 0;
            *detail = text ? v.first + " is \"" + h + "\", not \"" + w + "\""
                           : v.first + " differs from its value before the upgrade";
            return false;
        }
    }
    *check = "nv-backup";
    for (const char *backup : {"modem_nv", "high_nv"}) {
        struct stat st;
        if (lstat((state + "/2ndfile/" + backup).c_str(), &st) == 0) {
            *detail = std::string("/2ndfile/") + backup + " is left";
            return false;
        }
    }
    check->clear();
    return true;
}
