// File form of the device identity record.
#include "efs_config.h"

#include <array>
#include <cstring>
#include <iterator>

#include "up_bytes.h"
#include "up_fd.h"

namespace {

constexpr size_t WORDS = 9;

uint32_t *word_fields(efs_h_cfg *c, size_t i)
{
    uint32_t *const f[WORDS] = {&c->SN,      &c->IMEI,     &c->SIMLOCK, &c->TESTINF, &c->MEID,
                                &c->GSMBand, &c->UMTSBand, &c->LTEBand, &c->INDS};
    return f[i];
}

struct text_field {
    size_t offset;
    size_t size;
};

// Offsets of the texts in the file, in the order of the record.
constexpr text_field TEXTS[] = {{36, 64}, {100, 64}, {164, 64}, {228, 128},
                                {356, 64}, {420, 64}, {484, 64}};

char *text_fields(efs_h_cfg *c, size_t i)
{
    char *const f[] = {c->strSN,      c->strIMEI, c->strSIMLOCK, c->strSIMLOCKList,
                       c->strTESTINF, c->strMEID, c->strINDS};
    return f[i];
}

} // namespace

void efs_cfg_encode(const efs_h_cfg *cfg, uint8_t out[EFS_H_CFG_SIZE])
{
    efs_h_cfg copy = *cfg;
    for (size_t i = 0; i < WORDS; i++)
        put_le32(out + 4 * i, *word_fields(&copy, i));
    for (size_t i = 0; i < std::size(TEXTS); i++)
        memcpy(out + TEXTS[i].offset, text_fields(&copy, i), TEXTS[i].size);
}

void efs_cfg_decode(const uint8_t in[EFS_H_CFG_SIZE], efs_h_cfg *cfg)
{
    for (size_t i = 0; i < WORDS; i++)
        *word_fields(cfg, i) = get_le32(in + 4 * i);
    for (size_t i = 0; i < std::size(TEXTS); i++) {
        char *field = text_fields(cfg, i);
        memcpy(field, in + TEXTS[i].offset, TEXTS[i].size);
        field[TEXTS[i].size - 1] = '\0';
    }
}

int efs_cfg_write(int fd, const efs_h_cfg *cfg)
{
    std::array<uint8_t, EFS_H_CFG_SIZE> raw{};
    efs_cfg_encode(cfg, raw.data());
    return write_full(fd, raw.data(), raw.size()) == (ssize_t)raw.size() ? 0 : -1;
}

int efs_cfg_read(int fd, efs_h_cfg *cfg)
{
    std::array<uint8_t, EFS_H_CFG_SIZE> raw{};
    if (read_full(fd, raw.data(), raw.size()) != (ssize_t)raw.size())
        return -1;
    efs_cfg_decode(raw.data(), cfg);
    return 0;
}
