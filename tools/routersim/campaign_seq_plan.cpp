// The runs of a sequence, drawn from the campaign's seed and the sequence's
// number alone, so that every shard, every machine and a replay draw the
// same ones; their names, and the modem fault rules they stand for.
#include "campaign_seq.h"

#include "flash_ops.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

constexpr const char *PACKAGE_NAMES[SEQ_PACKAGE_KINDS] = {
    "preserve", "no-preserve", "other-version", "refused-container",
    "bad-checksum", "router-only", "no-identity-keys", "rerun"};
constexpr const char *FAULT_NAMES[SEQ_FAULT_KINDS] = {
    "none", "status-nv", "status-rfnv", "refused-writes", "silent", "failed-image", "other-modem"};

// Weights out of 100. A rerun is drawn only after the first run.
constexpr int PACKAGE_WEIGHTS[SEQ_PACKAGE_KINDS] = {28, 12, 12, 8, 8, 9, 8, 15};
constexpr int FAULT_WEIGHTS[SEQ_FAULT_KINDS] = {44, 9, 8, 8, 10, 13, 8};

// Where a counted cut falls: a modem event kind and the range of its number
// (an uncut preserving run of the campaign's modem makes about 6 images, 1
// reset, 6 RF NV writes, 83 NV writes, 330 NV reads, 40 stream blocks and
// 700 exchanges), or a router flash operation. A number past the run's end
// leaves the run uncut.
struct cut_kind {
    const char *kind;
    uint64_t last;
    int weight;
};
constexpr cut_kind CUT_KINDS[] = {
    {"image", 6, 14}, {"reset", 1, 6}, {"rfnv-write", 6, 8}, {"nv-write", 0, 16},   // 0: one per NV item
    {"nv-read", 330, 12}, {"stream", 40, 10}, {"exchange", 700, 18}, {"flash", 40, 16},
};
constexpr const char *FAILED_IMAGES[] = {"amss", "dsp1", "dsp2", "efs"};

uint64_t mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// gen() % n rather than a distribution: the standard libraries disagree on
// how distributions use the engine, the engine itself is fixed.
uint64_t below(std::mt19937_64 &gen, uint64_t n)
{
    return n == 0 ? 0 : gen() % n;
}

template <size_t N>
int weighted(std::mt19937_64 &gen, const int (&weights)[N], size_t usable = N)
{
    int total = 0;
    for (size_t i = 0; i < usable; ++i)
        total += weights[i];
    int pick = (int)below(gen, (uint64_t)total);
    for (size_t i = 0; i < usable; ++i) {
        if (pick < weights[i])
            return (int)i;
        pick -= weights[i];
    }
    return 0;
}

}  // namespace

const char *seq_package_name(seq_package p)
{
    return PACKAGE_NAMES[(int)p];
}

const char *seq_fault_name(seq_fault f)
{
    return FAULT_NAMES[(int)f];
}

seq_plan seq_generate(uint64_t seed, uint64_t index, const std::vector<uint64_t> &nv_items,
                      const std::vector<uint64_t> &rfnv_items)
{
    seq_plan plan;
    plan.seed = seed;
    plan.index = index;
    std::mt19937_64 gen(mix(seed ^ mix(index + 1)));
    uint64_t count = 4 + below(gen, 3);
    for (uint64_t i = 0; i < count; ++i) {
        seq_run r;
        // The rerun is the last kind: left out of the first run's draw.
        int kinds = i == 0 ? SEQ_PACKAGE_KINDS - 1 : SEQ_PACKAGE_KINDS;
        int total = 0;
        for (int k = 0; k < kinds; ++k)
            total += PACKAGE_WEIGHTS[k];
        int pick = (int)below(gen, (uint64_t)total);
        int k = 0;
        while (pick >= PACKAGE_WEIGHTS[k]) {
            pick -= PACKAGE_WEIGHTS[k];
            ++k;
        }
        r.package = (seq_package)k;
        r.fault = (seq_fault)weighted(gen, FAULT_WEIGHTS);
        switch (r.fault) {
        case seq_fault::status_nv:
            r.fault_item = nv_items.empty() ? 0 : nv_items[below(gen, nv_items.size())];
            r.fault_lasting = below(gen, 2) == 1;
            break;
        case seq_fault::status_rfnv:
            r.fault_item = rfnv_items.empty() ? 0 : rfnv_items[below(gen, rfnv_items.size())];
            r.fault_lasting = below(gen, 2) == 1;
            break;
        case seq_fault::refuse_writes:
            r.fault_lasting = below(gen, 2) == 1;   // ignored (no answer) rather than refused
            break;
        case seq_fault::silent:
            r.fault_item = 1 + below(gen, 2 * 330);
            break;
        case seq_fault::failed_image:
            r.fault_image = FAILED_IMAGES[below(gen, sizeof FAILED_IMAGES / sizeof FAILED_IMAGES[0])];
            r.fault_lasting = below(gen, 2) == 1;
            break;
        default:
            break;
        }
        // Half the runs are cut. The other modem is attached for one whole
        // run: its transaction is left to end on its own terms.
        bool cut = below(gen, 2) == 1;
        if (cut && r.fault != seq_fault::other_modem) {
            int weights[sizeof CUT_KINDS / sizeof CUT_KINDS[0]];
            for (size_t c = 0; c < sizeof CUT_KINDS / sizeof CUT_KINDS[0]; ++c)
                weights[c] = CUT_KINDS[c].weight;
            const cut_kind &c = CUT_KINDS[weighted(gen, weights)];
            uint64_t last = c.last != 0 ? c.last : (nv_items.empty() ? 1 : nv_items.size());
            r.cut.kind = c.kind;
            r.cut.n = 1 + below(gen, last);
            if (r.cut.kind == "flash")
                r.cut.mode = below(gen, 2) == 1 ? flashemu::CUT_TORN : flashemu::CUT_NOT_DONE;
        }
        plan.runs.push_back(r);
    }
    return plan;
}

