// The signature formats against files the minisign tool wrote: its public
// key, a prehashed signature of the bytes "the package bytes" with the
// trusted comment "trusted text", and a legacy signature of the same bytes.
#include <gtest/gtest.h>
#include <cstring>
#include <string>

#include "up_pkg_sig.h"

namespace {

const std::string k_public_key =
    "untrusted comment: minisign public key C102A888A9EA1B1B\n"
    "RWQbG+qpiKgCwYcc65HFZxyYhEkoFASiYPYB950xueeLz6HSRJjK8LHE\n";

const std::string k_sig_line = "RUQbG+qpiKgCwVJ371Tk24OS7Daz9xdZQIDIxAEOBLwWG9ygQTgu8yxanEDsV1uC45BhhXI+EVZIYeAGU7LiS9xf7w+NmKzbIQ4=";
const std::string k_global_line = "ghlTPpxfrQ+kxkZ6SdYNSwSOLjbKTo/zVUFgNNui1eM1tMzQ80evyRfjjO+ErDpjwryLju+OJIakZ/a9nWbTDw==";

std::string signature(const std::string &sig_line = k_sig_line, const std::string &comment = "trusted text",
                      const std::string &global_line = k_global_line)
{
    return "untrusted comment: signature from minisign secret key\n" + sig_line + "\ntrusted comment: " + comment +
           "\n" + global_line + "\n";
}

const std::string k_legacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWQbG+qpiKgCwXfHsqv0W8wahqBQdXKbWS7X/WVObLmfNyKOVZAOSDu0ytQEL4fefyeMMAxtmBVLGSmLWWxzpGpuR3Ku1z1QgwA=\n"
    "trusted comment: legacy\n"
    "QCvpvBUwNonjrUDrnTuvZX2I7rDxHMH51zEqe8ve8MnaJAeDnfzR+ukAHYACYGCmz9MloxtaeQIu98tOtaWjDg==\n";

std::array<uint8_t, UP_SIG_HASH_SIZE> hash_of(const std::string &bytes)
{
    std::array<uint8_t, UP_SIG_HASH_SIZE> hash{};
    up_sig_hasher h;
    up_sig_hash_start(&h);
    // In two pieces: the hash is streamed.
    up_sig_hash_add(&h, reinterpret_cast<const uint8_t *>(bytes.data()), 5);
    up_sig_hash_add(&h, reinterpret_cast<const uint8_t *>(bytes.data()) + 5, bytes.size() - 5);
    up_sig_hash_end(&h, hash.data());
    return hash;
}

} // namespace

TEST(PackageSignature, AMinisignSignatureVerifiesAndAnyChangeIsCaught)
{
    ASSERT_EQ(up_sig_init(), 0);
    up_sig_public_key key{};
    ASSERT_EQ(up_sig_parse_public_key(k_public_key, &key), 0);
    EXPECT_EQ(up_sig_key_id_text(key.key_id), "C102A888A9EA1B1B");
    up_sig_file sig{};
    ASSERT_EQ(up_sig_parse(signature(), &sig), UP_SIG_OK);
    EXPECT_EQ(sig.line.key_id, key.key_id);
    EXPECT_EQ(std::string(sig.trusted_comment.data()), "trusted text");

    EXPECT_EQ(up_sig_verify(sig, key, hash_of("the package bytes").data()), UP_SIG_OK);
    EXPECT_EQ(up_sig_verify(sig, key, hash_of("the package byteS").data()), UP_SIG_BAD_SIGNATURE);
    up_sig_file changed{};
    ASSERT_EQ(up_sig_parse(signature(k_sig_line, "trusted texT"), &changed), UP_SIG_OK);
    EXPECT_EQ(up_sig_verify(changed, key, hash_of("the package bytes").data()), UP_SIG_BAD_GLOBAL);
    // CR LF line ends read the same.
    std::string crlf;
    for (char c : signature())
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_EQ(up_sig_parse(crlf, &changed), UP_SIG_OK);
    EXPECT_EQ(up_sig_verify(changed, key, hash_of("the package bytes").data()), UP_SIG_OK);
}

TEST(PackageSignature, LegacyAndMalformedFilesAreToldApart)
{
    up_sig_file sig{};
    EXPECT_EQ(up_sig_parse(k_legacy, &sig), UP_SIG_LEGACY);
    struct {
        const char *what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"no untrusted comment", signature().substr(signature().find('\n') + 1)},
        {"signature line one character short", signature(k_sig_line.substr(1))},
        {"not base64", signature(std::string(k_sig_line.size() - 1, '*') + "=")},
        {"no trusted comment", signature().substr(0, signature().find("trusted comment: t"))},
        {"trusted comment of 1025 bytes", signature(k_sig_line, std::string(1025, 'c'))},
        {"global signature cut", signature(k_sig_line, "trusted text", k_global_line.substr(0, 40))},
        {"a fifth line", signature() + "more\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(up_sig_parse(c.text, &sig), UP_SIG_MALFORMED) << c.what;
    up_sig_public_key key{};
    EXPECT_EQ(up_sig_parse_public_key(k_public_key.substr(0, k_public_key.size() - 5) + "\n", &key), -1);
    EXPECT_EQ(up_sig_parse_public_key(signature(), &key), -1) << "a signature is no key";
}

TEST(PackageSignature, TrailerHeadIsMagicAndLittleEndianLength)
{
    uint8_t head[UP_SIG_TRAILER_HEAD_SIZE];
    up_sig_make_trailer_head(0x0312, head);
    const uint8_t want[UP_SIG_TRAILER_HEAD_SIZE] = {'I', 'M', 'G', 'S', 'I', 'G', '0', '1', 0x12, 0x03, 0, 0};
    EXPECT_EQ(memcmp(head, want, sizeof want), 0);
    uint32_t len = 0;
    EXPECT_EQ(up_sig_trailer_head(head, &len), UP_SIG_OK);
    EXPECT_EQ(len, 0x312u);
    up_sig_make_trailer_head(2049, head);
    EXPECT_EQ(up_sig_trailer_head(head, &len), UP_SIG_MALFORMED) << "longer than any signature file";
    up_sig_make_trailer_head(0, head);
    EXPECT_EQ(up_sig_trailer_head(head, &len), UP_SIG_MALFORMED);
    head[0] = 'i';
    EXPECT_EQ(up_sig_trailer_head(head, &len), UP_SIG_MISSING);
}

TEST(PackageSignature, OwnSignaturesVerifyAndRefuseMultiLineComments)
{
    ASSERT_EQ(up_sig_init(), 0);
    up_sig_public_key pub{};
    up_sig_secret_key sec{};
    ASSERT_EQ(up_sig_keygen(&pub, &sec), 0);
    auto hash = hash_of("the package bytes");
    std::string text;
    ASSERT_EQ(up_sig_sign(sec, hash.data(), "from a test", "release 3", &text), 0);
    up_sig_file sig{};
    ASSERT_EQ(up_sig_parse(text, &sig), UP_SIG_OK);
    EXPECT_EQ(sig.line.alg[1], 'D') << "prehashed";
    EXPECT_EQ(up_sig_verify(sig, pub, hash.data()), UP_SIG_OK);
    up_sig_public_key parsed{};
    ASSERT_EQ(up_sig_parse_public_key(up_sig_public_key_text(pub, "k"), &parsed), 0);
    EXPECT_EQ(parsed.key, pub.key);
    EXPECT_EQ(up_sig_sign(sec, hash.data(), "x", "two\nlines", &text), -1);
    EXPECT_EQ(up_sig_sign(sec, hash.data(), "x", std::string(1025, 'c'), &text), -1);
}
