// Stand-ins for actions whose code is not in this version yet. Each refuses
// loudly and ends the process with status 2: a caller must never take an
// action that did not run for one that succeeded. Delete a stand-in when the
// real function arrives.
#include <cstdlib>

#include "kq_log.h"
#include "up_actions.h"

#define UP_NOT_BUILT(action)                                                        \
    do {                                                                            \
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s is not built in this version\n\n", action); \
        exit(2);                                                                    \
    } while (0)

int modem_high_nv(int just_write)
{
    UP_NOT_BUILT(just_write == 0 ? "nv_get" : "nv_set");
}

int send_ftm_cmd(const char *diagnose_interface)
{
    (void)diagnose_interface;
    UP_NOT_BUILT("set_digftm");
}

int Read_Normal_NV_ITEM(const char *diagnose_interface, const char *backup_file)
{
    (void)diagnose_interface;
    (void)backup_file;
    UP_NOT_BUILT("nv_normal");
}
