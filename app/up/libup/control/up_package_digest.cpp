// Block digests of the package and the checked reads built on them.
#include "up_package_digest.h"

#include <cerrno>
#include <cstring>
#include <sodium.h>
#include <sys/stat.h>

#include "kq_assert.h"
#include "kq_log.h"
#include "up_api.h"
#include "up_package_io.h"

namespace {

using block_tag = std::array<uint8_t, UP_PACKAGE_TAG_SIZE>;

struct digest_table {
    bool active = false;
    dev_t st_dev = 0;
    ino_t st_ino = 0;
    uint64_t len = 0;                                    // bytes covered, from package offset 0
    std::array<uint8_t, crypto_kdf_KEYBYTES> key{};      // this run's secret
    std::array<block_tag, UP_PACKAGE_MAX_BLOCKS> tags{};
    std::array<up_crc_range, UP_PACKAGE_CRC_RANGES> crc_range{};
    std::array<uint32_t, UP_PACKAGE_CRC_RANGES> crc{};   // of each range, chained from 0xFFFFFFFF
    size_t crc_count = 0;
};

// The blocks the checked reads hand their bytes out of. Two: the pass leaves
// the package's first block (header, table, the first records) in one and
// its last in the other; afterwards the one used least recently is
// replaced, so a block shared by two records is read once.
struct cache_slot {
    bool valid = false;
    uint32_t index = 0;
    uint32_t size = 0;
    uint64_t used = 0;
    std::array<uint8_t, UP_PACKAGE_BLOCK> data;
};

digest_table s_table;
std::array<cache_slot, 2> s_cache;
uint64_t s_use_clock = 0;
uint64_t s_blocks_read = 0;

static_assert(crypto_onetimeauth_BYTES == UP_PACKAGE_TAG_SIZE, "a block tag is one Poly1305 tag");
static_assert(crypto_generichash_blake2b_BYTES_MAX == UP_PACKAGE_HASH_SIZE, "the hash is BLAKE2b-512");

// Poly1305 needs a key of its own for every message: block i's key is
// derived from the run's key and i.
void block_key(uint32_t index, uint8_t key[crypto_onetimeauth_KEYBYTES])
{
    static_assert(crypto_onetimeauth_KEYBYTES >= crypto_kdf_BYTES_MIN &&
                      crypto_onetimeauth_KEYBYTES <= crypto_kdf_BYTES_MAX,
                  "a one-time key can be derived");
    crypto_kdf_derive_from_key(key, crypto_onetimeauth_KEYBYTES, index, "pkgblock", s_table.key.data());
}

void block_tag_of(uint32_t index, const uint8_t *data, size_t n, block_tag *tag)
{
    uint8_t key[crypto_onetimeauth_KEYBYTES];
    block_key(index, key);
    crypto_onetimeauth(tag->data(), data, n, key);
    sodium_memzero(key, sizeof key);
}

bool block_tag_matches(uint32_t index, const uint8_t *data, size_t n)
{
    uint8_t key[crypto_onetimeauth_KEYBYTES];
    block_key(index, key);
    bool ok = crypto_onetimeauth_verify(s_table.tags[index].data(), data, n, key) == 0;
    sodium_memzero(key, sizeof key);
    return ok;
}

void cache_clear(void)
{
    for (cache_slot &c : s_cache)
        c.valid = false;
}

cache_slot *cache_find(uint32_t index)
{
    for (cache_slot &c : s_cache)
        if (c.valid && c.index == index)
            return &c;
    return nullptr;
}

cache_slot *cache_victim(void)
{
    cache_slot *v = &s_cache[0];
    for (cache_slot &c : s_cache)
        if (!c.valid || (v->valid && c.used < v->used))
            v = &c;
    return v;
}

uint32_t block_size(uint32_t index)
{
    uint64_t start = (uint64_t)index * UP_PACKAGE_BLOCK;
    uint64_t left = s_table.len - start;
    return left < UP_PACKAGE_BLOCK ? (uint32_t)left : UP_PACKAGE_BLOCK;
}

// Reads block index whole into slot (left invalid). 0, or -1 with errno.
int read_block(int fd, uint32_t index, cache_slot *slot)
{
    slot->valid = false;
    const uint32_t n = block_size(index);
    const uint64_t at = (uint64_t)index * UP_PACKAGE_BLOCK;
    ++s_blocks_read;
    if (up_package_pread_raw(fd, at, slot->data.data(), n) != (ssize_t)n)
        return -1;
    slot->index = index;
    slot->size = n;
    slot->used = ++s_use_clock;
    return 0;
}

// The verified block index, read and checked unless a slot holds it.
// nullptr with errno (EBADMSG for a block that differs from the one the
// pass read) when it cannot be had, logged.
const cache_slot *load_block(int fd, uint32_t index)
{
    if (cache_slot *c = cache_find(index)) {
        c->used = ++s_use_clock;
        return c;
    }
    cache_slot *slot = cache_victim();
    if (read_block(fd, index, slot) != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package block at offset 0x%llx cannot be read, errno %d\n\n",
               (unsigned long long)index * UP_PACKAGE_BLOCK, errno);
        return nullptr;
    }
    if (!block_tag_matches(index, slot->data.data(), slot->size)) {
        UP_LOG(KQ_LOG_ERROR,
               "[%s:%d]package block at offset 0x%llx changed after the package was verified: refused\n\n",
               (unsigned long long)index * UP_PACKAGE_BLOCK);
        errno = EBADMSG;
        return nullptr;
    }
    slot->valid = true;
    return slot;
}

