// kobs-ng stand-in: "kobs-ng init [-v] [-d DEVICE | --chip_0_device_path=DEVICE] IMAGE".
//
// The real tool lays out boot control blocks and several boot stream copies.
// The simulated router keeps only what the upgrade relies on: the boot stream
// stored raw from offset 0 of the boot partition (/dev/mtd0 unless -d), after
// erasing just the blocks it needs, its last page padded with 0xFF. A test
// compares the partition's first bytes with the image.
#include "mtd_tool.h"

#include "up_fd.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

const char TOOL[] = "kobs-ng";

void usage()
{
    fprintf(stderr, "usage: %s init [-v] [-d DEVICE] IMAGE\n", TOOL);
}

}  // namespace

int main(int argc, char **argv)
{
    tool_log_invocation(argc, argv);
    if (argc < 2 || strcmp(argv[1], "init") != 0) {
        usage();
        return 1;
    }
    static const option longopts[] = {
        {"chip_0_device_path", required_argument, nullptr, 'd'},
        {"verbose", no_argument, nullptr, 'v'},
        {nullptr, 0, nullptr, 0},
    };
    const char *dev = "/dev/mtd0";
    bool verbose = false;
    int opt;
    // Options follow the sub-command, so parsing starts after "init".
    int sub_argc = argc - 1;
    char **sub_argv = argv + 1;
    while ((opt = getopt_long(sub_argc, sub_argv, "vd:", longopts, nullptr)) != -1) {
        switch (opt) {
        case 'v': verbose = true; break;
        case 'd': dev = optarg; break;
        default: usage(); return 1;
        }
    }
    if (sub_argc - optind != 1) {
        usage();
        return 1;
    }
    const char *image = sub_argv[optind];
    int64_t len = file_size(image);
    if (len <= 0) {
        fprintf(stderr, "%s: %s: missing or empty boot stream\n", TOOL, image);
        return 1;
    }
    mtd_info_user info{};
    unique_fd fd(mtd_open(TOOL, dev, &info));
    if (!fd.ok())
        return 1;
    int64_t blocks = mtd_span_blocks(fd.get(), info, 0, (uint64_t)len);
    if (blocks < 0) {
        fprintf(stderr, "%s: %s does not fit in %s\n", TOOL, image, dev);
        return 1;
    }
    if (mtd_erase_blocks(TOOL, fd.get(), info, 0, (uint64_t)blocks) != 0)
        return 1;
    uint64_t written = 0;
    if (mtd_write_file(TOOL, fd.get(), info, image, 0, true, &written) != 0)
        return 1;
    if (verbose)
        printf("%s: wrote %llu bytes of %s to %s\n", TOOL, (unsigned long long)written, image, dev);
    return 0;
}
