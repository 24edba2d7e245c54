// The signature trailer of an upgrade package and the minisign file formats
// it carries.
//
// A signed package is the package's packlen bytes followed by a trailer:
//
//   offset 0   8 bytes  magic "IMGSIG01"
//   offset 8   4 bytes  length L of the signature text, least significant first
//   offset 12  L bytes  a minisign signature file, as `minisign -S` writes it:
//                       "untrusted comment: ..." line, the base64 signature
//                       line, "trusted comment: ..." line, the base64 global
//                       signature line
//
// The signature line decodes to "ED" (Ed25519 over the BLAKE2b-512 hash of
// the signed bytes), the signer's 8-byte key id and the 64-byte signature;
// the global signature is Ed25519 over the 64 signature bytes followed by the
// trusted comment's text. A minisign public-key file is an "untrusted
// comment: ..." line and a base64 line decoding to "Ed", the key id and the
// 32-byte public key. Readers that know nothing of the trailer see the
// package as it is: it lies past packlen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t UP_SIG_TRAILER_HEAD_SIZE = 12;
constexpr std::array<uint8_t, 8> UP_SIG_MAGIC = {'I', 'M', 'G', 'S', 'I', 'G', '0', '1'};
// Longest signature text accepted: four lines with a trusted comment of at
// most UP_SIG_COMMENT_MAX bytes fit with room to spare.
constexpr uint32_t UP_SIG_TEXT_MAX = 2048;
constexpr size_t UP_SIG_COMMENT_MAX = 1024;

constexpr size_t UP_SIG_KEY_ID_SIZE = 8;
constexpr size_t UP_SIG_PUBLIC_KEY_SIZE = 32;
constexpr size_t UP_SIG_SECRET_KEY_SIZE = 64;
constexpr size_t UP_SIG_SIGNATURE_SIZE = 64;
constexpr size_t UP_SIG_HASH_SIZE = 64;

// The decoded public-key line: algorithm "Ed", key id, key.
struct up_sig_public_key {
    std::array<uint8_t, 2> alg;
    std::array<uint8_t, UP_SIG_KEY_ID_SIZE> key_id;
    std::array<uint8_t, UP_SIG_PUBLIC_KEY_SIZE> key;
};
static_assert(sizeof(up_sig_public_key) == 42, "public-key line is 42 bytes");

// The decoded signature line: algorithm "ED" or "Ed", key id, signature.
struct up_sig_line {
    std::array<uint8_t, 2> alg;
    std::array<uint8_t, UP_SIG_KEY_ID_SIZE> key_id;
    std::array<uint8_t, UP_SIG_SIGNATURE_SIZE> sig;
};
static_assert(sizeof(up_sig_line) == 74, "signature line is 74 bytes");

// A parsed signature file.
struct up_sig_file {
    up_sig_line line;
    std::array<char, UP_SIG_COMMENT_MAX + 1> trusted_comment;   // NUL-terminated
    size_t trusted_len;
    std::array<uint8_t, UP_SIG_SIGNATURE_SIZE> global_sig;
};

enum up_sig_status {
    UP_SIG_OK = 0,
    UP_SIG_MISSING,          // no trailer magic after the package
    UP_SIG_TRUNCATED,        // the trailer ends before its declared length
    UP_SIG_MALFORMED,        // the text is not a signature file
    UP_SIG_LEGACY,           // "Ed": signs the bytes themselves, not their hash
    UP_SIG_UNKNOWN_KEY,      // no key with the signature's key id
    UP_SIG_BAD_SIGNATURE,    // the signature does not match the hash
    UP_SIG_BAD_GLOBAL,       // the trusted comment's signature does not match
    UP_SIG_IO,               // the package could not be read
};

// A short name of a status for log lines and reports ("unknown key id").
const char *up_sig_status_text(up_sig_status s);

// The crypto library must be started once before any call below that
// hashes or verifies. 0 or -1.
int up_sig_init(void);

// Decodes a public-key file's text. 0, or -1 when it is not one.
int up_sig_parse_public_key(std::string_view text, up_sig_public_key *key);

// Decodes a signature file's text: UP_SIG_OK, UP_SIG_MALFORMED or
// UP_SIG_LEGACY (the file is read whole either way).
up_sig_status up_sig_parse(std::string_view text, up_sig_file *sig);

// Reads the trailer head: UP_SIG_OK with the text length in *text_len, or
// UP_SIG_MISSING (wrong magic) or UP_SIG_MALFORMED (a length of 0 or above
// UP_SIG_TEXT_MAX).
up_sig_status up_sig_trailer_head(const uint8_t head[UP_SIG_TRAILER_HEAD_SIZE], uint32_t *text_len);
// Writes the trailer head for a text of text_len bytes.
void up_sig_make_trailer_head(uint32_t text_len, uint8_t head[UP_SIG_TRAILER_HEAD_SIZE]);

// Checks a parsed signature against the BLAKE2b-512 hash of the signed bytes
// and the key whose id it names: UP_SIG_OK, UP_SIG_BAD_SIGNATURE or
// UP_SIG_BAD_GLOBAL.
up_sig_status up_sig_verify(const up_sig_file &sig, const up_sig_public_key &key,
                            const uint8_t hash[UP_SIG_HASH_SIZE]);

// The key id as minisign prints it: 16 upper-case hex digits, the id read
// least significant byte first.
std::string up_sig_key_id_text(const std::array<uint8_t, UP_SIG_KEY_ID_SIZE> &key_id);

// Streamed BLAKE2b-512 over the signed bytes.
struct up_sig_hasher {
    alignas(64) std::array<uint8_t, 384> state;   // the library's hashing state
};
void up_sig_hash_start(up_sig_hasher *h);
void up_sig_hash_add(up_sig_hasher *h, const uint8_t *data, size_t n);
void up_sig_hash_end(up_sig_hasher *h, uint8_t hash[UP_SIG_HASH_SIZE]);

// Signing, for the host tool. A new key pair with a random key id.
struct up_sig_secret_key {
    std::array<uint8_t, UP_SIG_KEY_ID_SIZE> key_id;
    std::array<uint8_t, UP_SIG_SECRET_KEY_SIZE> key;   // seed and public key
};
int up_sig_keygen(up_sig_public_key *pub, up_sig_secret_key *sec);
// The signature file text for hash, signed with sec, with trusted_comment
// (one line, at most UP_SIG_COMMENT_MAX bytes). 0 or -1.
int up_sig_sign(const up_sig_secret_key &sec, const uint8_t hash[UP_SIG_HASH_SIZE],
                std::string_view untrusted_comment, std::string_view trusted_comment, std::string *text);
// The public-key file text of key.
std::string up_sig_public_key_text(const up_sig_public_key &key, std::string_view untrusted_comment);
