// The checks of a sequence campaign after every run: the modem's values are
// in the modem or in an intact backup, a backup goes only once the modem
// holds them, a run reported installed left a whole modem, and no run went
// on without bound. The backup is read here from its file formats, apart
// from the upgrade's own readers, so that a fault of theirs cannot hide.
#include "campaign_seq.h"

#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// /2ndfile/modem_nv: a 256 KiB block. Head: backup file size and identity
// record size (548 or 0), little-endian. The backup file: a 548-byte header
// and NV records (item, little-endian, and 128 data bytes). The identity
// record follows the backup file. The last 16 bytes may record the high-NV
// file: "HNV1", item count, length, CRC-32.
constexpr size_t BLOCK_SIZE = 262144;
constexpr size_t BLOCK_HEAD = 8;
constexpr size_t IDENTITY_SIZE = 548;
constexpr size_t BACKUP_HEADER = 548;
constexpr size_t NV_RECORD = 130;
constexpr size_t NV_DATA = 128;
constexpr size_t TRAILER = 16;
// Identity texts in the identity record: offset of each 64-byte field (the
// SIM-lock list is 128), saved with their double quotes.
struct identity_field {
    const char *key;
    size_t offset;
    size_t size;
};
constexpr identity_field IDENTITY_FIELDS[] = {
    {"sn", 36, 64}, {"imei", 100, 64}, {"simlock", 164, 64}, {"testinf", 356, 64}};
// high_nv: records of item (2), length (2), data, little-endian.
constexpr size_t RF_HEAD = 4;

uint32_t le32(const std::string &s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8 | (uint32_t)(uint8_t)s[at + 2] << 16 |
           (uint32_t)(uint8_t)s[at + 3] << 24;
}

uint32_t le16(const std::string &s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string unquoted(const std::string &field)
{
    std::string t = field.substr(0, field.find('\0'));
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"')
        t = t.substr(1, t.size() - 2);
    return t;
}

// The high-NV file's records into b; false when it does not parse whole.
bool read_high(const std::string &text, seq_backup *b, uint32_t *count)
{
    size_t at = 0;
    *count = 0;
    while (at < text.size()) {
        if (text.size() - at < RF_HEAD)
            return false;
        uint32_t item = le16(text, at), len = le16(text, at + 2);
        if (text.size() - at - RF_HEAD < len)
            return false;
        b->values["rfnv/" + std::to_string(item)] = text.substr(at + RF_HEAD, len);
        at += RF_HEAD + len;
        ++*count;
    }
    return true;
}

}  // namespace

seq_backup seq_read_backup(const std::string &second_fs)
{
    seq_backup b;
    std::string path = second_fs + "/modem_nv";
    b.block = exists(path);
    if (!b.block)
        return b;
    std::string block = campaign_read(path);
    if (block.size() != BLOCK_SIZE) {
        b.why = "the block is " + std::to_string(block.size()) + " bytes";
        return b;
    }
    bool trailer = block.compare(BLOCK_SIZE - TRAILER, 4, "HNV1") == 0;
    uint32_t nv_size = le32(block, 0), at_size = le32(block, 4);
    size_t room = BLOCK_SIZE - BLOCK_HEAD - (trailer ? TRAILER : 0);
    if ((at_size != 0 && at_size != IDENTITY_SIZE) || nv_size > room || nv_size + at_size > room ||
        nv_size < BACKUP_HEADER || (nv_size - BACKUP_HEADER) % NV_RECORD != 0) {
        b.why = "the block's sizes do not fit (" + std::to_string(nv_size) + ", " + std::to_string(at_size) + ")";
        return b;
    }
    for (size_t at = BLOCK_HEAD + BACKUP_HEADER; at < BLOCK_HEAD + nv_size; at += NV_RECORD)
        b.values["nv/" + std::to_string(le16(block, at))] = block.substr(at + 2, NV_DATA);
    if (at_size == IDENTITY_SIZE) {
        size_t id = BLOCK_HEAD + nv_size;
        for (const identity_field &f : IDENTITY_FIELDS)
            b.values[std::string("identity ") + f.key] = unquoted(block.substr(id + f.offset, f.size));
    }
    // The RF NV items count only when the high-NV file is the one the block
    // recorded (an older block without the record takes any whole file).
    std::string high_path = second_fs + "/high_nv";
    uint32_t count = 0;
    std::string high = campaign_read(high_path);
    seq_backup rf;
    if (!exists(high_path)) {
        b.why = "no high_nv beside the block";
    } else if (!read_high(high, &rf, &count)) {
        b.why = "high_nv does not parse";
    } else if (trailer && (le32(block, BLOCK_SIZE - 12) != count || le32(block, BLOCK_SIZE - 8) != high.size())) {
        b.why = "high_nv is not the one the block recorded";
    } else {
        b.values.insert(rf.values.begin(), rf.values.end());
        b.intact = true;
        return b;
    }
    // What the block itself holds is still intact; the RF items are not.
    b.intact = true;
    return b;
}

