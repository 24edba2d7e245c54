// Access to the modem's USB serial ports: open in raw mode, wait and read,
// write, the download-mode test, draining an input, sleeps and hex dumps.
#pragma once

#include <cstdint>
#include <termios.h>

// 1 when the modem was found in download mode at the start of the last
// programmer upload, 0 when it ran its normal firmware.
extern int32_t download_mode;

// Sleeps useconds milliseconds (the name is historical).
void Sleep(uint32_t useconds);

// Raw 8N1 at 19200 baud, reads return after 0.1 s without data.
void SetTermios(struct termios *p, uint16_t uBaudRate);

// Opens and configures a port (about 700 ms). Descriptor, or -1.
int OpenAndInitSerialCom(const char *diagnose_interface, int exclusived);

// Waits up to 10.5 s, then one read. Bytes read; 0 after a time-out; -1
// when the wait or the read fails.
int ReadComPort(int fd_diagnose, void *data, uint32_t dwdBlockSize);

// As ReadComPort but -1 after a time-out too; dumps what it read.
int ReadComPort1(int fd_diagnose, void *data, uint32_t dwdBlockSize);

// Discards unread input, then writes the block. Bytes written; 0 on failure.
int WriteToComPort(int fd_diagnose, const void *data, uint32_t dwdBlockSize);

// 1 when the modem is in download mode (its AT port is gone), else 0.
int check_download_mode(void);

// Consumes data_size bytes of the input. 0, or -1 on a failed read.
int exhaust_fifo_data(int fifo_fd0, int32_t data_size);

void cprintf_hex(const void *buf, uint32_t buf_size);
void cprintf_hex_force(const void *buf, uint32_t buf_size);
void cprintf_hex_force1(const void *buf, uint32_t buf_size);
