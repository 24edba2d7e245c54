// The long power-cut runs take every cut point; ctest also registers a sample
// of them (POWER_CUT_SAMPLE_EVERY=N keeps the 1st, the N+1st, ... point) for
// the ordinary test command and CI. tools/run-long-tests.sh runs them whole.
#pragma once

#include <cstdlib>

namespace testkit {

// The sampling step from POWER_CUT_SAMPLE_EVERY: 1 (every point) when unset
// or not a positive number.
inline int sample_every()
{
    const char *v = getenv("POWER_CUT_SAMPLE_EVERY");
    if (!v)
        return 1;
    char *end = nullptr;
    const long n = strtol(v, &end, 10);
    return (end != v && *end == '\0' && n > 0 && n < 100000) ? (int)n : 1;
}

// How many of `points` a sample keeps (the first of each group of N).
inline int sampled_count(int points)
{
    const int n = sample_every();
    return (points + n - 1) / n;
}

} // namespace testkit
