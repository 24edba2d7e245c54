// Reading the modem container's INI into the modem configuration.
#include "modem_config.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini_reader.h"
#include "kq_log.h"

file_info_st file_info;
efs_h_cfg efs_config;

namespace {

constexpr size_t INI_VALUE_BUF = 512;
using ini_value = std::array<char, INI_VALUE_BUF>;

bool read_key(const char *ini_file, const char *zone, const char *key, ini_value *value)
{
    value->fill('\0');
    return read_ini_config(ini_file, zone, key, value->data(), value->size()) == 0;
}

// Text values go straight into their field; one that does not fit counts as
// missing rather than being cut.
bool read_text_key(const char *ini_file, const char *zone, const char *key, char *field,
                   size_t size)
{
    return read_ini_config(ini_file, zone, key, field, size) == 0;
}

uint32_t hex_value(const char *text)
{
    unsigned long v = 0;
    if (sscanf(text, "%lx", &v) != 1)
        return 0;
    return (uint32_t)v;
}

// SIMLOCK is "flag,list"; a value without a comma means no lock (flag 0).
void read_simlock(const char *text)
{
    efs_config.SIMLOCK = 0;
    efs_config.strSIMLOCKList[0] = '\0';
    if (strchr(text, ',') == nullptr)
        return;
    unsigned long flag = 0;
    // The filtered value is at most 127 characters, so the list always fits.
    if (sscanf(text, "%lx,%127s", &flag, efs_config.strSIMLOCKList) >= 1)
        efs_config.SIMLOCK = (uint32_t)flag;
}

struct hex_key {
    const char *zone;
    const char *key;
    uint32_t efs_h_cfg::*field;
    const char *label;       // names the key in the failure line
};

// The identity flags and band masks, in the order they are read. A missing
// identity key is reported as "at", as the port key is.
const hex_key IDENTITY_KEYS[] = {
    {"BackupRestore_AT", "SN", &efs_h_cfg::SN, "at"},
    {"BackupRestore_AT", "IMEI", &efs_h_cfg::IMEI, "at"},
    {"BackupRestore_AT", "TESTINF", &efs_h_cfg::TESTINF, "at"},
    {"BackupRestore_AT", "SIMLOCK", nullptr, "at"},
    {"Band", "GSMBand", &efs_h_cfg::GSMBand, "GSMBand"},
    {"Band", "UMTSBand", &efs_h_cfg::UMTSBand, "UMTSBand"},
    {"Band", "LTEBand", &efs_h_cfg::LTEBand, "LTEBand"},
};

// Every key is read on its own: a missing one leaves its item out (flag or
// mask 0) and the others are still read, so an INI without one of them
// still has the rest of the identity kept. -1 when any was missing.
int read_identity(const char *ini_file)
{
    ini_value v;
    int status = 0;
    for (const hex_key &k : IDENTITY_KEYS) {
        if (!read_key(ini_file, k.zone, k.key, &v)) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get %s from ini file failed\n\n", k.label);
            v.fill('\0');
            status = -1;
        }
        if (k.field == nullptr)
            read_simlock(v.data());
        else
            efs_config.*k.field = hex_value(v.data());
    }
    return status;
}

} // namespace

int get_file_info_config(const char *ini_file)
{
    ini_value v;
    if (!read_text_key(ini_file, "About", "modem_version", file_info.InnerVersion,
                       sizeof file_info.InnerVersion)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get modem_version from ini file failed\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get modem_version from ini file=%s\n\n", file_info.InnerVersion);

    if (!read_key(ini_file, "About", "efs_include", &v)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get efs_include from ini file failed\n\n");
        return -1;
    }
    file_info.efs_enabled = atoi(v.data());

    if (read_key(ini_file, "About", "bEFS", &v))
        file_info.befs = atoi(v.data());
    else
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get bEFS from ini file failed\n\n");

    // An image with an EFS always gets one of the two kinds: "bEFS" unless
    // "bAppEFS" is switched on.
    if (file_info.befs == 0 && file_info.efs_enabled == 1) {
        if (!read_key(ini_file, "About", "bAppEFS", &v)) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get bAppEFS from ini file failed\n\n");
            file_info.befs = 1;
        } else if (atoi(v.data()) != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]bEFS and bAppEFS are both disabled ,error\n\n");
            file_info.befs = 1;
        }
    }

    file_info.efs_restore = read_key(ini_file, "About", "efs_restore", &v) ? atoi(v.data()) : 0;
    file_info.version_check = read_key(ini_file, "About", "version_check", &v) ? atoi(v.data()) : 1;

    if (!read_text_key(ini_file, "serial_ports", "diagnose", file_info.diagnose_inface,
                       sizeof file_info.diagnose_inface)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get diagnose from ini file failed\n\n");
        return -1;
    }
    if (!read_text_key(ini_file, "serial_ports", "at", file_info.at_inface,
                       sizeof file_info.at_inface)) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get at from ini file failed\n\n");
        return -1;
    }

    // The identity is kept whenever the NV items are: an EFS flash
    // (efs_include 1) preserves them whatever efs_restore says.
    if ((file_info.efs_restore == 1 || file_info.efs_enabled == 1) && read_identity(ini_file) != 0)
        return -1;
    return 0;
}
