// The image update driver: package open, header and table, the walk over the
// records, the version file install, and the end of a successful run.
#include "up_driver.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <new>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_bootloader.h"
#include "up_extract.h"
#include "up_fd.h"
#include "up_package_auth.h"
#include "up_partition.h"
#include "up_progress.h"
#include "up_records.h"
#include "up_tmp_file.h"
#include "up_version_merge.h"
#include "modem_upgrade.h"
#include "up_wait.h"

namespace {

// "/tmp/" + the version record's file name; empty until a version record is met.
char s_version_file[256];

// A package with a modem record has its router steps set on a fresh state
// block (the value 60), so there a set bit says nothing about what was
// installed. Without one, only an interrupted run of this package set them.
bool s_steps_mean_installed;

// A record whose step bit an interrupted run of this package set is
// installed: the version merge takes its line from the package, or the
// version file would name the old component while the new one is in flash.
void skip_as_installed(const package_record_t *rec, uint32_t value, int step_id = 0)
{
    if (s_steps_mean_installed && step_id != 0)
        up_set_step_flag(step_id);
    up_add_had_write(rec->record_length);
    up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, value);
    up_sleep_ms(1000);
}

void finish_record(const package_record_t *rec, int32_t i, int32_t n, int step_id)
{
    up_add_had_write(rec->record_length);
    up_update_upgrade_status(i + 1, n, (int)rec->record_id);
    if (step_id != 0)
        up_set_step_flag(step_id);
    up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, 0);
    up_sleep_ms(1000);
}

bool file_mode(void)
{
    return up_check_mount(UP_IMAGE_PATH_DIR) == 0;
}

// Kernel and root file system: through the flash tools when the package is a
// file, straight from the package partition otherwise.
int write_partition_record(int fd, const package_record_t *rec)
{
    return file_mode() ? up_process_update_partition(fd, rec) : up_update_fix_rule(fd, rec);
}

// Installs the merged version file after the last record. 0 or -1.
int install_version_file(void)
{
    if (need_up_version != 1)
        return 0;
    if (s_version_file[0] == '\0' || access(s_version_file, F_OK) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s version info file does not exist.\n\n", s_version_file);
        return -1;
    }
    up_update_version_info(UP_VERSION_INFO_FILE, s_version_file);

    char cmd[600];
    snprintf(cmd, sizeof cmd, "/tmp/cp %s %s -rf", s_version_file, UP_VERSION_INFO_FILE);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]run %s\n\n", cmd);
    if (up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]copy version_info.txt error\n\n");
        return -1;
    }
    snprintf(cmd, sizeof cmd, "/tmp/rm %s", s_version_file);
    if (up_util_sys_cmd(cmd) != 0)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]rm version_info.txt error\n\n");
    return 0;
}

// The state word decides which records a rerun skips. A word that cannot be
// read, or holds a negative value, tells nothing about what was installed:
// installing again is safe, skipping is not.
update_state_t read_state_for_record(void)
{
    update_state_t state = up_get_upgrade_status();
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had update image is:%ld\n\n", (long)state);
    if (state < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update state %ld is not usable, installing the record\n\n",
               (long)state);
        return 0;
    }
    return state;
}

// One record. 0 to go on, -1 to end the walk (already reported and logged).
int install_record(int fd, package_record_t *rec, int32_t i, int32_t n)
{
    update_state_t state = read_state_for_record();
    switch (rec->record_id) {
    case PACKAGE_VERSION: {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update version_info.txt\n\n");
        up_add_had_write(rec->record_length);
        // The file name the extraction really creates: the name cut at its
        // first space, checked before it became part of a command.
        char name[UP_RECORD_NAME_MAX];
        s_version_file[0] = '\0';
        if (up_record_file_name(rec, name, sizeof name) == 0)
            snprintf(s_version_file, sizeof s_version_file, "/tmp/%s", name);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ac_record_file_name=:%s\n\n", s_version_file);
        if (s_version_file[0] == '\0' || up_update_version_file(fd, rec) != 0) {
            up_report_progress_to_lcd(UPGRADE_FILED, 10);
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]updte version file error\n\n");
            return -1;
        }
        up_update_upgrade_status(i + 1, n, PACKAGE_VERSION);
        return 0;
    }
    case PACKAGE_BOOTLOADER:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update bootloader\n\n");
        if (state & UPDATE_STEP_BOOTLOADER) {
            skip_as_installed(rec, 0, 1);
            return 0;
        }
        if (up_uboot_image(fd, rec) != 0) {
            up_report_progress_to_lcd(UPGRADE_FILED, 10);
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]update bootloader failed\n\n");
            return -1;
        }
        finish_record(rec, i, n, 1);
        return 0;
    case PACKAGE_KERNEL:
    case PACKAGE_ROOTFS: {
        bool kernel = rec->record_id == PACKAGE_KERNEL;
        if (kernel)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update kernel\n\n");
        else
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update rootfs\n\n");
        if (state & (kernel ? UPDATE_STEP_KERNEL : UPDATE_STEP_ROOTFS)) {
            skip_as_installed(rec, 0, kernel ? 2 : 3);
            return 0;
        }
        if (write_partition_record(fd, rec) != 0) {
            up_report_progress_to_lcd(UPGRADE_FILED, 10);
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]updte %ld image error\n\n", (long)rec->record_id);
            return -1;
        }
        finish_record(rec, i, n, kernel ? 2 : 3);
        return 0;
    }
    case PACKAGE_2NDFS:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update 2ndfs\n\n");
        if (state & UPDATE_STEP_2NDF) {
            // Installed whole: an archive imported its defaults, and a raw
            // image brought its own version file, as in the run that wrote it.
            if (s_steps_mean_installed && rec->compressed == 0)
                need_up_version = 0;
            skip_as_installed(rec, 0, rec->compressed == 1 ? 9 : 0);
            return 0;
        }
        if (rec->compressed == 1) {
            if (up_update_2nd_fs(fd, rec) != 0) {
                up_report_progress_to_lcd(UPGRADE_FILED, 10);
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]updte 2nd file system error\n\n");
                return -1;
            }
        } else if (rec->compressed == 0) {
            need_up_version = 0;
            if (up_update_fix_rule(fd, rec) != 0) {
                up_report_progress_to_lcd(UPGRADE_FILED, 10);
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]updte %ld image error\n\n", (long)rec->record_id);
                return -1;
            }
        }
        finish_record(rec, i, n, 0);
        return 0;
    case PACKAGE_BOOT_IMAGE:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update boot image\n\n");
        return 0;
    case PACKAGE_MODEM_IMAGE:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]##################update modem image\n\n");
        if (state & UPDATE_STEP_MODEM) {
            skip_as_installed(rec, 10);
            return 0;
        }
        if (up_process_update_modem_image(fd, rec) != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update modem image failed\n\n");
            return -1;
        }
        // The modem runs the container's firmware, every value back: the
        // version file takes the package's modem line.
        up_set_step_flag(UP_STEP_MODEM_LINE);
        up_update_upgrade_status(i + 1, n, PACKAGE_MODEM_IMAGE);
        return 0;
    default:
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]unkown record id---%ld\n\n", (long)rec->record_id);
        return 0;
    }
}

