// Putting finished frames on a port.
#pragma once

#include <cstdint>

#include "hdlc_frame.h"

// Largest frames the transmit forms carry on the wire.
constexpr uint32_t HDLC_TX_MAX = 4096;
constexpr uint32_t HDLC_TX_AT_MAX = 1050;

// Opening flag, body and closing flag. Bytes written; 0 when nothing was
// written, including a broken packet or one too large for HDLC_TX_MAX.
int transmit_packet(int fd_diagnose, const pkt_buffer_type *pkt);

// Body and closing flag only (the mode switch and some NV requests).
int transmit_packet_no_leading_flag(int fd_diagnose, const pkt_buffer_type *pkt);

// As transmit_packet, limited to HDLC_TX_AT_MAX bytes on the wire.
int transmit_packet_at(int fd_diagnose, const pkt_buffer_type *pkt);

// One byte, unframed.
int transmit_byte(int fd_diagnose, uint8_t data);

// Dumps the frame as transmit_packet would send it. Always 0.
int cprintf_packet(const pkt_buffer_type *pkt);
