// The modem journal: one small file on the second file system that says a
// modem flash is under way and what it is about. It is written before the
// backup is read and before the first image is sent and removed last, when the modem holds every image of
// the container and every backed-up value is back; while it exists the
// modem is unfinished, whatever the NV backup files say or whether they
// still exist.
//
// File form (128 bytes, little-endian):
//   0   "MJNL"
//   4   format (1)
//   8   phase (modem_journal_phase)
//   12  flags: bit 0 a backup belongs to the transaction, bit 1 the IMEI is known
//   16  container size, 20 container checksum (the header's)
//   24  images stored (bit per skip flag: dbl 0, fsbl 1, osbl 2, amss 3,
//       dsp1 4, dsp2 5, efs 6)
//   28  high-NV file of the backup: item count, 32 length, 36 CRC-32
//   40  container version, 48 bytes, zero padded
//   88  modem IMEI, 24 bytes (digits), zero padded
//   112 reserved (zero)
//   124 CRC-32 of bytes 0 to 123
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#define MODEM_JOURNAL_FILE "/2ndfile/modem_journal"

enum modem_journal_phase : uint32_t {
    MJ_BACKING_UP = 1,    // a backup is being read: nothing was sent, a high-NV
                          // file without a block is this backup's
    MJ_BACKED_UP = 2,     // the backup (if any) is in place, nothing sent yet
    MJ_FLASHING = 3,      // images are being sent
    MJ_FLASHED = 4,       // the modem holds every image of the container
    MJ_RESTORED = 5,      // every backed-up value is back; the backup may go
};

constexpr size_t MJ_FILE_SIZE = 128;
constexpr size_t MJ_VERSION_SIZE = 48;
constexpr size_t MJ_IMEI_SIZE = 24;

constexpr uint32_t MJ_FLAG_BACKUP = 1;
constexpr uint32_t MJ_FLAG_IMEI = 2;

struct modem_journal {
    uint32_t phase = MJ_BACKING_UP;
    uint32_t flags = 0;
    uint32_t container_size = 0;
    uint32_t container_crc = 0;
    uint32_t stored = 0;
    uint32_t high_count = 0;
    uint32_t high_length = 0;
    uint32_t high_crc = 0;
    std::array<char, MJ_VERSION_SIZE> version{};
    std::array<char, MJ_IMEI_SIZE> imei{};
};

enum modem_journal_state {
    MJ_NONE = 0,          // no journal: no modem transaction is open
    MJ_OK = 1,
    MJ_DAMAGED = 2,       // a file that is not a whole journal: a transaction of unknown content
    MJ_IO_ERROR = 3,      // it could not be read: nothing is known
};

// The file form of j, and back. decode is false for a wrong magic, format,
// phase or check value.
void modem_journal_encode(const modem_journal &j, uint8_t out[MJ_FILE_SIZE]);
bool modem_journal_decode(const uint8_t in[MJ_FILE_SIZE], modem_journal *j);

// Reads the journal at path (never through a link).
modem_journal_state modem_journal_read(const char *path, modem_journal *j);
// Writes j as a new file beside path ("<path>.new"), flushed, renamed over
// path, then the folder flushed: a power cut leaves the old journal or the
// whole new one. 0, or -1 (logged).
int modem_journal_write(const char *path, const modem_journal &j);
// Removes the journal and flushes its folder. 0 when it is gone.
int modem_journal_remove(const char *path);

// The IMEI digits of an AT answer ("\"861234567890123\"" or bare), at most
// MJ_IMEI_SIZE - 1 of them; empty for an answer with none or for a wiped
// IMEI (only zeros).
void modem_imei_digits(const char *answer, std::array<char, MJ_IMEI_SIZE> *out);

const char *modem_journal_phase_name(uint32_t phase);