seq_modem_values seq_modem_now(const std::string &modem_state)
{
    seq_modem_values v;
    // The indicators are the modem's running state, not a value it keeps.
    campaign_identity_values(campaign_read(modem_state + "/identity"), &v.values);
    v.values.erase("identity inds");
    for (const char *store : {"nv", "rfnv"})
        for (const std::string &item : campaign_dir_names(modem_state + "/" + store))
            if (item.find('.') == std::string::npos)
                v.values[std::string(store) + "/" + item] = campaign_read(modem_state + "/" + store + "/" + item);
    return v;
}

std::string seq_value_missing(const seq_modem_values &start, const seq_modem_values &now, const seq_backup &b)
{
    for (const auto &v : start.values) {
        auto in_modem = now.values.find(v.first);
        if (in_modem != now.values.end() && in_modem->second == v.second)
            continue;
        auto in_backup = b.values.find(v.first);
        if (b.intact && in_backup != b.values.end() && in_backup->second == v.second)
            continue;
        std::string where = !b.block ? "and no backup is on /2ndfile"
                            : !b.intact ? "and the backup is not intact: " + b.why
                            : in_backup == b.values.end() ? "nor in the backup" + (b.why.empty() ? "" : " (" + b.why + ")")
                                                          : "and the backup holds another value";
        return v.first + " is not in the modem " + where;
    }
    return "";
}

std::string seq_value_not_back(const seq_modem_values &start, const seq_modem_values &now)
{
    for (const auto &v : start.values) {
        auto have = now.values.find(v.first);
        if (have == now.values.end())
            return v.first + " is missing";
        if (have->second != v.second)
            return v.first + " differs from its value at the start";
    }
    return "";
}

std::string seq_image_missing(const std::string &modem_state, const std::map<std::string, std::vector<uint8_t>> &images)
{
    for (const auto &img : images) {
        std::string path = modem_state + "/flash/" + img.first;
        if (!exists(path))
            return "the modem holds no " + img.first + " image";
        std::string have = campaign_read(path);
        if (have.size() != img.second.size() || memcmp(have.data(), img.second.data(), have.size()) != 0)
            return "the modem's " + img.first + " image is not the package's";
    }
    return "";
}

bool seq_check_run(const seq_check_input &in, const seq_run_outcome &o, std::string *check, std::string *detail)
{
    char buf[160];
    if (o.timed_out || o.simulated_s > in.limit_s) {
        *check = "time";
        snprintf(buf, sizeof buf, "the run %s after %.0f simulated seconds (the bound is %.0f)",
                 o.timed_out ? "was stopped" : "ended", o.simulated_s, in.limit_s);
        *detail = buf;
        return false;
    }
    seq_backup b = seq_read_backup(in.second_fs);
    seq_modem_values now_a = seq_modem_now(in.modem_a), now_b = seq_modem_now(in.modem_b);
    if (o.backup_before && !b.block) {
        std::string a = seq_value_not_back(*in.start_a, now_a), other = seq_value_not_back(*in.start_b, now_b);
        if (!a.empty() || !other.empty()) {
            *check = "backup-removed";
            *detail = "the backup was removed while " + (a.empty() ? "the other modem's " + other : a);
            return false;
        }
    }
    std::string a = seq_value_missing(*in.start_a, now_a, b);
    std::string other = seq_value_missing(*in.start_b, now_b, b);
    if (!a.empty() || !other.empty()) {
        *check = "values";
        *detail = a.empty() ? "the other modem: " + other : a;
        return false;
    }
    if (o.installed) {
        const seq_modem_values &start = in.b_attached ? *in.start_b : *in.start_a;
        std::string missing = seq_value_not_back(start, in.b_attached ? now_b : now_a);
        if (missing.empty() && in.target != nullptr)
            missing = seq_image_missing(in.b_attached ? in.modem_b : in.modem_a, *in.target);
        if (!missing.empty()) {
            *check = "installed";
            *detail = "reported installed, but " + missing;
            return false;
        }
    }
    check->clear();
    detail->clear();
    return true;
}
