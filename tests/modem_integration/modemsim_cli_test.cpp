// The virtual modem's command line and fault rules: help on stdout, a usage
// error in one line, and a rule it cannot act on refused with status 2 (from
// --fault, from the control file at start and while it runs), since a rule
// that never fires makes a test pass for the wrong reason.
#include <gtest/gtest.h>

#include "fault_rules.h"
#include "modem_harness.h"
#include "raw_port.h"
#include "run_captured.h"
#include "scratch_dir.h"
#include "up_fd.h"

namespace {

const std::string modemsim = std::string(UP_BIN_DIR) + "/modemsim";

} // namespace

TEST(ModemsimCli, HelpAndUsageErrors)
{
    captured_run help = run_captured({modemsim, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: modemsim MODEMSTATE --link-dir DIR [--sysfs DIR]", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");

    scratch_dir d;
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{"--bogus"}, "modemsim: unknown argument --bogus (modemsim --help for usage)\n"},
        {{d / "state"}, "modemsim: MODEMSTATE and --link-dir are required (modemsim --help for usage)\n"},
        {{d / "state", "--link-dir", d / "links", "--start", "boot"},
         "modemsim: bad or missing value for --start (modemsim --help for usage)\n"},
        {{d / "state", "--link-dir", d / "links", "--fault", "noreply strem-write 1"},
         "modemsim: --fault \"noreply strem-write 1\": unknown frame kind strem-write (see docs/modemsim.md)\n"},
        {{d / "state", "--link-dir", d / "links", "--fault", "nak bogus 1"},
         "modemsim: --fault \"nak bogus 1\": unknown frame kind bogus (see docs/modemsim.md)\n"},
        {{d / "state", "--link-dir", d / "links", "--fault", "fail-image dps1 1"},
         "modemsim: --fault \"fail-image dps1 1\": unknown image dps1 (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {modemsim};
        args.insert(args.end(), c.args.begin(), c.args.end());
        captured_run r = run_captured(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST(ModemsimCli, ControlFileRuleThatCannotFireStopsTheModem)
{
    // At start: the modem never appears.
    scratch_dir d;
    ASSERT_EQ(mkdir((d / "state").c_str(), 0755), 0);
    FILE *f = fopen((d / "state/faults").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("# a typo on the second rule\ndrop nop 1\nnak at-cfn 1-2\n", f);
    fclose(f);
    captured_run r = run_captured({modemsim, d / "state", "--link-dir", d / "links"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "modemsim: " + (d / "state/faults") +
                         " line 3: unknown frame kind at-cfn (see docs/modemsim.md)\n");
    EXPECT_FALSE(path_exists(d / "links/ttyUSB0"));

    // While it runs: the rule is refused when the next frame makes the modem
    // read the file again.
    modem_harness modem;
    ASSERT_TRUE(modem.start({"--start", "download"}));
    unique_fd port(raw_open(modem.diag_port()));
    ASSERT_TRUE(port.ok());
    EXPECT_TRUE(raw_exchange(port.get(), {0x06}).got);
    modem.write_faults("fail-image dps1 1\n");
    EXPECT_FALSE(raw_exchange(port.get(), {0x06}, 400).got);
    EXPECT_TRUE(wait_until([&] { return modem.log_count("fault file line 1 refused") == 1; }, 20000));
    EXPECT_EQ(modem.stop(), 2);
    EXPECT_EQ(modem.log_count("fault file line 1 refused: unknown image dps1 (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)"),
              1) << modem.log();
}

TEST(ModemsimFaultRules, KindsAndImagesAreTheOnesTheModemKnows)
{
    struct {
        const char *line;
        int rc;
        const char *err;
    } cases[] = {
        {"nak at-cfun 1-2", 0, ""},
        {"status nv-write@601 *", 0, ""},
        {"drop nv 5-", 0, ""},
        {"silent any 7", 0, ""},
        {"noreply ftm-switch 1", 0, ""},
        {"fail-image efs 2 open", 0, ""},
        {"nak bogus 1", -1, "unknown frame kind bogus (see docs/modemsim.md)"},
        {"drop stream_write@0x400 *", -1, "unknown frame kind stream_write (see docs/modemsim.md)"},
        {"fail-image dps1 1", -1, "unknown image dps1 (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)"},
        {"fail-image stream-write 1", -1, "unknown image stream-write (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)"},
        {"fail-image dbl@0x400 1", -1, "unknown image dbl@0x400 (dbl, fsbl, osbl, amss, dsp1, dsp2, efs)"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        fault_rule r;
        char err[96] = "";
        EXPECT_EQ(fault_rule_parse(c.line, &r, err, sizeof err), c.rc);
        EXPECT_STREQ(c.rc == 0 ? "" : err, c.err);
    }
}
