// Runs a campaign's jobs in child processes, a few at a time.
#include "fork_pool.h"

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

void fork_pool_run(size_t jobs, size_t count, const volatile sig_atomic_t *stop,
                   const std::function<int(size_t slot, size_t index)> &run,
                   const std::function<void(size_t slot, size_t index)> &done)
{
    std::vector<pid_t> pid_of(jobs, -1);
    std::vector<size_t> job_of(jobs, 0);
    size_t next = 0;
    for (;;) {
        for (size_t k = 0; k < jobs && next < count && !*stop; ++k) {
            if (pid_of[k] > 0)
                continue;
            const pid_t pid = fork();
            if (pid == 0) {
                signal(SIGINT, SIG_DFL);
                signal(SIGTERM, SIG_DFL);
                _exit(run(k, next));
            }
            if (pid < 0)
                break;
            pid_of[k] = pid;
            job_of[k] = next++;
        }
        bool running = false;
        for (pid_t p : pid_of)
            running = running || p > 0;
        if (!running)
            return;
        int status = 0;
        const pid_t pid = wait(&status);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (size_t k = 0; k < jobs; ++k) {
            if (pid_of[k] != pid)
                continue;
            pid_of[k] = -1;
            done(k, job_of[k]);
        }
    }
}
