// Completion of an installation, successful or not, and the reboot request.
#include "up_complete.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "kq_ipc.h"
#include "kq_log.h"
#include "up_api.h"
#include "up_bus_send.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_wait.h"

namespace {

std::array<uint8_t, UP_ERASE_BLOCK> s_copy_block;

// Commands here are built from the program's own constant paths only.
void run_ignored(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void run_ignored(const char *fmt, ...)
{
    char cmd[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(cmd, sizeof cmd, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= (int)sizeof cmd)
        return;
    int rc = system(cmd);
    (void)rc;
}

// Partition mode: the package partition is erased so that the package is not
// installed again, but only once the factory data has a copy on /2ndfile.
void clear_package_partition(void)
{
    if (up_factory_info_backup() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]up_factory_info_backup failed\n\n");
        return;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]backup factory NV success\n\n");
    unique_fd dev(open(UP_PACKAGE_DEV, O_RDWR));
    if (!dev.ok())
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open destnation image path error\n\n");
    if (!dev.ok() || up_mtd_erase(dev.get(), 0, UP_PACKAGE_PARTITION_LEN) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]erase the %s partition failed\n\n", UP_PACKAGE_DEV);
        return;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]erase old fixed partition success\n\n");
}

// File mode: the package file goes, and its file system is unmounted.
void clear_package_file(void)
{
    if (access(UP_IMAGE_FILE, F_OK) == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update image can be access, will to remove it\n\n");
        char cmd[256];
        snprintf(cmd, sizeof cmd, "/tmp/rm %s -rf", UP_IMAGE_FILE);
        if (up_util_sys_cmd(cmd) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d][%s][%d]: run cmd:%s failed\n\n",
                   "up_process_fail_to_recover", __LINE__, cmd);
            int rc = system(cmd);
            (void)rc;
        }
        run_ignored("/tmp/umount %s ", UP_IMAGE_PATH_DIR);
        run_ignored("/tmp/rm %s -rf", UP_IMAGE_PATH_DIR);
    }
    up_sleep_ms(1000);
}

} // namespace

int up_copy_factory_data(int src_fd, int dst_fd, uint32_t len)
{
    uint32_t remain = len;
    uint32_t total = 0;
    while (remain > 0) {
        s_copy_block.fill(0);
        size_t want = remain < s_copy_block.size() ? remain : s_copy_block.size();
        ssize_t got = read_full(src_fd, s_copy_block.data(), want);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read length is %ld\n\n", (long)got);
        // A read that ends early would never lower the remaining count: it is a
        // failure, not a reason to read again.
        if (got <= 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
            return -1;
        }
        if (write_full(dst_fd, s_copy_block.data(), (size_t)got) != got) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        total += (uint32_t)got;
        remain -= (uint32_t)got;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write : %ld---resume=%ld\n\n", (long)total, (long)remain);
    }
    return 0;
}

int up_factory_info_backup(void)
{
    unique_fd src(open(UP_FACTORY_DEV, O_RDWR));
    if (!src.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open old factory  partition path failed\n\n");
        return -1;
    }
    unique_fd dst(open(UP_FACTORY_COPY_FILE, O_RDWR | O_CREAT, 0644));
    if (!dst.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]/tmp/uboot.bin failed\n\n");
        return -1;
    }
    if (up_copy_factory_data(src.get(), dst.get(), UP_FACTORY_COPY_LEN) != 0)
        return -1;
    // The package partition is erased next: the copy must be on flash first.
    if (fsync(dst.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
        return -1;
    }
    return 0;
}

int up_send_reboot_request(void)
{
    st_chg_req_t req{SYS_REBOOT, 0, 0, 0};
    std::array<uint8_t, sizeof req> wire{};
    put_le32(wire.data(), req.sys_state);
    put_le32(wire.data() + 4, req.temp_level);
    put_le32(wire.data() + 8, req.batt_level);
    put_le32(wire.data() + 12, req.sys_work_mode);
    return up_send_asy_msg(SC_ID, UP_SC_STATE_MSG_ID, wire.data(), (uint32_t)wire.size());
}

int up_process_fail_to_recover(int i_recover_flag)
{
    run_ignored("rm %s -rf", UP_UPDATE_FLAG_FILE);

    // The package goes after a failure too, so that the next start does not
    // install a bad package again.
    if (up_check_mount(UP_IMAGE_PATH_DIR) != 0)
        clear_package_partition();
    else
        clear_package_file();

    if (i_recover_flag == 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]****update failed will to reboot system\n\n");
    } else {
        run_ignored("touch %s", UP_REBOOT_FLAG_FILE);
        up_sleep_ms(5000);
    }
    return up_send_reboot_request();
}
