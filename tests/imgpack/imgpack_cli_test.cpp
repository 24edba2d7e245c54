// The command line of imgpack: help on stdout with status 0, a usage error in
// one line naming the mistake with status 2, and inspect's statuses.
#include <gtest/gtest.h>

#include "imgpack_test_util.h"
#include "run_captured.h"

namespace {

const std::string imgpack = std::string(UP_BIN_DIR) + "/imgpack";

} // namespace

TEST(ImgpackCli, HelpGoesToStdoutWithStatusZero)
{
    struct {
        std::vector<std::string> args;
        const char *first_line;
    } cases[] = {
        {{"--help"}, "usage: imgpack build OUTPUT DESCRIPTION\n"},
        {{"-h"}, "usage: imgpack build OUTPUT DESCRIPTION\n"},
        {{"build", "--help"}, "usage: imgpack build OUTPUT DESCRIPTION\n"},
        {{"build", "out.bin", "--help"}, "usage: imgpack build OUTPUT DESCRIPTION\n"},
        {{"modem", "--help"}, "usage: imgpack modem OUTPUT CONTAINER_DESCRIPTION\n"},
        {{"inspect", "-h"}, "usage: imgpack inspect PACKAGE|CONTAINER [--key PUBLIC]\n"},
        {{"sign", "--help"}, "usage: imgpack sign PACKAGE --key SECRET [--comment TEXT]\n"},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {imgpack};
        args.insert(args.end(), c.args.begin(), c.args.end());
        captured_run r = run_captured(args);
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.compare(0, strlen(c.first_line), c.first_line), 0) << r.out;
        EXPECT_EQ(r.err, "");
    }
    captured_run inspect_help = run_captured({imgpack, "inspect", "--help"});
    EXPECT_NE(inspect_help.out.find("3 result: warning"), std::string::npos) << inspect_help.out;
}

TEST(ImgpackCli, UsageErrorsNameTheMistakeInOneLine)
{
    struct {
        std::vector<std::string> args;
        const char *message;
    } cases[] = {
        {{}, "imgpack: missing command (build, modem, inspect, keygen, sign or attach) (imgpack --help for usage)\n"},
        {{"biuld"}, "imgpack: unknown command biuld (build, modem, inspect, keygen, sign or attach) (imgpack --help for usage)\n"},
        {{"--verbose"}, "imgpack: unknown option --verbose (imgpack --help for usage)\n"},
        {{"build", "out.bin"}, "imgpack: build: missing operand DESCRIPTION (imgpack --help for usage)\n"},
        {{"build"}, "imgpack: build: missing operand OUTPUT (imgpack --help for usage)\n"},
        {{"modem", "out.bin", "a.desc", "b.desc"},
         "imgpack: modem: unexpected operand b.desc (imgpack --help for usage)\n"},
        {{"inspect"}, "imgpack: inspect: missing operand PACKAGE|CONTAINER (imgpack --help for usage)\n"},
        {{"inspect", "-x"}, "imgpack: inspect: unknown option -x (imgpack --help for usage)\n"},
        {{"build", "", "d"}, "imgpack: build: empty operand OUTPUT (imgpack --help for usage)\n"},
        {{"sign", "p.bin"}, "imgpack: sign: missing option --key (imgpack --help for usage)\n"},
        {{"sign", "p.bin", "--key"}, "imgpack: sign: --key needs a value (imgpack --help for usage)\n"},
        {{"keygen", "pub"}, "imgpack: keygen: missing operand SECRET (imgpack --help for usage)\n"},
        {{"attach", "p.bin", "s.minisig", "--comment", "x"},
         "imgpack: attach: unknown option --comment (imgpack --help for usage)\n"},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {imgpack};
        args.insert(args.end(), c.args.begin(), c.args.end());
        captured_run r = run_captured(args);
        SCOPED_TRACE(c.message);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
    }
}

TEST(ImgpackCli, InspectStatusesOkFailAndWarning)
{
    scratch_dir d;
    put_text(d / "version_info.txt", "zImage 2\n");
    put_file(d / "zImage", pattern(1000, 3));
    put_text(d / "desc.txt", "record version version_info.txt 0 version_info.txt\nrecord kernel zImage 0 zImage\n");
    ASSERT_EQ(run_captured({imgpack, "build", d / "pkg.bin", d / "desc.txt"}).status, 0);
    captured_run ok = run_captured({imgpack, "inspect", d / "pkg.bin"});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out.substr(ok.out.size() - 11), "result: ok\n");

    // One byte of the kernel changed: the header's wholecrc no longer matches.
    auto bytes = get_file(d / "pkg.bin");
    bytes[bytes.size() - 10] ^= 0x01;
    put_file(d / "damaged.bin", bytes);
    captured_run damaged = run_captured({imgpack, "inspect", d / "damaged.bin"});
    EXPECT_EQ(damaged.status, 3);
    EXPECT_NE(damaged.out.find("warning: the package is damaged (wholecrc differs) but imgrenew up would install it\n"),
              std::string::npos) << damaged.out;
    EXPECT_EQ(damaged.out.substr(damaged.out.size() - 16), "result: warning\n");

    EXPECT_EQ(run_captured({imgpack, "inspect", d / "missing.bin"}).status, 1);
}
