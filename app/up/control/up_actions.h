// Entry points of imgrenew's actions, as the command line calls them.
#pragma once

#include <cstdint>

// Joins the message bus as the upgrade tool and opens its log. 0 or -1.
int up_init(void);

// The `up` action: chooses the package location, installs, then asks for the
// reboot. Returns the process exit status (0, or -1 for a missing package
// file in file mode).
int up_action_upgrade(void);

// Installation of the whole package (image update driver). 0 or -1.
int up_upgrade_all(void);
// Completion: clears the package away and asks for the reboot; flag 1 after
// a failed installation. 0 when the reboot request was sent, else -1.
int up_process_fail_to_recover(int i_recover_flag);
// Backs up (0) or restores (other) the modem's high-priority NV items. 0 or -1.
int modem_high_nv(int just_write);
// Puts the modem in factory test mode over the diagnostic port. 0 or -1.
int send_ftm_cmd(const char *diagnose_interface);
// Saves the modem's normal NV items to backup_file. 0 or -1.
int Read_Normal_NV_ITEM(const char *diagnose_interface, const char *backup_file);
// Manual bootloader and kernel partition commands. 0 or -1.
int32_t uboot_test(int option);
int32_t kernel_test(int option);
