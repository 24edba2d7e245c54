// Authentication of the upgrade package before anything is installed: a
// router that holds a public key installs only a package signed by one of
// its keys (the trailer after packlen, see up_pkg_sig.h).
#pragma once

#include <cstdint>

#include "up_pkg_sig.h"

// Where the router keeps the public keys it trusts, one minisign public-key
// file each.
#define UP_KEY_DIR "/etc/imgrenew/keys"

// Largest number of key files read, and largest key file.
constexpr int UP_MAX_KEYS = 16;
constexpr size_t UP_KEY_FILE_MAX = 4096;

// The result of a check, for the caller's log and for tests.
struct up_auth_result {
    bool keys_present;        // false: no key file, nothing was checked
    up_sig_status status;
    std::array<uint8_t, UP_SIG_KEY_ID_SIZE> key_id;   // the signature's, when it was read
};

// A check in two halves around the digest pass, so that the package is read
// once: up_auth_begin reads the keys and the trailer; when it leaves
// needs_hash set, the pass's BLAKE2b-512 of the packlen bytes goes to
// up_auth_end, which checks the two signatures.
struct up_auth_check {
    up_auth_result result{};
    up_sig_file sig{};
    up_sig_public_key key{};
    bool needs_hash = false;
};

// 0 when the package may go on to the pass (no key file: nothing to check;
// or a trailer by a known key: needs_hash set), -1 when it is refused
// already (logged).
int up_auth_begin(int fd, uint32_t packlen, const char *key_dir, up_auth_check *check);

// The verdict with the package's hash (nullptr when the pass failed to read
// the package). 0 when the package may be installed, -1 otherwise; logs the
// verdict.
int up_auth_end(up_auth_check *check, const uint8_t hash[UP_SIG_HASH_SIZE]);

// Both halves with a digest pass of its own in between: checks the package
// behind fd, whose signed part is its first packlen bytes, against the keys
// in key_dir. 0 when the package may be installed (no key file, or a
// signature by one of the keys that verifies), -1 otherwise. Logs the
// verdict: which failure, or the trusted comment of a good signature, or
// that the package was not authenticated. With a key the package's digests
// are kept afterwards (up_package_digest.h).
int up_authenticate_package(int fd, uint32_t packlen, const char *key_dir, up_auth_result *result);
