// Record names become file names under "/tmp" and words of shell commands, so
// only the characters real component names use are let through.
#include <cstring>

#include "kq_log.h"
#include "kq_os.h"
#include "up_extract.h"

namespace {

bool is_name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-' || c == '+';
}

// Names that would overwrite the tool copies the installers run from "/tmp",
// or the folder a compressed record is unpacked into.
const char *const k_reserved_names[] = {"cp", "rm", "tar", "umount", "reboot", UP_UNPACK_DIR_NAME};

// A hostile name must not forge log lines either: show it printable only.
void printable_copy(const char *in, size_t in_len, char *out, size_t out_size)
{
    size_t n = 0;
    for (size_t i = 0; i < in_len && in[i] != '\0' && n + 1 < out_size; i++)
        out[n++] = (in[i] >= 0x20 && in[i] < 0x7F) ? in[i] : '?';
    out[n] = '\0';
}

// Copies the 64-byte field into name; a field without a NUL becomes a
// 64-character name. cut: end the name at its first space. quiet: a refusal
// is the caller's to report.
int copy_record_name(const package_record_t *rec, char *name, size_t size, bool cut, bool quiet)
{
    if (name == nullptr || size == 0)
        return -1;
    name[0] = '\0';
    if (rec == nullptr) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]NULL p_pack_record_t \n\n");
        return -1;
    }
    char buf[UP_RECORD_NAME_MAX] = {};
    memcpy(buf, rec->record_name, PACKAGE_NAME_SIZE);
    if (cut) {
        char *blank = kq_strchr(buf, ' ');
        if (blank != nullptr)
            *blank = '\0';
    }
    size_t len = strlen(buf);
    if (!is_safe_record_name(buf) || len >= size) {
        if (quiet)
            return -1;
        char shown[UP_RECORD_NAME_MAX];
        printable_copy(rec->record_name, PACKAGE_NAME_SIZE, shown, sizeof shown);
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]refuse record name \"%s\"\n\n", shown);
        return -1;
    }
    memcpy(name, buf, len + 1);
    return 0;
}

} // namespace

bool is_safe_record_name(const char *name)
{
    if (name == nullptr)
        return false;
    size_t len = 0;
    for (; len < UP_RECORD_NAME_MAX && name[len] != '\0'; len++)
        if (!is_name_char(name[len]))
            return false;
    if (len == 0 || len > PACKAGE_NAME_SIZE)
        return false;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (const char *reserved : k_reserved_names)
        if (strcmp(name, reserved) == 0)
            return false;
    return true;
}

int up_record_file_name(const package_record_t *p_pack_record_t, char *name, size_t size)
{
    return copy_record_name(p_pack_record_t, name, size, true, false);
}

int up_record_whole_name(const package_record_t *p_pack_record_t, char *name, size_t size)
{
    return copy_record_name(p_pack_record_t, name, size, false, true);
}