// Adds the bytes of the block at start that lie in each CRC range to its CRC.
void add_to_ranges(uint64_t start, const uint8_t *data, uint32_t n)
{
    for (size_t i = 0; i < s_table.crc_count; ++i) {
        const up_crc_range &r = s_table.crc_range[i];
        const uint64_t from = r.off > start ? r.off : start;
        const uint64_t to = r.off + r.len < start + n ? r.off + r.len : start + n;
        if (from < to)
            s_table.crc[i] = Crc32_ComputeBuf(s_table.crc[i], data + (from - start), (uint32_t)(to - from));
    }
}

} // namespace

void up_package_digest_drop(void)
{
    sodium_memzero(s_table.key.data(), s_table.key.size());
    s_table.active = false;
    s_table.len = 0;
    s_table.crc_count = 0;
    cache_clear();
}

int up_package_digest_pass(int fd, uint64_t len, const up_crc_range *ranges, size_t n_ranges,
                           uint8_t hash[UP_PACKAGE_HASH_SIZE])
{
    up_package_digest_drop();
    s_blocks_read = 0;
    struct stat st {};
    const uint64_t blocks = (len + UP_PACKAGE_BLOCK - 1) / UP_PACKAGE_BLOCK;
    if (blocks > UP_PACKAGE_MAX_BLOCKS) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package of %llu bytes is larger than %lu blocks of 128 KiB\n\n",
               (unsigned long long)len, (unsigned long)UP_PACKAGE_MAX_BLOCKS);
        errno = EFBIG;
        return -1;
    }
    if (sodium_init() < 0 || fstat(fd, &st) != 0)
        return -1;
    s_table.st_dev = st.st_dev;
    s_table.st_ino = st.st_ino;
    s_table.len = len;
    crypto_kdf_keygen(s_table.key.data());
    for (size_t i = 0; i < n_ranges && s_table.crc_count < s_table.crc_range.size(); ++i) {
        if (ranges[i].off > len || ranges[i].len > len - ranges[i].off)
            continue;
        s_table.crc_range[s_table.crc_count] = ranges[i];
        s_table.crc[s_table.crc_count++] = 0xFFFFFFFFu;
    }

    crypto_generichash_blake2b_state whole;
    crypto_generichash_blake2b_init(&whole, nullptr, 0, UP_PACKAGE_HASH_SIZE);
    for (uint32_t i = 0; i < (uint32_t)blocks; ++i) {
        // Block 0 stays in the first slot: the header, the table and the
        // first records are read from it next.
        cache_slot *slot = &s_cache[i == 0 ? 0 : 1];
        if (read_block(fd, i, slot) != 0) {
            int e = errno;
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]package block at offset 0x%llx cannot be read, errno %d\n\n",
                   (unsigned long long)i * UP_PACKAGE_BLOCK, e);
            up_package_digest_drop();
            errno = e;
            return -1;
        }
        const uint8_t *data = slot->data.data();
        const uint32_t n = slot->size;
        crypto_generichash_blake2b_update(&whole, data, n);
        block_tag_of(i, data, n, &s_table.tags[i]);
        add_to_ranges((uint64_t)i * UP_PACKAGE_BLOCK, data, n);
        // The block was read for its tag just now: it is verified.
        slot->valid = true;
    }
    crypto_generichash_blake2b_final(&whole, hash, UP_PACKAGE_HASH_SIZE);
    s_table.active = true;
    return 0;
}

