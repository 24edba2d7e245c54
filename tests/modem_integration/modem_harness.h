// Runs modemsim as a child process for a test and looks at what it left.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// True inside run_sandboxed.sh: a private /dev where the modem's links can
// live at the router's paths, as the library's download-mode test needs.
bool in_modem_sandbox(void);

class modem_harness {
public:
    modem_harness();
    ~modem_harness();
    modem_harness(const modem_harness &) = delete;
    modem_harness &operator=(const modem_harness &) = delete;

    // Starts modemsim with the given extra arguments and waits for its diag
    // port. False when it did not come up.
    bool start(const std::vector<std::string> &extra = {});
    // SIGTERM and wait; the exit status (or -1).
    int stop();

    std::string diag_port() const { return links_ + "/ttyUSB0"; }
    std::string at_port() const { return links_ + "/ttyUSB2"; }
    const std::string &links() const { return links_; }
    const std::string &sysfs() const { return sysfs_; }
    const std::string &state() const { return state_; }
    pid_t pid() const { return pid_; }

    std::string log() const;
    std::vector<uint8_t> flash(const std::string &name) const;
    bool flash_exists(const std::string &name) const;
    void write_faults(const std::string &rules) const;
    void set_power(int on) const;

    // Counts the log lines containing text.
    int log_count(const std::string &text) const;

private:
    std::string root_;
    std::string state_;
    std::string links_;
    std::string sysfs_;
    pid_t pid_ = -1;
};

// Polls pred every 2 ms of (possibly scaled) time for up to ms; true once it holds.
bool wait_until(const std::function<bool()> &pred, int ms);

bool path_exists(const std::string &path);

// Deterministic bytes with plenty of the two framing values 0x7E and 0x7D.
std::vector<uint8_t> test_bytes(size_t n, uint32_t seed);

// A stand-in for the upgrade package: the parts back to back in a file,
// opened for reading at offset 0. Returns the descriptor (caller closes).
int make_package(const std::string &path, const std::vector<std::vector<uint8_t>> &parts);
