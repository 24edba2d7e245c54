// The package the resume state word belongs to. The word itself keeps its
// layout (one bit per installed component, in the state block of the package
// partition); beside it, /2ndfile holds which package the set bits were
// written for: its length and the BLAKE2b-512 of its packlen bytes, taken by
// the digest pass. A run records its package there before it writes the
// first state bit; a run of another package finds a different record and
// installs every record instead of skipping what the other package installed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#define UP_STATE_OWNER_FILE "/2ndfile/update_state_package"

constexpr size_t UP_STATE_OWNER_HASH_SIZE = 64;
constexpr size_t UP_STATE_OWNER_FILE_SIZE = 80;

// The file's 80 bytes: magic "UPSTPKG1", packlen (little-endian), four
// zero bytes, the package's BLAKE2b-512.
struct up_state_owner {
    uint32_t packlen;
    std::array<uint8_t, UP_STATE_OWNER_HASH_SIZE> hash;
};

void up_state_owner_encode(const up_state_owner &o, uint8_t raw[UP_STATE_OWNER_FILE_SIZE]);
// 0, or -1 when raw is not an owner record.
int up_state_owner_decode(const uint8_t raw[UP_STATE_OWNER_FILE_SIZE], up_state_owner *o);

// 1 with the record, 0 when there is no usable record (no file, or not a
// record: nothing is then known to own the state).
int up_state_owner_read(const char *path, up_state_owner *o);

// Replaces the record at path: written to path.new, synced, renamed over
// path, and the folder synced, so a power cut leaves the old record or the
// new one. 0 or -1 (logged).
int up_state_owner_write(const char *path, const up_state_owner &o);

// Before the first record of a run in partition mode: makes the state word
// belong to this package. The same package recorded: the state is resumed as
// it stands. Otherwise a state word with step bits (another package's, or
// one that no record owns, as a run of a version without this record leaves
// it) is first set to 0, then this package is recorded: a power cut between
// the two leaves state 0 beside the old record, which no package resumes
// from. File mode keeps no state and records nothing. 0, or -1 (logged)
// when the state could not be made this package's: nothing may be installed.
int up_claim_upgrade_state(const char *owner_path, const up_state_owner &pkg);