bool up_package_digest_applies(int fd)
{
    struct stat st {};
    return s_table.active && fstat(fd, &st) == 0 && st.st_dev == s_table.st_dev && st.st_ino == s_table.st_ino;
}

bool up_package_digest_covers(int fd, uint64_t off, uint64_t len)
{
    return up_package_digest_applies(fd) && off <= s_table.len && len <= s_table.len - off;
}

ssize_t up_package_digest_read(int fd, uint64_t off, void *buf, size_t n)
{
    if (off > s_table.len || n > s_table.len - off) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]package read of %lu bytes at %llu reaches past the %llu verified bytes\n\n",
               (unsigned long)n, (unsigned long long)off, (unsigned long long)s_table.len);
        errno = ERANGE;
        return -1;
    }
    size_t got = 0;
    while (got < n) {
        const uint64_t at = off + got;
        const uint32_t index = (uint32_t)(at / UP_PACKAGE_BLOCK);
        const cache_slot *c = load_block(fd, index);
        if (c == nullptr)
            return -1;
        const uint32_t in = (uint32_t)(at % UP_PACKAGE_BLOCK);
        if (!UP_ASSERT(in < c->size, "a checked read starts inside its block")) {
            errno = EIO;
            return -1;
        }
        size_t take = c->size - in;
        if (take > n - got)
            take = n - got;
        memcpy(static_cast<uint8_t *>(buf) + got, c->data.data() + in, take);
        got += take;
    }
    return (ssize_t)n;
}

int up_package_digest_crc32(int fd, uint64_t off, uint64_t len, uint32_t *crc)
{
    if (off > s_table.len || len > s_table.len - off) {
        errno = ERANGE;
        return -1;
    }
    // A range the pass was told of, from the start value it used.
    for (size_t i = 0; i < s_table.crc_count && *crc == 0xFFFFFFFFu; ++i) {
        if (s_table.crc_range[i].off == off && s_table.crc_range[i].len == len) {
            *crc = s_table.crc[i];
            return 0;
        }
    }
    uint32_t value = *crc;
    for (uint64_t done = 0; done < len;) {
        const uint64_t at = off + done;
        const cache_slot *c = load_block(fd, (uint32_t)(at / UP_PACKAGE_BLOCK));
        if (c == nullptr)
            return -1;
        const uint32_t in = (uint32_t)(at % UP_PACKAGE_BLOCK);
        uint64_t take = c->size - in;
        if (take > len - done)
            take = len - done;
        value = Crc32_ComputeBuf(value, c->data.data() + in, (uint32_t)take);
        done += take;
    }
    *crc = value;
    return 0;
}

uint64_t up_package_digest_blocks_read(void)
{
    return s_blocks_read;
}
