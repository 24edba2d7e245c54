// Command line of the virtual modem.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

enum modem_stage_t {
    STAGE_OFF = 0,        // powered down: no ports at all
    STAGE_NORMAL,         // normal firmware: diag and AT ports, DIAG protocol
    STAGE_BOOTLOADER,     // boot loader download mode: diag port only, DLOAD commands
    STAGE_PROGRAMMER,     // RAM flash programmer: diag port only, streaming protocol
};

// What a flash wipes at the firmware's next start.
enum flash_wipe_t {
    FLASH_WIPE_NONE = 0,
    FLASH_WIPE_NV,        // NV and RF NV items
    FLASH_WIPE_ALL,       // and the identity
};

constexpr int MODEM_MAX_FAULT_OPTIONS = 16;
constexpr int MODEM_FAULT_TEXT = 128;

struct modem_options {
    std::array<char, 1024> state_dir{};
    std::array<char, 1024> link_dir{};
    std::array<char, 1024> sysfs_dir{};          // empty: no sysfs maintenance
    std::array<char, 1024> faults_file{};        // empty: STATE/faults
    modem_stage_t start = STAGE_NORMAL;
    uint32_t enum_delay_ms = 1500;               // USB re-enumeration time
    uint32_t detach_delay_ms = 100;              // answer -> ports gone
    int usb_bus = 1;                             // N of the N-1:1.x interface names
    int diag_tty = 0;                            // ttyUSB number of the diag port
    int at_tty = 2;                              // ttyUSB number of the AT port
    int download_tty = -1;                       // diag ttyUSB number in download mode (-1: diag_tty)
    std::array<char, 128> version{};             // running firmware version at start (empty: kept)
    std::array<char, 128> flash_version{};       // version after a flash (empty: from the AMSS image)
    flash_wipe_t flash_wipe = FLASH_WIPE_NV;
    bool wipe_at_efs = false;                    // wipe when an EFS image is stored, not at the first image
    bool flash_wipe_given = false;               // else MODEMSTATE/flash_wipe, if any, decides
    std::array<char, 64> power_cut{};            // --power-cut KIND:N (power_cut.h); empty: none
    int fault_count = 0;
    std::array<std::array<char, MODEM_FAULT_TEXT>, MODEM_MAX_FAULT_OPTIONS> faults{};
};

// Fills opts from argv. Returns 0, or -1 after writing a message into err.
int parse_modem_options(int argc, char **argv, modem_options *opts, char *err, size_t err_size);

// "none", "nv" or "all", optionally followed by "@efs" (the wipe falls when
// an EFS image is stored rather than at the first image) (nv_responder.cpp).
// Returns 0, or -1 for any other text.
int parse_flash_wipe(const char *text, flash_wipe_t *wipe, bool *at_efs);

const char *modem_stage_name(modem_stage_t stage);

void print_modem_usage(const char *prog);
