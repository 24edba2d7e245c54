// Time of the package signature check (the one pass over the package that
// imgrenew up makes: 128 KiB blocks into BLAKE2b-512 and a Poly1305 tag per
// block, then two Ed25519 checks) against the file CRC-32 over the same
// bytes through the same reader, on a package of N MiB (default 30) in a
// scratch file. Five runs each, interleaved: CRC, check, CRC, check, ...;
// the fastest of each is reported, in processor time of this process (read
// system calls included), so that other programs on a loaded machine do not
// count against either side.
//
// Usage: bench_signature [MIB]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "up_fd.h"
#include "up_package.h"
#include "up_package_auth.h"
#include "up_package_io.h"

namespace {

double cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

bool write_all(const std::string &path, const std::string &bytes)
{
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    return fd.ok() && write_full(fd.get(), bytes.data(), bytes.size()) == (ssize_t)bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    const long mib = argc > 1 ? atol(argv[1]) : 30;
    if (mib <= 0 || mib > 1024) {
        fprintf(stderr, "usage: bench_signature [MIB]\n");
        return 2;
    }
    char dir[] = "/tmp/bench_signature.XXXXXX";
    if (mkdtemp(dir) == nullptr || up_sig_init() != 0)
        return 1;
    const std::string base = dir;
    const uint32_t packlen = (uint32_t)(mib * 1024 * 1024);

    // A package header naming packlen, then pseudo-random bytes.
    std::string pkg(packlen, '\0');
    uint32_t x = 0x12345678;
    for (size_t i = 0; i < pkg.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        pkg[i] = (char)(x >> 24);
    }
    package_signature_t head{};
    head.packlen = (int32_t)packlen;
    encode_package_head(&head, reinterpret_cast<uint8_t *>(&pkg[0]));

    up_sig_public_key pub{};
    up_sig_secret_key sec{};
    up_sig_hasher h;
    std::array<uint8_t, UP_SIG_HASH_SIZE> hash{};
    up_sig_hash_start(&h);
    up_sig_hash_add(&h, reinterpret_cast<const uint8_t *>(pkg.data()), pkg.size());
    up_sig_hash_end(&h, hash.data());
    std::string text;
    if (up_sig_keygen(&pub, &sec) != 0 || up_sig_sign(sec, hash.data(), "bench", "bench package", &text) != 0)
        return 1;
    uint8_t trailer[UP_SIG_TRAILER_HEAD_SIZE];
    up_sig_make_trailer_head((uint32_t)text.size(), trailer);
    pkg.append(reinterpret_cast<const char *>(trailer), sizeof trailer);
    pkg += text;
    const std::string key_dir = base + "/keys";
    mkdir(key_dir.c_str(), 0700);
    if (!write_all(base + "/package.bin", pkg) || !write_all(key_dir + "/bench.pub", up_sig_public_key_text(pub, "bench")))
        return 1;
    pkg.clear();
    pkg.shrink_to_fit();

    unique_fd fd(open((base + "/package.bin").c_str(), O_RDONLY | O_CLOEXEC));
    // The hash the signature format prescribes, alone, the way the check
    // read the package before the digest pass: 8 KiB pieces into
    // BLAKE2b-512. No check over these bytes can cost less.
    auto hash_chunk = [](void *ctx, const uint8_t *data, size_t n) {
        up_sig_hash_add(static_cast<up_sig_hasher *>(ctx), data, n);
        return 0;
    };
    double crc_s = 1e9, sig_s = 1e9, hash_s = 1e9;
    bool ok = fd.ok();
    for (int round = 0; round < 5 && ok; ++round) {
        // The CRC pass as the container check made it before any digests.
        up_package_forget();
        double t0 = cpu_seconds();
        uint32_t crc = 0;
        ok = up_package_crc32(fd.get(), 0, packlen, &crc) == 0;
        crc_s = std::min(crc_s, cpu_seconds() - t0);
        t0 = cpu_seconds();
        up_auth_result r{};
        ok = ok && up_authenticate_package(fd.get(), packlen, key_dir.c_str(), &r) == 0 && r.status == UP_SIG_OK;
        sig_s = std::min(sig_s, cpu_seconds() - t0);
        up_package_forget();
        t0 = cpu_seconds();
        up_sig_hasher hh;
        up_sig_hash_start(&hh);
        ok = ok && up_package_stream(fd.get(), 0, packlen, hash_chunk, &hh) == 0;
        up_sig_hash_end(&hh, hash.data());
        hash_s = std::min(hash_s, cpu_seconds() - t0);
    }
    unlink((key_dir + "/bench.pub").c_str());
    rmdir(key_dir.c_str());
    unlink((base + "/package.bin").c_str());
    rmdir(dir);
    if (!ok) {
        fprintf(stderr, "bench_signature: the check failed\n");
        return 1;
    }
    printf("package %ld MiB: file CRC %.3f s (%.0f MB/s), signature check %.3f s (%.0f MB/s), ratio %.2f; "
           "BLAKE2b-512 alone %.3f s, ratio %.2f\n",
           mib, crc_s, packlen / crc_s / 1e6, sig_s, packlen / sig_s / 1e6, sig_s / crc_s, hash_s, hash_s / crc_s);
    return 0;
}
