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

// Checks the package behind fd, whose signed part is its first packlen
// bytes, against the keys in key_dir. Reads the whole package once through
// the package reader. 0 when the package may be installed (no key file, or
// a signature by one of the keys that verifies), -1 otherwise. Logs the
// verdict: which failure, or the trusted comment of a good signature, or
// that the package was not authenticated.
int up_authenticate_package(int fd, uint32_t packlen, const char *key_dir, up_auth_result *result);
