// The programmer's image type codes, named once for the flash store and the
// exchange log.
#include "modem_core.h"

namespace {

struct image_type {
    uint8_t code;
    const char *file;
    const char *label;
};

constexpr image_type IMAGE_TYPES[] = {
    {0x0F, "dbl", "dbl"},   {0x11, "fsbl", "fsbl"}, {0x10, "osbl", "osbl"},
    {0x05, "amss", "amss"}, {0x0D, "dsp1", "dsp1"}, {0x12, "dsp2", "dsp2"},
    {0x0B, "efs", "efs(app)"}, {0x09, "efs", "efs"},
};

const image_type *find_type(uint8_t code)
{
    for (const auto &t : IMAGE_TYPES)
        if (t.code == code)
            return &t;
    return nullptr;
}

} // namespace

const char *image_file_name(uint8_t type)
{
    const image_type *t = find_type(type);
    return t ? t->file : nullptr;
}

const char *image_type_label(uint8_t type)
{
    const image_type *t = find_type(type);
    return t ? t->label : "?";
}
