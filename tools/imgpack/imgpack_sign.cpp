// imgpack keygen, sign, attach and the signature part of inspect --key.
#include "imgpack_sign.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "imgpack_seckey.h"
#include "up_bytes.h"
#include "up_fd.h"
#include "up_package.h"

namespace {

std::string text_of(const std::vector<uint8_t> &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Writes bytes to a new file that must not exist yet.
int write_new_file(const char *path, const std::string &bytes, mode_t mode)
{
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.ok()) {
        fprintf(stderr, "imgpack: %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (write_full(fd.get(), bytes.data(), bytes.size()) != (ssize_t)bytes.size() || fsync(fd.get()) != 0) {
        fprintf(stderr, "imgpack: %s: write failed: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

// The package's packlen, checked against the file: the signed part must be
// there whole. 0, or -1 (told on stderr).
int signed_length(const char *path, const std::vector<uint8_t> &pkg, uint32_t *packlen)
{
    if (pkg.size() < PACKAGE_HEAD_SIZE) {
        fprintf(stderr, "imgpack: %s: shorter than a package header\n", path);
        return -1;
    }
    package_signature_t head{};
    decode_package_head(pkg.data(), &head);
    if (head.packlen < (int32_t)PACKAGE_HEAD_SIZE || (uint64_t)head.packlen > pkg.size()) {
        fprintf(stderr, "imgpack: %s: packlen %ld does not fit the file of %llu bytes\n", path, (long)head.packlen,
                (unsigned long long)pkg.size());
        return -1;
    }
    *packlen = (uint32_t)head.packlen;
    return 0;
}

void hash_bytes(const uint8_t *data, size_t n, uint8_t hash[UP_SIG_HASH_SIZE])
{
    up_sig_hasher h;
    up_sig_hash_start(&h);
    up_sig_hash_add(&h, data, n);
    up_sig_hash_end(&h, hash);
}

// Loaded raw into the package partition, a package and its trailer must end
// before the state block: the first state write erases that block. 0, or -1
// (told on stderr).
int check_state_block(const char *path, uint64_t end)
{
    if (end <= IMGPACK_STATE_BLOCK)
        return 0;
    fprintf(stderr,
            "imgpack: %s: the package and its signature trailer would end at %llu bytes, past the state block at "
            "0x%llx of the package partition\n",
            path, (unsigned long long)end, (unsigned long long)IMGPACK_STATE_BLOCK);
    return -1;
}

// Rewrites the package file as its packlen bytes and the trailer for text.
int write_trailer(const char *path, const std::vector<uint8_t> &pkg, uint32_t packlen, const std::string &text)
{
    if (text.empty() || text.size() > UP_SIG_TEXT_MAX) {
        fprintf(stderr, "imgpack: signature of %llu bytes: at most %lu fit the trailer\n",
                (unsigned long long)text.size(), (unsigned long)UP_SIG_TEXT_MAX);
        return -1;
    }
    if (check_state_block(path, (uint64_t)packlen + UP_SIG_TRAILER_HEAD_SIZE + text.size()) != 0)
        return -1;
    uint8_t head[UP_SIG_TRAILER_HEAD_SIZE];
    up_sig_make_trailer_head((uint32_t)text.size(), head);
    std::string out(reinterpret_cast<const char *>(pkg.data()), packlen);
    out.append(reinterpret_cast<const char *>(head), sizeof head);
    out += text;
    std::string tmp = std::string(path) + ".sign-tmp";
    unlink(tmp.c_str());
    if (write_new_file(tmp.c_str(), out, 0644) != 0)
        return -1;
    if (rename(tmp.c_str(), path) != 0) {
        fprintf(stderr, "imgpack: %s: %s\n", path, strerror(errno));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int read_bytes(const char *path, std::vector<uint8_t> *out)
{
    std::string err;
    if (imgpack_read_file(path, out, &err) != 0) {
        fprintf(stderr, "imgpack: %s\n", err.c_str());
        return -1;
    }
    return 0;
}

const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

} // namespace

int imgpack_keygen(const char *public_path, const char *secret_path)
{
    up_sig_public_key pub{};
    up_sig_secret_key sec{};
    if (up_sig_keygen(&pub, &sec) != 0) {
        fprintf(stderr, "imgpack: key generation failed\n");
        return 1;
    }
    const std::string id = up_sig_key_id_text(pub.key_id);
    std::string sec_text = imgpack_secret_key_text(sec);
    sodium_memzero(sec.key.data(), sec.key.size());
    if (write_new_file(secret_path, sec_text, 0600) != 0)
        return 1;
    if (write_new_file(public_path, up_sig_public_key_text(pub, "imgpack public key " + id), 0644) != 0) {
        unlink(secret_path);
        return 1;
    }
    printf("key id %s: public key %s, secret key %s\n", id.c_str(), public_path, secret_path);
    return 0;
}

int imgpack_sign(const char *package_path, const char *secret_path, const char *comment)
{
    if (up_sig_init() != 0)
        return 1;
    std::vector<uint8_t> key_bytes;
    std::vector<uint8_t> pkg;
    if (read_bytes(secret_path, &key_bytes) != 0 || read_bytes(package_path, &pkg) != 0)
        return 1;
    // The package is judged before a password is asked for.
    uint32_t packlen = 0;
    if (signed_length(package_path, pkg, &packlen) != 0 ||
        check_state_block(package_path, (uint64_t)packlen + UP_SIG_TRAILER_HEAD_SIZE) != 0)
        return 1;
    up_sig_secret_key sec{};
    std::string err;
    if (imgpack_parse_secret_key(text_of(key_bytes), imgpack_read_password, &sec, &err) != 0) {
        fprintf(stderr, "imgpack: %s: %s\n", secret_path, err.c_str());
        return 1;
    }
    std::string trusted;
    if (comment != nullptr) {
        trusted = comment;
    } else {
        trusted = "timestamp:" + std::to_string((long long)time(nullptr)) + "\tfile:" + base_name(package_path);
    }
    uint8_t hash[UP_SIG_HASH_SIZE];
    hash_bytes(pkg.data(), packlen, hash);
    std::string text;
    int rc = up_sig_sign(sec, hash, "signature from imgpack secret key", trusted, &text);
    sodium_memzero(sec.key.data(), sec.key.size());
    if (rc != 0) {
        fprintf(stderr, "imgpack: the comment must be one line of at most %lu bytes\n",
                (unsigned long)UP_SIG_COMMENT_MAX);
        return 1;
    }
    if (write_trailer(package_path, pkg, packlen, text) != 0)
        return 1;
    printf("signed %s: %lu bytes, key id %s\n", package_path, (unsigned long)packlen,
           up_sig_key_id_text(sec.key_id).c_str());
    return 0;
}

int imgpack_attach(const char *package_path, const char *sig_path)
{
    if (up_sig_init() != 0)
        return 1;
    std::vector<uint8_t> sig_bytes;
    std::vector<uint8_t> pkg;
    if (read_bytes(sig_path, &sig_bytes) != 0 || read_bytes(package_path, &pkg) != 0)
        return 1;
    uint32_t packlen = 0;
    if (signed_length(package_path, pkg, &packlen) != 0)
        return 1;
    up_sig_file sig{};
    up_sig_status s = up_sig_parse(text_of(sig_bytes), &sig);
    if (s != UP_SIG_OK) {
        fprintf(stderr, "imgpack: %s: %s%s\n", sig_path, up_sig_status_text(s),
                s == UP_SIG_LEGACY ? " (imgrenew takes only prehashed signatures: drop minisign's -l)" : "");
        return 1;
    }
    if (pkg.size() != packlen)
        fprintf(stderr, "imgpack: %s: the %llu bytes after packlen are replaced by the signature\n", package_path,
                (unsigned long long)(pkg.size() - packlen));
    if (write_trailer(package_path, pkg, packlen, text_of(sig_bytes)) != 0)
        return 1;
    printf("attached %s to %s: key id %s\n", sig_path, package_path, up_sig_key_id_text(sig.line.key_id).c_str());
    return 0;
}

int imgpack_inspect_signature(const std::vector<uint8_t> &pkg, const char *public_path, FILE *out)
{
    if (up_sig_init() != 0)
        return 1;
    std::vector<uint8_t> key_bytes;
    if (read_bytes(public_path, &key_bytes) != 0)
        return 1;
    up_sig_public_key key{};
    if (up_sig_parse_public_key(text_of(key_bytes), &key) != 0) {
        fprintf(stderr, "imgpack: %s: not a minisign public key file\n", public_path);
        return 1;
    }
    fprintf(out, "key: %s, key id %s\n", public_path, up_sig_key_id_text(key.key_id).c_str());
    package_signature_t head{};
    if (pkg.size() >= PACKAGE_HEAD_SIZE)
        decode_package_head(pkg.data(), &head);
    const uint64_t packlen = head.packlen > 0 ? (uint64_t)head.packlen : 0;
    up_sig_status s = UP_SIG_MISSING;
    up_sig_file sig{};
    if (packlen == 0 || packlen > pkg.size()) {
        s = UP_SIG_TRUNCATED;
    } else if (pkg.size() - packlen < UP_SIG_TRAILER_HEAD_SIZE) {
        s = pkg.size() == packlen ? UP_SIG_MISSING : UP_SIG_TRUNCATED;
    } else {
        uint32_t len = 0;
        s = up_sig_trailer_head(pkg.data() + packlen, &len);
        if (s == UP_SIG_OK && pkg.size() - packlen - UP_SIG_TRAILER_HEAD_SIZE < len)
            s = UP_SIG_TRUNCATED;
        if (s == UP_SIG_OK)
            s = up_sig_parse(std::string_view(reinterpret_cast<const char *>(pkg.data() + packlen +
                                                                             UP_SIG_TRAILER_HEAD_SIZE),
                                              len),
                             &sig);
    }
    if (s == UP_SIG_OK || s == UP_SIG_LEGACY) {
        fprintf(out, "signature: key id %s\n", up_sig_key_id_text(sig.line.key_id).c_str());
        fprintf(out, "trusted comment: %.*s\n", (int)sig.trusted_len, sig.trusted_comment.data());
    }
    if (s == UP_SIG_OK && sig.line.key_id != key.key_id)
        s = UP_SIG_UNKNOWN_KEY;
    if (s == UP_SIG_OK) {
        uint8_t hash[UP_SIG_HASH_SIZE];
        hash_bytes(pkg.data(), (size_t)packlen, hash);
        s = up_sig_verify(sig, key, hash);
    }
    fprintf(out, "signature check: %s\n", s == UP_SIG_OK ? "verified" : up_sig_status_text(s));
    return s == UP_SIG_OK ? 0 : 1;
}

int imgpack_inspect_signature_file(const char *package_path, const char *public_path, FILE *out)
{
    std::vector<uint8_t> pkg;
    if (read_bytes(package_path, &pkg) != 0)
        return 1;
    return imgpack_inspect_signature(pkg, public_path, out);
}
