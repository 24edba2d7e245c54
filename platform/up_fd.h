// Small RAII holders and full-length I/O shared by the upgrade library and tools.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <sys/types.h>
#include <unistd.h>

// Owns a descriptor; closes it when it goes out of scope.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
    unique_fd &operator=(unique_fd &&o) noexcept { reset(o.release()); return *this; }
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }
private:
    int fd_ = -1;
};

// Owns a stdio stream; closes it when it goes out of scope.
class unique_file {
public:
    unique_file() = default;
    explicit unique_file(FILE *f) : f_(f) {}
    unique_file(const unique_file &) = delete;
    unique_file &operator=(const unique_file &) = delete;
    ~unique_file() { reset(); }
    FILE *get() const { return f_; }
    bool ok() const { return f_ != nullptr; }
    void reset(FILE *f = nullptr) { if (f_) ::fclose(f_); f_ = f; }
private:
    FILE *f_ = nullptr;
};

// Reads until len bytes arrived, end of input or an error (EINTR is retried).
// Returns the bytes read, or -1 when an error came before any byte.
inline ssize_t read_full(int fd, void *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = ::read(fd, static_cast<char *>(buf) + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return got ? (ssize_t)got : -1;
        if (n == 0)
            break;              // end of input: never spin on a zero-byte read
        got += (size_t)n;
    }
    return (ssize_t)got;
}

// Writes all len bytes (EINTR is retried). Returns len, or -1 on any failure.
inline ssize_t write_full(int fd, const void *buf, size_t len)
{
    size_t put = 0;
    while (put < len) {
        ssize_t n = ::write(fd, static_cast<const char *>(buf) + put, len - put);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        put += (size_t)n;
    }
    return (ssize_t)len;
}
