// Opening and checking the modem container, and copying sub-images to files.
#include "modem_container.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

fw_h_t headbuf[MODEM_TABLE_SLOTS];
int32_t firm_num;

namespace {

constexpr size_t COPY_PIECE = 1024;

// Copies the span's bytes to out in pieces of at most COPY_PIECE, calling
// after_piece with the piece's size. 0, or -1 on a short read or a failed
// write (*copied tells how far it came).
template <typename F>
int copy_bytes(const package_span &in, int out, uint32_t *copied, F after_piece)
{
    std::array<uint8_t, COPY_PIECE> buf;
    *copied = 0;
    while (*copied < in.len) {
        size_t want = std::min<size_t>(in.len - *copied, buf.size());
        ssize_t got = up_package_pread(in.fd, in.off + *copied, buf.data(), want);
        if (got != (ssize_t)want) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]read file error \n\n");
            return -1;
        }
        if (write_full(out, buf.data(), want) != (ssize_t)want) {
            printf("write file error ---had write :%lu\n", (unsigned long)*copied);
            return -1;
        }
        *copied += (uint32_t)want;
        after_piece((uint32_t)want);
    }
    return 0;
}

// A new file in a world-writable folder: whatever stood at path before (a
// link, or a file someone else prepared) is removed, and the file is created
// afresh, so it is neither written through a link nor taken over.
int create_fresh_file(const char *path)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return -1;
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

} // namespace

void fw_h_decode(const uint8_t raw[FW_H_SIZE], fw_h_t *h)
{
    h->fw_h_magic = get_be32(raw);
    h->fw_h_resv = get_be32(raw + 4);
    h->fw_h_csum = get_le32(raw + 8);
    h->fw_h_size = get_be32(raw + 12);
}

int modem_container_open(const package_span &rec, fw_h_t *head, uint32_t *consumed)
{
    const uint64_t record_length = rec.len;
    std::array<uint8_t, FW_H_SIZE> raw{};
    if (record_length < FW_H_SIZE || up_package_pread(rec.fd, rec.off, raw.data(), raw.size()) != (ssize_t)raw.size())
        return FUU_FLE_ERR;
    fw_h_decode(raw.data(), head);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]all modem firmware crc is 0x%lx----0x%lx\n\n",
           (unsigned long)head->fw_h_csum, (unsigned long)get_be32(raw.data() + 8));
    if (head->fw_h_magic != MODEM_CONTAINER_MAGIC) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]this file is not a validate modem firmware file.\n\n");
        return FUU_FLE_ERR;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]firmware body size is %ld,image num=%ld\n\n",
           (long)head->fw_h_size, (long)head->fw_h_resv);
    // The table has room for 15 entries and the end mark behind them.
    if (head->fw_h_resv > MODEM_MAX_ENTRIES) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem firmware declares %lu sub images, at most %lu fit, refused\n\n",
               (unsigned long)head->fw_h_resv, (unsigned long)MODEM_MAX_ENTRIES);
        return FUU_FLE_ERR;
    }
    const uint32_t table_len = (uint32_t)FW_H_SIZE * head->fw_h_resv;
    if (head->fw_h_size < FW_H_SIZE + table_len || head->fw_h_size > record_length) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem firmware size %lu does not fit its table and its record of %lu bytes, refused\n\n",
               (unsigned long)head->fw_h_size, (unsigned long)record_length);
        return FUU_FLE_ERR;
    }
    const uint64_t table_at = rec.off + FW_H_SIZE;
    uint32_t crc = 0;
    if (up_package_crc32(rec.fd, table_at, head->fw_h_size - FW_H_SIZE, &crc) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem firmware of %lu bytes at package offset %llu cannot be read\n\n",
               (unsigned long)head->fw_h_size, (unsigned long long)rec.off);
        return -1;
    }
    if (crc != head->fw_h_csum) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]all modem firmware crc is 0x%lx\n\n", (unsigned long)crc);
        return -1;
    }

    std::array<uint8_t, FW_H_SIZE * MODEM_MAX_ENTRIES> table{};
    if (up_package_pread(rec.fd, table_at, table.data(), table_len) != (ssize_t)table_len)
        return -1;
    firm_num = (int32_t)head->fw_h_resv;
    uint64_t bodies = 0;
    for (int i = 0; i < MODEM_TABLE_SLOTS; i++) {
        headbuf[i] = fw_h_t{};
        if (i < firm_num) {
            fw_h_decode(table.data() + FW_H_SIZE * i, &headbuf[i]);
            bodies += headbuf[i].fw_h_size;
        }
    }
    // Bodies that reach past the container would be read from whatever
    // follows it in the package.
    if (bodies > head->fw_h_size - FW_H_SIZE - table_len) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem sub images of %llu bytes do not fit the firmware, refused\n\n",
               (unsigned long long)bodies);
        return FUU_FLE_ERR;
    }
    *consumed = (uint32_t)FW_H_SIZE + table_len;
    return 0;
}

int modem_container_copy_ini(const package_span &rec, const char *ini_file, uint32_t *consumed)
{
    unique_fd out(create_fresh_file(ini_file));
    if (!out.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open %s file failed\n\n", ini_file);
        return -1;
    }
    const package_span ini{rec.fd, rec.off + *consumed, headbuf[0].fw_h_size};
    uint32_t copied = 0;
    return copy_bytes(ini, out.get(), &copied, [&](uint32_t piece) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]headbuf[%d].fw_h_size=%lu...\n\n", 0,
               (unsigned long)headbuf[0].fw_h_size);
        *consumed += piece;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write %d \n\n", (int)*consumed);
    });
}

int extract_sub_image(const package_span &img, const char *filename)
{
    if (img.fd < 0 || filename == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]input parmater error\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]sub image size :%d---file name is:%s\n\n", (int)img.len,
           filename);
    // Truncated: no tail of an older, longer copy stays behind.
    unique_fd out(open(filename, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.ok()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open %s file failed\n\n", filename);
        return -1;
    }
    uint32_t copied = 0;
    return copy_bytes(img, out.get(), &copied, [](uint32_t) {});
}
