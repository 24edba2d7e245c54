// Receivers of the NV and factory-test answers. Unlike the download
// protocol's receivers they need no opening flag: the answer starts with the
// first byte that is not a flag. The byte-fed state machine is apart from
// the port, so it is tested on buffers.
#pragma once

#include <cstdint>

constexpr uint32_t NV_ANSWER_BUF_SIZE = 4096;

struct nv_rcv_type {
    int state;              // HDLC_HUNT_FOR_FLAG ... HDLC_PACKET_RCVD
    uint32_t len;           // unstuffed bytes stored, check bytes included
    uint16_t crc;
    bool escaped;
    uint8_t *buf;           // NV_ANSWER_BUF_SIZE bytes
};

// Returned by nv_rcv_byte while the answer goes on.
constexpr int NV_RCV_MORE = -1;

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
