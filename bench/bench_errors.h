// The benchmark library exits 0 after a benchmark called SkipWithError, so a
// smoke test of a benchmark that no longer runs would pass. This display
// reporter counts the runs that reported an error; the program's status
// says so.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>

class error_counting_reporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.error_occurred)
                ++errors;
        ConsoleReporter::ReportRuns(runs);
    }
    int errors = 0;
};

// Runs the selected benchmarks; 0, or 1 when one of them reported an error
// (named on stderr by the library's own output, counted here).
inline int run_benchmarks_failing_on_error(const char *program)
{
    error_counting_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.errors > 0) {
        fprintf(stderr, "%s: %d benchmark run(s) reported an error\n", program, reporter.errors);
        return 1;
    }
    return 0;
}
