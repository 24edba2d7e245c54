// Signed packages in the simulated router: a router that holds a public key
// installs a package signed by one of its keys and refuses every other one
// before a partition or the modem is touched; a router without a key
// installs as it always did.
#include "modem_fixture.h"

using namespace sysmodem;
using simharness::run_options;

namespace {

// Partitions imgrenew may write: bootloader to second file system.
constexpr int k_first_mtd = 0;
constexpr int k_last_mtd = 5;
const uint64_t k_mtd_size[] = {0x80000, 0x20000, 0x300000, 0x2000000, 0x1000000, 0x1000000};

int run_tool(const std::vector<std::string> &argv, std::string *out = nullptr)
{
    return simharness::run_program(argv, {}, out);
}

std::string imgpack()
{
    return simharness::bin_path("imgpack");
}

// A key pair made by imgpack keygen in dir: <name>.pub and <name>.sec.
struct key_pair {
    std::string pub, sec;
    key_pair(const sysrouter::package_dir &dir, const std::string &name)
        : pub(dir / (name + ".pub")), sec(dir / (name + ".sec"))
    {
        EXPECT_EQ(run_tool({imgpack(), "keygen", pub, sec}), 0);
    }
};

std::string copy_of(const std::string &path, const std::string &suffix)
{
    std::string out = path + suffix;
    std::string text = simharness::read_file(path);
    simharness::write_file(out, bytes(text.begin(), text.end()));
    return out;
}

void flip_byte(const std::string &path, size_t offset)
{
    std::string text = simharness::read_file(path);
    ASSERT_LT(offset, text.size());
    text[offset] = (char)(text[offset] ^ 0x01);
    simharness::write_file(path, bytes(text.begin(), text.end()));
}

uint32_t le32_at(const std::string &path, size_t offset)
{
    std::string text = simharness::read_file(path);
    const auto *p = reinterpret_cast<const uint8_t *>(text.data() + offset);
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

struct flash_copy {
    std::vector<bytes> mtd;
    explicit flash_copy(const sim_router &r)
    {
        for (int i = k_first_mtd; i <= k_last_mtd; ++i)
            mtd.push_back(r.flash(i, 0, (size_t)k_mtd_size[i]));
    }
};

::testing::AssertionResult partitions_unchanged(const sim_router &r, const flash_copy &before)
{
    for (int i = k_first_mtd; i <= k_last_mtd; ++i)
        if (r.flash(i, 0, (size_t)k_mtd_size[i]) != before.mtd[(size_t)i])
            return ::testing::AssertionFailure() << "mtd" << i << " changed";
    return ::testing::AssertionSuccess();
}

// The modem package of the modem scenarios, signed with key by imgpack.
struct signed_package {
    modem_package pkg;
    key_pair key{pkg.dir, "release"};
    key_pair other{pkg.dir, "other"};
    std::string unsigned_path = copy_of(pkg.path, ".unsigned");
    signed_package()
    {
        EXPECT_EQ(run_tool({imgpack(), "sign", pkg.path, "--key", key.sec, "--comment", "release 2.0 build 7"}), 0);
    }
    uint32_t packlen() const { return le32_at(pkg.path, 20); }
    uint32_t record_offset(size_t i) const { return le32_at(pkg.path, sysrouter::record_field(i, 0)); }
};

std::string failure_line(const std::string &what)
{
    return "package signature check failed: " + what;
}

} // namespace

TEST(SignedPackage, ASignedPackageInstallsAndItsTrustedCommentIsLogged)
{
    signed_package s;
    sim_router r({"--key", s.key.pub});
    ASSERT_TRUE(r.ok());
    ASSERT_TRUE(load_for_upgrade(r, s.pkg));
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(s.pkg)), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_TRUE(r.syslog_contains("package signature verified, key id "));
    EXPECT_TRUE(r.syslog_contains("trusted comment: release 2.0 build 7"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, s.pkg.kernel));
    EXPECT_TRUE(s.pkg.flash_holds("dsp2"));
    sysrouter::expect_successful_bus(r.bus());

    // The report's summary shows the verdict.
    std::string page = s.pkg.dir / "report.html";
    ASSERT_EQ(run_tool({simharness::bin_path("routersim"), "report", r.state(), "-o", page}), 0);
    EXPECT_NE(simharness::read_file(page).find("<th>package signature</th><td>package signature verified, key id "),
              std::string::npos);
}

// Each package is refused with its log line before anything is written
// and before the modem is touched; the failure recovery follows.
struct refusal {
    const char *name;
    void (*make)(const signed_package &s, std::string *path);
    const char *line;
};

