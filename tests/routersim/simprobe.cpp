// simprobe: a small program the routersim tests run (on the host with the
// flash emulation preloaded, or inside the simulated router) to poke at MTD
// devices, the bus and the clock. Prints "ok ..." or "errno N" and exits 0,
// so a test reads the outcome from standard output.
//
//   simprobe info DEV                     -> ok type flags size erasesize writesize oobsize
//   simprobe write DEV OFFSET LEN BYTE    -> pwrite of LEN bytes of BYTE
//   simprobe writefd DEV OFFSET LEN BYTE  -> lseek + write
//   simprobe writev DEV OFFSET LEN BYTE   -> lseek + writev of two halves
//   simprobe erase DEV START LEN          -> MEMERASE
//   simprobe erase64 DEV START LEN        -> MEMERASE64
//   simprobe unlock DEV                   -> MEMUNLOCK of the first block
//   simprobe badblock DEV OFFSET          -> MEMGETBADBLOCK
//   simprobe send MODULE MSG_ID HEX       -> one bus datagram to /var/run/kqipc/MODULE
//   simprobe sleepers SECONDS             -> nanosleep, usleep, select, poll for SECONDS each;
//                                            prints the monotonic time each one took
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

int report(int rc)
{
    if (rc < 0)
        printf("errno %d\n", errno);
    else
        printf("ok %d\n", rc);
    return 0;
}

uint64_t num(const char *s)
{
    return strtoull(s, nullptr, 0);
}

double mono()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int sleepers(double seconds)
{
    double t = mono();
    timespec ts{(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&ts, nullptr);
    double t1 = mono();
    usleep((useconds_t)(seconds * 1e6));
    double t2 = mono();
    timeval tv{(time_t)seconds, (suseconds_t)((seconds - (double)(time_t)seconds) * 1e6)};
    select(0, nullptr, nullptr, nullptr, &tv);
    double t3 = mono();
    poll(nullptr, 0, (int)(seconds * 1000));
    double t4 = mono();
    printf("ok nanosleep %.3f usleep %.3f select %.3f poll %.3f\n", t1 - t, t2 - t1, t3 - t2, t4 - t3);
    return 0;
}

int send_bus(int module, uint32_t msg_id, const char *hex)
{
    std::vector<uint8_t> msg(16);
    uint32_t head[4] = {0, msg_id, (uint32_t)(strlen(hex) / 2), 1};
    memcpy(msg.data(), head, sizeof head);    // the bus head is in native order
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        char byte[3] = {hex[i], hex[i + 1], 0};
        msg.push_back((uint8_t)strtoul(byte, nullptr, 16));
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "/var/run/kqipc/%d", module);
    ssize_t n = sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
    return report(n < 0 ? -1 : (int)n);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: simprobe info|write|writefd|erase|erase64|unlock|badblock|send|sleepers ...\n");
        return 2;
    }
    std::string op = argv[1];
    if (op == "sleepers")
        return sleepers(atof(argv[2]));
    if (op == "send" && argc == 5)
        return send_bus(atoi(argv[2]), (uint32_t)num(argv[3]), argv[4]);
    int fd = open(argv[2], op == "info" || op == "badblock" ? O_RDONLY : O_RDWR);
    if (fd < 0)
        return report(-1);
    if (op == "info") {
        mtd_info_user info{};
        if (ioctl(fd, MEMGETINFO, &info) != 0)
            return report(-1);
        printf("ok %u %u %u %u %u %u\n", (unsigned)info.type, (unsigned)info.flags, (unsigned)info.size,
               (unsigned)info.erasesize, (unsigned)info.writesize, (unsigned)info.oobsize);
        return 0;
    }
    if ((op == "write" || op == "writefd" || op == "writev") && argc == 6) {
        std::vector<uint8_t> buf((size_t)num(argv[4]), (uint8_t)num(argv[5]));
        off_t off = (off_t)num(argv[3]);
        if (op == "write")
            return report((int)pwrite(fd, buf.data(), buf.size(), off));
        lseek(fd, off, SEEK_SET);
        if (op == "writev") {
            iovec iov[2] = {{buf.data(), buf.size() / 2}, {buf.data() + buf.size() / 2, buf.size() - buf.size() / 2}};
            return report((int)writev(fd, iov, 2));
        }
        return report((int)write(fd, buf.data(), buf.size()));
    }
    if (op == "erase" && argc == 5) {
        erase_info_user e{(uint32_t)num(argv[3]), (uint32_t)num(argv[4])};
        return report(ioctl(fd, MEMERASE, &e));
    }
    if (op == "erase64" && argc == 5) {
        erase_info_user64 e{num(argv[3]), num(argv[4])};
        return report(ioctl(fd, MEMERASE64, &e));
    }
    if (op == "unlock") {
        erase_info_user e{0, 128 * 1024};
        return report(ioctl(fd, MEMUNLOCK, &e));
    }
    if (op == "badblock" && argc == 4) {
        loff_t at = (loff_t)num(argv[3]);
        return report(ioctl(fd, MEMGETBADBLOCK, &at));
    }
    fprintf(stderr, "simprobe: bad arguments\n");
    return 2;
}
