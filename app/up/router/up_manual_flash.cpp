// Manual dump, erase and write of the bootloader and kernel regions. The
// regions are fixed, but the partitions they land on are not: each operation
// checks its region against the partition's real size first, so a region that
// does not fit is refused instead of wrapping or erasing half of it.
#include <cstring>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <vector>

#include "kq_log.h"
#include "up_api.h"
#include "up_fd.h"
#include "up_manual_flash.h"
#include "up_mtd_bad.h"

const up_manual_region_t g_uboot_region = {0x100000, 0x100000, "/tmp/uboot.bin", UP_MANUAL_UBOOT};
const up_manual_region_t g_kernel_region = {0, 0x300000, "/tmp/kernel.bin", UP_MANUAL_KERNEL};

namespace {

constexpr size_t k_piece = 131072;   // one erase block per read and write

void log_file_failed(int kind)
{
    if (kind == UP_MANUAL_KERNEL)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]/tmp/kernel.bin failed\n\n");
    else
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]/tmp/uboot.bin failed\n\n");
}

int check_region(int dev_fd, const up_manual_region_t *r)
{
    uint64_t size = 0;
    uint32_t erase_size = 0;
    if (up_partition_geometry(dev_fd, &size, &erase_size) != 0 ||
        up_manual_region_fits(size, erase_size, r->start, r->length) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]region 0x%lx+0x%lx does not fit the partition of %llu bytes\n\n",
               (unsigned long)r->start, (unsigned long)r->length, (unsigned long long)size);
        return -1;
    }
    return 0;
}

int run_erase(int dev_fd, const up_manual_region_t *r)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]begin to erase mtd\n\n");
    if (up_mtd_erase(dev_fd, r->start, r->length) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]erase the destnation partition failed\n\n");
        return -1;
    }
    return 0;
}

} // namespace

int up_manual_region_fits(uint64_t part_size, uint32_t erase_size, uint32_t start, uint32_t length)
{
    if (erase_size == 0 || length == 0)
        return -1;
    if (start % erase_size != 0 || length % erase_size != 0)
        return -1;
    return (uint64_t)start + length <= part_size ? 0 : -1;
}

int up_partition_geometry(int fd, uint64_t *size, uint32_t *erase_size)
{
    if (size == nullptr || erase_size == nullptr)
        return -1;
    mtd_info_user info {};
    if (ioctl(fd, MEMGETINFO, &info) == 0) {
        *size = info.size;
        *erase_size = info.erasesize;
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        *size = (uint64_t)st.st_size;
        *erase_size = UP_ERASE_BLOCK;
        return 0;
    }
    return -1;
}

int32_t up_manual_dump(int dev_fd, const up_manual_region_t *r)
{
    if (r == nullptr || check_region(dev_fd, r) != 0)
        return -1;
    if (lseek(dev_fd, (off_t)r->start, SEEK_SET) == (off_t)-1) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
        return -1;
    }
    // Truncated, so the dump is exactly the region even after a longer one.
    unique_fd out(open(r->file, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out.ok()) {
        log_file_failed(r->kind);
        return -1;
    }
    std::vector<uint8_t> buf(k_piece);
    uint32_t remain = r->length;
    long total = 0;
    while (remain > 0) {
        std::fill(buf.begin(), buf.end(), 0);
        size_t want = remain < k_piece ? remain : k_piece;
        ssize_t got = read_full(dev_fd, buf.data(), want);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read length is %ld\n\n", (long)got);
        if (got <= 0) {
            // A partition that ends inside the region cannot give a whole dump.
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
            return -1;
        }
        off_t pos = lseek(out.get(), 0, SEEK_CUR);
        if (r->kind == UP_MANUAL_KERNEL)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]current offset is: %d\n\n", (int)pos);
        else
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]current offset is: %ld\n\n", (long)pos);
        if (write_full(out.get(), buf.data(), buf.size()) < 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        total += (long)buf.size();
        remain -= (uint32_t)got;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write : %ld---resume=%ld\n\n", total, (long)remain);
    }
    off_t pos = lseek(out.get(), 0, SEEK_CUR);
    if (r->kind == UP_MANUAL_KERNEL) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]temp kernel size : %ld\n\n", total);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]temp kernel offset : %d\n\n", (int)pos);
    } else {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]temp uboot size : %ld\n\n", total);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]temp uboot offset : %ld\n\n", (long)pos);
    }
    return 0;
}

