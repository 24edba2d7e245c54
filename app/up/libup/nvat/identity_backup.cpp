// Identity items saved into and restored from the identity record.
#include "identity_backup.h"

#include <cstring>

#include "at_answer.h"
#include "at_channel.h"
#include "kq_log.h"

namespace {

// Written instead of an IMEI that was never read or reads as zeros: a modem
// without any IMEI does not register at all.
constexpr char DEFAULT_IMEI[] = "\"001234567890128\"";
constexpr char INDICATOR[] = "\"D2\"";

} // namespace

int BackupInfo(int at_fd, efs_h_cfg *nv_cfg)
{
    if (nv_cfg->SN != 0) {
        if (Read_AT(at_fd, "AT+KQTSN=0,5\r\n\r\n", nv_cfg->strSN, sizeof nv_cfg->strSN) != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to read SN, %s, %d\n\n", __func__, __LINE__);
            // A record saved from here on must not ask for a serial number
            // that was never read.
            nv_cfg->SN = 0;
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]return value=%s.\n\n", nv_cfg->strSN);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Read SN successfully\n\n");
    }
    if (nv_cfg->IMEI != 0) {
        if (Read_AT(at_fd, "AT+KQTSN=0,7\r\n\r\n", nv_cfg->strIMEI, sizeof nv_cfg->strIMEI) != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to read IMEI, %s, %d\n\n", __func__, __LINE__);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]return value=%s.\n\n", nv_cfg->strIMEI);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Read IMSI successfully\n\n");
    }
    if (nv_cfg->TESTINF != 0) {
        if (Read_TESTINF2_AT(at_fd, "AT+TESTINF2=?\r\n\r\n\r\n", nv_cfg->strTESTINF,
                             sizeof nv_cfg->strTESTINF) != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to read TESTINF, %s, %d\n\n", __func__, __LINE__);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]return value=%s.\n\n", nv_cfg->strTESTINF);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Read TESTINF successfully\n\n");
    }
    if (nv_cfg->SIMLOCK != 0) {
        if (Read_AT(at_fd, "AT+NWLCFG?\r\n\r\n", nv_cfg->strSIMLOCK, sizeof nv_cfg->strSIMLOCK) != 1) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to read SIMLOCK, %s, %d\n\n", __func__, __LINE__);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]return value=%s.\n\n", nv_cfg->strSIMLOCK);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Read SIMLOCK successfully\n\n");
    }
    return 0;
}

int RestoreInfo(int fd_at, efs_h_cfg *nv_cfg)
{
    if (nv_cfg->SN != 0) {
        if (Write_AT(fd_at, nv_cfg, "AT+KQTSN=1,5,", 0, "Fail to write SN to phone") != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Write AT SN failed.at cmd=%s,and efs_conf SN=%s\n",
                   "AT+KQTSN=1,5,", nv_cfg->strSN);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore SN successfully,cmd=%s%s\n\n", "AT+KQTSN=1,5,",
               nv_cfg->strSN);
    }
    if (nv_cfg->IMEI != 0) {
        if (!at_imei_plausible(nv_cfg->strIMEI)) {
            memset(nv_cfg->strIMEI, 0, sizeof nv_cfg->strIMEI);
            memcpy(nv_cfg->strIMEI, DEFAULT_IMEI, sizeof DEFAULT_IMEI);
        }
        if (Write_AT(fd_at, nv_cfg, "AT+KQTSN=1,7,", 1, "Fail to restore IMEI to phone") != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Write AT IMEI failed.at cmd=%s,and efs_conf SN=%s\n",
                   "AT+KQTSN=1,7,", nv_cfg->strIMEI);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore IMEI successfully\n\n");
    }
    memset(nv_cfg->strINDS, 0, sizeof nv_cfg->strINDS);
    memcpy(nv_cfg->strINDS, INDICATOR, sizeof INDICATOR);
    if (Write_AT(fd_at, nv_cfg, "AT+DISK=8,", 5, "Fail to restore INDS to phone") != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore INDS successfully\n\n");
    if (nv_cfg->TESTINF != 0) {
        if (Write_AT(fd_at, nv_cfg, "AT+TESTINF2=", 2, "Fail to restore TESTINF to phone") != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore TESTINF failed,at cmd=%s,and efs_conf SN=%lu\n",
                   "AT+TESTINF2=", (unsigned long)nv_cfg->TESTINF);
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore TESTINF successfully\n\n");
    }
    if (nv_cfg->SIMLOCK != 0) {
        if (Write_AT(fd_at, nv_cfg, "AT+NWLSET=", 3, "Fail to restore SIMLOCK to phone") != 0)
            return -1;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore SIMLOCK successfully\n\n");
    }
    return 0;
}
