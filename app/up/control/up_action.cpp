// The `up` action (package location, install, completion); the action lock.
#include <cstdio>
#include <sys/stat.h>

#include "kq_ipc.h"
#include "kq_log.h"
#include "kq_os.h"
#include "up_actions.h"
#include "up_api.h"

namespace {

void set_image_name(const char *path)
{
    snprintf(image_name, sizeof image_name, "%s", path);
}

} // namespace

int up_action_upgrade(void)
{
    if (up_check_mount(UP_IMAGE_PATH_DIR) != 0) {
        set_image_name(UP_PACKAGE_DEV);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update image nan is:%s\n\n", image_name);
    } else {
        struct stat st;
        if (stat(UP_IMAGE_FILE, &st) != 0) {
            // Nothing to install and nothing was touched: no recovery, no reboot.
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update image can no be access\n\n");
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update image can be access\n\n");
        set_image_name(UP_IMAGE_FILE);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update image nan is:%s\n\n", image_name);
        if (up_set_upgrade_status(0) < 0)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]set update flag failed\n\n");
    }

    if (up_upgrade_all() != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]&&&&&&&&&&&&&&&update system failed and will to reboot\n\n");
        up_process_fail_to_recover(1);
    } else {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]&&&&&&&&&&&&&&&update system success and will to reboot\n\n");
        // Recorded before the reboot request: the next downgrade test
        // compares against this package.
        up_policy_record_installed();
        up_process_fail_to_recover(0);
    }
    ipc_msg_fin();
    return 0;
}

namespace {

bool word_is(const char *word, const char *action)
{
    return kq_strcasecmp(word, action) == 0;
}

// The command lines that reach an action: every single word but "test"
// (each of the others reads or writes flash, or talks to the modem), and
// "set", "uboot" and "kernel" with a value. Other lines only log the usage
// or do nothing.
bool action_needs_lock(int argc, char *argv[])
{
    if (argc == 2)
        return !word_is(argv[1], "test");
    if (argc == 3)
        return word_is(argv[1], "set") || word_is(argv[1], "uboot") || word_is(argv[1], "kernel");
    return false;
}

} // namespace

int up_action_lock(int argc, char *argv[])
{
    if (!action_needs_lock(argc, argv))
        return 0;
    const char *why = "";
    up_lock_result r = up_lock_take(UP_LOCK_DIR, UP_LOCK_NAME, &why);
    if (r == UP_LOCK_TAKEN)
        return 0;
    // Refused before the bus is joined: the log is opened for this line only.
    log_init(KQ_LOG_IDENT_UP);
    if (r == UP_LOCK_BUSY)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]another imgrenew run holds %s/%s: %.32s refused, nothing done\n\n",
               UP_LOCK_DIR, UP_LOCK_NAME, argv[1]);
    else
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot take the lock %s/%s (%s): %.32s refused, nothing done\n\n",
               UP_LOCK_DIR, UP_LOCK_NAME, why, argv[1]);
    return -1;
}
