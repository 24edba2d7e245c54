// The upgrade policy file and the record of the installed package's version
// (see up_policy.h).
#include "up_policy.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_fd.h"
#include "up_pkg_sig.h"
#include "up_progress.h"

namespace {

// The version the check admitted in this run, for the record after success.
bool s_checked = false;
uint32_t s_checked_version = 0;

// Reads a small plain file that is not a link into text. 0, 1 when it does
// not exist, -1 when it cannot be read or is larger than max.
int read_small_file(int dir_fd, const char *path, size_t max, std::string *text)
{
    unique_fd fd(openat(dir_fd, path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.ok())
        return errno == ENOENT ? 1 : -1;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 || (uint64_t)st.st_size > max)
        return -1;
    text->assign((size_t)st.st_size, '\0');
    if (st.st_size > 0 && read_full(fd.get(), &(*text)[0], text->size()) != (ssize_t)text->size())
        return -1;
    return 0;
}

// Whether key_dir holds at least one file that reads as a minisign public key.
bool has_readable_key(const char *key_dir)
{
    unique_fd dir_fd(open(key_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.ok())
        return false;
    int list_fd = fcntl(dir_fd.get(), F_DUPFD_CLOEXEC, 0);
    DIR *d = list_fd < 0 ? nullptr : fdopendir(list_fd);
    if (d == nullptr) {
        if (list_fd >= 0)
            close(list_fd);
        return false;
    }
    bool found = false;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string text;
        up_sig_public_key key{};
        if (read_small_file(dir_fd.get(), e->d_name, 4096, &text) == 0 &&
            up_sig_parse_public_key(text, &key) == 0) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

void strictest(up_policy *policy)
{
    policy->refuse_downgrade = true;
    policy->require_signature = true;
}

// The line as it may go into the log: at most 64 bytes, control bytes as '?'.
std::string printable(std::string_view line)
{
    std::string out(line.substr(0, 64));
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

} // namespace

int up_policy_parse(std::string_view text, up_policy *policy)
{
    int bad = 0;
    int number = 0;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "downgrade=refuse") {
            policy->refuse_downgrade = true;
        } else if (line == "signature=required") {
            policy->require_signature = true;
        } else if (line != "downgrade=allow" && line != "signature=optional") {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]policy line %d not understood: \"%s\": downgrade=refuse and "
                                 "signature=required apply\n\n",
                   number, printable(line).c_str());
            ++bad;
        }
    }
    if (bad > 0)
        strictest(policy);
    return bad;
}

void up_policy_load(const char *path, up_policy *policy)
{
    *policy = up_policy{};
    std::string text;
    int rc = read_small_file(AT_FDCWD, path, UP_POLICY_FILE_MAX, &text);
    if (rc == 1)
        return;
    policy->present = true;
    if (rc != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]policy file %s cannot be read as a plain file of at most %lu bytes: "
                             "downgrade=refuse and signature=required apply\n\n",
               path, (unsigned long)UP_POLICY_FILE_MAX);
        strictest(policy);
        return;
    }
    up_policy_parse(text, policy);
}

int up_policy_read_installed(const char *path, uint32_t *version)
{
    std::string text;
    int rc = read_small_file(AT_FDCWD, path, 32, &text);
    if (rc == 1)
        return 1;
    if (rc == 0 && !text.empty() && text.back() == '\n')
        text.pop_back();
    uint64_t value = 0;
    bool ok = rc == 0 && !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        value = value * 10 + (uint64_t)(c - '0');
    }
    if (!ok || value > UINT32_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]installed package version record %s is not a version number\n\n", path);
        return -1;
    }
    *version = (uint32_t)value;
    return 0;
}

int up_policy_write_installed(const char *path, uint32_t version)
{
    char tmp[256];
    char text[16];
    int n = snprintf(text, sizeof text, "%lu\n", (unsigned long)version);
    if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp || n <= 0)
        return -1;
    unique_fd fd(open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.ok() || write_full(fd.get(), text, (size_t)n) != n || fsync(fd.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot write %s, errno %d\n\n", tmp, errno);
        if (fd.ok())
            unlink(tmp);
        return -1;
    }
    fd.reset();
    if (rename(tmp, path) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot rename %s to %s, errno %d\n\n", tmp, path, errno);
        unlink(tmp);
        return -1;
    }
    // The rename itself reaches the flash with its folder.
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos || slash == 0 ? std::string(slash == 0 ? "/" : ".") : dir.substr(0, slash);
    unique_fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.ok())
        fsync(dfd.get());
    return 0;
}

int up_policy_check(const package_signature_t *head, const up_policy_paths &paths)
{
    s_checked = false;
    up_policy policy{};
    up_policy_load(paths.policy, &policy);
    if (policy.present)
        UP_LOG(KQ_LOG_INFO, "[%s:%d]policy %s: downgrade=%s signature=%s\n\n", paths.policy,
               policy.refuse_downgrade ? "refuse" : "allow", policy.require_signature ? "required" : "optional");

    if (policy.require_signature && !has_readable_key(paths.key_dir)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package refused by policy: signature=required and no readable public key "
                             "in %s\n\n",
               paths.key_dir);
        return -1;
    }
    if (policy.refuse_downgrade) {
        uint32_t installed = 0;
        int rc = up_policy_read_installed(paths.installed, &installed);
        if (rc == 1) {
            UP_LOG(KQ_LOG_INFO, "[%s:%d]no installed package version recorded in %s: nothing to compare "
                                "version %lu with\n\n",
                   paths.installed, (unsigned long)head->version);
        } else if (rc < 0 || head->version < installed) {
            char have[32] = "unknown";
            if (rc == 0)
                snprintf(have, sizeof have, "%lu", (unsigned long)installed);
            if (head->downgrade_enabled == 0) {
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]package refused by policy: downgrade=refuse, package version %lu, "
                                     "installed version %s, downgrade_enabled 0\n\n",
                       (unsigned long)head->version, have);
                return -1;
            }
            UP_LOG(KQ_LOG_INFO, "[%s:%d]package version %lu, installed version %s: downgrade allowed by the "
                                "package's downgrade_enabled %lu\n\n",
                   (unsigned long)head->version, have, (unsigned long)head->downgrade_enabled);
        }
    }
    s_checked = true;
    s_checked_version = head->version;
    return 0;
}

int up_policy_admit_package(const package_signature_t *head)
{
    if (up_policy_check(head, up_policy_paths{}) == 0)
        return 0;
    up_report_progress_to_lcd(UPGRADE_FILED, 10);
    return -1;
}

void up_policy_record_installed(void)
{
    if (!s_checked)
        return;
    if (up_policy_write_installed(UP_INSTALLED_VERSION_FILE, s_checked_version) == 0)
        UP_LOG(KQ_LOG_INFO, "[%s:%d]installed package version %lu recorded in %s\n\n",
               (unsigned long)s_checked_version, UP_INSTALLED_VERSION_FILE);
}
