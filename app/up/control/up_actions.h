// Entry points of imgrenew's actions, as the command line calls them.
#pragma once

#include <cstdint>

#include "up_lock.h"
#include "up_policy.h"

// Joins the message bus as the upgrade tool and opens its log. 0 or -1.
int up_init(void);

// Every action that writes flash or talks to the modem runs alone: takes the
// upgrade lock (up_lock.h) for the command line's action, before the bus is
// joined. 0 when the action may run (lock taken, or the command line reaches
// no such action); -1 when another run holds the lock or it cannot be
// trusted (logged; nothing was touched): exit with UP_EXIT_LOCKED.
int up_action_lock(int argc, char *argv[]);

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
// Manual bootloader and kernel partition commands. 0 or -1.
int32_t uboot_test(int option);
int32_t kernel_test(int option);
