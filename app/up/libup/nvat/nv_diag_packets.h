// Requests and answers of the modem's diagnostic protocol for NV items: the
// NV read and write (codes 38 and 39), the factory-test RF-NV read and write
// (subsystem command 75 to subsystem 11) and the factory-test mode switch.
// Pure builders and checks: no descriptor is touched, so the virtual modem
// and the tests use the same layouts. Diagnostic fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hdlc_frame.h"

constexpr uint8_t NV_CMD_READ = 38;
constexpr uint8_t NV_CMD_WRITE = 39;
constexpr uint8_t DIAG_SUBSYS_CMD = 75;
constexpr uint8_t DIAG_SUBSYS_FTM = 11;
constexpr uint16_t RFNV_CMD_READ = 604;
constexpr uint16_t RFNV_CMD_WRITE = 605;

// NV answer status: 0 done, 1 the modem is busy (ask again), 5 the item is
// not set.
constexpr int NV_STATUS_BUSY = 1;
constexpr int NV_STATUS_NOT_SET = 5;

constexpr size_t NV_REQUEST_SIZE = 133;     // code, item, 128 data bytes, status
constexpr size_t NV_ITEM_DATA_SIZE = 128;
constexpr size_t NV_RECORD_SIZE = 130;      // item number and data, as stored in files
constexpr size_t RFNV_DATA_MAX = 512;       // largest RF-NV item the tool handles

// An NV read request for item id (data zero, status 0xCC 0xCC), finished.
void nv_build_read_request(pkt_buffer_type *pkt, uint16_t id);
// An NV write request for one 130-byte file record (status 0, 0), finished.
void nv_build_write_request(pkt_buffer_type *pkt, const uint8_t record[NV_RECORD_SIZE]);
// RF-NV read of item id, finished.
void rfnv_build_read_request(pkt_buffer_type *pkt, uint16_t id);
// RF-NV write of item id with len data bytes, finished. -1 when len is over
// RFNV_DATA_MAX (nothing built).
int rfnv_build_write_request(pkt_buffer_type *pkt, uint16_t id, const uint8_t *data, uint16_t len);
// The factory-test mode switch (75, 4, 14, 0), finished.
void ftm_build_switch_request(pkt_buffer_type *pkt);

// Stored answers are the unstuffed payload followed by its two check bytes;
// n counts both.

// The status of an NV answer of n stored bytes (bytes n-4 and n-3), or -1
// when the answer is too short to hold one.
int nv_answer_status(const uint8_t *ans, int n);
// A successful NV read answer: copies its 130-byte record (item number and
// data) to record and returns true. An answer shorter than a full request,
// or one with a non-zero status, gives false.
bool nv_read_answer_record(const uint8_t *ans, int n, uint8_t record[NV_RECORD_SIZE]);
// True when an NV write answer confirms the record: code 39, the record's
// item number, status 0.
bool nv_write_answer_confirms(const uint8_t *ans, int n, uint16_t id);

// A successful RF-NV read answer: code 75, status 0, data length that lies
// inside the answer and within RFNV_DATA_MAX. Points *rec at the record
// (item number, length, data) and sets *rec_len to its size (length + 4).
bool rfnv_read_answer_record(const uint8_t *ans, int n, const uint8_t **rec, size_t *rec_len);
// True when an RF-NV write answer confirms item id: count above 13, code
// 75, 2 in bytes 10-11 and the item number in bytes 12-13.
bool rfnv_write_answer_confirms(const uint8_t *ans, int n, uint16_t id);
// True when the answer to the mode switch is accepted (byte 0 75, byte 2 14).
bool ftm_switch_answer_ok(const uint8_t *ans, int n);

// Network-order helpers of the library interface.
void Send32toBuf(uint8_t *buf, uint32_t num);
uint32_t Get32fromBuf(const uint8_t *buf);
void Send16toBuf(uint8_t *buf, uint16_t num);
uint16_t Get16fromBuf(const uint8_t *buf);
