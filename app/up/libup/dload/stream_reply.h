// The check of a stream-write reply (0x08 and the written address, 4 bytes
// little-endian), taken from the raw bytes of one or more reads. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the receive and reply buffers of one attempt.
constexpr size_t STREAM_REPLY_RX_SIZE = 32;
// Bytes of the unstuffed reply handed to the caller.
constexpr size_t STREAM_REPLY_LEN = 9;

// Unstuffs the first frame in rx[0..rx_len) into reply (STREAM_REPLY_RX_SIZE
// bytes): the opening flag at position 0, then the bytes up to and including
// the closing flag. Returns the frame length (closing flag index - opening
// flag index + 1, counted in rx), 0 when rx holds no opening flag. Sets
// *closed when the closing flag was seen.
long stream_reply_unstuff(const uint8_t *rx, size_t rx_len, uint8_t *reply, bool *closed);

// 0 when rx holds the stream-write reply for write_addr, -1 otherwise. With
// loose, any reply whose address has a low byte of 0 is taken. On success
// the first STREAM_REPLY_LEN reply bytes are copied to out. *num receives
// the frame length for the failure message.
int stream_reply_check(const uint8_t *rx, size_t rx_len, uint32_t write_addr, bool loose,
                       uint8_t *out, long *num);

// True when rx[0..rx_len) holds an opening flag with at least one byte and a
// closing flag behind it: no further read is needed for this reply.
bool stream_reply_complete(const uint8_t *rx, size_t rx_len);
