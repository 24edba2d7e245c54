// Scratch folders and small file helpers for the imgpack tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "scratch_dir.h"
#include "test_files.h"

inline void put_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()))
        abort();
    fclose(f);
}

inline void put_text(const std::string &path, const std::string &text)
{
    put_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> get_file(const std::string &path)
{
    return testkit::read_bytes(path);
}

inline std::vector<uint8_t> pattern(size_t n, unsigned seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = (uint8_t)(i * 31 + seed);
    return v;
}

// Runs argv with stdout and stderr into out_file; returns the exit status.
inline int run_program(const std::vector<std::string> &args, const std::string &out_file)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        FILE *f = freopen(out_file.c_str(), "w", stdout);
        if (f == nullptr || dup2(1, 2) < 0)
            _exit(126);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs print with a memory stream and returns what it wrote; its result in *rc.
inline std::string captured_output(const std::function<int(FILE *)> &print, int *rc)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    *rc = print(f);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    return text;
}
