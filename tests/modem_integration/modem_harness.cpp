// Runs modemsim as a child process for a test and looks at what it left.
#include "modem_harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_files.h"

#ifndef UP_BIN_DIR
#error "UP_BIN_DIR must name the folder of the built programs"
#endif

using testkit::read_text;
using testkit::write_text;

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

} // namespace

bool in_modem_sandbox(void)
{
    const char *v = getenv("MODEM_IT_SANDBOX");
    return v != nullptr && strcmp(v, "1") == 0;
}

bool path_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()> &pred, int ms)
{
    for (int waited = 0; waited <= ms; waited += 2) {
        if (pred())
            return true;
        usleep(2000);
    }
    return pred();
}

modem_harness::modem_harness()
{
    char tmpl[] = "/tmp/modemit.XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        root_ = tmpl;
    state_ = root_ + "/modem";
    sysfs_ = root_ + "/sys";
    links_ = in_modem_sandbox() ? std::string("/dev") : root_ + "/dev";
}

modem_harness::~modem_harness()
{
    stop();
    // The library logs to syslog, which the sandbox does not have: the
    // modem's side of the exchange is what explains a failure.
    if (::testing::Test::HasFailure())
        printf("---- %s/out/modem.log ----\n%s---- end ----\n", state_.c_str(), log().c_str());
    if (!root_.empty())
        nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool modem_harness::start(const std::vector<std::string> &extra)
{
    if (root_.empty())
        return false;
    std::vector<std::string> args = {UP_BIN_DIR "/modemsim", state_, "--link-dir", links_, "--sysfs", sysfs_};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid_ < 0)
        return false;
    // The attach line is logged once every port, link and sysfs entry exists.
    return wait_until([&] { return log_count(" attach ") > 0; }, 5000);
}

int modem_harness::stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (r < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string modem_harness::log() const
{
    return read_text(state_ + "/out/modem.log");
}

int modem_harness::log_count(const std::string &text) const
{
    std::string all = log();
    int n = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + 1))
        n++;
    return n;
}

std::vector<uint8_t> modem_harness::flash(const std::string &name) const
{
    std::string s = read_text(state_ + "/flash/" + name);
    return std::vector<uint8_t>(s.begin(), s.end());
}

bool modem_harness::flash_exists(const std::string &name) const
{
    return path_exists(state_ + "/flash/" + name);
}

void modem_harness::write_faults(const std::string &rules) const
{
    // Written aside and renamed: the modem must never read half a file.
    write_text(state_ + "/faults.new", rules);
    rename((state_ + "/faults.new").c_str(), (state_ + "/faults").c_str());
}

void modem_harness::set_power(int on) const
{
    // As "echo N > wcdma_power" does it: truncate and write in place.
    write_text(sysfs_ + "/module/pmic/parameters/wcdma_power", on ? "1\n" : "0\n");
}

std::vector<uint8_t> test_bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        uint8_t b = (uint8_t)(x >> 16);
        // One byte in eight is a framing value, so stuffing is always exercised.
        if ((x >> 8 & 7) == 0)
            b = (x >> 11 & 1) ? 0x7E : 0x7D;
        v[i] = b;
    }
    return v;
}

int make_package(const std::string &path, const std::vector<std::vector<uint8_t>> &parts)
{
    {
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        for (auto &p : parts)
            f.write(reinterpret_cast<const char *>(p.data()), (std::streamsize)p.size());
    }
    return open(path.c_str(), O_RDONLY | O_CLOEXEC);
}
