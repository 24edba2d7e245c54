// flash_erase stand-in: "flash_erase [-q] [-N] MTD_DEVICE START_OFFSET BLOCK_COUNT".
// A count of 0 erases from START_OFFSET to the end of the partition.
#include "mtd_tool.h"

#include "up_fd.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char TOOL[] = "flash_erase";

void usage()
{
    fprintf(stderr, "usage: %s [-q] [-N] MTD_DEVICE START_OFFSET BLOCK_COUNT\n", TOOL);
}

}  // namespace

int main(int argc, char **argv)
{
    tool_log_invocation(argc, argv);
    bool quiet = false;
    int opt;
    while ((opt = getopt(argc, argv, "qN")) != -1) {
        switch (opt) {
        case 'q': quiet = true; break;
        case 'N': break;                      // the table of bad blocks is fixed
        default: usage(); return 1;
        }
    }
    if (argc - optind != 3) {
        usage();
        return 1;
    }
    const char *dev = argv[optind];
    uint64_t start = 0;
    uint64_t count = 0;
    if (!parse_number(argv[optind + 1], &start) || !parse_number(argv[optind + 2], &count)) {
        fprintf(stderr, "%s: bad START_OFFSET or BLOCK_COUNT\n", TOOL);
        return 1;
    }
    mtd_info_user info{};
    unique_fd fd(mtd_open(TOOL, dev, &info));
    if (!fd.ok())
        return 1;
    if (start % info.erasesize != 0) {
        fprintf(stderr, "%s: Start address must be aligned to erase block\n", TOOL);
        return 1;
    }
    uint64_t blocks = info.size / info.erasesize;
    uint64_t first = start / info.erasesize;
    if (count == 0)
        count = first < blocks ? blocks - first : 0;
    if (first > blocks || count > blocks - first) {
        fprintf(stderr, "%s: (start + count) exceeds device\n", TOOL);
        return 1;
    }
    if (mtd_erase_blocks(TOOL, fd.get(), info, start, count) != 0)
        return 1;
    if (!quiet && count > 0)
        printf("Erasing %u Kibyte @ %" PRIx64 " -- 100 %% complete\n", (unsigned)(info.erasesize / 1024),
               start + (count - 1) * info.erasesize);
    return 0;
}
