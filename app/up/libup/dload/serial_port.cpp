// The modem's USB serial functions, used raw through termios.
#include "serial_port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_fd.h"
#include "up_wait_total.h"

int32_t download_mode = 0;

namespace {

constexpr const char *MODEM_AT_PORT = "/dev/ttyUSB2";
constexpr const char *CONSOLE_PATH = "/dev/console";
constexpr long READ_WAIT_SEC = 10;
constexpr long READ_WAIT_USEC = 500000;
constexpr uint32_t DRAIN_CHUNK = 1024;

// select on one descriptor for reading with the ports' 10.5 s wait.
// 1 readable, 0 time-out, -1 failed.
int wait_readable(int fd)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return -1;
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        struct timeval tv = {READ_WAIT_SEC, READ_WAIT_USEC};
        int rc = select(fd + 1, &rd, nullptr, nullptr, &tv);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc < 0 ? -1 : (rc == 0 ? 0 : 1);
    }
}

ssize_t read_once(int fd, void *data, size_t len)
{
    for (;;) {
        ssize_t n = read(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

} // namespace

void Sleep(uint32_t useconds)
{
    struct timespec ts;
    ts.tv_sec = (time_t)(useconds / 1000);
    ts.tv_nsec = (long)(useconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    up_count_wait_ms(useconds);
}

void SetTermios(struct termios *p, uint16_t uBaudRate)
{
    (void)uBaudRate;   // the USB serial function ignores the line speed anyway
    // Receiver on and modem control lines ignored; no flow control and no
    // hang-up on close, so reopening the port after a close is harmless.
    p->c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(p, B19200);
    cfsetospeed(p, B19200);
    p->c_iflag = 0;
    p->c_lflag = 0;
    p->c_oflag &= ~(tcflag_t)OPOST;
    for (auto &c : p->c_cc)
        c = 0;
    p->c_cc[VTIME] = 1;
    p->c_cc[VMIN] = 0;
}

int OpenAndInitSerialCom(const char *diagnose_interface, int exclusived)
{
    (void)exclusived;  // both callers' modes open the port the same way
    if (diagnose_interface == nullptr)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]will to open the %s \n\n", diagnose_interface);
    Sleep(300);
    int fd = open(diagnose_interface, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open_port:Unable to open %s -\n", diagnose_interface);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open %s -failed!\n\n", diagnose_interface);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open %s -successfully!\n\n", diagnose_interface);
    Sleep(200);
    struct termios settings = {};
    tcgetattr(fd, &settings);
    tcflush(fd, TCIOFLUSH);
    SetTermios(&settings, B19200);
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &settings);
    Sleep(200);
    return fd;
}

namespace {

// wait_readable for the two answer readers below, which say a failed wait
// on standard output.
int wait_port(int fd_diagnose)
{
    int rc = wait_readable(fd_diagnose);
    if (rc < 0) {
        printf("\nerror");
        fflush(stdout);
    }
    return rc;
}

} // namespace

int ReadComPort(int fd_diagnose, void *data, uint32_t dwdBlockSize)
{
    int rc = wait_port(fd_diagnose);
    if (rc < 0)
        return -1;
    if (rc == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\ntime out 10s\n\n");
        return 0;
    }
    ssize_t n = read_once(fd_diagnose, data, dwdBlockSize);
    if (n > 0)
        cprintf_hex(data, (uint32_t)n);
    return (int)n;
}

int ReadComPort1(int fd_diagnose, void *data, uint32_t dwdBlockSize)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ReadComPort1\n\n");
    int rc = wait_port(fd_diagnose);
    if (rc < 0)
        return -1;
    if (rc == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\ntime out 10s---NO try=%d\n\n", 0);
        return -1;
    }
    ssize_t n = read_once(fd_diagnose, data, dwdBlockSize);
    if (n < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]read data failed from diag port\n\n");
        return -1;
    }
    cprintf_hex_force1(data, (uint32_t)n);
    return (int)n;
}

int WriteToComPort(int fd_diagnose, const void *data, uint32_t dwdBlockSize)
{
    tcflush(fd_diagnose, TCIFLUSH);
    cprintf_hex(data, dwdBlockSize);
    // One write normally takes the whole frame; a short one goes on with the
    // rest, since half a frame on the wire is worse than a slow one.
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t put = 0;
    while (put < dwdBlockSize) {
        ssize_t n = write(fd_diagnose, p + put, dwdBlockSize - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put += (uint32_t)n;
    }
    if (put == 0 && dwdBlockSize > 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not write to COMM port\n\n");
        return 0;
    }
    return (int)put;
}

int check_download_mode(void)
{
    unique_fd fd(open(MODEM_AT_PORT, O_RDONLY | O_NOCTTY | O_NONBLOCK));
    // In download mode the modem exposes its diagnostic port only.
    return fd.ok() ? 0 : 1;
}

int exhaust_fifo_data(int fifo_fd0, int32_t data_size)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the remain data size is:%x\n\n", (unsigned)data_size);
    std::array<uint8_t, DRAIN_CHUNK> buf;
    int32_t remain = data_size;
    while (remain > 0) {
        size_t want = std::min<size_t>((size_t)remain, buf.size());
        ssize_t n = read_once(fifo_fd0, buf.data(), want);
        if (n <= 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read FIFO_FD error,count=%ld\n", (long)n);
            return -1;
        }
        remain -= (int32_t)n;
    }
    return 0;
}

void cprintf_hex(const void *buf, uint32_t buf_size)
{
    (void)buf;
    (void)buf_size;
}

void cprintf_hex_force(const void *buf, uint32_t buf_size)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    if (buf_size == 0)
        return;
    for (uint32_t i = 0; i < buf_size; i++) {
        if (i % 16 == 0)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n%lx:\n", (unsigned long)i);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%02hhX \n", p[i]);
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n\n");
}

void cprintf_hex_force1(const void *buf, uint32_t buf_size)
{
    const uint8_t *p = static_cast<const uint8_t *>(buf);
    if (buf_size == 0)
        return;
    unique_file con(fopen(CONSOLE_PATH, "w"));
    if (!con.ok())
        return;
    for (uint32_t i = 0; i < buf_size; i++) {
        if (i % 16 == 0)
            fprintf(con.get(), "\n%lx:", (unsigned long)i);
        fprintf(con.get(), "%02hhX ", p[i]);
    }
    fprintf(con.get(), "\n");
}
