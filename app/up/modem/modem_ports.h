// Finding the modem's diagnostic and AT ports in the USB device tree, and
// power-cycling the modem.
#pragma once

#define MODEM_USB_DEVICES "/sys/bus/usb/devices"
#define MODEM_POWER_PARAM "/sys/module/pmic/parameters/wcdma_power"

// Seconds between detection attempts, and attempts per check_usb_port call.
constexpr unsigned MODEM_PORT_RETRY_MS = 1000;
constexpr int MODEM_PORT_ATTEMPTS = 20;

// Detects the ports under the router's USB tree: 0 when at least one of the
// two was found (file_info's port fields are then updated), -1 after 20
// attempts one second apart without any.
int check_usb_port(void);

// The same detection under usb_devices (a folder laid out like
// /sys/bus/usb/devices), with at most attempts attempts.
int check_usb_port_in(const char *usb_devices, int attempts);

// 0 when dir exists and is a directory, else -1.
int check_dev_dir(const char *dir);

// Power-cycles the modem: off, 3 s, on, 12 s for it to enumerate again.
void reset_modem(void);
