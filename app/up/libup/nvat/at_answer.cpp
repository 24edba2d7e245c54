// AT answers are judged by plain substring search: the modem's answers carry
// no structure the tool relies on beyond "OK", "ERROR" and double quotes.
#include "at_answer.h"

#include <cstdio>
#include <cstring>

int at_answer_value(const char *answer, const char *drop, char *out, size_t out_size)
{
    if (answer == nullptr || out == nullptr || out_size == 0)
        return 0;
    if (strstr(answer, "ERROR") != nullptr)
        return 0;
    const char *open = strchr(answer, '"');
    if (open == nullptr)
        return 0;
    const char *close = strchr(open + 1, '"');
    if (close == nullptr)
        return 0;
    size_t n = 0;
    for (const char *p = open; p <= close; ++p) {
        if (drop != nullptr && strchr(drop, *p) != nullptr)
            continue;
        n++;
    }
    if (n >= out_size)
        return 0;
    n = 0;
    for (const char *p = open; p <= close; ++p) {
        if (drop != nullptr && strchr(drop, *p) != nullptr)
            continue;
        out[n++] = *p;
    }
    out[n] = '\0';
    return 1;
}

int at_firmware_version(const char *answer, char *out, size_t out_size)
{
    if (answer == nullptr || out == nullptr || out_size == 0)
        return -1;
    const char *inner = strstr(answer, "InnerVersion");
    if (inner == nullptr)
        return -1;
    const char *id = strstr(inner, "ZMR");
    if (id == nullptr)
        return -1;
    size_t n = strcspn(id, "\r");
    if (n >= out_size)
        return -1;
    memcpy(out, id, n);
    out[n] = '\0';
    return 0;
}

bool at_imei_plausible(const char *value)
{
    return value != nullptr && value[0] != '\0' && strstr(value, "00000000000") == nullptr;
}

int at_compose_write(const efs_h_cfg *cfg, const char *prefix, int flag,
                     char out[AT_WRITE_CMD_SIZE])
{
    memset(out, 0, AT_WRITE_CMD_SIZE);
    if (cfg == nullptr || prefix == nullptr)
        return -1;
    const char *field = nullptr;
    int field_size = 64;   // a text is never read past its field
    switch (flag) {
    case 0: field = cfg->strSN; break;
    case 1: field = cfg->strIMEI; break;
    case 2: field = cfg->strTESTINF; break;
    case 3: field = cfg->strSIMLOCK; break;
    case 4:
        if (cfg->SIMLOCK != 1) {
            // No lock to restore: switch it off whatever the prefix.
            snprintf(out, AT_WRITE_CMD_SIZE, "%s", "AT+NWLSET=0\r\n");
            return 0;
        }
        field = cfg->strSIMLOCKList;
        field_size = (int)sizeof cfg->strSIMLOCKList;
        break;
    case 5: field = cfg->strINDS; break;
    default: break;
    }
    int n = field != nullptr ? snprintf(out, AT_WRITE_CMD_SIZE, "%s%.*s%s", prefix, field_size, field,
                                        "\r\n")
                             : snprintf(out, AT_WRITE_CMD_SIZE, "%s", prefix);
    // A cut command would write a cut value into the modem: send nothing.
    if (n < 0 || (size_t)n >= AT_WRITE_CMD_SIZE) {
        memset(out, 0, AT_WRITE_CMD_SIZE);
        return -1;
    }
    return 0;
}
