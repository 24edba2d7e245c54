// minisign secret-key files (see imgpack_seckey.h). The line after the
// comment is base64 of 158 bytes:
//   0  "Ed"                signature algorithm
//   2  "Sc" or 00 00       key derivation: scrypt, or none (unencrypted)
//   4  "B2"                checksum algorithm: BLAKE2b-256
//   6  salt (32), opslimit (8, little-endian), memlimit (8, little-endian)
//  54  key id (8), secret key (64), checksum (32): XORed with 104 bytes of
//      crypto_pwhash_scryptsalsa208sha256(password, salt, opslimit, memlimit)
//      when encrypted
// The checksum is BLAKE2b-256 of "Ed", the key id and the secret key.
#include "imgpack_seckey.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr size_t SK_KDF_ALG = 2;
constexpr size_t SK_CHK_ALG = 4;
constexpr size_t SK_SALT = 6;
constexpr size_t SK_OPSLIMIT = 38;
constexpr size_t SK_MEMLIMIT = 46;
constexpr size_t SK_KEY_ID = 54;
constexpr size_t SK_KEY = 62;
constexpr size_t SK_CHK = 126;
constexpr size_t SK_SIZE = 158;
constexpr size_t SK_SECRET_PART = SK_SIZE - SK_KEY_ID;     // what the password protects
static_assert(SK_CHK + 32 == SK_SIZE, "key id, key and checksum end the line");
static_assert(SK_MEMLIMIT + 8 == SK_KEY_ID, "the derivation parameters come before the key id");
static_assert(crypto_pwhash_scryptsalsa208sha256_SALTBYTES == SK_OPSLIMIT - SK_SALT, "32-byte salt");

void secret_key_check(const uint8_t *raw, uint8_t chk[32])
{
    crypto_generichash_state st;
    crypto_generichash_init(&st, nullptr, 0, 32);
    crypto_generichash_update(&st, raw, 2);
    crypto_generichash_update(&st, raw + SK_KEY_ID, UP_SIG_KEY_ID_SIZE);
    crypto_generichash_update(&st, raw + SK_KEY, UP_SIG_SECRET_KEY_SIZE);
    crypto_generichash_final(&st, chk, 32);
}

uint64_t le64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

bool all_zero(const uint8_t *p, size_t n)
{
    uint8_t any = 0;
    for (size_t i = 0; i < n; ++i)
        any |= p[i];
    return any == 0;
}

// Decrypts the key id, key and checksum in place. 0, or -1 with *err.
int decrypt(uint8_t raw[SK_SIZE], imgpack_password_reader read_password, std::string *err)
{
    const uint64_t ops = le64(raw + SK_OPSLIMIT);
    const uint64_t mem = le64(raw + SK_MEMLIMIT);
    if (ops < crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_MIN ||
        ops > crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE ||
        mem < crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_MIN ||
        mem > crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE) {
        *err = "the secret key's password derivation limits are out of range (opslimit " + std::to_string(ops) +
               ", memlimit " + std::to_string(mem) + ")";
        return -1;
    }
    std::string password;
    if (read_password == nullptr || read_password(&password, err) != 0)
        return -1;
    std::array<uint8_t, SK_SECRET_PART> stream{};
    int rc = crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(), password.size(),
                                                raw + SK_SALT, (unsigned long long)ops, (size_t)mem);
    sodium_memzero(&password[0], password.size());
    if (rc != 0) {
        *err = "the password derivation failed (not enough memory?)";
        return -1;
    }
    for (size_t i = 0; i < SK_SECRET_PART; ++i)
        raw[SK_KEY_ID + i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
    return 0;
}

// The secret key is its 32-byte seed followed by its public key.
bool halves_agree(const uint8_t *secret)
{
    uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    uint8_t sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, secret);
    bool same = sodium_memcmp(sk, secret, sizeof sk) == 0;
    sodium_memzero(sk, sizeof sk);
    return same;
}

} // namespace

