// The benchmark library exits 0 after a benchmark called SkipWithError, so a
// smoke test of a benchmark that no longer runs would pass. The display
// reporter here counts the runs that reported an error and hands everything
// on to the reporter the library itself would have made, so the library's
// output flags (--benchmark_format, --benchmark_out, --benchmark_color, ...)
// keep their meaning; the program's status says whether a run failed.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

class error_counting_reporter : public benchmark::BenchmarkReporter {
public:
    // The library's display reporter for the flags given to Initialize.
    error_counting_reporter() : inner_(benchmark::CreateDefaultDisplayReporter()) {}

    bool ReportContext(const Context &context) override { return inner_->ReportContext(context); }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.error_occurred)
                ++errors;
        inner_->ReportRuns(runs);
    }
    void Finalize() override { inner_->Finalize(); }

    int errors = 0;

private:
    std::unique_ptr<benchmark::BenchmarkReporter> inner_;
};

// Runs the selected benchmarks (after benchmark::Initialize); 0, or 1 when
// one of them reported an error (named in the library's own output, counted
// here), or when the filter selects no benchmark at all.
inline int run_benchmarks_failing_on_error(const char *program)
{
    error_counting_reporter reporter;
    size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.errors > 0) {
        fprintf(stderr, "%s: %d benchmark run(s) reported an error\n", program, reporter.errors);
        return 1;
    }
    if (ran == 0) {
        fprintf(stderr, "%s: no benchmark matches --benchmark_filter=%s\n", program,
                benchmark::GetBenchmarkFilter().c_str());
        return 1;
    }
    return 0;
}
