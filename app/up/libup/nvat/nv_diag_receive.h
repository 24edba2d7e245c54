// Receivers of the NV and factory-test answers. Unlike the download
// protocol's receivers they need no opening flag: the answer starts with the
// first byte that is not a flag. The byte-fed state machine is apart from
// the port, so it is tested on buffers.
#pragma once

#include <cstdint>

#include "hdlc_receiver.h"

constexpr uint32_t NV_ANSWER_BUF_SIZE = 4096;

// The download protocol's receive state machine, started as if a flag had
// just been seen: flags before the answer are dropped and the first other
// byte opens it.
using nv_rcv_type = hdlc_rcv_type;

// Returned by nv_rcv_byte while the answer goes on.
constexpr int NV_RCV_MORE = HDLC_RCV_MORE;

void nv_rcv_start(nv_rcv_type *rcv, uint8_t *buf);
// Feeds one byte: NV_RCV_MORE, or the stored count of a complete answer, or
// NAK_EARLY_END (4), NAK_INVALID_FCS (1) or NAK_TOO_LARGE (5).
int nv_rcv_byte(nv_rcv_type *rcv, uint8_t byte);

// Read one answer from the port into buf (NV_ANSWER_BUF_SIZE bytes): the
// stored count, or 1, 4, 5 as nv_rcv_byte; 0 when the modem went silent or
// kept sending without ever closing an answer within the time bound (the
// buffer then holds no answer). Callers judge an answer by its first byte
// and its count, never by the result alone.
int rcv_ack_packet_Backup_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte);
int rcv_ftm_ack_packet_Backup_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte);
// As above for the RF-NV read; a first byte 24 ends the reception at once
// with 0.
int rcv_ack_packet_Backup_high_nv_Restore(int at_fd, uint8_t *buf, uint8_t flagbyte);
