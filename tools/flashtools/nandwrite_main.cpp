// nandwrite stand-in: "nandwrite [-p] [-m] [-q] [-s START] MTD_DEVICE INPUTFILE".
// Writes the file page by page into already erased flash, like the real tool:
// it does not erase, so writing over old data shows up as a flash fault.
#include "mtd_tool.h"

#include "up_fd.h"

#include <cinttypes>
#include <cstdio>
#include <getopt.h>
#include <unistd.h>

namespace {

const char TOOL[] = "nandwrite";

void usage()
{
    fprintf(stderr, "usage: %s [-p] [-m] [-q] [-s START] MTD_DEVICE INPUTFILE\n", TOOL);
}

}  // namespace

int main(int argc, char **argv)
{
    tool_log_invocation(argc, argv);
    static const option longopts[] = {
        {"pad", no_argument, nullptr, 'p'},
        {"markbad", no_argument, nullptr, 'm'},
        {"quiet", no_argument, nullptr, 'q'},
        {"start", required_argument, nullptr, 's'},
        {nullptr, 0, nullptr, 0},
    };
    bool pad = false;
    bool quiet = false;
    uint64_t start = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, "pmqs:", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'p': pad = true; break;
        case 'm': break;                      // a write never makes a block bad here
        case 'q': quiet = true; break;
        case 's':
            if (!parse_number(optarg, &start)) {
                fprintf(stderr, "%s: bad start address %s\n", TOOL, optarg);
                return 1;
            }
            break;
        default: usage(); return 1;
        }
    }
    if (argc - optind != 2) {
        usage();
        return 1;
    }
    mtd_info_user info{};
    unique_fd fd(mtd_open(TOOL, argv[optind], &info));
    if (!fd.ok())
        return 1;
    uint64_t written = 0;
    if (mtd_write_file(TOOL, fd.get(), info, argv[optind + 1], start, pad, &written) != 0)
        return 1;
    if (!quiet)
        printf("Writing data to block at offset 0x%" PRIx64 ", %" PRIu64 " bytes\n", start, written);
    return 0;
}
