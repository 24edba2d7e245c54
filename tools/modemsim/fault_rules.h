// Faults injected on demand: from --fault options and from a control file that
// is looked at again before every frame. One rule a line:
//
//   drop     KIND[@ADDR] WHEN         the frame is lost on the way in
//   noreply  KIND[@ADDR] WHEN         the frame is acted on, its answer is lost
//   nak      KIND[@ADDR] WHEN [CODE]  answered with a NAK (default code 7)
//   badfcs   KIND[@ADDR] WHEN         acted on, answered with a wrong check sequence
//   late     KIND[@ADDR] WHEN MS      acted on, answered MS milliseconds late
//   silent   KIND[@ADDR] WHEN         the modem hangs: no answer until a power cycle
//   split    KIND[@ADDR] WHEN [N]     the answer goes out in N writes (default 3)
//   noise    KIND[@ADDR] WHEN [N]     N bytes of line noise before the answer (default 8)
//   stale    KIND[@ADDR] WHEN         a stream answer for another address first
//   trickle  KIND[@ADDR] WHEN [MS]    the answer byte by byte, MS apart (default 2)
//   fail-image IMAGE [WHEN] [STAGE]   the transfer of IMAGE is refused at its
//                                     open, its stream writes or (default) its
//                                     close; nothing is stored
//
// KIND is a frame kind (offline, switch, diag, nop, preq, write32, go, hello,
// security, partition, open, stream-write, close, reset) or "any", an AT
// command kind (at-cfun, at-kqtsn, ...; "at" for all of them); ADDR limits
// write32 and stream-write rules to one address. WHEN counts the matching
// frames since the rule was loaded: N, N-M, N- (N and all later ones) or *;
// for fail-image it counts the opens of that image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

enum fault_action_t {
    FAULT_DROP,
    FAULT_NOREPLY,
    FAULT_NAK,
    FAULT_BADFCS,
    FAULT_LATE,
    FAULT_SILENT,
    FAULT_FAIL_IMAGE,
    FAULT_SPLIT,
    FAULT_NOISE,
    FAULT_STALE,
    FAULT_TRICKLE,
};

struct fault_rule {
    fault_action_t action = FAULT_DROP;
    std::array<char, 24> kind{};
    bool has_addr = false;
    uint32_t addr = 0;
    uint32_t first = 1;          // 1-based, inclusive
    uint32_t last = 1;           // UINT32_MAX: no end
    uint32_t arg = 0;            // NAK code or delay in ms
    uint32_t seen = 0;           // matching frames so far
};

constexpr int FAULT_MAX_RULES = 32;

struct fault_set {
    std::array<fault_rule, FAULT_MAX_RULES> rules{};
    int count = 0;
    int option_count = 0;        // rules [0, option_count) came from the command line
    // Identity of the control file as last read, to notice a rewrite.
    bool file_seen = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
};

// What the rules say about one frame.
struct fault_decision {
    bool drop = false;
    bool noreply = false;
    bool nak = false;
    uint16_t nak_code = 0;
    bool badfcs = false;
    bool silent = false;
    uint32_t late_ms = 0;
    uint32_t split_pieces = 0;     // >1: the answer goes out in that many writes
    uint32_t noise_bytes = 0;      // garbage (never a flag) before the answer
    bool stale = false;            // an answer for another address first
    uint32_t trickle_ms = 0;       // one byte per write, this far apart
};

// Parses one rule. Returns 0, 1 for a blank or comment line, or -1 with err set.
int fault_rule_parse(const char *line, fault_rule *rule, char *err, size_t err_size);

// Adds a command-line rule. Returns 0 or -1 with err set.
int fault_set_add_option(fault_set *set, const char *text, char *err, size_t err_size);

// Re-reads the control file when it changed since the last look; its rules
// replace the previous file's rules, counted afresh. A missing file means no
// file rules. Lines that do not parse are reported through the log callback
// and skipped.
void fault_set_reload(fault_set *set, const char *path);

// Counts the frame against every rule of its kind and collects the faults due.
fault_decision fault_set_match(fault_set *set, const char *kind, bool has_addr, uint32_t addr);

// Where a transfer armed by fail-image is refused.
enum image_fail_t {
    IMAGE_OK = 0,
    IMAGE_FAIL_CLOSE,      // every close try gets NAK 11, nothing stored
    IMAGE_FAIL_OPEN,       // the open gets NAK 10
    IMAGE_FAIL_STREAM,     // every stream write gets NAK 11
};

// Counts one open of the image (dbl, osbl, ...); how that transfer is to fail.
image_fail_t fault_set_image_fails(fault_set *set, const char *image);
