// routersim campaign --sequences: sequences of `imgrenew up` runs on one
// simulated router and one virtual modem, each run drawn from packages,
// modem faults and counted power cuts, with the modem's values and images
// checked after every run.
#pragma once

#include "campaign.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a run installs. `rerun` loads nothing: the router boots again and
// finds whatever the package partition holds (the package of the run before
// and its state word, or nothing after an install erased it).
enum class seq_package {
    preserve,          // ZMR_V200, NV, RF NV and identity preserved
    no_preserve,       // ZMR_V250, EFS neither flashed nor restored
    other_version,     // ZMR_V300, preserving, other image bytes
    refused,           // the preserving container with a wrong magic word
    bad_checksum,      // the preserving container with one checksum byte inverted
    router_only,       // a version file and a kernel, no modem record
    no_identity_keys,  // the preserving container, its INI without the IMEI key
    rerun,
};
constexpr int SEQ_PACKAGE_KINDS = 8;

enum class seq_fault {
    none,
    status_nv,         // an NV item read answered with status 4 (once, or three times)
    status_rfnv,       // the same for an RF NV item
    refuse_writes,     // every NV, RF NV and identity write refused
    silent,            // the modem hangs from its Nth NV exchange until powered off
    failed_image,      // an image's transfer refused (the first time, or every time)
    other_modem,       // another modem (its own identity and values) is attached for the run
};
constexpr int SEQ_FAULT_KINDS = 7;

struct seq_cut {
    std::string kind;                   // "": none; "flash": a router flash operation; else a modem event kind
    uint64_t n = 0;
    uint32_t mode = 0;                  // flash: flashemu::flash_cut_mode
};

struct seq_run {
    seq_package package = seq_package::preserve;
    seq_fault fault = seq_fault::none;
    uint64_t fault_item = 0;            // status_nv / status_rfnv: the item; silent: the exchange
    bool fault_lasting = false;         // status_*: three answers, not one; failed_image: every transfer
    std::string fault_image;            // failed_image: dbl, osbl, amss, dsp1, dsp2 or efs
    seq_cut cut;
};

struct seq_plan {
    uint64_t seed = 0;
    uint64_t index = 0;                 // the sequence's number in the campaign
    std::vector<seq_run> runs;          // the drawn runs; the final clean run is not listed
};

// campaign_seq_plan.cpp
const char *seq_package_name(seq_package p);
const char *seq_fault_name(seq_fault f);
// The sequence `index` of the campaign of `seed`: 4 to 6 runs, the same on
// every machine. nv_items and rfnv_items are the items the campaign's modem
// holds (fault targets are drawn from them).
seq_plan seq_generate(uint64_t seed, uint64_t index, const std::vector<uint64_t> &nv_items,
                      const std::vector<uint64_t> &rfnv_items);
// One run in words: "preserve", "rerun, failed-image dsp1 every time, cut at nv-write 12".
std::string seq_run_text(const seq_run &r);
// The fault rules of the run's modem (MODEMSTATE/faults); empty for none.
std::string seq_fault_rules(const seq_run &r);
// "SEED:SEQ" of --replay. false for anything else.
bool seq_parse_replay(const char *text, uint64_t *seed, uint64_t *index);

// What the campaign knows of one modem: its values at the start.
struct seq_modem_values {
    std::map<std::string, std::string> values;   // "nv/ITEM", "rfnv/ITEM", "identity KEY" -> value
};

// What an intact backup on /2ndfile holds, in the same keys.
struct seq_backup {
    bool block = false;                 // /2ndfile/modem_nv exists
    bool intact = false;                // its sizes fit, and its high_nv is the one it recorded
    std::string why;                    // why it is not intact
    std::map<std::string, std::string> values;
};

// campaign_seq_checks.cpp
// Reads /2ndfile/modem_nv and /2ndfile/high_nv of a router state.
seq_backup seq_read_backup(const std::string &second_fs);
// The values of a modem folder: NV and RF NV item files, identity keys
// other than the restore's indicator `inds`.
seq_modem_values seq_modem_now(const std::string &modem_state);
// The first start value that is neither in the modem nor in the backup, or "".
std::string seq_value_missing(const seq_modem_values &start, const seq_modem_values &now, const seq_backup &b);
// The first start value the modem does not hold, or "".
std::string seq_value_not_back(const seq_modem_values &start, const seq_modem_values &now);
// The first image of `images` (modem flash file -> bytes) the modem does not
// hold byte for byte, as a detail, or "".
std::string seq_image_missing(const std::string &modem_state, const std::map<std::string, std::vector<uint8_t>> &images);

