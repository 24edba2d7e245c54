// Reading the package by its own offsets. A package file is read as it is.
// The raw package partition holds the package the way a boot loader or
// nandwrite put it there: factory bad blocks were stepped over, so package
// offset N lies in the (N / 128 KiB)-th good block. Every read of the
// package goes through these calls, which step over the same bad blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Moves the package descriptor to package offset offset. 0 or -1.
int up_package_seek(int fd, uint64_t offset);

// Reads until len bytes arrived, the package ended or an error came, like
// read_full. Returns the bytes read, or -1 when an error came before any.
ssize_t up_package_read(int fd, void *buf, size_t len);

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

// Drops what was learnt about the last package device (its bad blocks).
void up_package_forget(void);
