// One USB serial function of the modem, played by a pseudo-terminal.
#include "pty_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "kq_log.h"

namespace {

// A USB serial function passes bytes through untouched. The tool sets raw mode
// itself, but only once it opens the port; until then a cooked slave would echo
// our replies back to us and translate CR/LF.
int make_raw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return -1;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t);
}

// Replaces the link in one step, so a tool polling for it never sees a stale
// target or a half-made link.
int point_link(const char *link, const char *target)
{
    char tmp[1200];
    if (snprintf(tmp, sizeof tmp, "%s.new", link) >= (int)sizeof tmp)
        return -1;
    unlink(tmp);
    if (symlink(target, tmp) != 0)
        return -1;
    if (rename(tmp, link) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

} // namespace

int pty_port_open(pty_port *port, const char *link_dir, int tty_number)
{
    pty_port_close(port);
    unique_fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.ok() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot create a pseudo-terminal: %s\n\n", strerror(errno));
        return -1;
    }
    std::array<char, 64> name{};
    if (ptsname_r(master.get(), name.data(), name.size()) != 0)
        return -1;
    unique_fd slave(open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave.ok() || make_raw(slave.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot set up %s: %s\n\n", name.data(), strerror(errno));
        return -1;
    }
    int flags = fcntl(master.get(), F_GETFL);
    if (flags < 0 || fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;

    std::array<char, 1100> link{};
    if (snprintf(link.data(), link.size(), "%s/ttyUSB%d", link_dir, tty_number) >= (int)link.size() ||
        point_link(link.data(), name.data()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot link %s/ttyUSB%d: %s\n\n", link_dir, tty_number,
               strerror(errno));
        return -1;
    }
    port->master = std::move(master);
    port->slave_keep = std::move(slave);
    port->slave_path = name;
    port->link_path = link;
    port->tty_number = tty_number;
    return 0;
}

void pty_port_close(pty_port *port)
{
    if (port->link_path[0] != '\0') {
        // Only remove the link if it is still ours: a newer port may own the name.
        char target[128] = {0};
        ssize_t n = readlink(port->link_path.data(), target, sizeof target - 1);
        if (n > 0 && strcmp(target, port->slave_path.data()) == 0)
            unlink(port->link_path.data());
    }
    port->slave_keep.reset();
    port->master.reset();
    port->slave_path[0] = '\0';
    port->link_path[0] = '\0';
    port->tty_number = -1;
}

bool pty_port_is_open(const pty_port *port)
{
    return port->master.ok();
}

int pty_port_write(pty_port *port, const uint8_t *data, size_t len)
{
    size_t put = 0;
    while (put < len) {
        ssize_t n = write(port->master.get(), data + put, len - put);
        if (n > 0) {
            put += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The tool is not reading: give it a moment, but never hang the modem.
            struct pollfd p = {port->master.get(), POLLOUT, 0};
            if (poll(&p, 1, 1000) > 0)
                continue;
        }
        return -1;
    }
    return 0;
}
