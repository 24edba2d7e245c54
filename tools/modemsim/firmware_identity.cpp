// What the modem keeps between runs besides its flash: the identity items the
// factory set (MODEMSTATE/identity, "key=value" lines, values without their
// quotes) and the running firmware version (MODEMSTATE/version).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "exchange_log.h"
#include "modem_core.h"
#include "up_fd.h"

namespace {

constexpr const char *DEFAULT_VERSION = "ZMR_V100";
// Where a flashed AMSS image names its version, if it does.
constexpr const char VERSION_MARKER[] = "InnerVersion:";

struct identity_field {
    const char *key;
    std::array<char, MODEM_AT_VALUE> modem_identity::*field;
    const char *initial;
};

constexpr identity_field identity_fields[] = {
    {"sn", &modem_identity::sn, "KQ1234567890"},
    {"imei", &modem_identity::imei, "861234567890123"},
    {"testinf", &modem_identity::testinf, "RF:PASS"},
    {"simlock", &modem_identity::simlock, "0"},
    {"inds", &modem_identity::inds, ""},
};

template <size_t N> void set_text(std::array<char, N> &dst, const char *src, size_t len)
{
    if (len >= N)
        len = N - 1;
    memcpy(dst.data(), src, len);
    dst[len] = '\0';
}

// Reads a small text file whole; "" when missing.
std::string read_small(const char *path)
{
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return std::string();
    char buf[4096];
    ssize_t n = read_full(fd.get(), buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

int write_atomic(const char *path, const std::string &text)
{
    char tmp[1300];
    if (snprintf(tmp, sizeof tmp, "%s.new", path) >= (int)sizeof tmp)
        return -1;
    unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok() || write_full(fd.get(), text.data(), text.size()) != (ssize_t)text.size())
        return -1;
    fd.reset();
    return rename(tmp, path);
}

// The version an AMSS image names after its marker, or "".
std::string version_in_amss(const modem_t *m)
{
    char path[1200];
    if (state_path(path, sizeof path, m->opts.state_dir.data(), "flash/amss") != 0)
        return std::string();
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.ok())
        return std::string();
    std::string data;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd.get(), buf, sizeof buf)) > 0 && data.size() < (64u << 20))
        data.append(buf, (size_t)n);
    size_t at = data.find(VERSION_MARKER);
    if (at == std::string::npos)
        return std::string();
    std::string v;
    for (size_t i = at + sizeof VERSION_MARKER - 1; i < data.size() && v.size() < 100; ++i) {
        char c = data[i];
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                  c == '.' || c == '-';
        if (!ok)
            break;
        v += c;
    }
    return v;
}

} // namespace

int identity_load(modem_t *m)
{
    const char *root = m->opts.state_dir.data();
    for (const auto &f : identity_fields)
        set_text(m->id.*f.field, f.initial, strlen(f.initial));
    char path[1200];
    if (state_path(path, sizeof path, root, "identity") != 0)
        return -1;
    std::string text = read_small(path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        for (const auto &f : identity_fields)
            if (eq != std::string::npos && line.compare(0, eq, f.key) == 0 && strlen(f.key) == eq)
                set_text(m->id.*f.field, line.c_str() + eq + 1, line.size() - eq - 1);
    }
    if (state_path(path, sizeof path, root, "version") != 0)
        return -1;
    std::string version = read_small(path);
    while (!version.empty() && (version.back() == '\n' || version.back() == '\r'))
        version.pop_back();
    if (m->opts.version[0] != '\0')
        version = m->opts.version.data();
    if (version.empty())
        version = DEFAULT_VERSION;
    set_text(m->id.version, version.c_str(), version.size());
    return identity_save(m);
}

int identity_save(const modem_t *m)
{
    const char *root = m->opts.state_dir.data();
    std::string text;
    for (const auto &f : identity_fields)
        text += std::string(f.key) + "=" + (m->id.*f.field).data() + "\n";
    char path[1200];
    if (state_path(path, sizeof path, root, "identity") != 0 || write_atomic(path, text) != 0)
        return -1;
    if (state_path(path, sizeof path, root, "version") != 0 ||
        write_atomic(path, std::string(m->id.version.data()) + "\n") != 0)
        return -1;
    return 0;
}

namespace {

// MODEMSTATE/flashed: present from the first image stored until the firmware
// next starts. It is on disk, not in memory, so a modem whose power is cut
// between the two still starts as a flashed one.
bool flash_marker(const modem_t *m, char *path, size_t size)
{
    return state_path(path, size, m->opts.state_dir.data(), "flashed") == 0;
}

} // namespace

void modem_flash_stored(modem_t *m, const char *image)
{
    flash_wipe_policy wipe = flash_wipe_in_force(m);
    // A modem that keeps its NV items in the EFS partition loses them when
    // the EFS image is written, every time, and only then: a flash that
    // leaves EFS alone keeps them.
    if (wipe.at_efs && strcmp(image, "efs") == 0)
        nv_flash_wipe(m, wipe.what);
    char path[1200];
    if (!flash_marker(m, path, sizeof path) || access(path, F_OK) == 0)
        return;
    // Writing the flash rewrites the file system that holds the NV items:
    // they are gone from this moment, not from the next start.
    if (!wipe.at_efs)
        nv_flash_wipe(m, wipe.what);
    if (write_atomic(path, "") != 0)
        modem_log("cannot mark the flash as written: %s", strerror(errno));
}

void modem_firmware_start(modem_t *m)
{
    m->at_svc = at_state{};
    char marker[1200];
    if (!flash_marker(m, marker, sizeof marker) || access(marker, F_OK) != 0)
        return;
    std::string v = m->opts.flash_version[0] != '\0' ? std::string(m->opts.flash_version.data()) : version_in_amss(m);
    if (v.empty()) {
        modem_log("firmware flashed, version stays %s", m->id.version.data());
    } else {
        set_text(m->id.version, v.c_str(), v.size());
        modem_log("firmware flashed, version now %s", m->id.version.data());
        if (identity_save(m) != 0)
            modem_log("cannot save the version: %s", strerror(errno));
    }
    unlink(marker);
}
