// The `up` action: pick the package location, install, then hand over to the
// completion step, which asks for the reboot.
#include <cstdio>
#include <sys/stat.h>

#include "kq_ipc.h"
#include "kq_log.h"
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
        up_process_fail_to_recover(0);
    }
    ipc_msg_fin();
    return 0;
}
