// Version file merge: a rerun may skip components an interrupted run had
// installed, and a package may lack some records, so for every component not
// installed in this run the line keeps the installed file's text from the
// component's keyword on.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_driver.h"
#include "up_fd.h"
#include "up_tmp_file.h"
#include "up_version_merge.h"

namespace {

// Used when the package's file is itself the work file: writing the merge
// there would empty the file it is read from.
const char *const k_alt_work_file = "/tmp/version_info.merge";

bool same_file(const char *a, const char *b)
{
    struct stat sa {};
    struct stat sb {};
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return strcmp(a, b) == 0;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Puts record into line at pos, cut to the line buffer. A line that ended
// with a line end keeps one, so a cut or a last old line without one cannot
// join it to the next line.
void replace_tail(char *line, size_t pos, const char *record)
{
    bool had_newline = strchr(line + pos, '\n') != nullptr;
    size_t room = UP_VERSION_LINE_SIZE - 1 - pos;
    size_t len = strnlen(record, UP_VERSION_LINE_SIZE);
    if (len > room)
        len = room;
    memcpy(line + pos, record, len);
    line[pos + len] = '\0';
    if (had_newline && (len == 0 || line[pos + len - 1] != '\n')) {
        if (pos + len + 1 >= UP_VERSION_LINE_SIZE)
            len--;   // give the last character up for the line end
        line[pos + len] = '\n';
        line[pos + len + 1] = '\0';
    }
}

// The package's file name came from the package: it goes into the copy
// command only when every character is one a record name may use or a '/',
// and no component is "..".
bool is_plain_path(const char *path)
{
    if (path[0] != '/' || strstr(path, "/../") != nullptr)
        return false;
    size_t len = strlen(path);
    if (len >= 3 && strcmp(path + len - 3, "/..") == 0)
        return false;
    for (const char *p = path; *p != '\0'; p++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-' || c == '+' || c == '/';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

int up_get_version_record(const char *ver_file_path, const char *ver_info_item, char *p_ver_info)
{
    if (ver_file_path == nullptr || ver_info_item == nullptr || p_ver_info == nullptr ||
        ver_info_item[0] == '\0')
        return 0;
    unique_file f(fopen(ver_file_path, "r"));
    if (!f.ok())
        return 0;
    char line[UP_VERSION_LINE_SIZE];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        const char *at = strstr(line, ver_info_item);
        if (at != nullptr) {
            snprintf(p_ver_info, UP_VERSION_LINE_SIZE, "%s", at);
            return 1;
        }
    }
    return 0;
}

int up_set_up_version(char *p_buff, const char *old_ver_path)
{
    if (p_buff == nullptr)
        return 0;
    for (int i = 0; i < UP_STEP_TABLE_ROWS && up_update_step_table[i].partion_id != -1; i++) {
        const update_step_table &row = up_update_step_table[i];
        char key[UP_STEP_KEY_SIZE + 1] = {};
        memcpy(key, row.partion_key_words, UP_STEP_KEY_SIZE);
        if (key[0] == '\0' || row.update_flag != 0)
            continue;
        char *at = strstr(p_buff, key);
        if (at == nullptr)
            continue;
        char record[UP_VERSION_LINE_SIZE];
        if (up_get_version_record(old_ver_path, key, record) != 1)
            continue;
        replace_tail(p_buff, (size_t)(at - p_buff), record);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d][%s][%d]:find and modefied the %s \n\n", "up_set_up_version",
               __LINE__, key);
        return 1;
    }
    return 0;
}

int up_merge_version_file(const char *old_ver_path, const char *new_ver_path, const char *work_path)
{
    if (new_ver_path == nullptr || work_path == nullptr)
        return -1;
    unique_file in(fopen(new_ver_path, "r"));
    if (!in.ok())
        return -1;
    if (same_file(new_ver_path, work_path))
        return -1;
    // The work file is made fresh: a link planted at its name would have the
    // merge write wherever it points.
    unique_fd work(up_tmp_create_fresh(work_path, 0600));
    if (!work.ok())
        return -1;
    unique_file out(fdopen(work.get(), "w"));
    if (!out.ok())
        return -1;
    work.release();
    char line[UP_VERSION_LINE_SIZE];
    while (fgets(line, sizeof line, in.get()) != nullptr) {
        up_set_up_version(line, old_ver_path);
        if (fputs(line, out.get()) == EOF)
            return -1;
    }
    if (ferror(in.get()) || fflush(out.get()) != 0)
        return -1;
    return 0;
}

int up_update_version_info(const char *old_ver_path, const char *new_ver_path)
{
    if (new_ver_path == nullptr || !is_plain_path(new_ver_path)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]refuse version file path\n\n");
        return -1;
    }
    const char *work = same_file(new_ver_path, UP_VERSION_WORK_FILE) ? k_alt_work_file
                                                                      : UP_VERSION_WORK_FILE;
    // A merge that failed leaves the package's file as it came.
    if (up_merge_version_file(old_ver_path, new_ver_path, work) != 0)
        return -1;
    char cmd[512];
    int n = snprintf(cmd, sizeof cmd, "/tmp/cp %s %s -rf 2>/dev/null", work, new_ver_path);
    if (n < 0 || n >= (int)sizeof cmd || up_util_sys_cmd(cmd) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d][%s][%d]: run cmd:%s failed\n\n", "up_update_version_info",
               __LINE__, cmd);
        return -1;
    }
    return 0;
}