const refusal k_refusals[] = {
    {"Unsigned", [](const signed_package &s, std::string *p) { *p = s.unsigned_path; }, "no signature"},
    {"HeaderByte", [](const signed_package &s, std::string *p) { flip_byte(*p = s.pkg.path, 8); },
     "wrong signature"},
    {"TableByte", [](const signed_package &s, std::string *p) {
         flip_byte(*p = s.pkg.path, sysrouter::record_field(1, 20));
     }, "wrong signature"},
    {"KernelDataByte", [](const signed_package &s, std::string *p) {
         flip_byte(*p = s.pkg.path, s.record_offset(1) + 1000);
     }, "wrong signature"},
    {"ModemContainerByte", [](const signed_package &s, std::string *p) {
         flip_byte(*p = s.pkg.path, s.record_offset(3) + 40);
     }, "wrong signature"},
    {"TrustedCommentByte", [](const signed_package &s, std::string *p) {
         std::string text = simharness::read_file(s.pkg.path);
         flip_byte(*p = s.pkg.path, text.find("release 2.0 build 7"));
     }, "wrong trusted comment signature"},
    {"SignatureLineByte", [](const signed_package &s, std::string *p) {
         // The 60th character of the base64 line lies in the signature bytes.
         std::string text = simharness::read_file(s.pkg.path);
         size_t line = text.find('\n', s.packlen()) + 1;
         std::string &t = text;
         t[line + 60] = t[line + 60] == 'A' ? 'B' : 'A';
         simharness::write_file(*p = s.pkg.path, bytes(t.begin(), t.end()));
     }, "wrong signature"},
    {"OtherKey", [](const signed_package &s, std::string *p) {
         *p = copy_of(s.unsigned_path, ".other");
         EXPECT_EQ(run_tool({imgpack(), "sign", *p, "--key", s.other.sec}), 0);
     }, "unknown key id"},
    {"TruncatedTrailer", [](const signed_package &s, std::string *p) {
         std::string text = simharness::read_file(s.pkg.path);
         text.resize(text.size() - 30);
         simharness::write_file(*p = s.pkg.path, bytes(text.begin(), text.end()));
     }, "truncated signature"},
    {"MagicOnly", [](const signed_package &s, std::string *p) {
         std::string text = simharness::read_file(s.pkg.path);
         text.resize(s.packlen() + 8);
         simharness::write_file(*p = s.pkg.path, bytes(text.begin(), text.end()));
     }, "truncated signature"},
    {"GarbledTrailer", [](const signed_package &s, std::string *p) {
         std::string text = simharness::read_file(s.pkg.path);
         text[s.packlen() + 12] = 'X';    // "untrusted comment:" no more
         simharness::write_file(*p = s.pkg.path, bytes(text.begin(), text.end()));
     }, "malformed signature"},
    {"LegacySignature", [](const signed_package &s, std::string *p) {
         // minisign -l signs the bytes themselves rather than their hash.
         *p = copy_of(s.unsigned_path, ".legacy");
         EXPECT_EQ(run_tool({"minisign", "-S", "-l", "-s", s.key.sec, "-m", *p, "-x", *p + ".minisig"}), 0);
         EXPECT_EQ(run_tool({imgpack(), "attach", *p, *p + ".minisig"}), 1) << "imgpack attaches no legacy signature";
         // Appended by hand, as a careless signer might.
         std::string sig = simharness::read_file(*p + ".minisig");
         std::string text = simharness::read_file(*p);
         uint32_t n = (uint32_t)sig.size();
         text += std::string("IMGSIG01") + (char)(n & 0xFF) + (char)(n >> 8) + '\0' + '\0' + sig;
         simharness::write_file(*p, bytes(text.begin(), text.end()));
     }, "legacy signature"},
};

void PrintTo(const refusal &r, std::ostream *os)
{
    *os << r.name;
}

class Refused : public ::testing::TestWithParam<refusal> {};

