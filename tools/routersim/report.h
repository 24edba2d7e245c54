// routersim report: one self-contained HTML page that draws a recorded run
// (STATE/out) on one time axis, with a summary table beside it.
//
// All times are milliseconds of host wall time since the command started
// (run.info's start_ns). syslog and bus lines carry the kernel's receive time
// (stamps.log), flash events the emulation's raw CLOCK_REALTIME, both host
// real time; the modem's exchange log counts seconds of its own (time-scaled)
// clock since it started and is brought back to wall time by the scale. The
// page shows simulated time (wall x scale) when the run had a time scale.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One log line and when it was recorded (wall ms since the start).
struct timed_line {
    double ms = 0;
    std::string text;
};

// One line of flash-events.log.
struct flash_event {
    double ms = 0;
    long pid = 0;
    std::string program;
    std::string kind;        // erase, write, fault
    std::string device;      // /dev/mtdN
    uint64_t offset = 0;
    uint64_t length = 0;
};

// What STATE/out (and the modem's exchange log) hold about one run.
struct run_logs {
    double time_scale = 1.0;
    long kill_after_ms = -1;
    std::string cut_where;        // a counted power cut, as power_cut_where names it; empty: none
    double timeout_s = 0;         // simulated seconds; 0: none
    double wall_ms = 0;           // start to end of the run
    double modem_offset_ms = 0;   // when the modem started, relative to the command
    bool file_mode = false;
    std::string end;              // exit, reboot, power-cut, timeout
    std::string status;           // STATE/out/status
    std::string command;
    std::string modem_state;
    std::vector<timed_line> syslog;   // message text without priority and ident
    std::vector<timed_line> bus;      // the JSON objects
    std::vector<timed_line> modem;    // the last session of modem.log, "seconds" field dropped
    std::vector<std::string> tools;   // tools.log
    std::vector<std::string> faults;  // flash-faults.log
    std::vector<flash_event> flash;
};

// report_logs.cpp: reads STATE/out. False with a message in *err when the
// run has no time records (made before routersim kept them) or cannot be read.
bool read_run_logs(const std::string &state, run_logs *logs, std::string *err);

// "debug imgrenew: [file.cpp:12]text" -> "text".
std::string syslog_message(const std::string &line);

// A bar on a lane: [from, to] in wall ms. kind selects its colour (record,
// extract, erase, write, tool, wait, fault, power-off, stage, attempt, image,
// image-failed, nv); attrs are extra data-* attributes ("name=value" pairs).
struct lane_span {
    double from = 0;
    double to = 0;
    std::string kind;
    std::string label;
    std::vector<std::string> attrs;
};

// A point in time on a lane (a fault, a refusal, a retry).
struct lane_mark {
    double at = 0;
    std::string kind;     // fault, refusal, retry, complete, failed
    std::string label;
};

struct lane {
    std::string group;    // records, flash, modem
    std::string name;
    std::vector<lane_span> spans;
    std::vector<lane_mark> marks;
};

struct progress_point {
    double ms = 0;
    long operation = 0;
    long progress = 0;
};

// One record of the package as the walk met it.
struct record_row {
    std::string name;
    long id = -1;
    uint64_t bytes = 0;
    double from = -1;     // -1: not reached
    double to = -1;
    std::string partition;
    std::string result;   // done, skipped, failed, cut, not reached
};

// A named wait the program must make, how often the run made it.
struct required_wait {
    std::string what;
    double each_ms = 0;   // simulated (program) time
    int count = 0;
};

struct run_picture {
    double axis_from = 0;
    double axis_to = 0;
    std::vector<progress_point> progress;
    std::vector<record_row> records;
    std::vector<lane> lanes;
    std::vector<required_wait> waits;
    std::vector<std::string> unmatched_tools;   // tools.log lines no syslog line announced
    double reboot_ms = -1;
    double power_cut_ms = -1;
    std::string power_cut_record;     // the record being installed at the cut
    int power_cycles = 0;
    int download_attempts = 0;
    int block_retries = 0;            // stream or programmer blocks sent again
    int refusals = 0;                 // NAKs, refused images, bad frames
    std::string signature;            // the package signature check's verdict; empty: none logged
    std::string result;               // how the run ended and why, as routersim run's verdict says it
    double tool_wait_ms = -1;         // the tool's own total of its required waits; -1: it logged none
};

// report_router.cpp: progress, records, waits and flash lanes.
void picture_router(const run_logs &logs, run_picture *pic);
// report_modem.cpp: the modem lanes, only those the logs have data for.
void picture_modem(const run_logs &logs, run_picture *pic);
// report_router.cpp: the result row, from the same reading of the logs as
// the verdict of `routersim run`.
void picture_result(const run_logs &logs, run_picture *pic);

// report_html.cpp: the page.
std::string render_report(const run_logs &logs, const run_picture &pic);
// HTML text of untrusted bytes: markup characters escaped, control bytes and
// invalid UTF-8 shown as '?'.
std::string html_escape(const std::string &text);

// `routersim report STATE [-o FILE]`: 0 on success, 1 with a message on stderr.
int sim_report(const std::string &state, const std::string &out_file);
