// routersim: one boot of a simulated router whose persistent state is a directory.
#pragma once

#include <cstdint>
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
};

struct sim_run_options {
    std::string state;
    std::string file_mode_package;      // empty: partition mode
    std::string modem_state;            // empty: no modem attached
    std::string modem_program;          // empty: the build's modemsim
    double time_scale = 1.0;
    double timeout_s = 0.0;             // simulated seconds; 0: none
    long kill_after_ms = -1;            // wall milliseconds; -1: none
    uint64_t cut_at_op = 0;             // power cut at this flash operation (1-based); 0: none
    uint32_t cut_mode = 0;              // flashemu::flash_cut_mode of the operation cut
    std::vector<std::string> env;       // extra NAME=VALUE for the command
    bool host_net = false;              // share the host's network (servers reachable from the host)
    std::string tmp_dir;                // empty: a fresh tmpfs as /tmp; else this host folder
    std::vector<std::string> command;
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
int sim_load_package(const std::string &state, const std::string &package);

// run_supervisor.cpp
int sim_run(const sim_paths &paths, const sim_run_options &opt);

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
};
bus_record bus_message_json(int module, const uint8_t *data, size_t len);

// Shared file helpers (run_files.cpp).
int make_dirs(const std::string &path);
int remove_tree(const std::string &path);
int write_text(const std::string &path, const std::string &text);
int bind_dgram_socket(const std::string &path);
