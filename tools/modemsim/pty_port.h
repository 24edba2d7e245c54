// One USB serial function of the modem, played by a pseudo-terminal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "up_fd.h"

struct pty_port {
    unique_fd master;              // the modem's end
    unique_fd slave_keep;          // held open so the master never sees a hang-up
    std::array<char, 64> slave_path{};
    std::array<char, 1100> link_path{};   // DIR/ttyUSBn, empty when no link
    int tty_number = -1;
};

// Creates a pseudo-terminal in raw mode and points link_dir/ttyUSB<tty_number>
// at its slave. Returns 0, or -1 (nothing left behind).
int pty_port_open(pty_port *port, const char *link_dir, int tty_number);

// Removes the link and closes both ends: the tool's open descriptor then sees
// the device vanish, as with a USB disconnect.
void pty_port_close(pty_port *port);

bool pty_port_is_open(const pty_port *port);

// Writes the whole reply to the master. Returns 0, or -1.
int pty_port_write(pty_port *port, const uint8_t *data, size_t len);