std::string seq_run_text(const seq_run &r)
{
    std::string s = seq_package_name(r.package);
    switch (r.fault) {
    case seq_fault::none:
        break;
    case seq_fault::status_nv:
    case seq_fault::status_rfnv:
        s += std::string(", ") + (r.fault == seq_fault::status_nv ? "status-nv " : "status-rfnv ") +
             std::to_string(r.fault_item) + (r.fault_lasting ? " three times" : " once");
        break;
    case seq_fault::silent:
        s += ", silent from NV exchange " + std::to_string(r.fault_item);
        break;
    case seq_fault::failed_image:
        s += ", failed-image " + r.fault_image + (r.fault_lasting ? " every time" : " once");
        break;
    case seq_fault::refuse_writes:
        s += r.fault_lasting ? ", ignored-writes" : ", refused-writes";
        break;
    default:
        s += std::string(", ") + seq_fault_name(r.fault);
        break;
    }
    if (r.cut.kind == "flash")
        s += ", cut at flash op " + std::to_string(r.cut.n) + " " + flash_cut_mode_name(r.cut.mode);
    else if (!r.cut.kind.empty())
        s += ", cut at " + r.cut.kind + " " + std::to_string(r.cut.n);
    return s;
}

std::string seq_fault_rules(const seq_run &r)
{
    char buf[160] = "";
    switch (r.fault) {
    case seq_fault::status_nv:
        snprintf(buf, sizeof buf, "status nv-read@%" PRIu64 " %s 4\n", r.fault_item, r.fault_lasting ? "1-3" : "1");
        break;
    case seq_fault::status_rfnv:
        snprintf(buf, sizeof buf, "status rfnv-read@%" PRIu64 " %s 4\n", r.fault_item,
                 r.fault_lasting ? "1-3" : "1");
        break;
    case seq_fault::refuse_writes:
        // Reads are answered: the backup is made, and every write of the
        // restore (NV, RF NV, SIM lock, indicator) is refused, or ignored.
        snprintf(buf, sizeof buf, "%s\n",
                 r.fault_lasting ? "drop nv-write *\ndrop rfnv-write *\ndrop at-nwlset *\ndrop at-disk *"
                                 : "status nv-write * 4\nstatus rfnv-write * 6\nnak at-nwlset *\nnak at-disk *");
        break;
    case seq_fault::silent:
        snprintf(buf, sizeof buf, "silent nv %" PRIu64 "\n", r.fault_item);
        break;
    case seq_fault::failed_image:
        snprintf(buf, sizeof buf, "fail-image %s %s\n", r.fault_image.c_str(), r.fault_lasting ? "*" : "1");
        break;
    default:
        break;
    }
    return buf;
}

bool seq_parse_replay(const char *text, uint64_t *seed, uint64_t *index)
{
    const char *colon = text == nullptr ? nullptr : strchr(text, ':');
    if (colon == nullptr)
        return false;
    std::string a(text, colon);
    return parse_op_number(a.c_str(), seed) && parse_op_number(colon + 1, index);
}
