// Recognising the flash programmer's stream-write acknowledgement.
#include "stream_reply.h"

#include <cstring>

#include "hdlc_frame.h"
#include "up_bytes.h"

long stream_reply_unstuff(const uint8_t *rx, size_t rx_len, uint8_t *reply, bool *closed)
{
    *closed = false;
    memset(reply, 0, STREAM_REPLY_RX_SIZE);
    if (rx_len > STREAM_REPLY_RX_SIZE)
        rx_len = STREAM_REPLY_RX_SIZE;
    size_t start = 0;
    while (start < rx_len && rx[start] != HDLC_FLAG)
        start++;
    if (start == rx_len)
        return 0;
    reply[0] = HDLC_FLAG;
    size_t out = 1;
    // The answer is read without a check-sequence test: only the escapes of
    // a flag and of the escape itself are undone, any other escape is kept.
    auto store = [&](uint8_t b) -> bool {
        reply[out++] = b;
        return true;
    };
    size_t used = 0;
    hdlc_unstuff_end end =
        hdlc_unstuff(rx + start + 1, rx_len - start - 1, HDLC_ESC_KNOWN, store, &used);
    if (end != HDLC_UNSTUFF_FLAG)
        return (long)(rx_len - start);
    reply[out] = HDLC_FLAG;
    *closed = true;
    return (long)(used + 2);
}

int stream_reply_check(const uint8_t *rx, size_t rx_len, uint32_t write_addr, bool loose,
                       uint8_t *out, long *num)
{
    uint8_t reply[STREAM_REPLY_RX_SIZE];
    bool closed = false;
    *num = stream_reply_unstuff(rx, rx_len, reply, &closed);
    if (*num == 0 || reply[1] != 0x08)
        return -1;
    bool match = loose ? reply[2] == 0x00 : get_le32(reply + 2) == write_addr;
    if (!match)
        return -1;
    memset(out, 0, 4);
    memcpy(out, reply, STREAM_REPLY_LEN);
    return 0;
}

bool stream_reply_complete(const uint8_t *rx, size_t rx_len)
{
    size_t i = 0;
    while (i < rx_len && rx[i] != HDLC_FLAG)
        i++;
    for (size_t j = i + 2; j < rx_len; j++)
        if (rx[j] == HDLC_FLAG)
            return true;
    return false;
}
