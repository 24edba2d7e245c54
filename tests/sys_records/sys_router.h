// A simulated router per test and the few things these scenarios do with it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "simharness.h"
#include "up_fd.h"

class records_router {
public:
    explicit records_router(const std::vector<std::string> &init = {}) : r(init) {}
    simharness::sim_router r;

    // Runs a shell line in the router (imgrenew is on its PATH); the status.
    std::string sh(const std::string &line, double time_scale = 50)
    {
        simharness::run_options opt;
        opt.time_scale = time_scale;
        opt.timeout_s = 600;
        EXPECT_EQ(r.run({"sh", "-c", line}, opt), 0);
        return r.status();
    }
    std::string scratch(const std::string &name) const { return r.state() + "/test-" + name; }
    void put_flash(int mtd, uint64_t at, const std::vector<uint8_t> &b)
    {
        unique_fd fd(open(r.flash_path(mtd).c_str(), O_WRONLY));
        ASSERT_EQ(pwrite(fd.get(), b.data(), b.size(), (off_t)at), (ssize_t)b.size());
    }
    std::string file(const std::string &rel) const
    {
        return simharness::read_file(r.state() + "/2ndfile/" + rel);
    }
    bool has_file(const std::string &rel) const
    {
        return access((r.state() + "/2ndfile/" + rel).c_str(), F_OK) == 0;
    }
    // Every path under the router's state folder except the run records.
    std::string tree_listing()
    {
        std::string out;
        simharness::run_program({"sh", "-c", "cd '" + r.state() +
                                                 "' && find . -path ./out -prune -o -print | sort"},
                                {}, &out);
        return out;
    }
};

inline std::vector<uint8_t> pattern_bytes(size_t n, unsigned seed)
{
    std::vector<uint8_t> b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (uint8_t)(x >> 16);
    }
    return b;
}
