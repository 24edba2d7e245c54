// The resume state word: one 32-bit value at the start of a reserved erase
// block of the package partition. File mode keeps no state.
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_mtd_bad.h"
#include "up_scratch.h"
#include "up_state_io.h"

namespace {

// A state block that is a factory bad block can hold no state: its bytes
// are not the word, and erasing or writing it fails. Reads and writes of the
// state then fail, which the driver takes as "no state kept".
bool state_block_usable(int fd, off_t offset)
{
    int bad = up_mtd_block_is_bad(fd, (uint64_t)offset);
    if (bad != 0)
        printf("[%s-%d]the state block at 0x%lx is a bad block\n", __FILE_NAME__, __LINE__, (unsigned long)offset);
    return bad == 0;
}

} // namespace

int up_state_read_at(int fd, off_t offset, int32_t *value)
{
    std::array<uint8_t, 4> raw{};
    if (value == nullptr || !state_block_usable(fd, offset) || lseek(fd, offset, SEEK_SET) < 0)
        return -1;
    if (read_full(fd, raw.data(), raw.size()) != (ssize_t)raw.size())
        return -1;
    *value = (int32_t)get_le32(raw.data());
    return 0;
}

int up_state_write_at(int fd, off_t offset, int32_t value)
{
    up_erase_block_t &block = up_erase_block_scratch();
    block.fill(0);
    if (!state_block_usable(fd, offset) || lseek(fd, offset, SEEK_SET) < 0)
        return -1;
    // A short read would have us write zeros over bytes we never saw; the
    // rest of the block must come back exactly as it was.
    if (read_full(fd, block.data(), block.size()) != (ssize_t)block.size())
        return -1;
    put_le32(block.data(), (uint32_t)value);
    if (up_mtd_erase(fd, (uint32_t)offset, UP_ERASE_BLOCK) != 0)
        return -1;
    if (lseek(fd, offset, SEEK_SET) < 0)
        return -1;
    if (write_full(fd, block.data(), block.size()) != (ssize_t)block.size())
        return -1;
    return 0;
}

int32_t up_state_from_word(int32_t word)
{
    return word > UPDATE_UNKNOW ? 0 : word;
}

int up_get_upgrade_flag_status(void)
{
    return 0;
}

int up_set_upgrade_flag_status(int i_upgrade_status)
{
    (void)i_upgrade_status;     // file mode keeps no state: accepted, dropped
    return 0;
}

update_state_t up_get_upgrade_status(void)
{
    if (up_check_mount(UP_IMAGE_PATH_DIR) == 0)
        return up_get_upgrade_flag_status();

    int32_t word = 0;
    {
        unique_fd fd(open(UP_PACKAGE_DEV, O_RDONLY));
        if (!fd.ok() || up_state_read_at(fd.get(), UP_STATE_OFFSET, &word) != 0)
            return -1;
    }
    if (word > UPDATE_UNKNOW) {
        printf("the update state is:%x----so will to return 0\n", (unsigned)word);
        return up_state_from_word(word);
    }
    if (word == -1) {
        printf("[%s-%d]the update state is:%x  -- will return 0\n", __FILE_NAME__, __LINE__,
               (unsigned)word);
        // An erased block after a fresh package load: when the package brings
        // a modem, the router parts are taken as done and only it remains.
        if (up_upgrade_check_modem_state() == 0) {
            up_set_upgrade_status(UP_STATE_ALL_ROUTER_STEPS);
            return UP_STATE_ALL_ROUTER_STEPS;
        }
        return 0;
    }
    printf("[%s-%d]the update state is:%x\n", __FILE_NAME__, __LINE__, (unsigned)word);
    return word;
}

int up_set_upgrade_status(int i_upgrade_status)
{
    if (i_upgrade_status < 0 || i_upgrade_status > UPDATE_UNKNOW)
        return -1;
    if (up_check_mount(UP_IMAGE_PATH_DIR) == 0)
        return up_set_upgrade_flag_status(i_upgrade_status);

    unique_fd fd(open(UP_PACKAGE_DEV, O_RDWR));
    if (!fd.ok())
        return -1;
    return up_state_write_at(fd.get(), UP_STATE_OFFSET, i_upgrade_status);
}

int up_get_upgrade_status_from(void)
{
    update_state_t state = up_get_upgrade_status();
    if (state < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]get upgrade status occure error\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the upgrade stats is %ld\n\n", (long)state);
    return 0;
}
