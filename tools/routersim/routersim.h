// routersim: one boot of a simulated router whose persistent state is a directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Partition sizes of the router's NAND, in bytes; index is the mtd number.
constexpr int SIM_MTD_COUNT = 7;
constexpr int SIM_MTD_MAX = 10;
constexpr uint64_t SIM_ERASE_SIZE = 128 * 1024;

struct sim_bad_block {
    int mtd;
    uint64_t block;                     // erase block number within the partition
};

struct sim_init_options {
    uint64_t mtd_size[SIM_MTD_MAX];     // 0: no such partition
    std::vector<sim_bad_block> bad_blocks;
    std::vector<std::string> keys;      // public-key files for the router's /etc/imgrenew/keys
    std::string policy;                 // the router's /etc/imgrenew/policy; empty: none
};

// The router's public keys live in STATE/keys, shown to it as this folder.
#define SIM_KEY_DIR "/etc/imgrenew/keys"
// The router's upgrade policy lives in STATE/policy, shown to it as this file.
#define SIM_POLICY_FILE "/etc/imgrenew/policy"

struct sim_run_options {
    std::string state;
    std::string file_mode_package;      // empty: partition mode
    std::string modem_state;            // empty: no modem attached
    std::string modem_program;          // empty: the build's modemsim
    double time_scale = 1.0;
    double timeout_s = 0.0;             // simulated seconds; 0: none
    long kill_after_ms = -1;            // wall milliseconds; -1: none
    std::string modem_power_cut;        // KIND:N for the modem's counted cut; empty: none
    uint64_t cut_at_op = 0;             // power cut at this flash operation (1-based); 0: none
    uint32_t cut_mode = 0;              // flashemu::flash_cut_mode of the operation cut
    std::vector<std::string> env;       // extra NAME=VALUE for the command
    bool host_net = false;              // share the host's network (servers reachable from the host)
    std::string tmp_dir;                // empty: a fresh tmpfs as /tmp; else this host folder
    std::vector<std::string> command;
    bool quiet = false;                 // no verdict line on stdout
    FILE *live = nullptr;               // where to show live progress (a terminal); nullptr: nowhere
};

// Where the build's programs and libraries are (next to routersim itself).
struct sim_paths {
    std::string bin_dir;
    std::string lib_dir;
};

// state_init.cpp
void sim_default_sizes(sim_init_options *opt);
bool parse_mtd_override(const char *text, sim_init_options *opt);
bool parse_bad_block(const char *text, sim_init_options *opt);
int sim_init_state(const std::string &state, const sim_init_options &opt);
// The factory bad blocks of partition mtd listed in STATE/flash/badblocks.
std::vector<uint64_t> sim_bad_blocks(const std::string &state, int mtd);
// full_install: also store upgrade state 0, as `imgrenew set 0` would, so that
// a package with a modem record installs its router records too.
int sim_load_package(const std::string &state, const std::string &package, bool full_install = false);

// run_supervisor.cpp
int sim_run(const sim_paths &paths, const sim_run_options &opt);

// modem_power_cut.cpp: the modem's counted power cut. KIND:N in form (the
// modem checks the kind); an inotify descriptor that wakes when the modem
// reports its cut (stale report removed), or -1; whether it has reported.
bool sim_valid_power_cut(const std::string &text);
int sim_power_cut_watch(const std::string &modem_state);
bool sim_power_cut_reported(int watch_fd, const std::string &modem_state);

// sandbox_cmdline.cpp: the private root as a bubblewrap command line.
struct sandbox_layout {
    std::string state;
    std::string run_dir;                // host folder of this run's sockets and links
    std::string out_dir;
    sim_paths paths;
    std::string faketime_lib;           // empty: real time
    double time_scale = 1.0;
    bool file_mode = false;
    std::string sysfs_dir;              // host folder shown as /sys
    std::string dev_dir;                // host folder shown as /dev (syslog socket, modem links)
    std::vector<std::string> env;
    bool host_net = false;
    std::string tmp_dir;                // empty: fresh tmpfs
    std::string ops_file;               // host file of the flash operation counter; empty: none
    std::vector<std::string> command;
};
std::vector<std::string> bwrap_command(const sandbox_layout &layout);

