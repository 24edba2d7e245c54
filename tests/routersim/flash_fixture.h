// A scratch flash image on the host with the flash emulation preloaded into
// the programs a test runs against it (no sandbox needed).
#pragma once

#include "simharness.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

class FlashImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/flashemu-test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        image = dir + "/mtd.img";
        fault_log = dir + "/faults.log";
        tools_log = dir + "/tools.log";
        bad_table = dir + "/badblocks";
        ASSERT_TRUE(simharness::write_file(image, std::vector<uint8_t>(IMAGE_SIZE, 0xFF)));
    }
    void TearDown() override { simharness::run_program({"rm", "-rf", dir}); }

    std::vector<std::string> env() const
    {
        // A sanitized program refuses to start with a library loaded ahead
        // of its runtime unless told otherwise.
        const char *asan = getenv("ASAN_OPTIONS");
        return {"LD_PRELOAD=" + simharness::lib_path("libflashemu.so"), "FLASHEMU_DEVICES=" + image,
                "FLASHEMU_FAULT_LOG=" + fault_log, "FLASHTOOLS_LOG=" + tools_log,
                "FLASHEMU_BADBLOCKS=" + bad_table,
                std::string("ASAN_OPTIONS=verify_asan_link_order=0") + (asan != nullptr ? std::string(":") + asan : "")};
    }
    // Runs a program of the build (or any program) under the emulation.
    std::string probe(std::vector<std::string> args, int *rc = nullptr) const
    {
        std::string out;
        int r = simharness::run_program(args, env(), &out);
        if (rc != nullptr)
            *rc = r;
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }
    std::vector<uint8_t> bytes(size_t off, size_t len) const
    {
        std::string all = simharness::read_file(image);
        return std::vector<uint8_t>(all.begin() + (long)off, all.begin() + (long)(off + len));
    }

    static constexpr size_t IMAGE_SIZE = 4 * 128 * 1024;
    // Makes erase block `block` of the image a factory bad block: listed in
    // the table and holding zeros, as routersim marks one.
    void mark_bad(unsigned block)
    {
        std::string all = simharness::read_file(image);
        std::fill(all.begin() + (long)block * 0x20000, all.begin() + (long)(block + 1) * 0x20000, '\0');
        ASSERT_TRUE(simharness::write_file(image, std::vector<uint8_t>(all.begin(), all.end())));
        std::string table = simharness::read_file(bad_table) + image + " " + std::to_string(block) + "\n";
        ASSERT_TRUE(simharness::write_file(bad_table, std::vector<uint8_t>(table.begin(), table.end())));
    }

    std::string dir, image, fault_log, tools_log, bad_table;
};