// The tools the installers run from "/tmp" while file systems are replaced.
// Each copy is a fresh file of root's: whatever sat at its name (a planted
// program, a link to a file elsewhere) is removed first, never written
// through or run. A tool the router lacks is left absent, as a failed copy
// would leave it; a name that cannot be made fresh ends the upgrade before
// anything is installed.
int copy_tools_to_tmp(void)
{
    static const char *const k_tool_copies[][2] = {
        {"/sbin/reboot", "/tmp/reboot"}, {"/bin/rm", "/tmp/rm"}, {"/bin/umount", "/tmp/umount"},
        {"/bin/tar", "/tmp/tar"},        {"/bin/cp", "/tmp/cp"},
    };
    for (const auto &copy : k_tool_copies) {
        if (up_tmp_copy_tool(copy[0], copy[1]) < 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot make a fresh copy of %s in /tmp\n\n", copy[0]);
            return -1;
        }
    }
    return 0;
}

} // namespace

int up_update_image(package_signature_t *p_pack_head_attr, int i_flash_fd,
                    package_record_t *p_pack_record_list)
{
    if (p_pack_head_attr == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]NULL p_pack_head_attr point\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_ERROR, "[%s:%d] i_record_num is:%ld\n\n", (long)p_pack_head_attr->num_records);
    s_version_file[0] = '\0';

    // Signed, as the table reader counts: a count of 0x80000000 or more read nothing.
    int32_t n = (int32_t)p_pack_head_attr->num_records;
    s_steps_mean_installed = true;
    bool has_modem = false;
    for (int32_t i = 0; i < n; ++i)
        if (p_pack_record_list[i].record_id == PACKAGE_MODEM_IMAGE) {
            s_steps_mean_installed = false;
            has_modem = true;
        }
    for (int32_t i = 0; i < n; ++i) {
        if (install_record(i_flash_fd, &p_pack_record_list[i], i, n) != 0)
            return -1;
    }
    if (install_version_file() != 0)
        return -1;
    // A package without a modem record cannot finish a modem update an
    // earlier run left open: the router is installed, the run is not.
    if (!has_modem && up_modem_unfinished_check() != 0) {
        up_report_progress_to_lcd(UPGRADE_FILED, 10);
        return -1;
    }
    return 0;
}

int up_upgrade_all(void)
{
    if (copy_tools_to_tmp() != 0)
        return -1;
    up_driver_reset();

    unique_fd fd(open(image_name, O_RDONLY));
    if (!fd.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open fail\n\n");
        return -1;
    }
    up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, 0);

    package_signature_t head{};
    if (up_process_head_upgrade(&head, fd.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]check head before upgrade error\n\n");
        return -1;
    }

    // A router that holds a public key installs only a package signed by one
    // of its keys: checked before the table is trusted or anything touched.
    up_auth_result auth;
    if (up_authenticate_package(fd.get(), (uint32_t)head.packlen, UP_KEY_DIR, &auth) != 0) {
        up_report_progress_to_lcd(UPGRADE_FILED, 10);
        return -1;
    }

    // The count comes from the package: it is checked against the package's
    // size before it sizes an allocation, and the whole table is checked
    // before the first record touches the router.
    int32_t count = (int32_t)head.num_records < 0 ? 0 : (int32_t)head.num_records;
    std::unique_ptr<package_record_t[]> list;
    if (up_check_record_count(&head, fd.get()) == 0)
        list.reset(new (std::nothrow) package_record_t[count > 0 ? count : 1]());
    if (!list || up_process_package_record_list(&head, fd.get(), list.get()) != 0 ||
        up_check_record_table(&head, fd.get(), list.get()) != 0) {
        up_report_progress_to_lcd(UPGRADE_FILED, 10);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]check head before upgrade error\n\n");
        return -1;
    }

    if (up_update_image(&head, fd.get(), list.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]update all image upgrade error\n\n");
        return -1;
    }

    had_write = whole_packlen;
    up_report_progress_to_lcd(UPGRADE_IN_PROGRESS, 0);
    up_sleep_ms(2000);
    up_report_progress_to_lcd(UPGRADE_COMPLETE, 100);
    up_set_upgrade_status(0);
    return 0;
}
