// The normal firmware's NV service on the diag port: NV item read and write
// (codes 38 and 39), the factory-test subsystem's RF NV read and write
// (75, 11, 36, 604/605) and the diag switch into factory test mode
// (75, 4, 14, 0). NV traffic is served only in factory test mode, as on a
// real modem; in any other mode the DIAG task answers "bad mode" (24) with
// the start of the request. Answers carry no opening flag, like every DIAG
// answer of the normal firmware.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "exchange_log.h"
#include "modem_core.h"
#include "nv_store.h"
#include "up_bytes.h"

namespace {

constexpr uint8_t NV_READ = 38;
constexpr uint8_t NV_WRITE = 39;
constexpr uint8_t SUBSYS = 75;
constexpr uint8_t SUBSYS_FTM = 11;
constexpr uint16_t FTM_RF_NV = 36;
constexpr uint16_t RFNV_READ = 604;
constexpr uint16_t RFNV_WRITE = 605;
constexpr uint8_t SUBSYS_MODE = 4;         // 75, 4, 14, 0: into factory test mode
constexpr uint8_t MODE_FTM = 14;

constexpr size_t NV_PACKET = 133;          // code, item, 128 data bytes, status
constexpr size_t RFNV_HEAD = 12;           // through the item number
constexpr size_t RFNV_READ_HEAD = 16;      // answer: ..., status, item, length
constexpr size_t RFNV_WRITE_ANSWER = 14;

constexpr int CFUN_FTM = 5;

// DIAG error codes and NV status values of the modem.
constexpr uint8_t DIAG_BAD_LEN = 0x15;
constexpr uint8_t DIAG_BAD_MODE = 0x18;
constexpr uint16_t NV_DONE = 0;
constexpr uint16_t NV_FAIL = 4;
constexpr uint16_t NV_NOTACTIVE = 5;       // the item is not set
constexpr uint16_t NV_BADPARM = 6;
constexpr uint16_t RFNV_WRITTEN = 2;       // the factory-test subsystem's "written"

enum nv_request_t { REQ_NONE, REQ_NV_READ, REQ_NV_WRITE, REQ_RFNV_READ, REQ_RFNV_WRITE, REQ_FTM_SWITCH };

nv_request_t classify(const uint8_t *p, size_t len)
{
    if (p[0] == NV_READ)
        return REQ_NV_READ;
    if (p[0] == NV_WRITE)
        return REQ_NV_WRITE;
    if (p[0] != SUBSYS || len < 2)
        return REQ_NONE;
    if (p[1] == SUBSYS_MODE && len >= 3 && p[2] == MODE_FTM)
        return REQ_FTM_SWITCH;
    if (p[1] != SUBSYS_FTM || len < 6 || get_le16(p + 2) != FTM_RF_NV)
        return REQ_NONE;
    uint16_t cmd = get_le16(p + 4);
    if (cmd == RFNV_READ)
        return REQ_RFNV_READ;
    if (cmd == RFNV_WRITE)
        return REQ_RFNV_WRITE;
    return REQ_NONE;
}

// The length a request of this kind must have (RF NV write: its data length
// decides), or 0 when the request is too short to tell.
size_t expected_len(nv_request_t req, const uint8_t *p, size_t len)
{
    switch (req) {
    case REQ_NV_READ:
    case REQ_NV_WRITE: return NV_PACKET;
    case REQ_RFNV_READ: return RFNV_HEAD;
    case REQ_RFNV_WRITE: return len >= RFNV_HEAD + 2 ? RFNV_HEAD + 2 + get_le16(p + RFNV_HEAD) : 0;
    case REQ_FTM_SWITCH: return 4;
    case REQ_NONE: break;
    }
    return 0;
}

void reply_payload(modem_reply *r, const char *name, const uint8_t *p, size_t len)
{
    reply_set(r, name, p, len);
    r->leading_flag = false;
}

uint16_t load_status(nv_load_t rc, const char *what, unsigned id)
{
    if (rc == NV_LOAD_OK)
        return NV_DONE;
    if (rc == NV_LOAD_MISSING)
        return NV_NOTACTIVE;
    modem_log("%s item %u: stored file unreadable or of a wrong size", what, id);
    return NV_FAIL;
}

void nv_read(modem_t *m, const uint8_t *p, modem_reply *reply)
{
    uint8_t a[NV_PACKET] = {0};
    uint16_t id = get_le16(p + 1);
    uint16_t status;
    if (m->nv_status_fault >= 0) {
        status = (uint16_t)m->nv_status_fault;
        modem_log("fault status nv-read item=%u status=%u", (unsigned)id, (unsigned)status);
    } else {
        status = load_status(nv_item_load(m->opts.state_dir.data(), id, a + 3), "nv", id);
        if (status != NV_DONE)
            memset(a + 3, 0, NV_STORE_ITEM_SIZE);
    }
    a[0] = NV_READ;
    put_le16(a + 1, id);
    put_le16(a + 131, status);
    modem_log("nv read item=%u status=%u", (unsigned)id, (unsigned)status);
    reply_payload(reply, "nv-read-reply", a, sizeof a);
}

void nv_write(modem_t *m, const uint8_t *p, modem_reply *reply)
{
    uint8_t a[NV_PACKET];
    memcpy(a, p, NV_PACKET);
    uint16_t id = get_le16(p + 1);
    uint16_t status = NV_DONE;
    if (m->nv_status_fault >= 0) {
        status = (uint16_t)m->nv_status_fault;
        modem_log("fault status nv-write item=%u status=%u: not stored", (unsigned)id, (unsigned)status);
    } else if (nv_item_save(m->opts.state_dir.data(), id, p + 3) != 0) {
        modem_log("nv item %u: cannot store it", (unsigned)id);
        status = NV_FAIL;
    }
    put_le16(a + 131, status);
    modem_log("nv write item=%u status=%u", (unsigned)id, (unsigned)status);
    reply_payload(reply, "nv-write-reply", a, sizeof a);
}

void rfnv_read(modem_t *m, const uint8_t *p, modem_reply *reply)
{
    static uint8_t a[RFNV_READ_HEAD + RFNV_STORE_MAX];
    memset(a, 0, sizeof a);
    memcpy(a, p, 8);
    uint16_t id = get_le16(p + 10);
    size_t len = 0;
    uint16_t status;
    if (m->nv_status_fault >= 0) {
        status = (uint16_t)m->nv_status_fault;
        modem_log("fault status rfnv-read item=%u status=%u", (unsigned)id, (unsigned)status);
    } else {
        status = load_status(rfnv_item_load(m->opts.state_dir.data(), id, a + RFNV_READ_HEAD, &len), "rfnv", id);
    }
    if (status != NV_DONE)
        len = 0;
    put_le16(a + 8, (uint16_t)(RFNV_READ_HEAD + len));
    put_le16(a + 10, status);
    put_le16(a + 12, id);
    put_le16(a + 14, (uint16_t)len);
    modem_log("rfnv read item=%u status=%u len=%u", (unsigned)id, (unsigned)status, (unsigned)len);
    reply_payload(reply, "rfnv-read-reply", a, RFNV_READ_HEAD + len);
}

void rfnv_write(modem_t *m, const uint8_t *p, modem_reply *reply)
{
    uint8_t a[RFNV_WRITE_ANSWER] = {0};
    memcpy(a, p, 8);
    uint16_t id = get_le16(p + 10);
    size_t len = get_le16(p + 12);
    uint16_t result = RFNV_WRITTEN;
    if (m->nv_status_fault >= 0) {
        result = (uint16_t)m->nv_status_fault;
        modem_log("fault status rfnv-write item=%u status=%u: not stored", (unsigned)id, (unsigned)result);
    } else if (len > RFNV_STORE_MAX) {
        modem_log("rfnv item %u: %u bytes is more than an item holds", (unsigned)id, (unsigned)len);
        result = NV_BADPARM;
    } else if (rfnv_item_save(m->opts.state_dir.data(), id, p + 14, len) != 0) {
        modem_log("rfnv item %u: cannot store it", (unsigned)id);
        result = NV_FAIL;
    }
    put_le16(a + 8, (uint16_t)RFNV_WRITE_ANSWER);
    put_le16(a + 10, result);
    put_le16(a + 12, id);
    modem_log("rfnv write item=%u len=%u result=%u", (unsigned)id, (unsigned)len, (unsigned)result);
    reply_payload(reply, "rfnv-write-reply", a, sizeof a);
}

} // namespace

