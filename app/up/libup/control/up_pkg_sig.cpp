// Signature trailer and minisign formats: parsing, hashing, verifying and,
// for the host tool, signing. The cryptography is libsodium's.
#include "up_pkg_sig.h"

#include <cstdio>
#include <cstring>
#include <sodium.h>

#include "up_bytes.h"

static_assert(sizeof(crypto_generichash_blake2b_state) <= sizeof(up_sig_hasher::state),
              "the hashing state fits its storage");
static_assert(alignof(crypto_generichash_blake2b_state) <= 64, "and its alignment");
static_assert(crypto_sign_PUBLICKEYBYTES == UP_SIG_PUBLIC_KEY_SIZE, "");
static_assert(crypto_sign_SECRETKEYBYTES == UP_SIG_SECRET_KEY_SIZE, "");
static_assert(crypto_sign_BYTES == UP_SIG_SIGNATURE_SIZE, "");

namespace {

constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment: ";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";

// The next line of text (without its "\n" or "\r\n"); text moves past it.
// False when no text is left.
bool next_line(std::string_view *text, std::string_view *line)
{
    if (text->empty())
        return false;
    size_t nl = text->find('\n');
    *line = text->substr(0, nl);
    *text = nl == std::string_view::npos ? std::string_view() : text->substr(nl + 1);
    if (!line->empty() && line->back() == '\r')
        line->remove_suffix(1);
    return true;
}

bool starts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Decodes a base64 line into exactly n bytes. True on success.
bool decode_exact(std::string_view line, uint8_t *out, size_t n)
{
    size_t got = 0;
    const char *end = nullptr;
    if (sodium_base642bin(out, n, line.data(), line.size(), nullptr, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return got == n && end == line.data() + line.size();
}

std::string encode(const uint8_t *data, size_t n)
{
    std::string out(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&out[0], out.size(), data, n, sodium_base64_VARIANT_ORIGINAL);
    out.resize(strlen(out.c_str()));
    return out;
}

bool is_one_line(std::string_view s)
{
    return s.find('\n') == std::string_view::npos && s.find('\r') == std::string_view::npos;
}

crypto_generichash_blake2b_state *state_of(up_sig_hasher *h)
{
    return reinterpret_cast<crypto_generichash_blake2b_state *>(h->state.data());
}

} // namespace

const char *up_sig_status_text(up_sig_status s)
{
    switch (s) {
    case UP_SIG_OK:
        return "verified";
    case UP_SIG_MISSING:
        return "no signature";
    case UP_SIG_TRUNCATED:
        return "truncated signature";
    case UP_SIG_MALFORMED:
        return "malformed signature";
    case UP_SIG_LEGACY:
        return "legacy signature";
    case UP_SIG_UNKNOWN_KEY:
        return "unknown key id";
    case UP_SIG_BAD_SIGNATURE:
        return "wrong signature";
    case UP_SIG_BAD_GLOBAL:
        return "wrong trusted comment signature";
    case UP_SIG_IO:
        return "package unreadable";
    }
    return "unknown";
}

int up_sig_init(void)
{
    return sodium_init() < 0 ? -1 : 0;
}

int up_sig_parse_public_key(std::string_view text, up_sig_public_key *key)
{
    std::string_view line;
    if (!next_line(&text, &line) || !starts_with(line, UNTRUSTED_PREFIX) || !next_line(&text, &line))
        return -1;
    std::array<uint8_t, sizeof(up_sig_public_key)> raw{};
    if (!decode_exact(line, raw.data(), raw.size()))
        return -1;
    memcpy(key->alg.data(), raw.data(), 2);
    memcpy(key->key_id.data(), raw.data() + 2, UP_SIG_KEY_ID_SIZE);
    memcpy(key->key.data(), raw.data() + 10, UP_SIG_PUBLIC_KEY_SIZE);
    if (key->alg[0] != 'E' || key->alg[1] != 'd')
        return -1;
    // Nothing but blank lines may follow.
    while (next_line(&text, &line))
        if (!line.empty())
            return -1;
    return 0;
}

up_sig_status up_sig_parse(std::string_view text, up_sig_file *sig)
{
    std::string_view line;
    if (!next_line(&text, &line) || !starts_with(line, UNTRUSTED_PREFIX) || !next_line(&text, &line))
        return UP_SIG_MALFORMED;
    std::array<uint8_t, sizeof(up_sig_line)> raw{};
    if (!decode_exact(line, raw.data(), raw.size()))
        return UP_SIG_MALFORMED;
    memcpy(sig->line.alg.data(), raw.data(), 2);
    memcpy(sig->line.key_id.data(), raw.data() + 2, UP_SIG_KEY_ID_SIZE);
    memcpy(sig->line.sig.data(), raw.data() + 10, UP_SIG_SIGNATURE_SIZE);
    if (!next_line(&text, &line) || !starts_with(line, TRUSTED_PREFIX))
        return UP_SIG_MALFORMED;
    std::string_view comment = line.substr(TRUSTED_PREFIX.size());
    if (comment.size() > UP_SIG_COMMENT_MAX || comment.find('\0') != std::string_view::npos)
        return UP_SIG_MALFORMED;
    memcpy(sig->trusted_comment.data(), comment.data(), comment.size());
    sig->trusted_comment[comment.size()] = '\0';
    sig->trusted_len = comment.size();
    if (!next_line(&text, &line) || !decode_exact(line, sig->global_sig.data(), sig->global_sig.size()))
        return UP_SIG_MALFORMED;
    while (next_line(&text, &line))
        if (!line.empty())
            return UP_SIG_MALFORMED;
    if (sig->line.alg[0] != 'E')
        return UP_SIG_MALFORMED;
    if (sig->line.alg[1] == 'd')
        return UP_SIG_LEGACY;
    return sig->line.alg[1] == 'D' ? UP_SIG_OK : UP_SIG_MALFORMED;
}

up_sig_status up_sig_trailer_head(const uint8_t head[UP_SIG_TRAILER_HEAD_SIZE], uint32_t *text_len)
{
    if (memcmp(head, UP_SIG_MAGIC.data(), UP_SIG_MAGIC.size()) != 0)
        return UP_SIG_MISSING;
    uint32_t len = get_le32(head + 8);
    if (len == 0 || len > UP_SIG_TEXT_MAX)
        return UP_SIG_MALFORMED;
    *text_len = len;
    return UP_SIG_OK;
}

void up_sig_make_trailer_head(uint32_t text_len, uint8_t head[UP_SIG_TRAILER_HEAD_SIZE])
{
    memcpy(head, UP_SIG_MAGIC.data(), UP_SIG_MAGIC.size());
    put_le32(head + 8, text_len);
}

up_sig_status up_sig_verify(const up_sig_file &sig, const up_sig_public_key &key,
                            const uint8_t hash[UP_SIG_HASH_SIZE])
{
    if (crypto_sign_verify_detached(sig.line.sig.data(), hash, UP_SIG_HASH_SIZE, key.key.data()) != 0)
        return UP_SIG_BAD_SIGNATURE;
    std::array<uint8_t, UP_SIG_SIGNATURE_SIZE + UP_SIG_COMMENT_MAX> global{};
    memcpy(global.data(), sig.line.sig.data(), UP_SIG_SIGNATURE_SIZE);
    memcpy(global.data() + UP_SIG_SIGNATURE_SIZE, sig.trusted_comment.data(), sig.trusted_len);
    if (crypto_sign_verify_detached(sig.global_sig.data(), global.data(), UP_SIG_SIGNATURE_SIZE + sig.trusted_len,
                                    key.key.data()) != 0)
        return UP_SIG_BAD_GLOBAL;
    return UP_SIG_OK;
}

std::string up_sig_key_id_text(const std::array<uint8_t, UP_SIG_KEY_ID_SIZE> &key_id)
{
    char text[2 * UP_SIG_KEY_ID_SIZE + 1];
    for (size_t i = 0; i < UP_SIG_KEY_ID_SIZE; ++i)
        snprintf(text + 2 * i, 3, "%02X", (unsigned)key_id[UP_SIG_KEY_ID_SIZE - 1 - i]);
    return text;
}

void up_sig_hash_start(up_sig_hasher *h)
{
    crypto_generichash_blake2b_init(state_of(h), nullptr, 0, UP_SIG_HASH_SIZE);
}

void up_sig_hash_add(up_sig_hasher *h, const uint8_t *data, size_t n)
{
    crypto_generichash_blake2b_update(state_of(h), data, n);
}

void up_sig_hash_end(up_sig_hasher *h, uint8_t hash[UP_SIG_HASH_SIZE])
{
    crypto_generichash_blake2b_final(state_of(h), hash, UP_SIG_HASH_SIZE);
}

int up_sig_keygen(up_sig_public_key *pub, up_sig_secret_key *sec)
{
    if (up_sig_init() != 0)
        return -1;
    pub->alg = {'E', 'd'};
    randombytes_buf(sec->key_id.data(), sec->key_id.size());
    pub->key_id = sec->key_id;
    return crypto_sign_keypair(pub->key.data(), sec->key.data()) == 0 ? 0 : -1;
}

int up_sig_sign(const up_sig_secret_key &sec, const uint8_t hash[UP_SIG_HASH_SIZE],
                std::string_view untrusted_comment, std::string_view trusted_comment, std::string *text)
{
    if (!is_one_line(untrusted_comment) || !is_one_line(trusted_comment) ||
        trusted_comment.size() > UP_SIG_COMMENT_MAX || trusted_comment.find('\0') != std::string_view::npos)
        return -1;
    std::array<uint8_t, sizeof(up_sig_line)> line{};
    line[0] = 'E';
    line[1] = 'D';
    memcpy(line.data() + 2, sec.key_id.data(), UP_SIG_KEY_ID_SIZE);
    uint8_t *sig = line.data() + 10;
    if (crypto_sign_detached(sig, nullptr, hash, UP_SIG_HASH_SIZE, sec.key.data()) != 0)
        return -1;
    std::array<uint8_t, UP_SIG_SIGNATURE_SIZE + UP_SIG_COMMENT_MAX> global{};
    memcpy(global.data(), sig, UP_SIG_SIGNATURE_SIZE);
    memcpy(global.data() + UP_SIG_SIGNATURE_SIZE, trusted_comment.data(), trusted_comment.size());
    std::array<uint8_t, UP_SIG_SIGNATURE_SIZE> global_sig{};
    if (crypto_sign_detached(global_sig.data(), nullptr, global.data(), UP_SIG_SIGNATURE_SIZE + trusted_comment.size(),
                             sec.key.data()) != 0)
        return -1;
    *text = std::string(UNTRUSTED_PREFIX) + std::string(untrusted_comment) + "\n" + encode(line.data(), line.size()) +
            "\n" + std::string(TRUSTED_PREFIX) + std::string(trusted_comment) + "\n" +
            encode(global_sig.data(), global_sig.size()) + "\n";
    return 0;
}

std::string up_sig_public_key_text(const up_sig_public_key &key, std::string_view untrusted_comment)
{
    std::array<uint8_t, sizeof(up_sig_public_key)> raw{};
    memcpy(raw.data(), key.alg.data(), 2);
    memcpy(raw.data() + 2, key.key_id.data(), UP_SIG_KEY_ID_SIZE);
    memcpy(raw.data() + 10, key.key.data(), UP_SIG_PUBLIC_KEY_SIZE);
    return std::string(UNTRUSTED_PREFIX) + std::string(untrusted_comment) + "\n" + encode(raw.data(), raw.size()) +
           "\n";
}
