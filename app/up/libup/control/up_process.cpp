// Finding a running process by text contained in its command line, so that
// the modem upgrade can stop the router's processes that hold the modem.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>

#include "up_api.h"
#include "up_fd.h"

namespace {

constexpr size_t CMDLINE_BUF = 256;

int no_filter(const struct dirent *)
{
    return 1;
}

// The text of a command line ends at two NUL bytes in a row, or at the
// buffer's end.
bool text_ends_at(const char *h, size_t len, size_t i)
{
    return i >= len || (h[i] == '\0' && (i + 1 >= len || h[i + 1] == '\0'));
}

// The command line of /proc/<entry> with its NULs made blanks, in buf
// (terminated); false when it cannot be read or is empty.
bool read_cmdline(const char *entry, std::array<char, CMDLINE_BUF> *buf, size_t *len)
{
    std::array<char, 300> path{};
    if ((size_t)snprintf(path.data(), path.size(), "/proc/%s/cmdline", entry) >= path.size())
        return false;
    unique_fd fd(open(path.data(), O_RDONLY | O_CLOEXEC));
    if (fd.get() <= 0)
        return false;
    buf->fill('\0');
    ssize_t n = read_full(fd.get(), buf->data(), buf->size() - 1);
    if (n <= 0)
        return false;
    for (ssize_t i = 0; i < n; i++) {
        if ((*buf)[(size_t)i] == '\0')
            (*buf)[(size_t)i] = ' ';
    }
    *len = (size_t)n;
    return true;
}

} // namespace

const char *strinstr(const char *haystack, size_t haystack_len, const char *needle)
{
    if (haystack == nullptr || needle == nullptr)
        return nullptr;
    if (needle[0] == '\0')
        return needle;
    // Every start position is tried, so a needle that follows a partial
    // match ("ab" in "aab") is found.
    for (size_t start = 0; !text_ends_at(haystack, haystack_len, start); start++) {
        size_t k = 0;
        while (needle[k] != '\0' && start + k < haystack_len && haystack[start + k] == needle[k])
            k++;
        if (needle[k] == '\0')
            return needle;
    }
    return nullptr;
}

uint32_t check_process(const char *processname, int32_t *retpid)
{
    if (processname == nullptr || retpid == nullptr)
        return 0;
    struct dirent **names = nullptr;
    int n = scandir("/proc", &names, no_filter, alphasort);
    if (n < 0)
        return 0;
    bool found = false;
    int pid = 0;
    for (int i = 0; i < n; i++) {
        std::array<char, CMDLINE_BUF> cmdline;
        size_t len = 0;
        if (!found && read_cmdline(names[i]->d_name, &cmdline, &len) &&
            strinstr(cmdline.data(), len, processname) != nullptr) {
            found = true;
            pid = atoi(names[i]->d_name);
        }
        free(names[i]);
    }
    free(names);
    if (!found)
        return 0;
    *retpid = pid;
    printf("[%s][%d]: the pid is:%d\n", __FILE_NAME__, __LINE__, pid);
    return pid >= 1 ? 1 : 0;
}