bool nv_frame_describe(const uint8_t *p, size_t len, const char **kind, bool *has_item, uint32_t *item,
                       char *detail, size_t detail_size)
{
    static const char *const kinds[] = {"", "nv-read", "nv-write", "rfnv-read", "rfnv-write", "ftm-switch"};
    nv_request_t req = classify(p, len);
    if (req == REQ_NONE)
        return false;
    *kind = kinds[req];
    size_t at = (req == REQ_NV_READ || req == REQ_NV_WRITE) ? 1 : 10;
    if (req != REQ_FTM_SWITCH && len >= at + 2) {
        *has_item = true;
        *item = get_le16(p + at);
        if (req == REQ_RFNV_WRITE && len >= RFNV_HEAD + 2)
            snprintf(detail, detail_size, "%s item=%u data=%u", *kind, (unsigned)*item,
                     (unsigned)get_le16(p + RFNV_HEAD));
        else
            snprintf(detail, detail_size, "%s item=%u", *kind, (unsigned)*item);
    } else {
        snprintf(detail, detail_size, "%s", *kind);
    }
    return true;
}

bool nv_respond(modem_t *m, const uint8_t *payload, size_t len, modem_reply *reply)
{
    nv_request_t req = classify(payload, len);
    if (req == REQ_NONE)
        return false;
    if (len != expected_len(req, payload, len)) {
        modem_log("refused: request of %u bytes has the wrong length", (unsigned)len);
        reply_diag_error(reply, DIAG_BAD_LEN, payload, len, "diag-bad-len");
        return true;
    }
    if (req == REQ_FTM_SWITCH) {
        m->at_svc.cfun = CFUN_FTM;
        modem_log("function level %d (diag mode switch)", CFUN_FTM);
        reply_payload(reply, "ftm-switch-echo", payload, len);
        return true;
    }
    if (m->at_svc.cfun != CFUN_FTM) {
        modem_log("refused: NV requests need factory test mode (AT+CFUN=5 or the diag mode switch)");
        reply_diag_error(reply, DIAG_BAD_MODE, payload, len, "diag-bad-mode");
        return true;
    }
    switch (req) {
    case REQ_NV_READ: nv_read(m, payload, reply); break;
    case REQ_NV_WRITE: nv_write(m, payload, reply); break;
    case REQ_RFNV_READ: rfnv_read(m, payload, reply); break;
    case REQ_RFNV_WRITE: rfnv_write(m, payload, reply); break;
    default: break;
    }
    return true;
}