int32_t up_manual_erase(int dev_fd, const up_manual_region_t *r)
{
    if (r == nullptr || check_region(dev_fd, r) != 0)
        return -1;
    if (run_erase(dev_fd, r) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]erase mtd successful\n\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
    return 0;
}

int32_t up_manual_write(int dev_fd, const up_manual_region_t *r)
{
    if (r == nullptr)
        return -1;
    unique_fd in(open(r->file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.ok()) {
        log_file_failed(r->kind);
        return -1;
    }
    if (check_region(dev_fd, r) != 0)
        return -1;
    // Factory bad blocks take no data: the region holds what its good blocks hold.
    int64_t good = up_mtd_good_bytes(dev_fd, r->start, r->length, UP_ERASE_BLOCK);
    if (good < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot read the bad blocks of the region\n\n");
        return -1;
    }
    // A larger file would be cut silently: refuse it while the flash is intact.
    struct stat st {};
    if (fstat(in.get(), &st) != 0 || (uint64_t)st.st_size > (uint64_t)good) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]%s is %lld bytes, more than the region of %lu\n\n", r->file,
               (long long)st.st_size, (unsigned long)good);
        return -1;
    }
    if (lseek(dev_fd, (off_t)r->start, SEEK_SET) == (off_t)-1 || run_erase(dev_fd, r) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]erase mtd successful and begin to write \n\n");
    if (lseek(dev_fd, (off_t)r->start, SEEK_SET) == (off_t)-1 ||
        lseek(in.get(), 0, SEEK_SET) == (off_t)-1) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
        return -1;
    }
    std::vector<uint8_t> buf(k_piece);
    uint32_t remain = (uint32_t)good;
    long total = 0;
    uint64_t pos = r->start;
    while (remain > 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the module length is %ld\n\n", (long)remain);
        std::fill(buf.begin(), buf.end(), 0);
        size_t want = remain < k_piece ? remain : k_piece;
        ssize_t got = read_full(in.get(), buf.data(), want);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the read length is %ld\n\n", (long)got);
        if (got < 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]read file error \n\n");
            return -1;
        }
        if (got == 0)
            break;   // the file is used up: the length check below decides
        if (up_mtd_skip_bad(dev_fd, &pos, (uint64_t)r->start + r->length, UP_ERASE_BLOCK) != 0 ||
            lseek(dev_fd, (off_t)pos, SEEK_SET) == (off_t)-1) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]mtd2 current offset is: %ld\n\n", (long)pos);
        pos += k_piece;
        if (write_full(dev_fd, buf.data(), buf.size()) < 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]write file error \n\n");
            return -1;
        }
        total += (long)buf.size();
        remain -= (uint32_t)got;
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]had write data  is %ld\n\n", total);
    }
    if (total != (long)good) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]extract the record item fail \n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
    return 0;
}

namespace {

int32_t run_manual(const char *dev, const up_manual_region_t *r, int option)
{
    unique_fd fd(open(dev, O_RDWR | O_CLOEXEC));
    if (!fd.ok()) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]open destnation partition path error\n\n");
        return -1;
    }
    if (option == 0)
        return up_manual_dump(fd.get(), r);
    if (option == 1)
        return r->kind == UP_MANUAL_KERNEL ? up_manual_write(fd.get(), r)
                                           : up_manual_erase(fd.get(), r);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write sub-image file directly success \n\n");
    return 0;
}

} // namespace

int32_t uboot_test(int option)
{
    return run_manual("/dev/mtd0", &g_uboot_region, option);
}

int32_t kernel_test(int option)
{
    return run_manual("/dev/mtd2", &g_kernel_region, option);
}