// What one run left, for its checks.
struct seq_run_outcome {
    bool installed = false;             // the run reported the upgrade installed
    bool timed_out = false;             // routersim had to stop it
    double simulated_s = 0;             // its length in simulated seconds
    bool backup_before = false;         // /2ndfile/modem_nv before the run
};

struct seq_check_input {
    const seq_modem_values *start_a = nullptr;   // the campaign's modem
    const seq_modem_values *start_b = nullptr;   // the other modem
    std::string modem_a;                         // their folders now
    std::string modem_b;
    std::string second_fs;                       // the router's /2ndfile
    bool b_attached = false;
    // Images the attached modem must hold after a run reported installed:
    // the run's container, or the last container the modem was flashed from.
    const std::map<std::string, std::vector<uint8_t>> *target = nullptr;
    double limit_s = 900;
};

// The four checks after a run, in the order time, backup, values,
// installed. true, or false with the check's name and what was wrong.
bool seq_check_run(const seq_check_input &in, const seq_run_outcome &o, std::string *check, std::string *detail);

// campaign_seq_inputs.cpp: what a campaign builds once.
struct seq_inputs {
    std::map<int, std::string> package_file;                                // seq_package -> package
    std::map<int, std::map<std::string, std::vector<uint8_t>>> images;      // valid containers: what the modem keeps
    std::string modem_a, modem_b;                                           // the modems before the first run
    std::vector<uint64_t> nv_items, rfnv_items;                             // the campaign modem's items
    std::string router;                                                     // the router before the first run
};
// Builds the packages (with the build's imgpack), the two modems and the
// router under dir. 0, or -1 after a message.
int seq_build_inputs(const sim_paths &paths, const std::string &dir, seq_inputs *in);
// The images a run with package p must leave; nullptr for a package without
// a container the modem step takes.
const std::map<std::string, std::vector<uint8_t>> *seq_images_of(const seq_inputs &in, seq_package p);

// campaign_seq_run.cpp: one sequence.
struct seq_exec {
    sim_paths paths;
    const seq_inputs *in = nullptr;
    seq_modem_values start_a, start_b;                  // the two modems' values at the start
    std::map<std::string, std::string> clean_second_fs; // /2ndfile after a clean preserving run
    double time_scale = 100;
    double limit_s = 900;               // check (4): simulated seconds a run may take
    double stop_s = 1800;               // simulated seconds after which routersim stops a run
    FILE *verbose = nullptr;            // a line per run (replay); nullptr: quiet
};

struct seq_run_record {
    std::string text;                   // the run in words
    int rc = -1;                        // routersim's status of the run (0: installed)
    std::string status;                 // STATE/out/status
    bool installed = false;
    bool cut_reached = false;
    bool imei_released = false;         // an INI without the IMEI key let the flash wipe it
    double simulated_s = 0;
};

struct seq_result {
    seq_plan plan;
    bool passed = false;
    int failed_run = 0;                 // 1-based; plan.runs.size() + 1 is the final run
    std::string check;                  // time, backup-removed, values, installed, final, setup, worker
    std::string detail;
    std::vector<seq_run_record> runs;   // the runs made, the final one included
    double wall_s = 0;
    std::string kept;                   // the router of a failing sequence
    // The time check depends on the host: the simulated clock is the wall
    // clock times the scale, so a host that stalls both workers for seconds
    // makes any run "take" minutes. A sequence that fails only that check
    // is run once more; this is the first attempt's detail, and the result
    // is the second attempt's.
    std::string time_retry;
};

// Runs the plan in slot/state (made afresh) and checks after every run.
seq_result seq_run_sequence(const seq_exec &x, const seq_plan &plan, const std::string &slot);

// campaign_seq_results.cpp: a sequence's result as one JSON object (one line)
// and as one CSV row, and the summary of a campaign.
std::string seq_result_json(const seq_result &r);
bool seq_result_from_json(const std::string &line, seq_result *r);
std::string seq_csv_header();
std::string seq_csv_line(const seq_result &r);
// Prints the figures and one line per failing sequence; returns the failures.
uint64_t seq_summary(FILE *to, const std::vector<seq_result> &results, double wall_s);

// campaign_seq_cli.cpp
void campaign_seq_help(FILE *to);
int campaign_seq_main(const sim_paths &paths, int argc, char **argv);
