// The system-test harness around routersim.
#include "simharness.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace simharness {
namespace {

std::string number_text(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Members of an object under prefix: strings as their text, other scalars
// as the library writes them, nested objects as "outer.inner".
bool flatten(const nlohmann::json &v, const std::string &prefix, std::map<std::string, std::string> *out)
{
    if (!v.is_object())
        return false;
    for (auto it = v.begin(); it != v.end(); ++it) {
        const nlohmann::json &m = it.value();
        if (m.is_object()) {
            if (!flatten(m, prefix + it.key() + ".", out))
                return false;
        } else if (m.is_array()) {
            return false;
        } else {
            (*out)[prefix + it.key()] = m.is_string() ? m.get<std::string>() : m.dump();
        }
    }
    return true;
}

}  // namespace

bool parse_flat_json(const std::string &line, std::map<std::string, std::string> *out)
{
    out->clear();
    nlohmann::json v = nlohmann::json::parse(line, nullptr, false);
    return !v.is_discarded() && flatten(v, "", out);
}

std::string bin_path(const std::string &name)
{
    return std::string(UP_BIN_DIR) + "/" + name;
}

std::string lib_path(const std::string &name)
{
    return std::string(UP_LIB_DIR) + "/" + name;
}

int run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string *out)
{
    std::vector<std::string> envs;
    for (char **e = environ; *e != nullptr; ++e)
        envs.push_back(*e);
    for (const std::string &kv : env) {
        std::string name = kv.substr(0, kv.find('=') + 1);
        for (auto it = envs.begin(); it != envs.end();)
            it = it->compare(0, name.size(), name) == 0 ? envs.erase(it) : it + 1;
        envs.push_back(kv);
    }
    std::vector<char *> args;
    std::vector<char *> envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (std::string &e : envs)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int pipefd[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out != nullptr) {
        if (pipe2(pipefd, O_CLOEXEC) != 0)
            return -1;
        posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (out != nullptr) {
        close(pipefd[1]);
        out->clear();
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                out->append(buf, (size_t)n);
        close(pipefd[0]);
    }
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

std::vector<std::string> read_lines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string s = read_file(path);
    size_t start = 0;
    while (start < s.size()) {
        size_t end = s.find('\n', start);
        if (end == std::string::npos)
            end = s.size();
        lines.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

sim_router::sim_router(const std::vector<std::string> &init_args)
{
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/simstate.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return;
    state_ = buf.data();
    std::vector<std::string> argv = {bin_path("routersim"), "init", state_};
    argv.insert(argv.end(), init_args.begin(), init_args.end());
    ok_ = run_program(argv) == 0;
}

sim_router::~sim_router()
{
    if (state_.empty())
        return;
    if (getenv("KEEP_STATE") != nullptr) {
        fprintf(stderr, "simharness: kept %s\n", state_.c_str());
        return;
    }
    run_program({"rm", "-rf", "--one-file-system", state_});
}

int sim_router::load_package(const std::string &package)
{
    return run_program({bin_path("routersim"), "load-package", state_, package});
}

int sim_router::run(const std::vector<std::string> &command, const run_options &opt)
{
    std::vector<std::string> argv = {bin_path("routersim"), "run", state_};
    if (opt.time_scale != 1.0)
        argv.insert(argv.end(), {"--time-scale", number_text(opt.time_scale)});
    if (opt.timeout_s > 0)
        argv.insert(argv.end(), {"--timeout", number_text(opt.timeout_s)});
    if (opt.kill_after_ms >= 0)
        argv.insert(argv.end(), {"--kill-after", std::to_string(opt.kill_after_ms)});
    if (opt.cut_at_op != 0)
        argv.insert(argv.end(), {"--cut-at-op", std::to_string(opt.cut_at_op)});
    if (!opt.cut_mode.empty())
        argv.insert(argv.end(), {"--cut-mode", opt.cut_mode});
    if (!opt.file_mode_package.empty())
        argv.insert(argv.end(), {"--file-mode", opt.file_mode_package});
    if (!opt.modem_state.empty())
        argv.insert(argv.end(), {"--modem", opt.modem_state});
    if (!opt.modem_program.empty())
        argv.insert(argv.end(), {"--modem-program", opt.modem_program});
    if (!opt.tmp_dir.empty())
        argv.insert(argv.end(), {"--tmp-dir", opt.tmp_dir});
    if (!opt.modem_power_cut.empty())
        argv.insert(argv.end(), {"--modem-power-cut", opt.modem_power_cut});
    for (const std::string &kv : opt.env)
        argv.insert(argv.end(), {"--env", kv});
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    verdict_.clear();
    exit_status_ = run_program(argv, {}, &verdict_);
    while (!verdict_.empty() && verdict_.back() == '\n')
        verdict_.pop_back();
    // Failed, cut, timed out or stopped: the run is recorded all the same.
    bool recorded = exit_status_ == 0 || (exit_status_ >= 10 && exit_status_ <= 13);
    return recorded ? 0 : exit_status_;
}

std::string sim_router::status() const
{
    std::string s = out("status");
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string sim_router::out(const std::string &name) const
{
    return read_file(state_ + "/out/" + name);
}

std::vector<std::string> sim_router::out_lines(const std::string &name) const
{
    return read_lines(state_ + "/out/" + name);
}

bool sim_router::syslog_contains(const std::string &text) const
{
    for (const std::string &l : syslog())
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

std::vector<bus_message> sim_router::bus() const
{
    std::vector<bus_message> msgs;
    for (const std::string &line : out_lines("bus.jsonl")) {
        std::map<std::string, std::string> f;
        if (!parse_flat_json(line, &f))
            continue;
        bus_message m;
        m.module = atoi(f["module"].c_str());
        m.msg_type = (uint32_t)strtoul(f["msg_type"].c_str(), nullptr, 10);
        m.msg_id = (uint32_t)strtoul(f["msg_id"].c_str(), nullptr, 10);
        m.length = (uint32_t)strtoul(f["length"].c_str(), nullptr, 10);
        m.session_id = (uint32_t)strtoul(f["session_id"].c_str(), nullptr, 10);
        m.payload_hex = f["payload_hex"];
        for (const auto &kv : f)
            if (kv.first.compare(0, 8, "payload.") == 0)
                m.payload[kv.first.substr(8)] = strtoll(kv.second.c_str(), nullptr, 10);
        msgs.push_back(m);
    }
    return msgs;
}

std::string sim_router::flash_path(int mtd) const
{
    return state_ + "/flash/mtd" + std::to_string(mtd) + ".img";
}

std::vector<uint8_t> sim_router::flash(int mtd, uint64_t offset, size_t len) const
{
    std::vector<uint8_t> bytes;
    int fd = open(flash_path(mtd).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    bytes.resize(len);
    ssize_t n = pread(fd, bytes.data(), len, (off_t)offset);
    close(fd);
    bytes.resize(n > 0 ? (size_t)n : 0);
    return bytes;
}

bool sim_router::flash_equals(int mtd, uint64_t offset, const std::vector<uint8_t> &bytes) const
{
    return flash(mtd, offset, bytes.size()) == bytes;
}

bool sim_router::flash_erased(int mtd, uint64_t offset, uint64_t len) const
{
    std::vector<uint8_t> b = flash(mtd, offset, (size_t)len);
    if (b.size() != len)
        return false;
    for (uint8_t v : b)
        if (v != 0xFF)
            return false;
    return true;
}

std::string sim_router::second_fs_file(const std::string &rel) const
{
    return read_file(state_ + "/2ndfile/" + rel);
}

}  // namespace simharness
