// The shell-command runner every installer goes through. Callers build the
// command from fixed text and checked names only.
#include <cstdio>
#include <cstdlib>

#include "up_api.h"

int up_util_sys_cmd(const char *p_sys_cmd)
{
    if (p_sys_cmd == nullptr) {
        printf("[%s][%d]: null point :p_sys_cmd \n", __func__, __LINE__);
        return -1;
    }
    // The child writes to the same stdout: flush first so lines keep order.
    fflush(stdout);
    int ret = system(p_sys_cmd);
    printf("[%s][%d]: the command return:%ld \n", __func__, __LINE__, (long)ret);
    if (ret != 0) {
        printf("[%s][%d]: run command :%s faile \n", __FILE_NAME__, __LINE__, p_sys_cmd);
        return -1;
    }
    printf("[%s][%d]: run command :%s success \n", __FILE_NAME__, __LINE__, p_sys_cmd);
    return 0;
}
