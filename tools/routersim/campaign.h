// routersim campaign: a power cut at every flash operation of an upgrade,
// each followed by a rerun of the upgrade and the checks a user relies on.
#pragma once

#include "routersim.h"
#include "up_package.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct campaign_options {
    std::string state;                  // the starting router (routersim init)
    std::string package;
    bool file_mode = false;             // the package as /2ndfile/image_path/root.bin, not in mtd6
    std::string modem_state;            // a modem campaign: the modem before the upgrade (modemsim state)
    uint64_t modem_exchanges = 300;     // protocol exchanges sampled as cut points
    std::vector<std::pair<std::string, uint64_t>> modem_cuts;   // --modem-cut KIND:N: just these points
    std::vector<uint32_t> modes;        // flashemu::flash_cut_mode values to cut with
    uint64_t every = 1;                 // every Nth point of the full list
    uint64_t sample = 0;                // a random sample of this many points; 0: all
    uint64_t seed = 1;                  // of the sample and of the second cuts
    bool seed_given = false;            // modem exchanges: drawn with the seed, not evenly
    bool second_cut = false;            // cut once more inside the rerun of each point
    int shard_k = 1;
    int shard_n = 1;
    int jobs = 1;
    double time_scale = 50;
    double timeout_s = 120;             // wall seconds per run (a loaded machine is slow)
    std::string csv_file;
    std::string json_file;
    std::string work_dir;               // empty: a fresh folder under /dev/shm (or TMPDIR)
    std::string keep_dir;               // failing points' routers; empty: WORK/failed
    uint64_t keep_max = 10;             // at most this many of them
    std::vector<std::pair<uint64_t, uint64_t>> only_ops;   // --op: just these operations (first, last)
    bool quiet = false;
};

struct campaign_point {
    uint64_t index = 0;                 // position in the full list: (op - 1) * modes + mode position
    uint64_t op = 0;
    uint32_t mode = 0;
    uint64_t second_op = 0;             // 0: no second cut
    uint32_t second_mode = 0;
    std::string modem_kind;             // a modem point: the event kind, op its number ("image" 3)
};

struct point_result {
    campaign_point pt;
    uint64_t ops = 0;                   // operations of the uncut run
    std::string phase;                  // where the cut fell, e.g. "kernel write"
    std::string cut_op;                 // "write /dev/mtd2 0x0 0x20000"
    std::string second_phase;
    std::string second_cut_op;
    bool passed = false;
    std::string check;                  // the first check that failed
    std::string detail;
    std::string kept;                   // the router kept for a failing point
};

// What the rerun must leave, taken from the package and the uncut run.
struct campaign_expect {
    std::map<int, std::vector<uint8_t>> partitions;   // mtd number -> record data
    std::map<std::string, std::string> second_fs;     // files of /2ndfile after the uncut run
    bool file_mode = false;
    bool modem = false;                                        // a modem campaign
    std::map<std::string, std::vector<uint8_t>> modem_images;  // MODEMSTATE/flash name -> the package's image
    std::vector<std::string> modem_stored;                     // the images an uncut upgrade stores
    std::map<std::string, std::string> modem_values;           // "nv/ITEM", "rfnv/ITEM", "identity KEY" -> value
};

// campaign_cli.cpp
bool parse_op_number(const char *text, uint64_t *v);
bool parse_cut_mode(const char *text, uint32_t *mode);
int campaign_main(const sim_paths &paths, int argc, char **argv);
int campaign_merge_main(int argc, char **argv);
// The points of the full list (every operation in each mode) that the
// options select: --op, --every, --sample, then --shard.
std::vector<campaign_point> campaign_choose_points(const campaign_options &o, uint64_t ops);
// The points of a modem campaign's full list (campaign_modem_full_list) that
// the options select: --modem-cut, --every, --sample, then --shard.
std::vector<campaign_point> campaign_choose_modem_points(const campaign_options &o,
                                                         const std::map<std::string, uint64_t> &counts);

