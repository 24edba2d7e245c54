// simharness: drive the simulated router (routersim) from GoogleTest system tests.
//
//   sim_router r;                                 // fresh STATE, routersim init
//   ASSERT_TRUE(r.ok());
//   r.load_package(pkg);                          // partition mode
//   r.run({"imgrenew", "up"}, {.time_scale = 50});
//   EXPECT_EQ(r.status(), "0");
//   EXPECT_TRUE(r.flash_equals(2, 0, kernel));
//   EXPECT_TRUE(r.syslog_contains("update success"));
//   auto msgs = r.bus();                          // bus.jsonl, decoded
//
// The STATE folder is removed when the object goes away, unless the
// environment variable KEEP_STATE is set (its path is then printed).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simharness {

// Options of `routersim run` (see docs/routersim.md).
struct run_options {
    double time_scale = 1.0;
    double timeout_s = 0;                  // simulated seconds; 0: none
    long kill_after_ms = -1;               // wall milliseconds after start; -1: none
    uint64_t cut_at_op = 0;                // power cut at this flash operation; 0: none
    std::string cut_mode;                  // "none" or "torn"; empty: routersim's default
    std::string file_mode_package;         // mounted as /2ndfile/image_path/root.bin
    std::string modem_state;               // attach a virtual modem
    std::string modem_program;             // with modem_state: run this instead of modemsim
    std::string modem_power_cut;           // with modem_state: KIND:N, the modem's counted power cut
    std::string tmp_dir;                   // a host folder as the router's /tmp; empty: a fresh tmpfs
    std::vector<std::string> env;          // NAME=VALUE for the command
};

// One line of STATE/out/bus.jsonl. `payload` holds the decoded fields
// ("operation", "progress" for module 12; "sys_state", ... for module 0).
struct bus_message {
    int module = -1;
    uint32_t msg_type = 0;
    uint32_t msg_id = 0;
    uint32_t length = 0;
    uint32_t session_id = 0;
    std::string payload_hex;
    std::map<std::string, long long> payload;
};

// Parses one JSON object such as a line of bus.jsonl; nested objects come
// back as "outer.inner" keys. Values are returned as their text (strings
// without quotes, numbers as written). False on anything but one JSON
// object without arrays.
bool parse_flat_json(const std::string &line, std::map<std::string, std::string> *out);

// Path of a program or library of the build.
std::string bin_path(const std::string &name);
std::string lib_path(const std::string &name);

// Runs argv (argv[0] searched on PATH) with extra NAME=VALUE entries added to
// the environment; returns the exit status, 128+signal, or -1. When out is
// given it receives standard output.
int run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                std::string *out = nullptr);

std::string read_file(const std::string &path);
std::vector<std::string> read_lines(const std::string &path);
bool write_file(const std::string &path, const std::vector<uint8_t> &bytes);

class sim_router {
public:
    // Makes a temporary STATE and runs `routersim init STATE init_args...`,
    // e.g. {"--mtd", "6=4M"} for a small package partition.
    explicit sim_router(const std::vector<std::string> &init_args = {});
    ~sim_router();
    sim_router(const sim_router &) = delete;
    sim_router &operator=(const sim_router &) = delete;

    bool ok() const { return ok_; }
    const std::string &state() const { return state_; }

    int load_package(const std::string &package);
    // `routersim run STATE options -- command`; returns 0 when the run was
    // recorded, whatever the command did, else routersim's exit status.
    int run(const std::vector<std::string> &command, const run_options &opt = {});
    // Of the last run: routersim's own exit status (10-13 when the command
    // failed, was cut, timed out or stopped) and its verdict line.
    int exit_status() const { return exit_status_; }
    const std::string &verdict() const { return verdict_; }

    // STATE/out: status without its line end, any result file, its lines.
    std::string status() const;
    std::string out(const std::string &name) const;
    std::vector<std::string> out_lines(const std::string &name) const;
    std::vector<std::string> syslog() const { return out_lines("syslog.log"); }
    bool syslog_contains(const std::string &text) const;
    std::vector<bus_message> bus() const;

    // Flash partition N (STATE/flash/mtdN.img).
    std::string flash_path(int mtd) const;
    std::vector<uint8_t> flash(int mtd, uint64_t offset, size_t len) const;
    bool flash_equals(int mtd, uint64_t offset, const std::vector<uint8_t> &bytes) const;
    bool flash_erased(int mtd, uint64_t offset, uint64_t len) const;
    // A file of the second file system (path relative to /2ndfile).
    std::string second_fs_file(const std::string &rel) const;

private:
    std::string state_;
    bool ok_ = false;
    int exit_status_ = -1;
    std::string verdict_;
};

}  // namespace simharness
