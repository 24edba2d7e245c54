// Reading the package by its own offsets. A package file is read as it is.
// The raw package partition holds the package the way a boot loader or
// nandwrite put it there: factory bad blocks were stepped over, so package
// offset N lies in the (N / 128 KiB)-th good block. Every read of the
// package goes through these calls, which step over the same bad blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// A stretch of the package: the package descriptor, the package offset of
// its first byte and its length. Readers of a piece of the package (a record,
// the modem container, one of its images) take a span and read it at its
// offsets, never at the descriptor's file position.
struct package_span {
    int fd;
    uint64_t off;
    uint64_t len;
};

// Reads exactly n bytes at package offset off, stepping over bad blocks. The
// descriptor's file position is neither used nor moved. Returns n, or -1:
// errno ERANGE when the bytes reach past the package (a file's size, or the
// good blocks of the partition), EIO when the device gave fewer bytes.
// Once the digest pass has read the package (up_package_digest.h), every
// read of it is checked against the digests: ERANGE past the verified bytes,
// EBADMSG for bytes that changed since.
ssize_t up_package_pread(int fd, uint64_t off, void *buf, size_t n);

// The same read without the digest check: for the digest pass itself.
ssize_t up_package_pread_raw(int fd, uint64_t off, void *buf, size_t n);

// Bytes per read of the streamed readers below.
constexpr size_t UP_PACKAGE_CHUNK = 8192;

// Hands the len bytes at package offset off to each_chunk in order, at most
// UP_PACKAGE_CHUNK at a time, from one buffer. 0, -1 when a read failed
// (nothing more is handed on), or the first non-zero value each_chunk gave.
int up_package_stream(int fd, uint64_t off, uint64_t len,
                      int (*each_chunk)(void *ctx, const uint8_t *data, size_t n), void *ctx);

// CRC-32 of the len bytes at package offset off: Crc32_ComputeBuf chained
// from an initial value of 0xFFFFFFFF, the modem container's convention
// rather than the standard CRC-32. 0, or -1 when the bytes cannot all be read.
int up_package_crc32(int fd, uint64_t off, uint64_t len, uint32_t *crc);

// A span read in order in small pieces (a modem image fed to its stream one
// block at a time): the package is read UP_PACKAGE_READ_AHEAD bytes per read
// rather than a piece per read, and never past the span's length.
constexpr uint32_t UP_PACKAGE_READ_AHEAD = 16384;
struct package_span_reader {
    package_span span{-1, 0, 0};
    uint64_t taken = 0;         // span bytes read from the package so far
    uint32_t have = 0;          // bytes in buf
    uint32_t pos = 0;           // next byte of buf to hand out
    bool ended = false;         // a read failed: nothing more follows
    std::array<uint8_t, UP_PACKAGE_READ_AHEAD> buf;
};

// The next up to want bytes of the span (want <= UP_PACKAGE_READ_AHEAD): a
// pointer into the reader's buffer and the count, which is short only when
// the span ended or a read failed.
uint32_t up_package_span_next(package_span_reader *r, uint32_t want, const uint8_t **out);

// The bytes the package descriptor can hold: a file's size, or the good
// blocks of the partition. 0, or -1 when it cannot be told.
int up_package_capacity(int fd, uint64_t *size);

// Where package offset offset lies on the device (itself for a file).
// 0, or -1 when the good blocks end before it.
int up_package_device_offset(int fd, uint64_t offset, uint64_t *device_offset);

// True when fd is an MTD partition (the raw package partition), not a file.
bool up_package_is_partition(int fd);

// Package bytes that lie in the good blocks before device offset
// device_offset (itself for a file). 0, or -1 when it cannot be told.
int up_package_bytes_before(int fd, uint64_t device_offset, uint64_t *bytes);

// Drops what was learnt about the last package device (its bad blocks) and
// the digests of its package.
void up_package_forget(void);
