// Configuration store stand-in: one text file of name=value lines, rewritten
// as a whole through a temporary file so that a power cut leaves either the
// old store or the new one, never a mix.
#include "kq_nv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "up_fd.h"

namespace {

constexpr size_t NV_NAME_MAX = 128;
constexpr size_t NV_LINE_MAX = 4096;

std::string g_store = NV_STORE_PATH;

using nv_entries = std::vector<std::pair<std::string, std::string>>;

bool valid_name(const std::string &name)
{
    if (name.empty() || name.size() > NV_NAME_MAX)
        return false;
    for (unsigned char c : name)
        if (!(isalnum(c) || c == '_' || c == '.' || c == '-'))
            return false;
    return true;
}

// Splits one line into name and value; false for anything that is not a
// plain name=value line (comments, blanks, over-long or malformed lines).
bool parse_line(std::string line, std::string *name, std::string *value)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    *name = line.substr(0, eq);
    *value = line.substr(eq + 1);
    return valid_name(*name) && value->find('\0') == std::string::npos;
}

// Reads every valid line of path. False when the file cannot be opened.
// A line longer than NV_LINE_MAX is skipped whole.
bool read_entries(const char *path, nv_entries *out)
{
    unique_file f(fopen(path, "re"));
    if (!f.ok())
        return false;
    std::string line;
    bool overlong = false;
    char chunk[512];
    while (fgets(chunk, sizeof chunk, f.get()) != nullptr) {
        line += chunk;
        bool complete = !line.empty() && line.back() == '\n';
        if (line.size() > NV_LINE_MAX) {
            overlong = true;
            line.clear();
        }
        if (!complete && !feof(f.get()))
            continue;
        std::string name, value;
        if (!overlong && parse_line(line, &name, &value))
            out->emplace_back(std::move(name), std::move(value));
        line.clear();
        overlong = false;
    }
    if (!line.empty() && !overlong) {
        std::string name, value;
        if (parse_line(line, &name, &value))
            out->emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool write_store(const nv_entries &entries)
{
    std::string tmp = g_store + ".tmp";
    std::string text;
    for (const auto &e : entries)
        text += e.first + "=" + e.second + "\n";
    {
        unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.ok())
            return false;
        if (write_full(fd.get(), text.data(), text.size()) != (ssize_t)text.size() ||
            fsync(fd.get()) != 0) {
            unlink(tmp.c_str());
            return false;
        }
    }
    if (rename(tmp.c_str(), g_store.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable.
    std::string dir = g_store.substr(0, g_store.find_last_of('/') + 1);
    unique_fd dfd(open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.ok())
        fsync(dfd.get());
    return true;
}

} // namespace

void nvm_set_store_path(const char *path)
{
    g_store = path ? path : NV_STORE_PATH;
}

int nvm_readnv(const char *name, char *buf, int size)
{
    if (name == nullptr || buf == nullptr || size <= 0)
        return NV_EINVAL;
    buf[0] = '\0';
    nv_entries entries;
    if (!read_entries(g_store.c_str(), &entries))
        return NV_NOTFOUND;
    for (const auto &e : entries) {
        if (e.first == name) {
            snprintf(buf, (size_t)size, "%s", e.second.c_str());
            return NV_OK;
        }
    }
    return NV_NOTFOUND;
}

int nvm_import(const char *path, int kind, int a, int b)
{
    (void)kind; (void)a; (void)b;
    if (path == nullptr)
        return NV_EINVAL;
    nv_entries incoming;
    if (!read_entries(path, &incoming))
        return NV_EFILE;
    if (incoming.empty())
        return NV_EINVAL;
    nv_entries store;
    read_entries(g_store.c_str(), &store);     // a missing store starts empty
    for (auto &in : incoming) {
        bool replaced = false;
        for (auto &cur : store) {
            if (cur.first == in.first) {
                cur.second = in.second;
                replaced = true;
                break;
            }
        }
        if (!replaced)
            store.push_back(in);
    }
    return write_store(store) ? NV_OK : NV_ERROR;
}
