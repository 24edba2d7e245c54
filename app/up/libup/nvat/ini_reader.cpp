// The INI reader. Zones and keys are found by plain substring search, line by
// line: the INI files of the modem containers are written so that a key's
// name occurs in no earlier line of its zone.
#include "ini_reader.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "kq_log.h"
#include "up_fd.h"

namespace {

constexpr size_t INI_LINE_SIZE = 256;   // a longer line is read as several lines

bool kept_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           c == '_' || c == '=' || c == '.' || c == '/' || c == ',';
}

// Reads lines until one that contains every given text (second may be null).
// False at the end of the file.
bool next_line_with(FILE *f, char *line, const char *first, const char *second)
{
    while (fgets(line, (int)INI_LINE_SIZE, f) != nullptr) {
        if (strstr(line, first) != nullptr && (second == nullptr || strstr(line, second) != nullptr))
            return true;
    }
    return false;
}

} // namespace

int trim_str(char *in_out_str)
{
    if (in_out_str == nullptr)
        return -1;
    std::array<char, INI_VALUE_MAX + 1> kept{};
    size_t n = 0;
    bool too_long = false;
    for (const char *p = in_out_str; *p != '\0'; ++p) {
        if (!kept_char(*p))
            continue;
        if (n == INI_VALUE_MAX) {
            too_long = true;
            break;
        }
        kept[n++] = *p;
    }
    kept[n] = '\0';
    memcpy(in_out_str, kept.data(), n + 1);
    return too_long ? -1 : 0;
}

int read_ini_config(const char *file_name, const char *conf_zone, const char *conf_name,
                    char *conf_value, size_t conf_value_size)
{
    if (file_name == nullptr || conf_zone == nullptr || conf_name == nullptr ||
        conf_value == nullptr || conf_value_size == 0)
        return -1;
    unique_file f(fopen(file_name, "r"));
    if (!f.ok())
        return -1;
    std::array<char, INI_LINE_SIZE> line{};
    if (!next_line_with(f.get(), line.data(), "[", conf_zone))
        return -1;
    // The key is taken from the first later line that names it, even past
    // the next zone line.
    if (!next_line_with(f.get(), line.data(), conf_name, nullptr))
        return -1;
    const char *eq = strchr(line.data(), '=');
    if (eq == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read ini file error\n\n");
        return -1;
    }
    // The line (and so the value) holds fewer than INI_LINE_SIZE bytes.
    std::array<char, INI_LINE_SIZE> value{};
    snprintf(value.data(), value.size(), "%s", eq + 1);
    if (trim_str(value.data()) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ini value of %s is longer than %lu characters\n\n", conf_name,
               (unsigned long)INI_VALUE_MAX);
        return -1;
    }
    if (strlen(value.data()) >= conf_value_size) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ini value of %s does not fit its field\n\n", conf_name);
        return -1;
    }
    snprintf(conf_value, conf_value_size, "%s", value.data());
    return 0;
}