TEST_P(Refused, BeforeAnyPartitionOrTheModemIsTouched)
{
    signed_package s;
    std::string path;
    GetParam().make(s, &path);
    sim_router r({"--key", s.key.pub});
    ASSERT_TRUE(r.ok());
    flash_copy before(r);
    ASSERT_EQ(r.load_package(path), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", "0"}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(s.pkg)), 0);

    EXPECT_EQ(r.status(), "0") << r.out("stderr");
    EXPECT_EQ(syslog_count(r, failure_line(GetParam().line)), 1u) << r.out("syslog.log");
    EXPECT_TRUE(r.syslog_contains("update system failed and will to reboot"));
    EXPECT_FALSE(r.syslog_contains("package signature verified"));
    EXPECT_TRUE(partitions_unchanged(r, before));
    EXPECT_TRUE(nothing_flashed(s.pkg));
    EXPECT_EQ(s.pkg.modem_log_count("power off"), 0u) << "the modem was power-cycled";
    sysrouter::expect_failed_bus(r.bus());
}

INSTANTIATE_TEST_SUITE_P(Packages, Refused, ::testing::ValuesIn(k_refusals),
                         [](const ::testing::TestParamInfo<refusal> &i) { return std::string(i.param.name); });

TEST(SignedPackage, FileModeChecksTheSignatureToo)
{
    signed_package s;
    sim_router good({"--key", s.key.pub});
    ASSERT_TRUE(good.ok());
    run_options o = with_modem(s.pkg);
    o.file_mode_package = s.pkg.path;
    ASSERT_EQ(good.run({"imgrenew", "up"}, o), 0);
    EXPECT_TRUE(good.syslog_contains("trusted comment: release 2.0 build 7"));
    EXPECT_TRUE(sysrouter::partition_holds(good, 2, s.pkg.kernel));

    sim_router bad({"--key", s.key.pub});
    ASSERT_TRUE(bad.ok());
    flash_copy before(bad);
    flip_byte(s.pkg.path, s.record_offset(1) + 5);
    ASSERT_EQ(bad.run({"imgrenew", "up"}, o), 0);
    EXPECT_EQ(syslog_count(bad, failure_line("wrong signature")), 1u);
    EXPECT_TRUE(partitions_unchanged(bad, before));
    EXPECT_EQ(s.pkg.modem_log_count("power off"), 1u) << "the refused run power-cycled the modem";
}

TEST(SignedPackage, EitherOfTwoKeysSigns)
{
    signed_package s;
    std::string by_other = copy_of(s.unsigned_path, ".other");
    ASSERT_EQ(run_tool({imgpack(), "sign", by_other, "--key", s.other.sec, "--comment", "other signer"}), 0);
    for (const std::string &path : {s.pkg.path, by_other}) {
        SCOPED_TRACE(path);
        sim_router r({"--key", s.key.pub, "--key", s.other.pub});
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.load_package(path), 0);
        ASSERT_EQ(r.run({"imgrenew", "set", "0"}), 0);
        ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(s.pkg)), 0);
        EXPECT_TRUE(r.syslog_contains("package signature verified, key id "));
        EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
        EXPECT_TRUE(sysrouter::partition_holds(r, 2, s.pkg.kernel));
    }
    EXPECT_EQ(s.pkg.modem_log_count("power off"), 2u) << "one modem step per run";
}

TEST(SignedPackage, WithoutAKeyAnUnsignedPackageInstallsAsBefore)
{
    signed_package s;
    sim_router r;
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(s.unsigned_path), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", "0"}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(s.pkg)), 0);
    EXPECT_EQ(r.status(), "0");
    EXPECT_EQ(syslog_count(r, "package not authenticated: no public key in /etc/imgrenew/keys"), 1u);
    EXPECT_FALSE(r.syslog_contains("package signature"));
    EXPECT_TRUE(r.syslog_contains("update system success and will to reboot"));
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, s.pkg.kernel));
    EXPECT_TRUE(s.pkg.flash_holds("dsp2"));
    sysrouter::expect_successful_bus(r.bus());
}

TEST(SignedPackage, TheMinisignToolAndImgpackUnderstandEachOther)
{
    signed_package s;
    // A package signed by minisign and attached by imgpack installs.
    std::string by_tool = copy_of(s.unsigned_path, ".tool");
    ASSERT_EQ(run_tool({"minisign", "-S", "-s", s.key.sec, "-m", by_tool, "-t", "signed by the tool"}), 0);
    ASSERT_EQ(run_tool({imgpack(), "attach", by_tool, by_tool + ".minisig"}), 0);
    sim_router r({"--key", s.key.pub});
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r.load_package(by_tool), 0);
    ASSERT_EQ(r.run({"imgrenew", "set", "0"}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, with_modem(s.pkg)), 0);
    EXPECT_TRUE(r.syslog_contains("trusted comment: signed by the tool"));
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, s.pkg.kernel));

    // imgpack's signature, cut out of the trailer, passes minisign -V.
    std::string text = simharness::read_file(s.pkg.path);
    const size_t packlen = s.packlen();
    std::string body = s.pkg.dir / "body.bin";
    simharness::write_file(body, bytes(text.begin(), text.begin() + (long)packlen));
    simharness::write_file(body + ".minisig", bytes(text.begin() + (long)packlen + 12, text.end()));
    std::string out;
    EXPECT_EQ(run_tool({"minisign", "-V", "-p", s.key.pub, "-m", body}, &out), 0) << out;
    EXPECT_NE(out.find("Trusted comment: release 2.0 build 7"), std::string::npos) << out;
}
