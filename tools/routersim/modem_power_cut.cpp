// A power cut placed by the virtual modem: `routersim run --modem-power-cut
// KIND:N` hands the count to modemsim (`--power-cut`), which writes
// MODEMSTATE/out/power_cut when it cuts; routersim watches that folder and
// ends the run there as a power cut, the same way --kill-after does.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "routersim.h"

namespace {

constexpr const char *REPORT = "power_cut";

}  // namespace

bool sim_valid_power_cut(const std::string &text)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || colon + 1 + 9 < text.size())
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (!islower((unsigned char)text[i]) && !isdigit((unsigned char)text[i]) && text[i] != '-')
            return false;
    for (size_t i = colon + 1; i < text.size(); ++i)
        if (!isdigit((unsigned char)text[i]))
            return false;
    return text.substr(colon + 1).find_first_not_of('0') != std::string::npos;
}

int sim_power_cut_watch(const std::string &modem_state)
{
    const std::string out = modem_state + "/out";
    mkdir(modem_state.c_str(), 0755);
    mkdir(out.c_str(), 0755);
    // A report of an earlier run must not end this one at its start.
    unlink((out + "/" + REPORT).c_str());
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return -1;
    if (inotify_add_watch(fd, out.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sim_power_cut_reported(int watch_fd, const std::string &modem_state)
{
    char buf[4096];
    while (read(watch_fd, buf, sizeof buf) > 0) {
    }
    struct stat st;
    return stat((modem_state + "/out/" + REPORT).c_str(), &st) == 0;
}
