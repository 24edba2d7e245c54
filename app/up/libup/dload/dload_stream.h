// Uploading the RAM flash programmer and streaming the modem's images.
//
// img tells where the image lies in the upgrade package; it is read at its
// own offsets through the package reader.
#pragma once

#include <cstdint>

#include "up_package_io.h"

// Modem RAM address where the flash programmer is loaded and started.
constexpr uint32_t DLOAD_BASE = 0x100000;
// Bytes per 32-bit write of the programmer.
constexpr uint32_t DLOAD_RAM_BLOCK = 1017;
// Bytes per stream write of the image downloads.
constexpr uint32_t DLOAD_STREAM_BLOCK = 1024;
// Largest data counts whose requests still fit a transmit frame with every
// byte stuffed.
constexpr uint32_t DLOAD_WRITE32_MAX = 2038;
constexpr uint32_t DLOAD_STREAM_BLOCK_MAX = 2040;

// 1 while the DSP2 image is streamed: the stream then counts its blocks in
// had_write and reports progress (set by the modem upgrade sequence).
extern int32_t report_dsp2_up_process;

int write_32bit_cmd(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                    uint32_t write_len);
int FlashSendRamProgram(int fd_diagnose, const package_span &img);
int HexDownload(const char *diagnose_inface, const package_span &img);

int dload_stream_write_new(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                           uint32_t write_len);
int dload_stream_write_without_check(int fd_diagnose, uint32_t write_addr,
                                     const uint8_t *file_buf, uint32_t write_len);
int dload_stream_check_ack(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                           uint32_t write_len);
int dload_stream_download(int fd_diagnose, const package_span &img, uint32_t blockSize);

int dload_partition_table_download(int fd_diagnose, const package_span &img);
int dload_Dbl_download(int fd_diagnose, const package_span &img);
int dload_Fsbl_download(int fd_diagnose, const package_span &img);
int dload_Osbl_download(int fd_diagnose, const package_span &img);
int dload_amss_download(int fd_diagnose, const package_span &img);
int dload_DSP1_download(int fd_diagnose, const package_span &img);
int dload_DSP2_download(int fd_diagnose, const package_span &img);
int dload_EFS_download(int fd_diagnose, const package_span &img, int bEFS);
