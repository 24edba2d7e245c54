// The modem record installer is not part of this version. A package with a
// modem record must fail here, never pass as installed.
#include "kq_log.h"
#include "up_driver.h"

int up_process_update_modem_image(int i_flash_fd, const package_record_t *p_pack_record_t)
{
    (void)i_flash_fd;
    (void)p_pack_record_t;
    UP_LOG(KQ_LOG_ERROR, "[%s:%d]modem image installation is not built in this version\n\n");
    return -1;
}
