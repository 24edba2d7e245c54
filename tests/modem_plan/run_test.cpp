// The attempt loop against a scripted fake of the modem: what each attempt
// sends and skips, the power cycles, the flags and counters it leaves, and
// its result.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "dload_stream.h"
#include "modem_config.h"
#include "modem_plan_run.h"
#include "plan_tables.h"
#include "up_api.h"

using namespace plan_test;

namespace {

// Plays the modem. Each attempt's transcript lists its sends ("DSP1
// 14612+900", with " fails" when scripted to fail), its quiet steps ("skip
// DBL", "unknown 0x0BADF00D", "end", "abort", "size end"), a failed port
// check ("port fails") and the power cycle that ends it ("reset").
struct fake_modem {
    std::set<std::string> failing_sends;   // "DSP1#2": the second DSP1 send fails
    std::set<int> failing_ports;           // port checks counted from 1 over the run
    bool backup_complete = true;

    std::vector<std::vector<std::string>> attempts;
    bool attempt_over = true;
    std::map<std::string, int> sent;
    int port_checks = 0;
    int progress = 0;

    void note(const std::string &line)
    {
        if (attempt_over)
            attempts.emplace_back();
        attempt_over = false;
        attempts.back().push_back(line);
    }
};

fake_modem &fake(void *ctx)
{
    return *static_cast<fake_modem *>(ctx);
}

int fake_check_port(void *ctx)
{
    fake_modem &m = fake(ctx);
    if (m.failing_ports.count(++m.port_checks) == 0)
        return 0;
    m.note("port fails");
    return -1;
}

int fake_send(void *ctx, uint32_t type, const package_span &img)
{
    fake_modem &m = fake(ctx);
    const std::string name = type_name(type);
    const bool fails = m.failing_sends.count(name + "#" + std::to_string(++m.sent[name])) != 0;
    // The DSP2 stream counts its blocks itself; a failing one gets 400
    // bytes far.
    if (type == DSP2 && report_dsp2_up_process == 1)
        had_write += fails ? 400 : (uint32_t)img.len;
    m.note(name + " " + std::to_string(img.off) + "+" + std::to_string(img.len) + (fails ? " fails" : ""));
    EXPECT_EQ(img.fd, 7);
    return fails ? -1 : 0;
}

void fake_reset(void *ctx)
{
    fake_modem &m = fake(ctx);
    m.note("reset");
    m.attempt_over = true;
}

void fake_progress(void *ctx)
{
    fake(ctx).progress++;
}

bool fake_backup_complete(void *ctx)
{
    return fake(ctx).backup_complete;
}

void fake_quiet_step(void *ctx, const modem_plan_step &s)
{
    switch (s.action) {
    case modem_step_action::installed: fake(ctx).note("skip " + type_name(s.type)); break;
    case modem_step_action::unknown: fake(ctx).note("unknown " + type_name(s.type)); break;
    case modem_step_action::end_done: fake(ctx).note("end"); break;
    case modem_step_action::end_abort: fake(ctx).note("abort"); break;
    case modem_step_action::size_done: fake(ctx).note("size end"); break;
    case modem_step_action::send: fake(ctx).note("quiet send?"); break;
    }
}

std::string flags_text(const modem_check_point_t &c)
{
    std::string s;
    const std::pair<const char *, int32_t> flags[] = {
        {"DBL", c.dbl_download},   {"FSBL", c.fsbl_download}, {"OSBL", c.osbl_download}, {"AMSS", c.amss_download},
        {"DSP1", c.dsp1_download}, {"DSP2", c.dsp2_download}, {"EFS", c.efs_download}};
    for (const auto &f : flags) {
        if (f.second == 1)
            s += s.empty() ? f.first : std::string(" ") + f.first;
    }
    return s;
}

struct run_row {
    const char *name;
    std::vector<fw_h_t> entries;
    uint32_t container_size;
    modem_check_point_t flags;
    std::set<std::string> failing_sends;
    std::set<int> failing_ports;
    int efs_restore;
    bool backup_complete;
    // expected
    int result;
    std::vector<std::vector<std::string>> attempts;
    const char *flags_after;
    int port_checks;
    int progress;
    uint32_t had_write;
};

const std::vector<std::string> FIRST_SIX_SENT = {"HEX 4472+300",  "PART 4772+40",  "DBL 4812+500",
                                                 "FSBL 5312+600", "OSBL 5912+700", "AMSS 6612+8000"};

std::vector<std::string> plus(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ModemPlanRun, AttemptsSendSkipAndRetryAsScripted)
{
    const std::vector<std::string> retry_to_dsp1 = {"HEX 4472+300", "PART 4772+40", "skip DBL",
                                                    "skip FSBL",    "skip OSBL",    "skip AMSS"};
    const run_row rows[] = {
        {"first attempt: every image in table order", every_image(), 13516, {}, {}, {}, 0, false, 0,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900", "DSP2 15512+1000", "EFS 16512+1100", "size end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 10, 8, 13140},
        {"retry after a DSP1 failure", every_image(), 13516, {}, {"DSP1#1"}, {}, 0, false, 0,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900", "DSP2 15512+1000", "EFS 16512+1100", "end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 18, 10, 13480},
        // The 400 bytes the failed DSP2 stream counted are taken back.
        {"retry after a DSP2 failure", every_image(), 13516, {}, {"DSP2#1"}, {}, 0, false, 0,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900", "DSP2 15512+1000 fails", "reset"}),
          plus(retry_to_dsp1, {"skip DSP1", "DSP2 15512+1000", "EFS 16512+1100", "end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 19, 10, 13480},
        {"the fifth failure ends the step", every_image(), 13516, {},
         {"DSP1#1", "DSP1#2", "DSP1#3", "DSP1#4", "DSP1#5", "DSP1#6"}, {}, 0, false, -1,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900 fails", "reset"})},
         "DBL FSBL OSBL AMSS", 40, 14, 11500},
        {"a retry that reaches the end with the EFS flag missing aborts", without_efs(),
         12416, {}, {"DSP1#1"}, {}, 0, false, -1,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900 fails", "reset"}),
          plus(retry_to_dsp1, {"DSP1 14612+900", "DSP2 15512+1000", "abort"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2", 17, 9, 12380},
        // Port check 12 is the DBL's in the second attempt: it comes before
        // the skip, so the attempt fails there.
        {"a lost port fails an attempt on an installed entry", every_image(), 13516, {}, {"DSP1#1"}, {12}, 0,
         false, 0,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900 fails", "reset"}),
          {"HEX 4472+300", "PART 4772+40", "port fails", "reset"},
          plus(retry_to_dsp1, {"DSP1 14612+900", "DSP2 15512+1000", "EFS 16512+1100", "end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 22, 12, 13820},
        {"a lost port on the hex image", every_image(), 13516, {}, {}, {2}, 0, false, 0,
         {{"port fails", "reset"},
          plus(FIRST_SIX_SENT, {"DSP1 14612+900", "DSP2 15512+1000", "EFS 16512+1100", "size end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 12, 8, 13140},
        {"unknown types are stepped over without a port check",
         {entry(HEX, 300), entry(ODD, 50), entry(DBL, 500)}, 1226, {}, {}, {}, 0, false, 0,
         {{"HEX 4472+300", "unknown 0x0BADF00D", "DBL 4822+500", "size end"}}, "DBL", 3, 2, 800},
        {"partial update: only the unflagged images go out", every_image(), 13516,
         flags_of({DBL, FSBL, OSBL, AMSS, DSP1, DSP2}), {}, {}, 0, false, 0,
         {plus(retry_to_dsp1, {"skip DSP1", "skip DSP2", "EFS 16512+1100", "end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 10, 3, 1440},
        {"NV preserved with a complete backup", every_image(), 13516, {}, {}, {}, 1, true, 0,
         {plus(FIRST_SIX_SENT, {"DSP1 14612+900", "DSP2 15512+1000", "EFS 16512+1100", "size end"})},
         "DBL FSBL OSBL AMSS DSP1 DSP2 EFS", 10, 8, 13140},
        {"NV preserved without a complete backup: nothing is sent", every_image(), 13516, {}, {}, {}, 1, false,
         -1, {}, "", 0, 0, 0},
    };
    for (const run_row &row : rows) {
        SCOPED_TRACE(row.name);
        const table16 t = make_table(row.entries);
        fake_modem m;
        m.failing_sends = row.failing_sends;
        m.failing_ports = row.failing_ports;
        m.backup_complete = row.backup_complete;
        const modem_flash_io io{&m,          fake_check_port,      fake_send,      fake_reset,
                                fake_progress, fake_backup_complete, fake_quiet_step};
        check_point = row.flags;
        file_info.efs_restore = row.efs_restore;
        had_write = 0;
        report_dsp2_up_process = 0;
        EXPECT_EQ(modem_flash_run(io, 7, walk_of(t, row.container_size)), row.result);
        EXPECT_EQ(m.attempts, row.attempts);
        EXPECT_EQ(flags_text(check_point), row.flags_after);
        EXPECT_EQ(m.port_checks, row.port_checks);
        EXPECT_EQ(m.progress, row.progress);
        EXPECT_EQ(had_write, row.had_write);
    }
    file_info.efs_restore = 0;
    check_point = modem_check_point_t{};
}

} // namespace
