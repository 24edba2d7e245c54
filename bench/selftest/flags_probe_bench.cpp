// Two tiny benchmarks run through run_benchmarks_failing_on_error, for the
// check that every benchmark program keeps the library's output flags and
// fails when a run reports an error (check_bench_output.sh).
#include "bench_errors.h"

namespace {

void BM_ProbeRuns(benchmark::State &state)
{
    uint64_t sum = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(sum += 1);
}

void BM_ProbeReportsAnError(benchmark::State &state)
{
    state.SkipWithError("the probe's deliberate error");
    for (auto _ : state) {
    }
}

BENCHMARK(BM_ProbeRuns)->Iterations(10);
BENCHMARK(BM_ProbeReportsAnError);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    int rc = run_benchmarks_failing_on_error("bench_flags_probe");
    benchmark::Shutdown();
    return rc;
}
