// Crc32_ComputeBuf against zlib's crc32 on the same buffers, in one run.
//
// Run: build/bin/bench_crc32 [--benchmark_repetitions=N]. BM_Crc32Ratio
// times both back to back in every iteration (the thread's processor time),
// so both see the same machine state; its "ratio" counter is library
// throughput / zlib throughput.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdint>
#include <ctime>
#include <vector>
#include <zlib.h>

#include "bench_errors.h"
#include "up_api.h"

namespace {

// 8 KiB is the chunk of the file CRC; 40 MiB a large modem container.
const std::vector<int64_t> SIZES = {64, 1024, 8192, 65536, 1 << 20, 40 << 20};

const std::vector<uint8_t> &buffer()
{
    static std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d((size_t)(40 << 20) + 16);
        uint32_t x = 0x9E3779B9u;
        for (auto &b : d) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = (uint8_t)x;
        }
        return d;
    }();
    return data;
}

// The buffer starts one byte past an aligned address, as a record inside a
// package may.
const uint8_t *data_start() { return buffer().data() + 1; }

uint32_t zlib_crc(const uint8_t *p, size_t n) { return (uint32_t)crc32(0L, p, (uInt)n); }

void BM_Crc32Library(benchmark::State &state)
{
    const size_t n = (size_t)state.range(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(Crc32_ComputeBuf(0, data_start(), (uint32_t)n));
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)n);
}

void BM_Crc32Zlib(benchmark::State &state)
{
    const size_t n = (size_t)state.range(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(zlib_crc(data_start(), n));
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)n);
}

// Processor time of this thread: on a shared machine the other programs'
// load does not count against either side.
double thread_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

void BM_Crc32Ratio(benchmark::State &state)
{
    const size_t n = (size_t)state.range(0);
    const uint8_t *p = data_start();
    if (Crc32_ComputeBuf(0, p, (uint32_t)n) != zlib_crc(p, n)) {
        state.SkipWithError("results differ from zlib");
        return;
    }
    // Enough calls per timing that the clock's own cost does not count.
    const int reps = (int)(((size_t)1 << 20) / n) + 1;
    double lib_s = 0, zlib_s = 0;
    for (auto _ : state) {
        double t0 = thread_seconds();
        for (int r = 0; r < reps; r++)
            benchmark::DoNotOptimize(Crc32_ComputeBuf(0, p, (uint32_t)n));
        double t1 = thread_seconds();
        for (int r = 0; r < reps; r++)
            benchmark::DoNotOptimize(zlib_crc(p, n));
        lib_s += t1 - t0;
        zlib_s += thread_seconds() - t1;
    }
    const double bytes = (double)state.iterations() * reps * (double)n;
    state.counters["library_GBps"] = lib_s > 0 ? bytes / lib_s / 1e9 : 0;
    state.counters["zlib_GBps"] = zlib_s > 0 ? bytes / zlib_s / 1e9 : 0;
    state.counters["ratio"] = lib_s > 0 ? zlib_s / lib_s : 0;
}

void sizes(benchmark::internal::Benchmark *b)
{
    for (int64_t s : SIZES)
        b->Arg(s);
}

BENCHMARK(BM_Crc32Library)->Apply(sizes);
BENCHMARK(BM_Crc32Zlib)->Apply(sizes);
BENCHMARK(BM_Crc32Ratio)->Apply(sizes);

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    int rc = run_benchmarks_failing_on_error("bench_crc32");
    benchmark::Shutdown();
    return rc;
}