int imgpack_read_password(std::string *password, std::string *err)
{
    const bool tty = isatty(STDIN_FILENO) == 1;
    struct termios old {};
    if (tty) {
        fputs("Password: ", stderr);
        fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &old) == 0) {
            struct termios quiet = old;
            quiet.c_lflag &= ~(tcflag_t)ECHO;
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    std::array<char, IMGPACK_PASSWORD_MAX + 2> line{};
    bool got = fgets(line.data(), (int)line.size(), stdin) != nullptr;
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        fputc('\n', stderr);
    }
    size_t n = got ? strnlen(line.data(), line.size()) : 0;
    bool whole = n > 0 && line[n - 1] == '\n';
    while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
        --n;
    if (!got || (!whole && !feof(stdin)) || n > IMGPACK_PASSWORD_MAX) {
        sodium_memzero(line.data(), line.size());
        *err = got ? "the password is longer than 1024 bytes" : "no password given on standard input";
        return -1;
    }
    password->assign(line.data(), n);
    sodium_memzero(line.data(), line.size());
    return 0;
}

int imgpack_parse_secret_key(const std::string &text, imgpack_password_reader read_password,
                             up_sig_secret_key *key, std::string *err)
{
    size_t nl = text.find('\n');
    if (text.compare(0, 19, "untrusted comment: ") != 0 || nl == std::string::npos) {
        *err = "not a minisign secret key file";
        return -1;
    }
    size_t end = text.find('\n', nl + 1);
    std::string line = text.substr(nl + 1, end == std::string::npos ? std::string::npos : end - nl - 1);
    while (!line.empty() && line.back() == '\r')
        line.pop_back();
    uint8_t raw[SK_SIZE];
    size_t got = 0;
    if (sodium_base642bin(raw, sizeof raw, line.data(), line.size(), nullptr, &got, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        got != SK_SIZE || raw[0] != 'E' || raw[1] != 'd' || raw[SK_CHK_ALG] != 'B' || raw[SK_CHK_ALG + 1] != '2') {
        *err = "not a minisign secret key file";
        return -1;
    }
    int rc = 0;
    uint8_t chk[32];
    if (raw[SK_KDF_ALG] == 'S' && raw[SK_KDF_ALG + 1] == 'c') {
        rc = decrypt(raw, read_password, err);
        secret_key_check(raw, chk);
        if (rc == 0 && sodium_memcmp(chk, raw + SK_CHK, sizeof chk) != 0) {
            *err = "wrong password for the secret key";
            rc = -1;
        }
    } else if (raw[SK_KDF_ALG] == 0 && raw[SK_KDF_ALG + 1] == 0) {
        // imgpack keygen writes the checksum; the minisign tool leaves it zero.
        secret_key_check(raw, chk);
        if (!all_zero(raw + SK_CHK, sizeof chk) && sodium_memcmp(chk, raw + SK_CHK, sizeof chk) != 0) {
            *err = "the secret key's checksum does not match: the file is damaged";
            rc = -1;
        }
    } else {
        *err = "the secret key names an unknown password derivation";
        rc = -1;
    }
    if (rc == 0 && !halves_agree(raw + SK_KEY)) {
        *err = "the secret key is damaged: its public half is not the one its seed makes";
        rc = -1;
    }
    if (rc == 0) {
        memcpy(key->key_id.data(), raw + SK_KEY_ID, UP_SIG_KEY_ID_SIZE);
        memcpy(key->key.data(), raw + SK_KEY, UP_SIG_SECRET_KEY_SIZE);
    }
    sodium_memzero(raw, sizeof raw);
    sodium_memzero(chk, sizeof chk);
    return rc;
}

std::string imgpack_secret_key_text(const up_sig_secret_key &key)
{
    uint8_t raw[SK_SIZE] = {};
    raw[0] = 'E';
    raw[1] = 'd';
    raw[SK_CHK_ALG] = 'B';
    raw[SK_CHK_ALG + 1] = '2';
    memcpy(raw + SK_KEY_ID, key.key_id.data(), UP_SIG_KEY_ID_SIZE);
    memcpy(raw + SK_KEY, key.key.data(), UP_SIG_SECRET_KEY_SIZE);
    secret_key_check(raw, raw + SK_CHK);
    std::string b64(sodium_base64_ENCODED_LEN(SK_SIZE, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&b64[0], b64.size(), raw, SK_SIZE, sodium_base64_VARIANT_ORIGINAL);
    sodium_memzero(raw, sizeof raw);
    b64.resize(strlen(b64.c_str()));
    return "untrusted comment: imgpack secret key\n" + b64 + "\n";
}
