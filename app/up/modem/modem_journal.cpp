// The modem journal's file: its form, and its writes that a power cut can
// only leave whole or not at all.
#include "modem_journal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "nv_backup_store.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

namespace {

constexpr uint8_t MAGIC[4] = {'M', 'J', 'N', 'L'};
constexpr uint32_t FORMAT = 1;
constexpr size_t OFF_PHASE = 8;
constexpr size_t OFF_FLAGS = 12;
constexpr size_t OFF_SIZE = 16;
constexpr size_t OFF_CRC = 20;
constexpr size_t OFF_STORED = 24;
constexpr size_t OFF_HIGH = 28;
constexpr size_t OFF_VERSION = 40;
constexpr size_t OFF_IMEI = 88;
constexpr size_t OFF_CHECK = 124;
static_assert(OFF_VERSION + MJ_VERSION_SIZE == OFF_IMEI, "the IMEI follows the version");
static_assert(OFF_IMEI + MJ_IMEI_SIZE <= OFF_CHECK, "the texts end before the check value");
static_assert(OFF_CHECK + 4 == MJ_FILE_SIZE, "the check value closes the file");

// A text field as it is written: cut to its field less one, zero padded.
template <size_t N>
void put_text(uint8_t *at, const std::array<char, N> &text)
{
    memset(at, 0, N);
    memcpy(at, text.data(), strnlen(text.data(), N - 1));
}

template <size_t N>
void get_text(const uint8_t *at, std::array<char, N> *text)
{
    text->fill('\0');
    memcpy(text->data(), at, N - 1);
}

} // namespace

void modem_journal_encode(const modem_journal &j, uint8_t out[MJ_FILE_SIZE])
{
    memset(out, 0, MJ_FILE_SIZE);
    memcpy(out, MAGIC, 4);
    put_le32(out + 4, FORMAT);
    put_le32(out + OFF_PHASE, j.phase);
    put_le32(out + OFF_FLAGS, j.flags);
    put_le32(out + OFF_SIZE, j.container_size);
    put_le32(out + OFF_CRC, j.container_crc);
    put_le32(out + OFF_STORED, j.stored);
    put_le32(out + OFF_HIGH, j.high_count);
    put_le32(out + OFF_HIGH + 4, j.high_length);
    put_le32(out + OFF_HIGH + 8, j.high_crc);
    put_text(out + OFF_VERSION, j.version);
    put_text(out + OFF_IMEI, j.imei);
    put_le32(out + OFF_CHECK, Crc32_ComputeBuf(0, out, OFF_CHECK));
}

bool modem_journal_decode(const uint8_t in[MJ_FILE_SIZE], modem_journal *j)
{
    if (memcmp(in, MAGIC, 4) != 0 || get_le32(in + 4) != FORMAT ||
        get_le32(in + OFF_CHECK) != Crc32_ComputeBuf(0, in, OFF_CHECK))
        return false;
    const uint32_t phase = get_le32(in + OFF_PHASE);
    if (phase < MJ_BACKING_UP || phase > MJ_RESTORED)
        return false;
    *j = modem_journal{};
    j->phase = phase;
    j->flags = get_le32(in + OFF_FLAGS);
    j->container_size = get_le32(in + OFF_SIZE);
    j->container_crc = get_le32(in + OFF_CRC);
    j->stored = get_le32(in + OFF_STORED);
    j->high_count = get_le32(in + OFF_HIGH);
    j->high_length = get_le32(in + OFF_HIGH + 4);
    j->high_crc = get_le32(in + OFF_HIGH + 8);
    get_text(in + OFF_VERSION, &j->version);
    get_text(in + OFF_IMEI, &j->imei);
    return true;
}

modem_journal_state modem_journal_read(const char *path, modem_journal *j)
{
    struct stat st {};
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? MJ_NONE : MJ_IO_ERROR;
    if (!S_ISREG(st.st_mode) || st.st_size != (off_t)MJ_FILE_SIZE)
        return MJ_DAMAGED;
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok())
        return MJ_IO_ERROR;
    uint8_t raw[MJ_FILE_SIZE];
    if (read_full(fd.get(), raw, sizeof raw) != (ssize_t)sizeof raw)
        return MJ_IO_ERROR;
    return modem_journal_decode(raw, j) ? MJ_OK : MJ_DAMAGED;
}

int modem_journal_write(const char *path, const modem_journal &j)
{
    uint8_t raw[MJ_FILE_SIZE];
    modem_journal_encode(j, raw);
    const std::string tmp = std::string(path) + ".new";
    unlink(tmp.c_str());
    unique_fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok() || write_full(fd.get(), raw, sizeof raw) < 0 || fsync(fd.get()) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot write the modem journal %s: %s\n\n", tmp.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    fd.reset();
    if (rename(tmp.c_str(), path) != 0 || nv_sync_parent_dir(path) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot put the modem journal %s in place: %s\n\n", path, strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem journal: %s, images stored 0x%02lx\n\n", modem_journal_phase_name(j.phase),
           (unsigned long)j.stored);
    return 0;
}

int modem_journal_remove(const char *path)
{
    if (unlink(path) != 0 && errno != ENOENT) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]cannot remove the modem journal %s: %s\n\n", path, strerror(errno));
        return -1;
    }
    if (nv_sync_parent_dir(path) != 0)
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]modem journal removed: the modem update is complete\n\n");
    return 0;
}

void modem_imei_digits(const char *answer, std::array<char, MJ_IMEI_SIZE> *out)
{
    out->fill('\0');
    if (answer == nullptr)
        return;
    size_t n = 0;
    bool nonzero = false;
    for (const char *c = answer; *c != '\0' && n < out->size() - 1; c++) {
        if (*c < '0' || *c > '9')
            continue;
        nonzero = nonzero || *c != '0';
        (*out)[n++] = *c;
    }
    if (!nonzero)
        out->fill('\0');
}

const char *modem_journal_phase_name(uint32_t phase)
{
    switch (phase) {
    case MJ_BACKING_UP: return "backing up";
    case MJ_BACKED_UP: return "backed up";
    case MJ_FLASHING: return "flashing";
    case MJ_FLASHED: return "flashed";
    case MJ_RESTORED: return "restored";
    default: break;
    }
    return "unknown";
}
