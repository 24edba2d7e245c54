// The modem appears as USB serial devices whose numbers depend on the order
// the kernel found them in, and the set changes with every reset and mode
// switch, so the ports are looked up again before every step that needs them.
#include "modem_ports.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "kq_log.h"
#include "modem_config.h"
#include "up_api.h"
#include "up_wait.h"

namespace {

constexpr int USB_BUSES = 10;
constexpr unsigned POWER_OFF_MS = 3000;
constexpr unsigned ENUMERATE_MS = 12000;

using dev_path = std::array<char, 256>;

bool plain_name(const char *name)
{
    for (const char *p = name; *p != '\0'; ++p) {
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')))
            return false;
    }
    return true;
}

int no_filter(const struct dirent *)
{
    return 1;
}

// The first entry of dir, in alphabetical order, whose name holds "ttyUSB",
// as "/dev/<name>" in port (64 bytes). False when there is none or the
// folder cannot be listed.
bool serial_device_of(const char *dir, char *port, size_t port_size)
{
    if (dir[0] == '\0')
        return false;
    struct dirent **names = nullptr;
    int n = scandir(dir, &names, no_filter, alphasort);
    if (n < 0)
        return false;
    bool found = false;
    for (int i = 0; i < n; i++) {
        const char *name = names[i]->d_name;
        // A name that is not a plain device name never becomes a path.
        if (!found && strstr(name, "ttyUSB") != nullptr && plain_name(name) &&
            (size_t)snprintf(port, port_size, "/dev/%s", name) < port_size)
            found = true;
        free(names[i]);
    }
    free(names);
    return found;
}

// One detection over buses 0 to 9. True when a port was found.
bool detect_once(const char *usb_devices)
{
    dev_path diag_dir{}, at_dir{};
    for (int bus = 0; bus < USB_BUSES; bus++) {
        snprintf(diag_dir.data(), diag_dir.size(), "%s/%d-1:1.0", usb_devices, bus);
        snprintf(at_dir.data(), at_dir.size(), "%s/%d-1:1.2", usb_devices, bus);
        if (check_dev_dir(diag_dir.data()) == 0 || check_dev_dir(at_dir.data()) == 0)
            break;
        diag_dir[0] = '\0';
        at_dir[0] = '\0';
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]dev_diag_dir :%s\n\n", diag_dir.data());
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]dev_at_dir :%s\n\n", at_dir.data());

    char port[sizeof file_info.diagnose_inface];
    bool found = false;
    if (serial_device_of(diag_dir.data(), port, sizeof port)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check the diag port is :%s\n\n", port + 5);
        snprintf(file_info.diagnose_inface, sizeof file_info.diagnose_inface, "%s", port);
        found = true;
    }
    if (serial_device_of(at_dir.data(), port, sizeof port)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check the at port is :%s\n\n", port + 5);
        snprintf(file_info.at_inface, sizeof file_info.at_inface, "%s", port);
        found = true;
    }
    return found;
}

} // namespace

int check_dev_dir(const char *dir)
{
    struct stat st;
    if (dir == nullptr || stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check  %s is available dir\n\n", dir);
    return 0;
}

int check_usb_port_in(const char *usb_devices, int attempts)
{
    for (int i = 0; i < attempts; i++) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]**************check_usb_port***********************\n\n");
        if (detect_once(usb_devices))
            return 0;
        if (i + 1 < attempts)
            up_sleep_ms(MODEM_PORT_RETRY_MS);
    }
    return -1;
}

int check_usb_port(void)
{
    return check_usb_port_in(MODEM_USB_DEVICES, MODEM_PORT_ATTEMPTS);
}

void reset_modem(void)
{
    up_util_sys_cmd("echo 0 > " MODEM_POWER_PARAM);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]echo 0 > /sys/module/pmic/parameters/wcdma_power\n\n");
    up_sleep_ms(POWER_OFF_MS);
    up_util_sys_cmd("echo 1 > " MODEM_POWER_PARAM);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]echo 1 > /sys/module/pmic/parameters/wcdma_power\n\n");
    up_sleep_ms(ENUMERATE_MS);
}
