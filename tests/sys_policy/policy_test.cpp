// The router's upgrade policy /etc/imgrenew/policy (routersim init
// --policy): downgrade=refuse refuses a package older than the last one
// installed unless its header allows the downgrade; signature=required
// refuses every package on a router without a readable key. Without the
// file the router installs as before.
#include <memory>

#include "policy_fixture.h"

using namespace syspolicy;

namespace {

// A router with the policy text installed (none when text is null).
struct policy_router {
    sysrouter::package_dir dir;
    std::unique_ptr<sim_router> r;
    explicit policy_router(const char *text, std::vector<std::string> init = {"--mtd", "6=4M"})
    {
        if (text != nullptr) {
            dir.put("policy", text);
            init.insert(init.end(), {"--policy", dir.path + "/policy"});
        }
        r = std::make_unique<sim_router>(init);
    }
};

const char *k_recorded = "version/package_version";

} // namespace

TEST(Policy, DowngradeIsRefusedUnlessThePackageAllowsIt)
{
    policy_router p("downgrade=refuse\n");
    sim_router &r = *p.r;
    ASSERT_TRUE(r.ok());
    small_package v5(5, 0, 1), v4(4, 0, 2), v4_allowed(4, 1, 3);

    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v5.path)), 0);
    EXPECT_EQ(syslog_count(r, "policy /etc/imgrenew/policy: downgrade=refuse signature=optional"), 1u);
    EXPECT_EQ(syslog_count(r, "no installed package version recorded in /2ndfile/version/package_version: nothing "
                              "to compare version 5 with"),
              1u);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v5.kernel));
    EXPECT_EQ(r.second_fs_file(k_recorded), "5\n");

    // Version 4 after 5, downgrade_enabled 0: refused before anything is erased.
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v4.path)), 0);
    EXPECT_EQ(syslog_count(r, "package refused by policy: downgrade=refuse, package version 4, installed version "
                              "5, downgrade_enabled 0"),
              1u)
        << r.out("syslog.log");
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v5.kernel)) << "the kernel partition was written";
    EXPECT_EQ(r.out("tools.log"), "") << "a flash tool ran";
    sysrouter::expect_failed_bus(r.bus());
    EXPECT_EQ(r.second_fs_file(k_recorded), "5\n");
    EXPECT_EQ(r.second_fs_file("version/version_info.txt").find("zImage-4"), std::string::npos);

    // The same version with downgrade_enabled 1 installs, and is recorded.
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v4_allowed.path)), 0);
    EXPECT_EQ(syslog_count(r, "package version 4, installed version 5: downgrade allowed by the package's "
                              "downgrade_enabled 1"),
              1u);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v4_allowed.kernel));
    sysrouter::expect_successful_bus(r.bus());
    EXPECT_EQ(r.second_fs_file(k_recorded), "4\n");

    // The installed version again is no downgrade.
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v4.path)), 0);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v4.kernel));
    EXPECT_EQ(syslog_count(r, "package refused by policy"), 0u);
}

TEST(Policy, ARecordThatIsNotAVersionRefusesUnlessThePackageAllowsIt)
{
    policy_router p("# the release line's policy\ndowngrade=refuse\n");
    sim_router &r = *p.r;
    ASSERT_TRUE(r.ok());
    simharness::write_file(r.state() + "/2ndfile/" + k_recorded, {'5', 'x', '\n'});
    small_package v9(9, 0, 4), v9_allowed(9, 1, 5);
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v9.path)), 0);
    EXPECT_EQ(syslog_count(r, "installed package version record /2ndfile/version/package_version is not a version "
                              "number"),
              1u);
    EXPECT_EQ(syslog_count(r, "package refused by policy: downgrade=refuse, package version 9, installed version "
                              "unknown, downgrade_enabled 0"),
              1u);
    EXPECT_TRUE(sysrouter::partition_untouched(r, 2, 0x300000));

    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v9_allowed.path)), 0);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v9_allowed.kernel));
    EXPECT_EQ(r.second_fs_file(k_recorded), "9\n");
}

TEST(Policy, WithoutAPolicyFileAnOlderPackageInstallsAsBefore)
{
    policy_router p(nullptr);
    sim_router &r = *p.r;
    ASSERT_TRUE(r.ok());
    small_package v5(5, 0, 6), v4(4, 0, 7);
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v5.path)), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(v4.path)), 0);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, v4.kernel));
    EXPECT_EQ(syslog_count(r, "policy /etc/imgrenew/policy"), 0u) << r.out("syslog.log");
    EXPECT_EQ(syslog_count(r, "refused by policy"), 0u);
    sysrouter::expect_successful_bus(r.bus());
    EXPECT_EQ(r.second_fs_file(k_recorded), "4\n");
}

