// imgpack sign with secret keys the minisign tool made (without and with a
// password), checked by `minisign -V`; and the state block at 0x4200000 of
// the package partition, which a package and its trailer must not reach.
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "imgpack.h"
#include "imgpack_test_util.h"
#include "up_api.h"
#include "run_captured.h"
#include "up_package.h"

namespace {

const std::string imgpack = std::string(UP_BIN_DIR) + "/imgpack";

// Runs args (args[0] a path) with standard input from the file in_path and
// standard output and error into out_path; the exit status, or -1.
int run_with_input(const std::vector<std::string> &args, const std::string &in_path, const std::string &out_path)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string text_of(const std::string &path)
{
    auto bytes = get_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// A small package: header and 100 bytes, packlen 128.
void put_small_package(const std::string &path)
{
    std::vector<uint8_t> pkg = pattern(128, 9);
    package_signature_t h{0x4B515550, 0, 2, 0, 0, 128, 0};
    encode_package_head(&h, pkg.data());
    put_file(path, pkg);
}

// The package's signature, cut out of its trailer, checked by minisign -V
// against the package's packlen bytes. The tool's output.
std::string minisign_verifies(const scratch_dir &d, const std::string &signed_pkg, const std::string &pub)
{
    std::string text = text_of(signed_pkg);
    EXPECT_EQ(text.compare(128, 8, "IMGSIG01"), 0);
    put_text(d / "body.bin", text.substr(0, 128));
    put_text(d / "body.bin.minisig", text.substr(128 + 12));
    put_text(d / "empty", "");
    int rc = run_with_input({"minisign", "-V", "-p", pub, "-m", d / "body.bin"}, d / "empty", d / "verify.out");
    EXPECT_EQ(rc, 0) << text_of(d / "verify.out");
    return text_of(d / "verify.out");
}

} // namespace

TEST(ImgpackKeys, AKeyOfMinisignWithoutAPasswordSigns)
{
    scratch_dir d;
    put_text(d / "empty", "");
    ASSERT_EQ(run_with_input({"minisign", "-G", "-W", "-p", d / "tool.pub", "-s", d / "tool.sec"}, d / "empty",
                             d / "gen.out"),
              0)
        << text_of(d / "gen.out");
    put_small_package(d / "pkg.bin");
    int rc = run_with_input({imgpack, "sign", d / "pkg.bin", "--key", d / "tool.sec", "--comment", "unencrypted"},
                            d / "empty", d / "sign.out");
    EXPECT_EQ(rc, 0) << text_of(d / "sign.out");
    std::string out = minisign_verifies(d, d / "pkg.bin", d / "tool.pub");
    EXPECT_NE(out.find("Trusted comment: unencrypted\n"), std::string::npos) << out;

    // A damaged secret key (one byte of its seed) is refused, even though
    // the tool's unencrypted key carries no checksum.
    std::string key = text_of(d / "tool.sec");
    size_t line = key.find('\n') + 1;
    // Base64 character 90 lies in byte 67, inside the seed (bytes 62 to 93).
    key[line + 90] = key[line + 90] == 'A' ? 'B' : 'A';
    put_text(d / "damaged.sec", key);
    put_small_package(d / "pkg2.bin");
    rc = run_with_input({imgpack, "sign", d / "pkg2.bin", "--key", d / "damaged.sec"}, d / "empty", d / "bad.out");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(text_of(d / "bad.out"), "imgpack: " + d / "damaged.sec" +
                                          ": the secret key is damaged: its public half is not the one its seed "
                                          "makes\n");
    EXPECT_EQ(get_file(d / "pkg2.bin").size(), 128u) << "nothing appended";
}

TEST(ImgpackKeys, AKeyOfMinisignWithAPasswordSignsWithThatPasswordOnly)
{
    scratch_dir d;
    put_text(d / "twice", "correct horse\ncorrect horse\n");
    ASSERT_EQ(run_with_input({"minisign", "-G", "-p", d / "tool.pub", "-s", d / "tool.sec"}, d / "twice",
                             d / "gen.out"),
              0)
        << text_of(d / "gen.out");
    ASSERT_NE(text_of(d / "tool.sec").find("\nRWRTY0Iy"), std::string::npos) << "not an encrypted (Sc) key";

    put_small_package(d / "pkg.bin");
    put_text(d / "wrong", "battery staple\n");
    int rc = run_with_input({imgpack, "sign", d / "pkg.bin", "--key", d / "tool.sec"}, d / "wrong", d / "bad.out");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(text_of(d / "bad.out"), "imgpack: " + d / "tool.sec" + ": wrong password for the secret key\n");
    EXPECT_EQ(get_file(d / "pkg.bin").size(), 128u) << "nothing appended";

    put_text(d / "right", "correct horse\n");
    rc = run_with_input({imgpack, "sign", d / "pkg.bin", "--key", d / "tool.sec", "--comment", "with a password"},
                        d / "right", d / "sign.out");
    EXPECT_EQ(rc, 0) << text_of(d / "sign.out");
    std::string out = minisign_verifies(d, d / "pkg.bin", d / "tool.pub");
    EXPECT_NE(out.find("Trusted comment: with a password\n"), std::string::npos) << out;
}

// The state block starts at 69206016 (0x4200000) bytes. The package
// partition is the package, then its trailer (12 bytes of head and the
// signature text), then erased flash up to the state block.
TEST(ImgpackStateBlock, SignAndAttachRefuseATrailerThatReachesIt)
{
    scratch_dir d;
    ASSERT_EQ(run_captured({imgpack, "keygen", d / "k.pub", d / "k.sec"}).status, 0);
    struct {
        uint32_t packlen;
        int rc;
    } cases[] = {
        {69206016 - 4096, 0},       // the trailer fits before the block
        {69206016 - 100, 1},        // the trailer would run into the block
        {69206016, 1},              // the package alone ends at the block
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.packlen);
        std::vector<uint8_t> pkg(c.packlen, 0x5A);
        package_signature_t h{0x4B515550, 0, 2, 0, 0, (int32_t)c.packlen, 0};
        encode_package_head(&h, pkg.data());
        put_file(d / "big.bin", pkg);
        captured_run r = run_captured({imgpack, "sign", d / "big.bin", "--key", d / "k.sec", "--comment", "c"});
        EXPECT_EQ(r.status, c.rc) << r.err;
        if (c.rc == 0) {
            EXPECT_GT(get_file(d / "big.bin").size(), (size_t)c.packlen);
            continue;
        }
        EXPECT_EQ(get_file(d / "big.bin").size(), (size_t)c.packlen) << "the file was changed";
        EXPECT_NE(r.err.find("imgpack: " + d / "big.bin" + ": the package and its signature trailer would end at "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(" bytes, past the state block at 0x4200000 of the package partition\n"),
                  std::string::npos)
            << r.err;
    }
    // packlen 69206016: the end named is the package's and the trailer's head.
    captured_run r = run_captured({imgpack, "sign", d / "big.bin", "--key", d / "k.sec"});
    EXPECT_EQ(r.err, "imgpack: " + d / "big.bin" +
                         ": the package and its signature trailer would end at 69206028 bytes, past the state "
                         "block at 0x4200000 of the package partition\n");

    // attach: a signature made by the minisign tool, 100 bytes before the block.
    std::vector<uint8_t> pkg(69206016 - 100, 0x5A);
    package_signature_t h{0x4B515550, 0, 2, 0, 0, 69206016 - 100, 0};
    encode_package_head(&h, pkg.data());
    put_file(d / "near.bin", pkg);
    put_text(d / "empty", "");
    ASSERT_EQ(run_with_input({"minisign", "-S", "-s", d / "k.sec", "-m", d / "near.bin"}, d / "empty", d / "s.out"),
              0)
        << text_of(d / "s.out");
    r = run_captured({imgpack, "attach", d / "near.bin", d / "near.bin.minisig"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": the package and its signature trailer would end at "), std::string::npos) << r.err;
    EXPECT_EQ(get_file(d / "near.bin").size(), (size_t)(69206016 - 100)) << "the file was changed";
}

TEST(ImgpackStateBlock, InspectWarnsAboutAPackageThatReachesIt)
{
    // A version record and a kernel record, the kernel ending 1 byte past
    // the block; then the same package 1 byte shorter, ending at the block.
    for (uint32_t size : {69206017u, 69206016u}) {
        SCOPED_TRACE(size);
        const uint32_t t2 = 28 + 84 * 2;
        std::vector<uint8_t> pkg(size, 0x11);
        package_signature_t h{1, 2, 3, 2, 0, (int32_t)size, 0};
        package_record_t v{t2, 10, 0, PACKAGE_VERSION, 0, {}};
        memcpy(v.record_name, "version_info.txt", 17);
        package_record_t k{t2 + 10, size - t2 - 10, 0, 5, 0, {}};    // type 5: skipped, no partition limit
        memcpy(k.record_name, "big", 4);
        encode_package_record(&v, pkg.data() + 28);
        encode_package_record(&k, pkg.data() + 28 + 84);
        h.wholecrc = Crc32_ComputeBuf(0, pkg.data() + 28, size - 28);
        encode_package_head(&h, pkg.data());
        int rc = -5;
        std::string text = captured_output([&](FILE *f) { return imgpack_inspect_bytes(pkg, f); }, &rc);
        if (size == 69206017u) {
            EXPECT_EQ(rc, 3) << text;
            EXPECT_NE(text.find("\nwarning: the package ends at 69206017 bytes, past the state block at 0x4200000 "
                                "of the package partition: loaded there, its end is erased by the first state "
                                "write\n"),
                      std::string::npos)
                << text;
            EXPECT_EQ(text.substr(text.size() - 16), "result: warning\n");
        } else {
            EXPECT_EQ(rc, 0) << text;
            EXPECT_EQ(text.find("state block"), std::string::npos) << text;
        }
    }
}