// campaign_checks.cpp
// The records the partitions must hold, from the package. Empty string or a message.
// A package file read whole, with its record table decoded.
struct campaign_package {
    std::string bytes;
    std::vector<package_record_t> recs;
    const uint8_t *raw() const { return reinterpret_cast<const uint8_t *>(bytes.data()); }
};
// Reads the package at path: "" or why its table cannot be read.
std::string campaign_open_package(const std::string &path, campaign_package *p);
std::string campaign_package_partitions(const std::string &package, campaign_expect *e);
std::map<std::string, std::string> campaign_second_fs(const std::string &state);
// Where a flash operation ("<kind> <device> 0x<offset> 0x<length>") lies.
std::string campaign_phase(const std::string &cut_op);
// The user-level checks on a router after its last run: true, or false with
// the check's name and what was wrong.
bool campaign_check(const std::string &state, const campaign_expect &e, std::string *check, std::string *detail);

// campaign_modem.cpp
bool campaign_modem_kind(const std::string &kind);
// The images of the package's modem container by the file the modem keeps
// them in. Empty string or a message.
std::string campaign_modem_images(const std::string &package, campaign_expect *e);
// The "NAME=VALUE" lines of a modem's identity file, as "identity NAME".
void campaign_identity_values(const std::string &text, std::map<std::string, std::string> *out);
// Every NV item, RF NV item and identity value of a modem. Empty string or a message.
std::string campaign_modem_values(const std::string &modem_state, campaign_expect *e);
// The names in a folder, hidden ones left out, sorted; empty when it cannot
// be read.
std::vector<std::string> campaign_dir_names(const std::string &dir);
// The images MODEMSTATE/flash holds.
std::vector<std::string> campaign_modem_stored(const std::string &modem_state);
// "KIND COUNT" of MODEMSTATE/out/events, written by the modem when it stops.
std::map<std::string, uint64_t> campaign_modem_events(const std::string &modem_state);
// Every event of the kinds that change the modem's flash or NV, then the
// sampled exchanges; index is the position in this list.
std::vector<campaign_point> campaign_modem_full_list(const campaign_options &o,
                                                     const std::map<std::string, uint64_t> &counts);
std::string campaign_modem_phase(const std::string &kind);
// modem-images, modem-nv and nv-backup: true, or false with the check and what was wrong.
bool campaign_modem_check(const std::string &state, const std::string &modem_state, const campaign_expect &e,
                          std::string *check, std::string *detail);

// campaign_point.cpp
struct campaign_run_setup {
    sim_paths paths;
    campaign_options opt;
    std::string start;                  // the prepared starting router (package loaded)
    campaign_expect expect;
    uint64_t ops = 0;                   // flash operations, or modem events, of the uncut run
    std::map<std::string, uint64_t> modem_events;   // a modem campaign: the uncut run's events by kind
};
int campaign_copy_state(const std::string &from, const std::string &to);
// Makes STATE the starting router again after a point: every block that the
// flash event logs of STATE/out* name is copied back from START (then the
// out folders go), and /2ndfile is copied afresh. 0 or -1.
int campaign_restore_state(const std::string &start, const std::string &state);
std::string campaign_read(const std::string &path);
// The lines of a text, without their newlines (a last line without one too).
std::vector<std::string> campaign_lines(const std::string &text);
point_result campaign_run_point(const campaign_run_setup &s, const campaign_point &pt, const std::string &slot);

// campaign_results.cpp
std::string campaign_csv_header();
std::string campaign_csv_line(const point_result &r);
bool campaign_parse_csv_line(const std::string &line, point_result *r);
std::string campaign_json_line(const point_result &r);
bool campaign_parse_json_line(const std::string &line, point_result *r);
int campaign_write_results(const std::string &file, bool json, const std::vector<point_result> &results,
                           const std::string &about);
int campaign_read_results(const std::string &file, std::vector<point_result> *out);
// Points, passed and failed by phase; returns the number failed.
uint64_t campaign_summary(FILE *to, const std::vector<point_result> &results);