struct key_case {
    const char *name;
    const char *policy;
    bool empty_key_folder;
    const char *log_line;
};

const key_case k_key_cases[] = {
    {"NoKeyFolder", "signature=required\n", false,
     "package refused by policy: signature=required and no readable public key in /etc/imgrenew/keys"},
    {"EmptyKeyFolder", "signature=required\n", true,
     "package refused by policy: signature=required and no readable public key in /etc/imgrenew/keys"},
    // A policy line that is not understood: the policy at its strictest.
    {"MisspeltPolicyLine", "downgrade=refuse\nsignature=requried\n", false,
     "policy line 2 not understood: \"signature=requried\": downgrade=refuse and signature=required apply"},
    {"BlankAroundTheValue", "signature = required\n", true,
     "policy line 1 not understood: \"signature = required\": downgrade=refuse and signature=required apply"},
};

void PrintTo(const key_case &k, std::ostream *os)
{
    *os << k.name;
}

class SignatureRequired : public ::testing::TestWithParam<key_case> {};

TEST_P(SignatureRequired, RefusesAnUnsignedPackageOnARouterWithoutAReadableKey)
{
    policy_router p(GetParam().policy);
    sim_router &r = *p.r;
    ASSERT_TRUE(r.ok());
    if (GetParam().empty_key_folder) {
        ASSERT_EQ(mkdir((r.state() + "/keys").c_str(), 0755), 0);
    }
    small_package pkg(5, 0, 8);
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(pkg.path)), 0);
    EXPECT_EQ(syslog_count(r, GetParam().log_line), 1u) << r.out("syslog.log");
    EXPECT_EQ(syslog_count(r, "package refused by policy: signature=required and no readable public key in "
                              "/etc/imgrenew/keys"),
              1u);
    EXPECT_TRUE(sysrouter::partition_untouched(r, 2, 0x300000));
    EXPECT_EQ(r.out("tools.log"), "");
    sysrouter::expect_failed_bus(r.bus());
}

INSTANTIATE_TEST_SUITE_P(Routers, SignatureRequired, ::testing::ValuesIn(k_key_cases),
                         [](const ::testing::TestParamInfo<key_case> &i) { return std::string(i.param.name); });

TEST(Policy, SignatureRequiredInstallsAPackageSignedByTheRoutersKey)
{
    sysrouter::package_dir keys;
    std::string pub = keys.path + "/release.pub", sec = keys.path + "/release.sec";
    ASSERT_EQ(simharness::run_program({simharness::bin_path("imgpack"), "keygen", pub, sec}), 0);
    policy_router p("signature=required\ndowngrade=refuse\n", {"--mtd", "6=4M", "--key", pub});
    sim_router &r = *p.r;
    ASSERT_TRUE(r.ok());
    small_package pkg(5, 0, 9);
    ASSERT_EQ(simharness::run_program({simharness::bin_path("imgpack"), "sign", pkg.path, "--key", sec}), 0);
    ASSERT_EQ(r.run({"imgrenew", "up"}, file_mode(pkg.path)), 0);
    EXPECT_EQ(syslog_count(r, "policy /etc/imgrenew/policy: downgrade=refuse signature=required"), 1u);
    EXPECT_EQ(syslog_count(r, "package signature verified, key id "), 1u);
    EXPECT_TRUE(sysrouter::partition_holds(r, 2, pkg.kernel));
    sysrouter::expect_successful_bus(r.bus());
}

TEST(Policy, RoutersimInitTakesOnePolicyFile)
{
    sysrouter::package_dir d;
    d.put("policy", "downgrade=refuse\n");
    std::string routersim = simharness::bin_path("routersim");
    std::string out;
    EXPECT_EQ(simharness::run_program({routersim, "init", d.path + "/s1", "--mtd", "6=4M", "--policy", d.path + "/policy"}), 0);
    EXPECT_EQ(simharness::read_file(d.path + "/s1/policy"), "downgrade=refuse\n");
    EXPECT_EQ(simharness::run_program({routersim, "init", d.path + "/s2", "--policy", d.path + "/missing"}), 1);
    EXPECT_EQ(simharness::run_program(
                  {routersim, "init", d.path + "/s3", "--policy", d.path + "/policy", "--policy", d.path + "/policy"}),
              2);
}