int parse_flash_wipe(const char *text, flash_wipe_t *wipe, bool *at_efs)
{
    if (text == nullptr)
        return -1;
    std::string_view t(text);
    bool efs = false;
    constexpr std::string_view AT_EFS = "@efs";
    if (t.size() > AT_EFS.size() && t.substr(t.size() - AT_EFS.size()) == AT_EFS) {
        efs = true;
        t.remove_suffix(AT_EFS.size());
    }
    if (t == "none")
        *wipe = FLASH_WIPE_NONE;
    else if (t == "nv")
        *wipe = FLASH_WIPE_NV;
    else if (t == "all")
        *wipe = FLASH_WIPE_ALL;
    else
        return -1;
    *at_efs = efs;
    return 0;
}

// The option when given; else MODEMSTATE/flash_wipe ("none", "nv" or "all",
// optionally with "@efs", one line), which a test or the simulated router
// can write before the run; else the default.
flash_wipe_policy flash_wipe_in_force(const modem_t *m)
{
    flash_wipe_policy p;
    p.what = m->opts.flash_wipe;
    p.at_efs = m->opts.wipe_at_efs;
    if (m->opts.flash_wipe_given)
        return p;
    char path[1200];
    char text[16] = {0};
    if (state_path(path, sizeof path, m->opts.state_dir.data(), "flash_wipe") != 0)
        return p;
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return p;
    bool got = fgets(text, sizeof text, f) != nullptr;
    fclose(f);
    text[strcspn(text, "\r\n")] = '\0';
    flash_wipe_policy from_file = p;
    if (got && parse_flash_wipe(text, &from_file.what, &from_file.at_efs) != 0) {
        modem_log("flash_wipe file: \"%s\" is not none, nv or all (optionally @efs); default used", text);
        return p;
    }
    return got ? from_file : p;
}

void nv_flash_wipe(modem_t *m, flash_wipe_t wipe)
{
    if (wipe == FLASH_WIPE_NONE) {
        modem_log("firmware flashed, NV kept (--flash-wipe none)");
        return;
    }
    int nv = 0;
    int rfnv = 0;
    if (nv_store_wipe(m->opts.state_dir.data(), &nv, &rfnv) < 0)
        modem_log("firmware flashed, NV wipe incomplete");
    modem_log("firmware flashed, NV wiped: %d NV items, %d RF NV items", nv, rfnv);
    if (wipe != FLASH_WIPE_ALL)
        return;
    // What a modem reports once its identity is gone: no serial number, a
    // zero IMEI, no test information, no SIM lock.
    modem_identity &id = m->id;
    snprintf(id.sn.data(), id.sn.size(), "%s", "");
    snprintf(id.imei.data(), id.imei.size(), "%s", "000000000000000");
    snprintf(id.testinf.data(), id.testinf.size(), "%s", "");
    snprintf(id.simlock.data(), id.simlock.size(), "%s", "0");
    snprintf(id.inds.data(), id.inds.size(), "%s", "");
    if (identity_save(m) != 0)
        modem_log("cannot save the identity");
    modem_log("firmware flashed, identity wiped");
}
