// A bare driver for the virtual modem's port: frames a payload with the
// library's codec and waits for one answer frame. Lets a test say exactly
// what crosses the port, which the library's commands do not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct raw_reply {
    bool got = false;                 // a frame (any frame) arrived in time
    int code = -1;                    // hdlc_unframe's verdict (0 = intact)
    std::vector<uint8_t> payload;
};

int raw_open(const std::string &path);
bool raw_send(int fd, const std::vector<uint8_t> &payload, bool leading_flag = true);
raw_reply raw_receive(int fd, int timeout_ms);
raw_reply raw_exchange(int fd, const std::vector<uint8_t> &payload, int timeout_ms = 2000);

// The programmer-stage requests.
std::vector<uint8_t> hello_request(void);
std::vector<uint8_t> stream_write_request(uint32_t addr, const std::vector<uint8_t> &data);

// Writes an AT command text as it stands and collects the answer until it
// holds "OK\r\n" or "ERROR\r\n", or timeout_ms passed without a byte.
std::string at_exchange(int fd, const std::string &command, int timeout_ms = 20000);
