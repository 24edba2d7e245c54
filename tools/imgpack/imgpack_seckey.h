// minisign secret-key files: imgpack keygen's (unencrypted) and the minisign
// tool's, unencrypted (`minisign -G -W`) or protected by a password.
#pragma once

#include <string>

#include "up_pkg_sig.h"

// Largest password taken, as the minisign tool.
constexpr size_t IMGPACK_PASSWORD_MAX = 1024;

// Gets the password of an encrypted key into *password. 0, or -1 with *err.
using imgpack_password_reader = int (*)(std::string *password, std::string *err);

// The password for imgpack sign: asked for on the terminal without echo when
// standard input is one, otherwise the first line of standard input (its
// line end dropped), as the minisign tool takes it.
int imgpack_read_password(std::string *password, std::string *err);

// Decodes a secret-key file. An encrypted key asks read_password for its
// password and is decrypted with the scrypt parameters the file names (at
// most libsodium's "sensitive" limits, the most the minisign tool writes).
// The key is then checked: its BLAKE2b-256 checksum (an unencrypted key may
// carry none: the minisign tool leaves it zero) and that its public half is
// the one its seed makes. 0, or -1 with *err.
int imgpack_parse_secret_key(const std::string &text, imgpack_password_reader read_password,
                             up_sig_secret_key *key, std::string *err);

// The unencrypted secret-key file imgpack keygen writes, checksum included.
std::string imgpack_secret_key_text(const up_sig_secret_key &key);
