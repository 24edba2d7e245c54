// The signature check of the package: the trailer after packlen, the keys
// of the router, and, once the digest pass has hashed the package, the two
// Ed25519 checks.
#include "up_package_auth.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "kq_log.h"
#include "up_fd.h"
#include "up_package_digest.h"
#include "up_package_io.h"

namespace {

struct key_ring {
    int files = 0;            // key files found, usable or not
    int count = 0;
    std::array<up_sig_public_key, UP_MAX_KEYS> keys{};
};

// Reads one key file: a regular file, not a link, of at most UP_KEY_FILE_MAX
// bytes. 0 with the key, or -1.
int read_key_file(int dir_fd, const char *name, up_sig_public_key *key)
{
    unique_fd fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        (uint64_t)st.st_size > UP_KEY_FILE_MAX)
        return -1;
    std::array<char, UP_KEY_FILE_MAX> text{};
    ssize_t n = read_full(fd.get(), text.data(), (size_t)st.st_size);
    if (n != (ssize_t)st.st_size)
        return -1;
    return up_sig_parse_public_key(std::string_view(text.data(), (size_t)n), key);
}

// Every file of key_dir whose name does not start with '.' is a key file.
// One that cannot be read as a public key still counts as a key file: the
// router then holds a key and checks, and that file's key signs nothing.
void load_keys(const char *key_dir, key_ring *ring)
{
    unique_fd dir_fd(open(key_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.ok()) {
        // Only a folder that is not there means no key; one that cannot be
        // opened may hold keys, and the package is then checked (and fails).
        if (errno != ENOENT) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]key folder %s cannot be opened, errno %d\n\n", key_dir, errno);
            ring->files = 1;
        }
        return;
    }
    int list_fd = fcntl(dir_fd.get(), F_DUPFD_CLOEXEC, 0);
    DIR *d = list_fd < 0 ? nullptr : fdopendir(list_fd);
    if (d == nullptr) {
        if (list_fd >= 0)
            close(list_fd);
        // The folder exists but cannot be listed: keys may be there.
        ring->files = 1;
        return;
    }
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++ring->files;
        up_sig_public_key key{};
        if (ring->count == UP_MAX_KEYS || read_key_file(dir_fd.get(), e->d_name, &key) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]key file %s/%.64s is not a usable public key, ignored\n\n", key_dir,
                   e->d_name);
            continue;
        }
        ring->keys[(size_t)ring->count++] = key;
    }
    closedir(d);
}

const up_sig_public_key *find_key(const key_ring &ring, const std::array<uint8_t, UP_SIG_KEY_ID_SIZE> &id)
{
    for (int i = 0; i < ring.count; ++i)
        if (ring.keys[(size_t)i].key_id == id)
            return &ring.keys[(size_t)i];
    return nullptr;
}

bool all_erased(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0xFF)
            return false;
    return n > 0;
}

// Reads and parses the trailer at package offset packlen.
up_sig_status read_trailer(int fd, uint32_t packlen, up_sig_file *sig)
{
    uint64_t capacity = 0;
    if (up_package_capacity(fd, &capacity) != 0)
        return UP_SIG_IO;
    const uint64_t room = capacity > packlen ? capacity - packlen : 0;
    std::array<uint8_t, UP_SIG_TRAILER_HEAD_SIZE> head{};
    if (room < head.size()) {
        // Part of a magic is a trailer cut short; anything else is none.
        if (room == 0 || up_package_pread(fd, packlen, head.data(), (size_t)room) != (ssize_t)room)
            return room == 0 ? UP_SIG_MISSING : UP_SIG_IO;
        return memcmp(head.data(), UP_SIG_MAGIC.data(), (size_t)std::min<uint64_t>(room, UP_SIG_MAGIC.size())) == 0
                   ? UP_SIG_TRUNCATED
                   : UP_SIG_MISSING;
    }
    if (up_package_pread(fd, packlen, head.data(), head.size()) != (ssize_t)head.size())
        return UP_SIG_IO;
    uint32_t text_len = 0;
    up_sig_status s = up_sig_trailer_head(head.data(), &text_len);
    if (s != UP_SIG_OK)
        // Erased flash where the length belongs: the trailer was cut there.
        return s == UP_SIG_MALFORMED && all_erased(head.data() + 8, 4) ? UP_SIG_TRUNCATED : s;
    if (room - head.size() < text_len)
        return UP_SIG_TRUNCATED;
    std::array<uint8_t, UP_SIG_TEXT_MAX> text{};
    if (up_package_pread(fd, (uint64_t)packlen + head.size(), text.data(), text_len) != (ssize_t)text_len)
        return UP_SIG_IO;
    s = up_sig_parse(std::string_view(reinterpret_cast<const char *>(text.data()), text_len), sig);
    // In the package partition a trailer cut short is followed by erased flash.
    if (s == UP_SIG_MALFORMED && text[text_len - 1] == 0xFF)
        return UP_SIG_TRUNCATED;
    return s;
}

