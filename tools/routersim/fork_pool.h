// The worker pool of the campaigns: each job runs in a child process of its
// own, so that a job that crashes or hangs takes nothing else with it, and
// its result comes back through a file in the job's slot folder.
#pragma once

#include <csignal>
#include <cstddef>
#include <functional>

// Runs jobs 0..count-1, at most `jobs` at a time. run(slot, index) is
// called in the child (slot is 0..jobs-1, the folder it may use) and its
// value is the child's exit status; done(slot, index) is called in the
// parent once that child has ended, in the order they end. No new job
// starts once *stop is set; those running are waited for.
void fork_pool_run(size_t jobs, size_t count, const volatile sig_atomic_t *stop,
                   const std::function<int(size_t slot, size_t index)> &run,
                   const std::function<void(size_t slot, size_t index)> &done);
