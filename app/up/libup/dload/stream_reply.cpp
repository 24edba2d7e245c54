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
    size_t i = start + 1;
    for (; i < rx_len; i++) {
        uint8_t b = rx[i];
        if (b == HDLC_FLAG) {
            reply[out] = b;
            *closed = true;
            break;
        }
        if (b == HDLC_ESC && i + 1 < rx_len && (rx[i + 1] == 0x5D || rx[i + 1] == 0x5E)) {
            b = (uint8_t)(rx[++i] ^ HDLC_ESC_MASK);
        }
        reply[out++] = b;
    }
    if (!*closed)
        return (long)(rx_len - start);
    return (long)(i - start + 1);
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
