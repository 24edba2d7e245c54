// Runs a program with its standard output and error captured apart, for the
// tests of what host tools print on a usage error and on --help.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct captured_run {
    int status = -1;         // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline std::string read_all_fd(int fd)
{
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, (size_t)n);
    return text;
}

// args[0] is the program's path; standard input is /dev/null.
inline captured_run run_captured(const std::vector<std::string> &args)
{
    captured_run r;
    char out_name[] = "/tmp/run_captured_out_XXXXXX";
    char err_name[] = "/tmp/run_captured_err_XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0)
        return r;
    unlink(out_name);
    unlink(err_name);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0)
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = read_all_fd(out_fd);
    r.err = read_all_fd(err_fd);
    close(out_fd);
    close(err_fd);
    return r;
}