// syslog_catcher.cpp: one datagram of /dev/log as one readable line.
std::string syslog_line(const char *msg, size_t len);

// bus_recorder.cpp: one bus datagram as one JSON object.
struct bus_record {
    std::string json;
    bool reboot_request = false;
    long operation = -1;                // display messages: the payload's words
    long progress = -1;
};
bus_record bus_message_json(int module, const uint8_t *data, size_t len);
// A line of bus.jsonl read back: its object parsed, whatever its spacing and
// key order. False when the line is not such an object.
bool bus_record_from_json(const std::string &line, bus_record *rec);

// run_watch.cpp: what the run's syslog and bus say while it runs (the record
// being installed, the display's progress, a failure and its reason), shown
// live on a terminal and summed up in one verdict line at the end.
// The first line of the latest run of failure lines: the deepest cause is
// logged first, each caller adds its own line on the way up, and a failure
// the tool overcame (a block sent again) is followed by lines of work.
struct failure_trail {
    std::string cause;
    bool open = false;
};
void trail_feed(failure_trail *t, const std::string &message);

struct run_watch {
    FILE *live = nullptr;               // the terminal to show progress on; nullptr: none
    std::vector<std::string> records;   // names from the package's record table, in order
    long table_size = -1;               // the number of records the table announced
    int started = 0;                    // records whose installation began
    std::string current;                // the record being installed ("" before the walk)
    failure_trail trail;                // of the current record or modem download attempt
    std::string reason;                 // why the current record failed, once a line passed it on
    std::string pre_walk_reason;        // the same before the first record (package checks)
    std::vector<std::string> attempt_reasons;   // why each failed modem download attempt failed
    long progress = -1;                 // the display's last figure
    bool complete_report = false;       // the display was told the upgrade completed
    bool failed_report = false;         // ... or failed
    bool upgrade_failed = false;        // the tool said it failed
    bool reboot_requested = false;
    bool line_open = false;             // a progress line without its line end is on the terminal
};

// How a run ended, for its verdict.
struct run_ending {
    std::string status;                 // as STATE/out/status: exit code, killed, timeout, stopped
    std::string end;                    // as run.info: exit, reboot, power-cut, timeout, stopped
    long kill_after_ms = -1;
    double timeout_s = 0;
    std::string cut_where;              // a counted cut: "at flash operation N (MODE)", "by the modem at KIND:N"
};

// How a counted power cut is named in the verdict and the report; empty when
// the run had none (a --kill-after cut is named by its time).
std::string power_cut_where(unsigned long long cut_at_op, const std::string &cut_mode, const std::string &modem_cut);

// Exit statuses of `routersim run` besides 0 (the command succeeded; an
// upgrade installed), 1 (routersim could not run it) and 2 (usage).
constexpr int RUN_EXIT_FAILED = 10;
constexpr int RUN_EXIT_POWER_CUT = 11;
constexpr int RUN_EXIT_TIMEOUT = 12;
constexpr int RUN_EXIT_STOPPED = 13;

// line: one line as written to syslog.log ("debug imgrenew: [f.cpp:1]text").
void watch_syslog(run_watch *w, const std::string &line);
// The same for the upgrade tool's message text alone ("text" of the line above).
void watch_message(run_watch *w, const std::string &message);
// Whether a message of the tool says what went wrong (not a line that only
// passes a failure on, such as "update modem image failed").
bool failure_line(const std::string &message);
void watch_bus(run_watch *w, const bus_record &rec);
// The verdict line (without its line end) and the exit status it stands for.
std::string run_verdict(const run_watch &w, const run_ending &e, int *exit_code);

// Shared file helpers (run_files.cpp).
int make_dirs(const std::string &path);
int remove_tree(const std::string &path);
int write_text(const std::string &path, const std::string &text);
int bind_dgram_socket(const std::string &path);
