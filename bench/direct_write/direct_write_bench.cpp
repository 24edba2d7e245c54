// Runs inside the simulated router, with the package in /dev/mtd6 holding one
// root file system record first: writes it to /dev/mtd3 with the tool's
// direct writer and with flash_erase + dd bs=128k of the same bytes, in
// alternating rounds, and prints the median times and ratios.
//
// Usage (inside): bench_direct_write ROUNDS. tools/bench-direct-write.sh sets
// up the router and runs it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "up_package.h"
#include "up_partition.h"

namespace {

double now_s()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs a shell command; true when it exited with 0.
bool run(const std::string &cmd)
{
    int st = system(cmd.c_str());
    return st != -1 && WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The partition holds the record: its first and last 128 KiB are compared.
bool partition_holds(int pkg, const package_record_t &rec)
{
    int mtd = open("/dev/mtd3", O_RDONLY);
    if (mtd < 0)
        return false;
    std::vector<uint8_t> a(131072), b(131072);
    bool ok = true;
    for (uint32_t off : {0u, rec.record_length - 131072u}) {
        ok = ok && pread(pkg, a.data(), a.size(), (off_t)rec.record_offset + off) == 131072 &&
             pread(mtd, b.data(), b.size(), off) == 131072 && a == b;
    }
    close(mtd);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 5;
    int pkg = open("/dev/mtd6", O_RDONLY);
    std::array<uint8_t, PACKAGE_HEAD_SIZE + PACKAGE_RECORD_SIZE> raw;
    if (pkg < 0 || pread(pkg, raw.data(), raw.size(), 0) != (ssize_t)raw.size()) {
        fprintf(stderr, "bench_direct_write: no package in /dev/mtd6\n");
        return 1;
    }
    package_record_t rec;
    decode_package_record(raw.data() + PACKAGE_HEAD_SIZE, &rec);
    if (rec.record_id != PACKAGE_ROOTFS || rec.record_length % 131072 != 0 || rec.record_length == 0) {
        fprintf(stderr, "bench_direct_write: the first record must be a root file system of whole 128 KiB blocks\n");
        return 1;
    }
    const std::string dd = "dd if=/dev/mtd6 of=/dev/mtd3 bs=128k iflag=skip_bytes status=none skip=" +
                           std::to_string(rec.record_offset) +
                           " count=" + std::to_string(rec.record_length / 131072);
    const std::string erase = "flash_erase -q /dev/mtd3 0 256";
    std::vector<double> direct, erase_dd, dd_only;
    for (int r = 0; r < rounds; r++) {
        for (int side = 0; side < 2; side++) {
            if ((side + r) % 2 == 0) {
                double t0 = now_s();
                if (up_process_direct_write_submodule_file(pkg, &rec) != 0)
                    return fprintf(stderr, "direct write failed\n"), 1;
                direct.push_back(now_s() - t0);
            } else {
                double t0 = now_s();
                if (!run(erase) || !run(dd))
                    return fprintf(stderr, "flash_erase + dd failed\n"), 1;
                erase_dd.push_back(now_s() - t0);
                if (!run(erase))
                    return 1;
                t0 = now_s();
                if (!run(dd))
                    return 1;
                dd_only.push_back(now_s() - t0);
            }
            if (!partition_holds(pkg, rec))
                return fprintf(stderr, "partition does not hold the record\n"), 1;
        }
    }
    double d = median(direct), ed = median(erase_dd), o = median(dd_only);
    double mib = rec.record_length / 1048576.0;
    printf("record: %.1f MiB, rounds: %d (medians)\n", mib, rounds);
    printf("direct write (erases 32 MiB, writes): %.3f s  %.1f MiB/s\n", d, mib / d);
    printf("flash_erase + dd bs=128k:             %.3f s  %.1f MiB/s\n", ed, mib / ed);
    printf("dd bs=128k alone (erased before):     %.3f s  %.1f MiB/s\n", o, mib / o);
    printf("ratio direct / (flash_erase + dd) throughput: %.2f\n", ed / d);
    printf("ratio direct / dd alone throughput:           %.2f\n", o / d);
    close(pkg);
    return 0;
}