// The trusted comment as it may go into a log line: control bytes shown as '?'.
std::string printable(const up_sig_file &sig)
{
    std::string out(sig.trusted_comment.data(), sig.trusted_len);
    for (char &c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// What can be decided before the package's bytes are hashed: the trailer
// and the key it names. UP_SIG_OK when the hash alone decides.
up_sig_status check_trailer(int fd, uint32_t packlen, const key_ring &ring, up_auth_result *result,
                            up_sig_file *sig, const up_sig_public_key **key)
{
    up_sig_status s = read_trailer(fd, packlen, sig);
    if (s != UP_SIG_OK && s != UP_SIG_LEGACY)
        return s;
    result->key_id = sig->line.key_id;
    if (s == UP_SIG_LEGACY)
        return s;
    *key = find_key(ring, sig->line.key_id);
    if (*key == nullptr)
        return UP_SIG_UNKNOWN_KEY;
    if (up_sig_init() != 0)
        return UP_SIG_IO;
    return UP_SIG_OK;
}

int log_verdict(const up_auth_result &result, const up_sig_file &sig)
{
    if (result.status == UP_SIG_OK) {
        UP_LOG(KQ_LOG_INFO, "[%s:%d]package signature verified, key id %s, trusted comment: %s\n\n",
               up_sig_key_id_text(result.key_id).c_str(), printable(sig).c_str());
        return 0;
    }
    if (result.status == UP_SIG_UNKNOWN_KEY || result.status == UP_SIG_LEGACY)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package signature check failed: %s (key id %s)\n\n",
               up_sig_status_text(result.status), up_sig_key_id_text(result.key_id).c_str());
    else if (result.status == UP_SIG_IO)
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package signature check failed: %s, errno %d\n\n",
               up_sig_status_text(result.status), errno);
    else
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package signature check failed: %s\n\n", up_sig_status_text(result.status));
    return -1;
}

} // namespace

int up_auth_begin(int fd, uint32_t packlen, const char *key_dir, up_auth_check *check)
{
    *check = up_auth_check{};
    key_ring ring;
    load_keys(key_dir, &ring);
    if (ring.files == 0) {
        UP_LOG(KQ_LOG_INFO, "[%s:%d]package not authenticated: no public key in %s\n\n", key_dir);
        check->result.status = UP_SIG_OK;
        return 0;
    }
    check->result.keys_present = true;
    const up_sig_public_key *key = nullptr;
    check->result.status = check_trailer(fd, packlen, ring, &check->result, &check->sig, &key);
    if (check->result.status != UP_SIG_OK)
        return log_verdict(check->result, check->sig);
    check->key = *key;
    check->needs_hash = true;
    return 0;
}

int up_auth_end(up_auth_check *check, const uint8_t hash[UP_SIG_HASH_SIZE])
{
    if (!check->needs_hash)
        return check->result.status == UP_SIG_OK ? 0 : -1;
    check->needs_hash = false;
    check->result.status = hash == nullptr ? UP_SIG_IO : up_sig_verify(check->sig, check->key, hash);
    return log_verdict(check->result, check->sig);
}

int up_authenticate_package(int fd, uint32_t packlen, const char *key_dir, up_auth_result *result)
{
    up_auth_check check;
    int rc = up_auth_begin(fd, packlen, key_dir, &check);
    if (rc == 0 && check.needs_hash) {
        std::array<uint8_t, UP_SIG_HASH_SIZE> hash{};
        bool read = up_package_digest_pass(fd, packlen, nullptr, 0, hash.data()) == 0;
        rc = up_auth_end(&check, read ? hash.data() : nullptr);
    }
    *result = check.result;
    return rc;
}
