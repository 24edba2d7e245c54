// Installs an unpacked second file system tree: the configuration defaults
// and the resource folders. The commands are built only from the caller's
// folder constants and fixed words; nothing from the archive is spliced in.
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "kq_log.h"
#include "kq_nv.h"
#include "up_api.h"
#include "up_records.h"

namespace {

// The archive decides what lands in the unpack folder; a link there would
// make the copies below read from anywhere on the router.
bool is_real_dir(const char *dir, const char *sub)
{
    char path[256];
    int n = snprintf(path, sizeof path, "%s/%s", dir, sub);
    struct stat st {};
    return n > 0 && n < (int)sizeof path && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// True when the folder holds at least one entry.
bool has_entries(const char *dir, const char *sub)
{
    char path[256];
    int n = snprintf(path, sizeof path, "%s/%s", dir, sub);
    if (n <= 0 || n >= (int)sizeof path)
        return false;
    DIR *d = opendir(path);
    if (d == nullptr)
        return false;
    bool any = false;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            any = true;
            break;
        }
    }
    closedir(d);
    return any;
}

bool is_real_file(const char *path)
{
    struct stat st {};
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Formats into cmd and runs it; a command that does not fit is not run.
int run_cmd(char *cmd, size_t size, int n)
{
    if (n < 0 || (size_t)n >= size)
        return -1;
    return up_util_sys_cmd(cmd);
}

} // namespace

int up_install_database_from(const char *tool_dir, const char *unpack_dir, const char *target_root)
{
    char src[256];
    char dst[256];
    char cmd[512];
    int ns = snprintf(src, sizeof src, "%s/nv/default.cfg", unpack_dir);
    int nd = snprintf(dst, sizeof dst, "%s/nv/default.cfg", target_root);
    int n = snprintf(cmd, sizeof cmd, "%s/cp %s/%s/default.cfg %s/%s -rf >>/dev/null", tool_dir,
                     unpack_dir, "nv", target_root, "nv");
    bool built = ns > 0 && ns < (int)sizeof src && nd > 0 && nd < (int)sizeof dst;
    if (built && n > 0 && n < (int)sizeof cmd)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the system command is %s\n\n", cmd);
    if (built && is_real_dir(unpack_dir, "nv") && is_real_file(src) &&
        run_cmd(cmd, sizeof cmd, n) == 0 && nvm_import(dst, 8, 0, 0) == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the pri success \n\n");
        return 0;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the pri fail \n\n");
    return -1;
}

int up_install_resources_from(const char *tool_dir, const char *unpack_dir, const char *target_root)
{
    char cmd[512];
    int n = snprintf(cmd, sizeof cmd, "%s/cp %s/webpage/* %s/webpage -rfP >>/dev/null", tool_dir,
                     unpack_dir, target_root);
    if (!is_real_dir(unpack_dir, "webpage") || run_cmd(cmd, sizeof cmd, n) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the 2ndrootfs/apps fail \n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the 2ndrootfs/apps successful \n\n");

    // Checked before the old display resources go, so a package without them
    // (no folder, or an empty one) does not leave the display with none.
    if (!is_real_dir(unpack_dir, "lcdui") || !has_entries(unpack_dir, "lcdui")) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the 2ndrootfs/lcdui fail \n\n");
        return -1;
    }
    n = snprintf(cmd, sizeof cmd, "rm %s/lcdui/* -rf >>/dev/null", target_root);
    if (run_cmd(cmd, sizeof cmd, n) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]rm the 2ndrootfs/lcdui fail \n\n");
        return -1;
    }
    n = snprintf(cmd, sizeof cmd, "cp %s/lcdui/* %s/lcdui/ -rf >>/dev/null", unpack_dir,
                 target_root);
    if (run_cmd(cmd, sizeof cmd, n) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the 2ndrootfs/lcdui fail \n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update the 2ndrootfs/lcdui successful \n\n");
    return 0;
}
