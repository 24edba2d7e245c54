// Bus recorder of the kernel-tier machine: binds the system-control and
// display endpoints (/var/run/kqipc/0 and /var/run/kqipc/12) and appends one
// JSON line per datagram to the file given, in the format of routersim's
// bus.jsonl. Runs until SIGTERM.
//
//   kt_busrec OUTPUT
#include "routersim.h"

#include "kq_ipc.h"
#include "up_fd.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_stop = 0;

void on_term(int)
{
    g_stop = 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kt_busrec OUTPUT\n");
        return 2;
    }
    unique_file out(fopen(argv[1], "a"));
    if (!out.ok()) {
        perror(argv[1]);
        return 1;
    }
    mkdir(IPC_SOCKET_DIR, 0777);
    const std::array<int, 2> modules{SC_ID, UI_ID};
    std::array<unique_fd, 2> socks;
    std::array<pollfd, 2> fds{};
    for (size_t i = 0; i < modules.size(); ++i) {
        std::string path = std::string(IPC_SOCKET_DIR) + "/" + std::to_string(modules[i]);
        socks[i].reset(bind_dgram_socket(path));
        if (!socks[i].ok()) {
            perror(path.c_str());
            return 1;
        }
        fds[i].fd = socks[i].get();
        fds[i].events = POLLIN;
    }
    struct sigaction sa {};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::array<uint8_t, 65536> buf{};
    while (!g_stop) {
        int n = poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("poll");
            return 1;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            ssize_t got = recv(fds[i].fd, buf.data(), buf.size(), 0);
            if (got < 0)
                continue;
            bus_record rec = bus_message_json(modules[i], buf.data(), (size_t)got);
            fprintf(out.get(), "%s\n", rec.json.c_str());
            fflush(out.get());
        }
    }
    return 0;
}
