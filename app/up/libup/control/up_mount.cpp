// Mode tests: whether the package partition's file system is mounted at the
// image folder, and the preparation of that mount when an upgrade is asked for.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "up_api.h"
#include "up_fd.h"
#include "up_mount_io.h"

int up_check_mount_in(const char *mounts_path, const char *folder)
{
    if (folder == nullptr) {
        puts("input is NULL pointer");
        return -1;
    }
    unique_file f(fopen(mounts_path, "r"));
    if (!f.ok()) {
        printf("[%s][%d]: open the /proc/self/mounts file failed\n", __FILE_NAME__, __LINE__);
        return -1;
    }
    std::array<char, 512> line;
    for (;;) {
        line.fill('\0');
        if (fgets(line.data(), (int)line.size(), f.get()) == nullptr)
            return -1;
        // A substring match: any mount whose line names the folder counts.
        if (strstr(line.data(), folder) != nullptr)
            return 0;
    }
}

int32_t up_check_mount(const char *folder)
{
    return up_check_mount_in("/proc/self/mounts", folder);
}

int dir_exists(const char *path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0)
        return 0;
    return S_ISDIR(st.st_mode) ? 1 : 0;
}

namespace {

int file_exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// Fixed command texts only; the results are not relied on, the mount test is.
void run_fixed(const char *cmd)
{
    fflush(stdout);
    int rc = system(cmd);
    (void)rc;
}

} // namespace

int up_check_update(void)
{
    if (!file_exists(UP_UPDATE_FLAG_FILE))
        return -1;
    puts("UPDATE_FLAG can be access");
    if (!dir_exists(UP_IMAGE_PATH_DIR)) {
        run_fixed("mkdir /2ndfile/image_path");
        run_fixed("chmod 777 /2ndfile/image_path -R");
    }
    if (up_check_mount(UP_IMAGE_PATH_DIR) != 0) {
        run_fixed("mount -t jffs2 /dev/mtdblock6 /2ndfile/image_path");
        if (up_check_mount(UP_IMAGE_PATH_DIR) != 0) {
            puts("mount image_path failed");
            run_fixed("rm -rf /2ndfile/update_flag");
            run_fixed("rm -rf /2ndfile/image_path");
            return -1;
        }
    }
    if (!file_exists(UP_IMAGE_FILE)) {
        if (up_check_mount(UP_IMAGE_PATH_DIR) == 0)
            run_fixed("umount /2ndfile/image_path");
        run_fixed("rm -rf /2ndfile/update_flag");
        run_fixed("rm -rf /2ndfile/image_path");
        return -1;
    }
    puts("update image can be access");
    return 0;
}
