// NV and identity preservation is not part of this version. A container that
// asks for it must not be flashed, since flashing loses the modem's
// calibration and identity; the sequence refuses it before anything is sent.
#include "kq_log.h"
#include "modem_upgrade.h"

bool up_modem_nv_preservation_built(void)
{
    return false;
}

int up_modem_backup_NV(void)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem NV backup is not built in this version\n\n");
    return -1;
}

int up_modem_restore_NV(void)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem NV restore is not built in this version\n\n");
    return -1;
}
