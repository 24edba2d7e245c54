// Small file and socket helpers of routersim.
#include "routersim.h"

#include "up_fd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

int make_dirs(const std::string &path)
{
    if (path.empty())
        return -1;
    std::string part;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

}  // namespace

int remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : -1;
    // FTW_PHYS: never follow a link out of the tree; FTW_MOUNT: stay on this file system.
    return nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

int write_text(const std::string &path, const std::string &text)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok())
        return -1;
    return write_full(fd.get(), text.data(), text.size()) == (ssize_t)text.size() ? 0 : -1;
}

int bind_dgram_socket(const std::string &path)
{
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.ok())
        return -1;
    unlink(path.c_str());
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        return -1;
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // Senders inside run as root, but keep the endpoints usable by anyone.
    chmod(path.c_str(), 0777);
    return fd.release();
}
