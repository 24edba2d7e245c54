// Fuzz target: the judging of the modem's AT answers and the composing of
// the identity writes from a saved identity record. The first byte chooses
// the output size for the value and the identity write's field; the next
// 548 bytes (zeros when the input is shorter) are an identity record in its
// file form, as the NV backup keeps it; the rest is one answer as a read
// returns it (at most AT_ANSWER_SIZE - 1 bytes, terminated).
#include <cstring>

#include "at_answer.h"
#include "efs_config.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    data++;
    size--;

    uint8_t record[EFS_H_CFG_SIZE] = {};
    size_t rec_len = size < EFS_H_CFG_SIZE ? size : EFS_H_CFG_SIZE;
    memcpy(record, data, rec_len);
    efs_h_cfg cfg;
    efs_cfg_decode(record, &cfg);
    const char *texts[] = {cfg.strSN, cfg.strIMEI, cfg.strSIMLOCK, cfg.strTESTINF, cfg.strMEID,
                           cfg.strINDS};
    for (const char *t : texts)
        FUZZ_CHECK(memchr(t, '\0', 64) != nullptr);
    FUZZ_CHECK(memchr(cfg.strSIMLOCKList, '\0', sizeof cfg.strSIMLOCKList) != nullptr);

    char answer[AT_ANSWER_SIZE];
    size_t ans_len = size - rec_len;
    if (ans_len > AT_ANSWER_SIZE - 1)
        ans_len = AT_ANSWER_SIZE - 1;
    memcpy(answer, data + rec_len, ans_len);
    answer[ans_len] = '\0';

    // The value through an output of 1..64 bytes, with either drop set.
    size_t out_size = (size_t)(mode & 63) + 1;
    char value[64];
    memset(value, 'x', sizeof value);
    const char *drop = (mode & 64) ? AT_DROP_TESTINF : AT_DROP_READ;
    if (at_answer_value(answer, drop, value, out_size) == 1) {
        size_t n = strnlen(value, out_size);
        FUZZ_CHECK(n < out_size && n >= 2 && value[0] == '"' && value[n - 1] == '"');
        FUZZ_CHECK(strpbrk(value, drop) == nullptr);
        FUZZ_CHECK(strstr(answer, "ERROR") == nullptr);
        at_imei_plausible(value);
    }

    char version[64];
    if (at_firmware_version(answer, version, out_size) == 0) {
        FUZZ_CHECK(strnlen(version, out_size) < out_size);
        FUZZ_CHECK(strncmp(version, "ZMR", 3) == 0 && strchr(version, '\r') == nullptr);
    }

    // Every identity write fits its 128 bytes with a terminator.
    char cmd[AT_WRITE_CMD_SIZE];
    int flag = (int)(ans_len % 7);
    if (at_compose_write(&cfg, "AT+SN=", flag, cmd) == 0)
        FUZZ_CHECK(memchr(cmd, '\0', sizeof cmd) != nullptr);
    if (at_compose_write(&cfg, answer, flag, cmd) == 0)
        FUZZ_CHECK(memchr(cmd, '\0', sizeof cmd) != nullptr);
    return 0;
}
