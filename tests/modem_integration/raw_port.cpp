// A bare driver for the virtual modem's port.
#include "raw_port.h"

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "dload_commands.h"
#include "hdlc_frame.h"
#include "up_bytes.h"

int raw_open(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
    }
    tcflush(fd, TCIOFLUSH);
    return fd;
}

bool raw_send(int fd, const std::vector<uint8_t> &payload, bool leading_flag)
{
    std::vector<uint8_t> wire(payload.size() * 2 + 8);
    ssize_t n = hdlc_frame_payload(payload.data(), payload.size(), leading_flag, wire.data(), wire.size());
    return n > 0 && write(fd, wire.data(), (size_t)n) == n;
}

raw_reply raw_receive(int fd, int timeout_ms)
{
    raw_reply r;
    std::vector<uint8_t> raw;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return r;
        uint8_t b;
        if (read(fd, &b, 1) != 1)
            return r;
        if (b == HDLC_FLAG) {
            if (raw.empty())
                continue;
            break;
        }
        raw.push_back(b);
    }
    r.got = true;
    r.payload.resize(raw.size());
    size_t plen = 0;
    r.code = hdlc_unframe(raw.data(), raw.size(), r.payload.data(), r.payload.size(), &plen);
    r.payload.resize(plen);
    return r;
}

raw_reply raw_exchange(int fd, const std::vector<uint8_t> &payload, int timeout_ms)
{
    if (!raw_send(fd, payload))
        return raw_reply{};
    return raw_receive(fd, timeout_ms);
}

std::vector<uint8_t> hello_request(void)
{
    std::vector<uint8_t> p(1 + HELLO_PACKET_LEN + 3);
    p[0] = STREAM_HELLO;
    memcpy(&p[1], hellopacket, HELLO_PACKET_LEN);
    p[1 + HELLO_PACKET_LEN] = 0x03;     // version
    p[2 + HELLO_PACKET_LEN] = 0x02;     // oldest compatible
    p[3 + HELLO_PACKET_LEN] = 0x01;     // features
    return p;
}

std::vector<uint8_t> stream_write_request(uint32_t addr, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p(5 + data.size());
    p[0] = STREAM_WRITE;
    put_le32(&p[1], addr);
    if (!data.empty())
        memcpy(&p[5], data.data(), data.size());
    return p;
}

std::string at_exchange(int fd, const std::string &command, int timeout_ms)
{
    if (write(fd, command.data(), command.size()) != (ssize_t)command.size())
        return "write failed";
    std::string answer;
    while (answer.find("OK\r\n") == std::string::npos && answer.find("ERROR\r\n") == std::string::npos) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        answer.append(buf, (size_t)n);
    }
    return answer;
}
