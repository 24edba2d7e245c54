// imgpack's signing subcommands: key pairs, the signature trailer after the
// package's packlen bytes, and the check of a signed package against a key.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "up_pkg_sig.h"

// imgpack keygen PUBLIC SECRET: a new key pair in minisign's formats (the
// secret key unencrypted, mode 0600). Neither file may exist yet. 0, or 1.
int imgpack_keygen(const char *public_path, const char *secret_path);

// imgpack sign PACKAGE --key SECRET [--comment TEXT]: signs the package's
// packlen bytes and writes the trailer after them, replacing any trailer the
// file held. comment: the trusted comment, or nullptr for a timestamp and
// the file's name. 0, or 1.
int imgpack_sign(const char *package_path, const char *secret_path, const char *comment);

// imgpack attach PACKAGE SIGFILE: writes the signature file made by
// `minisign -S -m PACKAGE` as the package's trailer. 0, or 1.
int imgpack_attach(const char *package_path, const char *sig_path);

// The trailer check of inspect --key PUB: prints the key ids, the trusted
// comment and the verdict to out. 0 when the signature verifies, 1 otherwise.
int imgpack_inspect_signature(const std::vector<uint8_t> &package, const char *public_path, FILE *out);
int imgpack_inspect_signature_file(const char *package_path, const char *public_path, FILE *out);
