// Sub-image tables for the plan and loop tests, and the short names the
// tests print the types with. The body sizes differ from one another so a
// wrong offset shows in the expected text.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "modem_plan.h"

namespace plan_test {

constexpr uint32_t HEX = 0x4D484558;
constexpr uint32_t PART = 0x01020304;
constexpr uint32_t DBL = 0x05060708;
constexpr uint32_t FSBL = 0x090A0B0C;
constexpr uint32_t OSBL = 0x0D0E0F10;
constexpr uint32_t AMSS = 0x11121314;
constexpr uint32_t DSP1 = 0x15161718;
constexpr uint32_t DSP2 = 0x191A1B1C;
constexpr uint32_t EFS = 0x42454653;
constexpr uint32_t ODD = 0x0BADF00D;   // a type the step does not know

inline std::string type_name(uint32_t type)
{
    switch (type) {
    case HEX: return "HEX";
    case PART: return "PART";
    case DBL: return "DBL";
    case FSBL: return "FSBL";
    case OSBL: return "OSBL";
    case AMSS: return "AMSS";
    case DSP1: return "DSP1";
    case DSP2: return "DSP2";
    case EFS: return "EFS";
    case 0: return "END";
    default: {
        char s[16];
        snprintf(s, sizeof s, "0x%08X", (unsigned)type);
        return s;
    }
    }
}

// The 16 slots as the container reader leaves them: slot 0 the INI (200
// bytes), then the entries, the rest zero.
struct table16 {
    fw_h_t slots[16];
};

inline table16 make_table(const std::vector<fw_h_t> &entries)
{
    table16 t{};
    t.slots[0] = fw_h_t{0x494E4900, 0, 0, 200};
    for (size_t i = 0; i < entries.size() && i + 1 < 16; i++)
        t.slots[i + 1] = entries[i];
    return t;
}

inline fw_h_t entry(uint32_t type, uint32_t size)
{
    return fw_h_t{type, 0, 0, size};
}

// Every image once, in the order packages carry them: 13140 body bytes.
inline std::vector<fw_h_t> every_image()
{
    return {entry(HEX, 300),  entry(PART, 40),  entry(DBL, 500),   entry(FSBL, 600), entry(OSBL, 700),
            entry(AMSS, 8000), entry(DSP1, 900), entry(DSP2, 1000), entry(EFS, 1100)};
}

// every_image without its last entry, the EFS: 12040 body bytes.
inline std::vector<fw_h_t> without_efs()
{
    std::vector<fw_h_t> e = every_image();
    e.pop_back();
    return e;
}

// The container of every_image: header 16 + table 16 * 10 + INI 200 = 376
// bytes before entry 1's body, which starts at package offset 4472 (the
// record at 4096); 376 + 13140 = 13516 bytes in all.
constexpr uint64_t BODY_AT = 4472;
constexpr uint32_t BASE_NUM = 376;
constexpr uint32_t FULL_SIZE = 13516;

inline modem_walk walk_of(const table16 &t, uint32_t container_size = FULL_SIZE)
{
    return modem_walk{{t.slots, 16}, BODY_AT, BASE_NUM, container_size};
}

// The skip flags with the given images installed.
inline modem_check_point_t flags_of(std::initializer_list<uint32_t> installed)
{
    modem_check_point_t c{};
    for (uint32_t type : installed) {
        switch (type) {
        case DBL: c.dbl_download = 1; break;
        case FSBL: c.fsbl_download = 1; break;
        case OSBL: c.osbl_download = 1; break;
        case AMSS: c.amss_download = 1; break;
        case DSP1: c.dsp1_download = 1; break;
        case DSP2: c.dsp2_download = 1; break;
        case EFS: c.efs_download = 1; break;
        default: break;
        }
    }
    return c;
}

} // namespace plan_test
