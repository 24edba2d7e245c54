// Receivers of the modem's answers to download-protocol requests.
#pragma once

#include <cstdint>

#include "hdlc_response.h"

// Size of the reply buffer the framed receivers fill.
constexpr uint32_t DLOAD_RSP_BUF_SIZE = 4096;

// The framed receivers read one byte per read, leave the unstuffed frame
// (check bytes included) in buf (DLOAD_RSP_BUF_SIZE bytes) and report a
// response code. *complete, when given, tells whether a frame with a correct
// check sequence was taken in (callers that look at the reply's own bytes
// need that, since a NAK code alone cannot tell them).

// Ends after a read that delivers nothing, like the time-out receiver, so a
// silent or vanished modem cannot hold the caller forever: NAK_FAILED then.
int rcv_ack_packet(int fd_diagnose, uint8_t *buf, bool *complete = nullptr);

// NAK_FAILED as soon as a read delivers other than one byte; logs each step.
int rcv_ack_packet_for_timeout(int fd_diagnose, uint8_t *buf, bool *complete = nullptr);

// The GO answer: 0 on silence or a failed read (the boot loader may drop off
// the bus when it jumps to the programmer); closes the port in every outcome.
int rcv_ack_packet_go_cmd(int fd_diagnose, uint8_t *buf);

// 0 when the stream-write reply for write_addr arrived (9 reply bytes copied
// to buf), -1 after two attempts.
int rcv_ack_packet_addr_check(int fd_diagnose, uint8_t *buf, uint32_t write_addr);

// As rcv_ack_packet_addr_check, taking any reply whose address low byte is 0.
int rcv_ack_packet_new(int fd_diagnose, uint8_t *buf);
