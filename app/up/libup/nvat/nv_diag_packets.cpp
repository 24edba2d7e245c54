// Layouts of the NV, RF-NV and mode-switch requests and answers.
#include "nv_diag_packets.h"

#include <array>
#include <cstring>

#include "up_bytes.h"

namespace {

// Answer sizes the modem is asked for in an RF-NV request.
constexpr uint16_t RFNV_READ_ANSWER_SIZE = 144;
constexpr uint16_t RFNV_WRITE_ANSWER_SIZE = 14;
constexpr size_t RFNV_HEAD_SIZE = 12;

void build(pkt_buffer_type *pkt, const uint8_t *payload, size_t len)
{
    hdlc_build_packet(pkt, payload, len);
}

void rfnv_head(uint8_t *p, uint16_t command, uint16_t answer_size, uint16_t id)
{
    p[0] = DIAG_SUBSYS_CMD;
    p[1] = DIAG_SUBSYS_FTM;
    put_le16(p + 2, 36);
    put_le16(p + 4, command);
    put_le16(p + 6, 0);
    put_le16(p + 8, answer_size);
    put_le16(p + 10, id);
}

} // namespace

void nv_build_read_request(pkt_buffer_type *pkt, uint16_t id)
{
    std::array<uint8_t, NV_REQUEST_SIZE> p{};
    p[0] = NV_CMD_READ;
    put_le16(&p[1], id);
    p[131] = 0xCC;
    p[132] = 0xCC;
    build(pkt, p.data(), p.size());
}

void nv_build_write_request(pkt_buffer_type *pkt, const uint8_t record[NV_RECORD_SIZE])
{
    std::array<uint8_t, NV_REQUEST_SIZE> p{};
    p[0] = NV_CMD_WRITE;
    memcpy(&p[1], record, NV_RECORD_SIZE);
    build(pkt, p.data(), p.size());
}

void rfnv_build_read_request(pkt_buffer_type *pkt, uint16_t id)
{
    std::array<uint8_t, RFNV_HEAD_SIZE> p{};
    rfnv_head(p.data(), RFNV_CMD_READ, RFNV_READ_ANSWER_SIZE, id);
    build(pkt, p.data(), p.size());
}

int rfnv_build_write_request(pkt_buffer_type *pkt, uint16_t id, const uint8_t *data, uint16_t len)
{
    if (len > RFNV_DATA_MAX)
        return -1;
    std::array<uint8_t, RFNV_HEAD_SIZE + 2 + RFNV_DATA_MAX> p{};
    rfnv_head(p.data(), RFNV_CMD_WRITE, RFNV_WRITE_ANSWER_SIZE, id);
    put_le16(&p[12], len);
    if (len > 0)
        memcpy(&p[14], data, len);
    build(pkt, p.data(), RFNV_HEAD_SIZE + 2 + len);
    return 0;
}

void ftm_build_switch_request(pkt_buffer_type *pkt)
{
    const uint8_t p[] = {DIAG_SUBSYS_CMD, 4, 14, 0};
    build(pkt, p, sizeof p);
}

int nv_answer_status(const uint8_t *ans, int n)
{
    if (n < 5)
        return -1;
    return (int)get_le16(ans + n - 4);
}

bool nv_read_answer_record(const uint8_t *ans, int n, uint8_t record[NV_RECORD_SIZE])
{
    // A full answer is the 133-byte request layout and two check bytes. A
    // shorter one would hand the restore a record padded with whatever the
    // buffer held, so only a complete record is taken.
    if (n < (int)NV_REQUEST_SIZE + 2 || ans[0] != NV_CMD_READ || nv_answer_status(ans, n) != 0)
        return false;
    memcpy(record, ans + 1, NV_RECORD_SIZE);
    return true;
}

bool nv_write_answer_confirms(const uint8_t *ans, int n, uint16_t id)
{
    return n >= (int)NV_REQUEST_SIZE + 2 && ans[0] == NV_CMD_WRITE && get_le16(ans + 1) == id &&
           nv_answer_status(ans, n) == 0;
}

bool rfnv_read_answer_record(const uint8_t *ans, int n, const uint8_t **rec, size_t *rec_len)
{
    if (n < 16 || ans[0] != DIAG_SUBSYS_CMD || ans[10] != 0 || ans[11] != 0)
        return false;
    size_t len = get_le16(ans + 14);
    // The record must lie inside the payload (the check bytes are not data).
    if (len > RFNV_DATA_MAX || 16 + len > (size_t)n - 2)
        return false;
    *rec = ans + 12;
    *rec_len = len + 4;
    return true;
}

bool rfnv_write_answer_confirms(const uint8_t *ans, int n, uint16_t id)
{
    return n > 13 && ans[0] == DIAG_SUBSYS_CMD && get_le16(ans + 10) == 2 && get_le16(ans + 12) == id;
}

bool ftm_switch_answer_ok(const uint8_t *ans, int n)
{
    return n >= 3 && ans[0] == DIAG_SUBSYS_CMD && ans[2] == 14;
}

void Send32toBuf(uint8_t *buf, uint32_t num)
{
    put_be32(buf, num);
}

uint32_t Get32fromBuf(const uint8_t *buf)
{
    return get_be32(buf);
}

void Send16toBuf(uint8_t *buf, uint16_t num)
{
    put_be16(buf, num);
}

uint16_t Get16fromBuf(const uint8_t *buf)
{
    return get_be16(buf);
}
